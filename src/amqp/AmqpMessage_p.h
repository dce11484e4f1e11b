#ifndef AMQPMESSAGE_P_H
#define AMQPMESSAGE_P_H

#include <QSharedData>

#include "AmqpMessage.h"

class AmqpMessagePrivate : public QSharedData
{
public:
    qint64 deliveryTag = 0;
    bool redelivered = false;
    QString exchangeName;
    QString routingKey;
    QByteArray payload;
    AmqpMessage::PropertyHash properties;
    AmqpTable headers;
    // Body bytes still expected while the queue assembles the message.
    quint64 leftSize = 0;
    // As announced by the broker; over the queue's body limit the body is read past, not kept.
    quint64 bodySize = 0;
    bool bodyDropped = false;
};

#endif
