#ifndef AMQPQUEUE_P_H
#define AMQPQUEUE_P_H

#include <QPair>
#include <QQueue>

#include "AmqpChannel_p.h"
#include "AmqpQueue.h"

class AmqpQueuePrivate : public AmqpChannelPrivate, public AmqpContentFrameHandler, public AmqpContentBodyFrameHandler
{
public:
    // Where the message being built stands: deliver (or get-ok), then header, then body frames.
    enum Assembly { Idle, AwaitHeader, AwaitBody };

    // The largest body a delivery may announce: RabbitMQ's own ceiling for one message. A
    // larger one is refused before any of it is kept (it could not even fit one byte array).
    static constexpr quint64 maxBodySize = quint64(512) * 1024 * 1024;

    explicit AmqpQueuePrivate(AmqpQueue* q);

    bool _q_method(const AmqpMethodFrame& frame) override;
    void resetInternalState() override;
    void _q_content(const AmqpContentFrame& frame) override;
    void _q_body(const AmqpContentBodyFrame& frame) override;
    AmqpContentFrameHandler* contentHandler() override { return this; }
    AmqpContentBodyFrameHandler* bodyHandler() override { return this; }

    void declare();
    void sendBind(const QString& exchangeName, const QString& key);
    // A queue or basic method whose arguments start with the reserved short and the queue name;
    // `rest` writes what follows them.
    bool sendOnQueue(AmqpFrame::MethodClass methodClass, qint16 id, const std::function<void(QDataStream&)>& rest);
    // basic.ack or basic.reject of one delivery tag; refused while the channel is closed.
    bool settle(qint16 id, const char* method, const char* flagName, qint64 deliveryTag, bool flag);
    void startMessage(qint64 deliveryTag, bool redelivered, const QString& exchange, const QString& routingKey);
    void completeMessage();
    // Drops what was received but not handed out: its delivery tags died with the channel.
    void dropUndelivered();

    int options = 0;
    bool delayedDeclare = false;
    bool declared = false;
    QQueue<QPair<QString, QString>> delayedBindings;
    QString consumerTag;
    AmqpMessage currentMessage;
    Assembly assembly = Idle;
    bool consuming = false;
    bool consumeRequested = false;
    qint32 messageCount = 0;
    qint32 consumerCount = 0;
    quint64 bodyLimit = maxBodySize;
};

#endif
