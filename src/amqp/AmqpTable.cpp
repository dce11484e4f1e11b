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
        qAmqpDebug("AMQP: invalid octet received: %d", int(octet));
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
        qAmqpDebug("AMQP: invalid type received: %d", int(type));
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
        qAmqpDebug("AMQP: unhandled type: %d", value.userType());
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
    case AmqpMetaType::Float: {
        const float f = value.toFloat();
        quint32 bits;
        std::memcpy(&bits, &f, sizeof bits);
        stream << bits;
        break;
    }
    case AmqpMetaType::Double: {
        const double d = value.toDouble();
        quint64 bits;
        std::memcpy(&bits, &d, sizeof bits);
        stream << bits;
        break;
    }
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
        stream << quint32(buffer.size());
        stream.writeRawData(buffer.constData(), buffer.size());
        break;
    }
    case AmqpMetaType::Bytes: {
        const QByteArray bytes = value.toByteArray();
        stream << quint32(bytes.size());
        stream.writeRawData(bytes.constData(), bytes.size());
        break;
    }
    case AmqpMetaType::Void:
        break;
    default:
        qAmqpDebug("AMQP: unhandled type: %d", int(type));
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
    case AmqpMetaType::ShortShortInt: {
        qint8 v = 0;
        stream >> v;
        return QVariant::fromValue(v);
    }
    case AmqpMetaType::ShortInt: {
        qint16 v = 0;
        stream >> v;
        return QVariant::fromValue(v);
    }
    case AmqpMetaType::LongInt: {
        qint32 v = 0;
        stream >> v;
        return QVariant::fromValue(v);
    }
    case AmqpMetaType::LongLongInt: {
        qint64 v = 0;
        stream >> v;
        return QVariant::fromValue(v);
    }
    case AmqpMetaType::Float: {
        quint32 bits = 0;
        stream >> bits;
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return QVariant::fromValue(f);
    }
    case AmqpMetaType::Double: {
        quint64 bits = 0;
        stream >> bits;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return QVariant::fromValue(d);
    }
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
            qint8 octet = 0;
            elements >> octet;
            const AmqpMetaType::ValueType elementType = valueTypeForOctet(octet);
            if (elementType == AmqpMetaType::Invalid) {
                corrupt(elements);
                break;
            }
            const QVariant element = readFieldValue(elements, elementType, depth + 1);
            if (elements.status() == QDataStream::Ok)
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
        qAmqpDebug("AMQP: unhandled type: %d", int(type));
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
        qint8 octet = 0;
        entries >> octet;
        if (entries.status() != QDataStream::Ok)
            break;
        const AmqpMetaType::ValueType type = valueTypeForOctet(octet);
        if (type == AmqpMetaType::Invalid) {
            corrupt(entries);
            break;
        }
        const QVariant value = readFieldValue(entries, type, depth);
        if (entries.status() == QDataStream::Ok)
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
    stream << quint32(buffer.size());
    stream.writeRawData(buffer.constData(), buffer.size());
    return stream;
}

QDataStream& operator>>(QDataStream& stream, AmqpTable& table)
{
    AmqpTable::readTable(stream, table, 0);
    return stream;
}
