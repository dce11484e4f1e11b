#ifndef AMQPTABLE_H
#define AMQPTABLE_H

#include <QDataStream>
#include <QVariantHash>

#include "Amqp.h"
#include "AmqpMetaType.h"

// A field table: the key-value type of method arguments and message headers, with its wire codec.
//
// Reading is bounded by the bytes of the frame: any length that points past them, an unknown
// type octet or nesting deeper than maxDepth() leaves the stream in a non-Ok status, which the
// caller answers with a syntax error. Writing skips (key and all) any value whose type has no
// encoding, so a written table is always readable.
class AmqpTable : public QVariantHash
{
public:
    AmqpTable() = default;
    AmqpTable(const QVariantHash& other);

    static constexpr int maxDepth() { return 32; }

    static AmqpMetaType::ValueType valueTypeForOctet(qint8 octet);
    static qint8 valueTypeToOctet(AmqpMetaType::ValueType type);

    // Chooses the type of `value`, writes its octet and its encoding; false (and nothing written)
    // when the variant's type cannot be written.
    static bool writeFieldValue(QDataStream& stream, const QVariant& value);
    // Writes `value` in the encoding of `type`, without an octet.
    static void writeFieldValue(QDataStream& stream, AmqpMetaType::ValueType type, const QVariant& value);
    // Reads a value of `type` (its octet already consumed).
    static QVariant readFieldValue(QDataStream& stream, AmqpMetaType::ValueType type);

    // The type a variant is written as, or Invalid when it cannot be written.
    static AmqpMetaType::ValueType chooseValueType(const QVariant& value);

    // Internal entry points that carry the nesting depth.
    static QVariant readFieldValue(QDataStream& stream, AmqpMetaType::ValueType type, int depth);
    static void readTable(QDataStream& stream, AmqpTable& table, int depth);
};

QDataStream& operator<<(QDataStream& stream, const AmqpTable& table);
QDataStream& operator>>(QDataStream& stream, AmqpTable& table);

Q_DECLARE_METATYPE(AmqpTable)

#endif
