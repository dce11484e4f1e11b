#include "AmqpMessage.h"

#include "AmqpMessage_p.h"

AmqpMessage::AmqpMessage() : d(new AmqpMessagePrivate) {}
AmqpMessage::AmqpMessage(const AmqpMessage& other) = default;
AmqpMessage& AmqpMessage::operator=(const AmqpMessage& other) = default;
AmqpMessage::~AmqpMessage() = default;

bool AmqpMessage::isValid() const
{
    return d->deliveryTag != 0 && !d->exchangeName.isNull() && !d->routingKey.isNull();
}

qint64 AmqpMessage::deliveryTag() const { return d->deliveryTag; }
bool AmqpMessage::isRedelivered() const { return d->redelivered; }
QString AmqpMessage::exchangeName() const { return d->exchangeName; }
QString AmqpMessage::routingKey() const { return d->routingKey; }
QByteArray AmqpMessage::payload() const { return d->payload; }

quint64 AmqpMessage::bodySize() const { return d->bodySize; }

bool AmqpMessage::hasProperty(Property p) const { return d->properties.contains(p); }

QVariant AmqpMessage::property(Property p, const QVariant& defaultValue) const
{
    return d->properties.value(p, defaultValue);
}

void AmqpMessage::setProperty(Property p, const QVariant& value) { d->properties.insert(p, value); }

bool AmqpMessage::hasHeader(const QString& name) const { return d->headers.contains(name); }

QVariant AmqpMessage::header(const QString& name, const QVariant& defaultValue) const
{
    return d->headers.value(name, defaultValue);
}

void AmqpMessage::setHeader(const QString& name, const QVariant& value) { d->headers.insert(name, value); }

AmqpTable AmqpMessage::headers() const { return d->headers; }

bool AmqpMessage::operator==(const AmqpMessage& other) const
{
    if (d == other.d)
        return true;
    return d->deliveryTag == other.d->deliveryTag && d->redelivered == other.d->redelivered
           && d->exchangeName == other.d->exchangeName && d->routingKey == other.d->routingKey
           && d->payload == other.d->payload && d->properties == other.d->properties
           && d->headers == other.d->headers && d->leftSize == other.d->leftSize;
}

uint qHash(const AmqpMessage& message, uint)
{
    const qint64 tag = message.d->deliveryTag;
    const uint tagHash = uint(quint64(tag ^ (tag >> 31)));
    return tagHash ^ ::qHash(message.d->redelivered, 0) ^ ::qHash(message.d->exchangeName, 0)
           ^ ::qHash(message.d->routingKey, 0) ^ ::qHash(message.d->payload, 0);
}
