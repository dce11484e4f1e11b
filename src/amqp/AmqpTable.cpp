#include "AmqpTable.h"

#include <QDateTime>
#include <QIODevice>
#include <QStringList>

#include <cstring>
#include <limits>

#include "AmqpFrame.h"

AmqpTable::AmqpTable(const QVariantHash& other) : QVariantHash(other) {}

AmqpMetaType::ValueType AmqpTable::valueTypeForOctet(qint8 octet)
{
    switch (octet) {
    case 't': return AmqpMetaType::Boolean;
    case 'b': return AmqpMetaType::ShortShortInt;
    case 's': return AmqpMetaType::ShortInt;
    case 'I': return AmqpMetaType::LongInt;
    case 'l': return AmqpMetaType::LongLongInt;
    case 'f': return AmqpMetaType::Float;
    case 'd': return AmqpMetaType::Double;
    case 'D': return AmqpMetaType::Decimal;
    case 'S': return AmqpMetaType::LongString;
    case 'A': return AmqpMetaType::Array;
    case 'T': return AmqpMetaType::Timestamp;
    case 'F': return AmqpMetaType::Hash;
    case 'x': return AmqpMetaType::Bytes;
    case 'V': return AmqpMetaType::Void;
    default:
        amqpDebug("AMQP: invalid octet received: %d", int(octet));
        return AmqpMetaType::Invalid;
    }
}

qint8 AmqpTable::valueTypeToOctet(AmqpMetaType::ValueType type)
{
    switch (type) {
    case AmqpMetaType::Boolean: return 't';
    case AmqpMetaType::ShortShortInt: return 'b';
    case AmqpMetaType::ShortInt: return 's';
    case AmqpMetaType::LongInt: return 'I';
    case AmqpMetaType::LongLongInt: return 'l';
    case AmqpMetaType::Float: return 'f';
    case AmqpMetaType::Double: return 'd';
    case AmqpMetaType::Decimal: return 'D';
    case AmqpMetaType::LongString: return 'S';
    case AmqpMetaType::Array: return 'A';
    case AmqpMetaType::Timestamp: return 'T';
    case AmqpMetaType::Hash: return 'F';
    case AmqpMetaType::Bytes: return 'x';
    case AmqpMetaType::Void: return 'V';
    default:
        amqpDebug("AMQP: invalid type received: %d", int(type));
        return 'V';
    }
}

namespace {

AmqpMetaType::ValueType signedByRange(qint64 value)
{
    if (value >= -128 && value <= 127)
        return AmqpMetaType::ShortShortInt;
    if (value >= -32768 && value <= 32767)
        return AmqpMetaType::ShortInt;
    if (value >= std::numeric_limits<qint32>::min() && value <= std::numeric_limits<qint32>::max())
        return AmqpMetaType::LongInt;
    return AmqpMetaType::LongLongInt;
}

void corrupt(QDataStream& stream)
{
    stream.setStatus(QDataStream::ReadCorruptData);
}

// A 32-bit byte count, then the bytes: arrays, byte strings and tables.
void writeSized(QDataStream& stream, const QByteArray& bytes)
{
    stream << quint32(bytes.size());
    stream.writeRawData(bytes.constData(), bytes.size());
}

template <typename T> QVariant readNumber(QDataStream& stream)
{
    T value = 0;
    stream >> value;
    return QVariant::fromValue(value);
}

// IEEE 754 values travel as their bit pattern, big-endian like every other number.
template <typename F, typename Bits> void writeFloating(QDataStream& stream, F value)
{
    Bits bits;
    std::memcpy(&bits, &value, sizeof bits);
    stream << bits;
}

template <typename F, typename Bits> QVariant readFloating(QDataStream& stream)
{
    Bits bits = 0;
    stream >> bits;
    F value;
    std::memcpy(&value, &bits, sizeof value);
    return QVariant::fromValue(value);
}

// One type octet and the value it announces; false, with the stream no longer Ok, when the
// octet names no type or the value runs past the data.
bool readTypedValue(QDataStream& stream, int depth, QVariant* value)
{
    qint8 octet = 0;
    stream >> octet;
    if (stream.status() != QDataStream::Ok)
        return false;
    const AmqpMetaType::ValueType type = AmqpTable::valueTypeForOctet(octet);
    if (type == AmqpMetaType::Invalid) {
        corrupt(stream);
        return false;
    }
    *value = AmqpTable::readFieldValue(stream, type, depth);
    return stream.status() == QDataStream::Ok;
}

} // namespace

AmqpMetaType::ValueType AmqpTable::chooseValueType(const QVariant& value)
{
    const int type = value.userType();
    switch (type) {
    case QMetaType::UnknownType:
    case QMetaType::Void:
    case QMetaType::Nullptr:
        return AmqpMetaType::Void;
    case QMetaType::Bool:
        return AmqpMetaType::Boolean;
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::SChar:
    case QMetaType::Char:
        return signedByRange(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar: {
        const quint64 v = value.toULongLong();
        if (v > quint64(std::numeric_limits<qint64>::max()))
            return AmqpMetaType::Invalid;
        return signedByRange(qint64(v));
    }
    case QMetaType::Double:
        return AmqpMetaType::Double;
    case QMetaType::Float:
        return AmqpMetaType::Float;
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return AmqpMetaType::Array;
    case QMetaType::QString:
        return AmqpMetaType::LongString;
    case QMetaType::QByteArray:
        return AmqpMetaType::Bytes;
    case QMetaType::QDateTime:
        return AmqpMetaType::Timestamp;
    case QMetaType::QVariantHash:
    case QMetaType::QVariantMap:
        return AmqpMetaType::Hash;
    default:
        if (type == qMetaTypeId<AmqpTable>())
            return AmqpMetaType::Hash;
        if (type == qMetaTypeId<Amqp::Decimal>())
            return AmqpMetaType::Decimal;
        return AmqpMetaType::Invalid;
    }
}

bool AmqpTable::writeFieldValue(QDataStream& stream, const QVariant& value)
{
    const AmqpMetaType::ValueType type = chooseValueType(value);
    if (type == AmqpMetaType::Invalid) {
        amqpDebug("AMQP: unhandled type: %d", value.userType());
        return false;
    }
    stream << valueTypeToOctet(type);
    writeFieldValue(stream, type, value);
    return true;
}

void AmqpTable::writeFieldValue(QDataStream& stream, AmqpMetaType::ValueType type, const QVariant& value)
{
    switch (type) {
    case AmqpMetaType::Boolean:
    case AmqpMetaType::ShortUint:
    case AmqpMetaType::LongUint:
    case AmqpMetaType::LongLongUint:
    case AmqpMetaType::ShortString:
    case AmqpMetaType::LongString:
    case AmqpMetaType::ShortShortUint:
    case AmqpMetaType::Timestamp:
    case AmqpMetaType::Hash:
        AmqpFrame::writeAmqpField(stream, type, value);
        break;
    case AmqpMetaType::ShortShortInt:
        stream << qint8(value.toInt());
        break;
    case AmqpMetaType::ShortInt:
        stream << qint16(value.toInt());
        break;
    case AmqpMetaType::LongInt:
        stream << qint32(value.toInt());
        break;
    case AmqpMetaType::LongLongInt:
        stream << qint64(value.toLongLong());
        break;
    case AmqpMetaType::Float:
        writeFloating<float, quint32>(stream, value.toFloat());
        break;
    case AmqpMetaType::Double:
        writeFloating<double, quint64>(stream, value.toDouble());
        break;
    case AmqpMetaType::Decimal: {
        const Amqp::Decimal decimal = value.value<Amqp::Decimal>();
        stream << decimal.scale;
        stream << decimal.value;
        break;
    }
    case AmqpMetaType::Array: {
        QByteArray buffer;
        QDataStream elements(&buffer, QIODevice::WriteOnly);
        const QVariantList list = value.toList();
        for (const QVariant& element : list)
            writeFieldValue(elements, element);
        if (elements.status() != QDataStream::Ok)
            stream.setStatus(elements.status());
        writeSized(stream, buffer);
        break;
    }
    case AmqpMetaType::Bytes:
        writeSized(stream, value.toByteArray());
        break;
    case AmqpMetaType::Void:
        break;
    default:
        amqpDebug("AMQP: unhandled type: %d", int(type));
        break;
    }
}

QVariant AmqpTable::readFieldValue(QDataStream& stream, AmqpMetaType::ValueType type)
{
    return readFieldValue(stream, type, 0);
}

QVariant AmqpTable::readFieldValue(QDataStream& stream, AmqpMetaType::ValueType type, int depth)
{
    switch (type) {
    case AmqpMetaType::Boolean:
    case AmqpMetaType::ShortUint:
    case AmqpMetaType::LongUint:
    case AmqpMetaType::LongLongUint:
    case AmqpMetaType::ShortString:
    case AmqpMetaType::LongString:
    case AmqpMetaType::ShortShortUint:
    case AmqpMetaType::Timestamp:
        return AmqpFrame::readAmqpField(stream, type);
    case AmqpMetaType::Hash: {
        AmqpTable table;
        readTable(stream, table, depth + 1);
        return QVariantHash(table);
    }
    case AmqpMetaType::ShortShortInt:
        return readNumber<qint8>(stream);
    case AmqpMetaType::ShortInt:
        return readNumber<qint16>(stream);
    case AmqpMetaType::LongInt:
        return readNumber<qint32>(stream);
    case AmqpMetaType::LongLongInt:
        return readNumber<qint64>(stream);
    case AmqpMetaType::Float:
        return readFloating<float, quint32>(stream);
    case AmqpMetaType::Double:
        return readFloating<double, quint64>(stream);
    case AmqpMetaType::Decimal: {
        Amqp::Decimal decimal;
        stream >> decimal.scale;
        stream >> decimal.value;
        return QVariant::fromValue(decimal);
    }
    case AmqpMetaType::Array: {
        if (depth >= maxDepth()) {
            corrupt(stream);
            return QVariant();
        }
        quint32 length = 0;
        stream >> length;
        const QByteArray bytes = AmqpFrame::readBytes(stream, length);
        if (stream.status() != QDataStream::Ok)
            return QVariant();
        QVariantList list;
        QDataStream elements(bytes);
        while (!elements.atEnd() && elements.status() == QDataStream::Ok) {
            QVariant element;
            if (readTypedValue(elements, depth + 1, &element))
                list.append(element);
        }
        if (elements.status() != QDataStream::Ok) {
            stream.setStatus(elements.status());
            return QVariant();
        }
        return list;
    }
    case AmqpMetaType::Bytes: {
        quint32 length = 0;
        stream >> length;
        return AmqpFrame::readBytes(stream, length);
    }
    case AmqpMetaType::Void:
        return QVariant();
    default:
        amqpDebug("AMQP: unhandled type: %d", int(type));
        return QVariant();
    }
}

void AmqpTable::readTable(QDataStream& stream, AmqpTable& table, int depth)
{
    if (depth > maxDepth()) {
        corrupt(stream);
        return;
    }
    quint32 length = 0;
    stream >> length;
    if (stream.status() != QDataStream::Ok || length == 0xFFFFFFFFu)
        return;
    const QByteArray bytes = AmqpFrame::readBytes(stream, length);
    if (stream.status() != QDataStream::Ok)
        return;
    QDataStream entries(bytes);
    while (!entries.atEnd() && entries.status() == QDataStream::Ok) {
        const QString key = AmqpFrame::readShortString(entries);
        QVariant value;
        if (readTypedValue(entries, depth, &value))
            table.insert(key, value);
    }
    if (entries.status() != QDataStream::Ok)
        stream.setStatus(entries.status());
}

QDataStream& operator<<(QDataStream& stream, const AmqpTable& table)
{
    QByteArray buffer;
    QDataStream entries(&buffer, QIODevice::WriteOnly);
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        QByteArray value;
        QDataStream valueStream(&value, QIODevice::WriteOnly);
        if (!AmqpTable::writeFieldValue(valueStream, it.value()))
            continue; // no encoding for this type: leave the whole entry out
        if (valueStream.status() != QDataStream::Ok)
            entries.setStatus(valueStream.status());
        AmqpFrame::writeShortString(entries, it.key());
        entries.writeRawData(value.constData(), value.size());
    }
    if (entries.status() != QDataStream::Ok)
        stream.setStatus(entries.status());
    writeSized(stream, buffer);
    return stream;
}

QDataStream& operator>>(QDataStream& stream, AmqpTable& table)
{
    AmqpTable::readTable(stream, table, 0);
    return stream;
}
