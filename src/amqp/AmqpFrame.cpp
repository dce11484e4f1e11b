#include "AmqpFrame.h"

#include <QBuffer>
#include <QDateTime>
#include <QIODevice>
#include <QReadWriteLock>

#include <cstring>
#include <limits>

#include "AmqpTable.h"

namespace {

QReadWriteLock writeTimeoutLock;
int writeTimeoutValue = 1000;

// The property list of a content header, highest flag bit first.
struct PropertyCoding {
    AmqpMessage::Property property;
    enum Kind { ShortStr, Table, Octet, Stamp } kind;
};

const PropertyCoding propertyCodings[] = {
    {AmqpMessage::ContentType, PropertyCoding::ShortStr},
    {AmqpMessage::ContentEncoding, PropertyCoding::ShortStr},
    {AmqpMessage::Headers, PropertyCoding::Table},
    {AmqpMessage::DeliveryMode, PropertyCoding::Octet},
    {AmqpMessage::Priority, PropertyCoding::Octet},
    {AmqpMessage::CorrelationId, PropertyCoding::ShortStr},
    {AmqpMessage::ReplyTo, PropertyCoding::ShortStr},
    {AmqpMessage::Expiration, PropertyCoding::ShortStr},
    {AmqpMessage::MessageId, PropertyCoding::ShortStr},
    {AmqpMessage::Timestamp, PropertyCoding::Stamp},
    {AmqpMessage::Type, PropertyCoding::ShortStr},
    {AmqpMessage::UserId, PropertyCoding::ShortStr},
    {AmqpMessage::AppId, PropertyCoding::ShortStr},
    {AmqpMessage::ClusterID, PropertyCoding::ShortStr},
};

AmqpTable tableFromVariant(const QVariant& value)
{
    if (value.userType() == qMetaTypeId<AmqpTable>())
        return value.value<AmqpTable>();
    if (value.userType() == QMetaType::QVariantMap) {
        AmqpTable table;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            table.insert(it.key(), it.value());
        return table;
    }
    return AmqpTable(value.toHash());
}

// Seconds since the epoch that a date-time can hold without overflowing its milliseconds.
constexpr quint64 maxTimestampSeconds = quint64(std::numeric_limits<qint64>::max() / 1000);

} // namespace

AmqpFrame::AmqpFrame(FrameType type) : type_(qint8(type)) {}

AmqpFrame::~AmqpFrame() = default;

qint32 AmqpFrame::size() const
{
    return 0;
}

int AmqpFrame::writeTimeout()
{
    QReadLocker locker(&writeTimeoutLock);
    return writeTimeoutValue;
}

void AmqpFrame::setWriteTimeout(int msecs)
{
    QWriteLocker locker(&writeTimeoutLock);
    writeTimeoutValue = msecs;
}

QByteArray AmqpFrame::toByteArray() const
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << *this;
    if (stream.status() != QDataStream::Ok)
        return QByteArray();
    return bytes;
}

QDataStream& operator<<(QDataStream& stream, const AmqpFrame& frame)
{
    // size() first: a content header builds its bytes there.
    const qint32 size = frame.size();
    // Writing into memory: room for the whole frame at once instead of growing per field.
    if (auto* buffer = qobject_cast<QBuffer*>(stream.device()); buffer && size > 0)
        buffer->buffer().reserve(int(buffer->pos()) + size + 8);
    stream << frame.type_;
    stream << frame.channel_;
    stream << size;
    frame.writePayload(stream);
    stream << quint8(AmqpFrame::FrameEnd);
    return stream;
}

QDataStream& operator>>(QDataStream& stream, AmqpFrame& frame)
{
    stream >> frame.type_;
    stream >> frame.channel_;
    stream >> frame.size_;
    frame.readPayload(stream);
    return stream;
}

QByteArray AmqpFrame::readBytes(QDataStream& stream, quint64 length)
{
    if (stream.status() != QDataStream::Ok)
        return QByteArray();
    QIODevice* device = stream.device();
    if (!device || device->bytesAvailable() < 0 || length > quint64(device->bytesAvailable())) {
        stream.setStatus(QDataStream::ReadPastEnd);
        return QByteArray();
    }
    QByteArray bytes(int(length), Qt::Uninitialized);
    if (length > 0 && stream.readRawData(bytes.data(), int(length)) != int(length)) {
        stream.setStatus(QDataStream::ReadPastEnd);
        return QByteArray();
    }
    return bytes;
}

namespace {

// A string of the given length prefix type: the length, then that many UTF-8 bytes.
template <typename Length> QString readString(QDataStream& stream)
{
    Length length = 0;
    stream >> length;
    const QByteArray bytes = AmqpFrame::readBytes(stream, length);
    if (stream.status() != QDataStream::Ok)
        return QString();
    return QString::fromUtf8(bytes);
}

} // namespace

QString AmqpFrame::readShortString(QDataStream& stream)
{
    return readString<quint8>(stream);
}

QString AmqpFrame::readLongString(QDataStream& stream)
{
    return readString<quint32>(stream);
}

void AmqpFrame::writeShortString(QDataStream& stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() > 255) {
        qWarning("AMQP: invalid shortstr length: %d, not sent", bytes.size());
        stream.setStatus(QDataStream::WriteFailed);
        return;
    }
    stream << quint8(bytes.size());
    stream.writeRawData(bytes.constData(), bytes.size());
}

void AmqpFrame::writeLongString(QDataStream& stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    stream << quint32(bytes.size());
    stream.writeRawData(bytes.constData(), bytes.size());
}

QVariant AmqpFrame::readAmqpField(QDataStream& stream, AmqpMetaType::ValueType valueType)
{
    switch (valueType) {
    case AmqpMetaType::Boolean: {
        quint8 octet = 0;
        stream >> octet;
        return QVariant::fromValue(bool(octet != 0));
    }
    case AmqpMetaType::ShortUint: {
        quint16 value = 0;
        stream >> value;
        return QVariant::fromValue(value);
    }
    case AmqpMetaType::LongUint: {
        quint32 value = 0;
        stream >> value;
        return QVariant::fromValue(value);
    }
    case AmqpMetaType::LongLongUint: {
        quint64 value = 0;
        stream >> value;
        return QVariant::fromValue(value);
    }
    case AmqpMetaType::ShortString:
        return readShortString(stream);
    case AmqpMetaType::LongString:
        return readLongString(stream);
    case AmqpMetaType::ShortShortUint: {
        quint8 value = 0;
        stream >> value;
        return QVariant::fromValue(int(value));
    }
    case AmqpMetaType::Timestamp: {
        quint64 seconds = 0;
        stream >> seconds;
        if (seconds > maxTimestampSeconds)
            return QVariant::fromValue(QDateTime());
        return QDateTime::fromSecsSinceEpoch(qint64(seconds), Qt::UTC);
    }
    case AmqpMetaType::Hash: {
        AmqpTable table;
        AmqpTable::readTable(stream, table, 0);
        return QVariantHash(table);
    }
    case AmqpMetaType::Void:
        return QVariant();
    default:
        amqpDebug("AMQP: unsupported value type: %d", int(valueType));
        return QVariant();
    }
}

void AmqpFrame::writeAmqpField(QDataStream& stream, AmqpMetaType::ValueType valueType, const QVariant& value)
{
    switch (valueType) {
    case AmqpMetaType::Boolean:
        stream << quint8(value.toBool() ? 1 : 0);
        break;
    case AmqpMetaType::ShortUint:
        stream << quint16(value.toUInt());
        break;
    case AmqpMetaType::LongUint:
        stream << quint32(value.toUInt());
        break;
    case AmqpMetaType::LongLongUint:
        stream << quint64(value.toULongLong());
        break;
    case AmqpMetaType::ShortString:
        writeShortString(stream, value.toString());
        break;
    case AmqpMetaType::LongString:
        writeLongString(stream, value.toString());
        break;
    case AmqpMetaType::ShortShortUint:
        stream << quint8(value.toUInt());
        break;
    case AmqpMetaType::Timestamp: {
        qint64 seconds = 0;
        if (value.userType() == QMetaType::QDateTime)
            seconds = value.toDateTime().toSecsSinceEpoch();
        else
            seconds = value.toLongLong();
        stream << quint64(seconds);
        break;
    }
    case AmqpMetaType::Hash:
        stream << tableFromVariant(value);
        break;
    default:
        amqpDebug("AMQP: unsupported value type: %d", int(valueType));
        break;
    }
}

// ---- method frames

AmqpMethodFrame::AmqpMethodFrame() : AmqpFrame(Method) {}

AmqpMethodFrame::AmqpMethodFrame(MethodClass methodClass, qint16 id)
    : AmqpFrame(Method), methodClass_(quint16(methodClass)), id_(id)
{
}

qint32 AmqpMethodFrame::size() const
{
    return arguments_.size() + 4;
}

bool AmqpMethodFrame::parse(const QByteArray& payload)
{
    if (payload.size() < 4)
        return false;
    QDataStream stream(payload);
    size_ = quint32(payload.size());
    readPayload(stream);
    return stream.status() == QDataStream::Ok;
}

void AmqpMethodFrame::writePayload(QDataStream& stream) const
{
    stream << methodClass_;
    stream << id_;
    stream.writeRawData(arguments_.constData(), arguments_.size());
}

void AmqpMethodFrame::readPayload(QDataStream& stream)
{
    stream >> methodClass_;
    stream >> id_;
    if (size_ < 4) {
        stream.setStatus(QDataStream::ReadPastEnd);
        arguments_.clear();
        return;
    }
    arguments_ = readBytes(stream, size_ - 4);
}

// ---- content headers

AmqpContentFrame::AmqpContentFrame() : AmqpFrame(Header) {}

AmqpContentFrame::AmqpContentFrame(MethodClass methodClass) : AmqpFrame(Header), methodClass_(quint16(methodClass)) {}

qint32 AmqpContentFrame::size() const
{
    buffer_.clear();
    encodeFailed_ = false;
    QDataStream out(&buffer_, QIODevice::WriteOnly);
    out << methodClass_;
    out << quint16(0); // weight
    out << bodySize_;

    quint16 flags = 0;
    for (const PropertyCoding& coding : propertyCodings) {
        if (properties_.contains(coding.property))
            flags |= quint16(coding.property);
    }
    out << flags;

    for (const PropertyCoding& coding : propertyCodings) {
        if (!properties_.contains(coding.property))
            continue;
        const QVariant value = properties_.value(coding.property);
        switch (coding.kind) {
        case PropertyCoding::ShortStr:
            writeShortString(out, value.toString());
            break;
        case PropertyCoding::Table:
            out << tableFromVariant(value);
            break;
        case PropertyCoding::Octet:
            out << quint8(value.toUInt());
            break;
        case PropertyCoding::Stamp:
            writeAmqpField(out, AmqpMetaType::Timestamp, value);
            break;
        }
    }
    encodeFailed_ = out.status() != QDataStream::Ok;
    return buffer_.size();
}

bool AmqpContentFrame::parse(const QByteArray& payload)
{
    QDataStream stream(payload);
    size_ = quint32(payload.size());
    readPayload(stream);
    return stream.status() == QDataStream::Ok;
}

void AmqpContentFrame::writePayload(QDataStream& stream) const
{
    if (encodeFailed_) {
        stream.setStatus(QDataStream::WriteFailed);
        return;
    }
    stream.writeRawData(buffer_.constData(), buffer_.size());
}

void AmqpContentFrame::readPayload(QDataStream& stream)
{
    quint16 weight = 0;
    quint16 flags = 0;
    stream >> methodClass_;
    stream >> weight;
    stream >> bodySize_;
    stream >> flags;
    for (const PropertyCoding& coding : propertyCodings) {
        if (!(flags & quint16(coding.property)))
            continue;
        switch (coding.kind) {
        case PropertyCoding::ShortStr:
            properties_.insert(coding.property, readShortString(stream));
            break;
        case PropertyCoding::Table: {
            AmqpTable table;
            stream >> table;
            properties_.insert(coding.property, QVariant::fromValue(table));
            break;
        }
        case PropertyCoding::Octet: {
            quint8 octet = 0;
            stream >> octet;
            properties_.insert(coding.property, int(octet));
            break;
        }
        case PropertyCoding::Stamp:
            properties_.insert(coding.property, readAmqpField(stream, AmqpMetaType::Timestamp));
            break;
        }
        if (stream.status() != QDataStream::Ok)
            return;
    }
}

// ---- body frames

AmqpContentBodyFrame::AmqpContentBodyFrame() : AmqpFrame(Body) {}

AmqpContentBodyFrame::AmqpContentBodyFrame(quint16 channel, const QByteArray& body) : AmqpFrame(Body), body_(body)
{
    channel_ = channel;
}

qint32 AmqpContentBodyFrame::size() const
{
    return body_.size();
}

void AmqpContentBodyFrame::writePayload(QDataStream& stream) const
{
    stream.writeRawData(body_.constData(), body_.size());
}

void AmqpContentBodyFrame::readPayload(QDataStream& stream)
{
    body_ = readBytes(stream, size_);
}

// ---- heartbeats

AmqpHeartbeatFrame::AmqpHeartbeatFrame() : AmqpFrame(Heartbeat) {}

void AmqpHeartbeatFrame::writePayload(QDataStream&) const {}

void AmqpHeartbeatFrame::readPayload(QDataStream&) {}
