#ifndef AMQPMETATYPE_H
#define AMQPMETATYPE_H

namespace AmqpMetaType {

enum ValueType {
    Invalid = -1,
    Boolean = 0,
    ShortUint = 1,
    LongUint = 2,
    LongLongUint = 3,
    ShortString = 4,
    LongString = 5,
    ShortShortInt = 6,
    ShortShortUint = 7,
    ShortInt = 8,
    LongInt = 9,
    LongLongInt = 10,
    Float = 11,
    Double = 12,
    Decimal = 13,
    Array = 14,
    Timestamp = 15,
    Hash = 16,
    Bytes = 17,
    Void = 18
};

} // namespace AmqpMetaType

#endif
