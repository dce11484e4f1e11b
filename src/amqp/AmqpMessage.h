#ifndef AMQPMESSAGE_H
#define AMQPMESSAGE_H

#include <QByteArray>
#include <QHash>
#include <QSharedDataPointer>
#include <QString>
#include <QVariant>

#include "AmqpTable.h"

class AmqpMessagePrivate;

// One message delivered by the broker: delivery data, content properties, headers and body.
// Copies share one record until one of them is changed.
class AmqpMessage
{
public:
    enum Property {
        ContentType = 0x8000,
        ContentEncoding = 0x4000,
        Headers = 0x2000,
        DeliveryMode = 0x1000,
        Priority = 0x0800,
        CorrelationId = 0x0400,
        ReplyTo = 0x0200,
        Expiration = 0x0100,
        MessageId = 0x0080,
        Timestamp = 0x0040,
        Type = 0x0020,
        UserId = 0x0010,
        AppId = 0x0008,
        ClusterID = 0x0004
    };
    typedef QHash<Property, QVariant> PropertyHash;

    AmqpMessage();
    AmqpMessage(const AmqpMessage& other);
    AmqpMessage& operator=(const AmqpMessage& other);
    ~AmqpMessage();

    bool isValid() const;

    qint64 deliveryTag() const;
    bool isRedelivered() const;
    QString exchangeName() const;
    QString routingKey() const;
    QByteArray payload() const;
    // The body size the broker announced. When it was over the queue's body limit, the body was
    // read past without being kept and payload() is empty.
    quint64 bodySize() const;

    bool hasProperty(Property p) const;
    QVariant property(Property p, const QVariant& defaultValue = QVariant()) const;
    void setProperty(Property p, const QVariant& value);

    bool hasHeader(const QString& name) const;
    QVariant header(const QString& name, const QVariant& defaultValue = QVariant()) const;
    void setHeader(const QString& name, const QVariant& value);
    AmqpTable headers() const;

    bool operator==(const AmqpMessage& other) const;
    bool operator!=(const AmqpMessage& other) const { return !(*this == other); }

private:
    QSharedDataPointer<AmqpMessagePrivate> d;
    friend class AmqpQueuePrivate;
    friend class AmqpQueue;
    friend uint qHash(const AmqpMessage& message, uint seed);
};

inline uint qHash(AmqpMessage::Property p, uint seed = 0)
{
    return ::qHash(int(p), seed);
}

uint qHash(const AmqpMessage& message, uint seed = 0);

Q_DECLARE_METATYPE(AmqpMessage)
Q_DECLARE_METATYPE(AmqpMessage::PropertyHash)

#endif
