#ifndef AMQPQUEUE_H
#define AMQPQUEUE_H

#include <QQueue>

#include "AmqpChannel.h"
#include "AmqpMessage.h"
#include "AmqpTable.h"

class AmqpClient;
class AmqpExchange;
class AmqpQueuePrivate;

// The channel object that receives: declare, bind/unbind, purge, delete, consume/cancel, get,
// ack/reject. Delivered messages are assembled from deliver, header and body frames and appended
// to the queue's own FIFO before messageReceived() is emitted; take them with dequeue().
class AmqpQueue : public AmqpChannel, public QQueue<AmqpMessage>
{
    Q_OBJECT
public:
    enum QueueOption { NoOptions = 0x0, Passive = 0x01, Durable = 0x02, Exclusive = 0x04, AutoDelete = 0x08, NoWait = 0x10 };
    Q_DECLARE_FLAGS(QueueOptions, QueueOption)

    enum ConsumeOption { coNoLocal = 0x01, coNoAck = 0x02, coExclusive = 0x04, coNoWait = 0x08 };
    Q_DECLARE_FLAGS(ConsumeOptions, ConsumeOption)

    enum RemoveOption { roForce = 0x0, roIfUnused = 0x01, roIfEmpty = 0x02, roNoWait = 0x04 };
    Q_DECLARE_FLAGS(RemoveOptions, RemoveOption)

    ~AmqpQueue() override;

    int options() const;
    bool isConsuming() const;
    bool isDeclared() const;
    int messageCount() const;
    int consumerCount() const;

    void setConsumerTag(const QString& consumerTag);
    QString consumerTag() const;

    // The largest body this queue keeps (at most, and by default, the library's own ceiling).
    // A delivery announcing more is still handed out, so that it can be acknowledged, but with
    // an empty payload: see AmqpMessage::bodySize().
    void setBodyLimit(quint64 bytes);
    quint64 bodyLimit() const;

public Q_SLOTS:
    void declare(int options = NoOptions, const AmqpTable& arguments = AmqpTable());
    void bind(const QString& exchangeName, const QString& key);
    void bind(AmqpExchange* exchange, const QString& key);
    void unbind(const QString& exchangeName, const QString& key);
    void unbind(AmqpExchange* exchange, const QString& key);
    void purge();
    void remove(int options = roForce);
    bool consume(int options = NoOptions);
    void get(bool noAck = true);
    bool cancel(bool noWait = false);
    void ack(const AmqpMessage& message);
    void ack(qint64 deliveryTag, bool multiple);
    void reject(const AmqpMessage& message, bool requeue);
    void reject(qint64 deliveryTag, bool requeue);

Q_SIGNALS:
    void declared();
    void bound();
    void unbound();
    void removed();
    void purged(int messageCount);
    void messageReceived();
    void empty();
    void consuming(const QString& consumerTag);
    void cancelled(const QString& consumerTag);

protected:
    void channelOpened() override;
    void channelClosed() override;

private:
    AmqpQueue(int channelNumber, AmqpClient* parent);
    friend class AmqpClient;
    friend class AmqpQueuePrivate;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(AmqpQueue::QueueOptions)
Q_DECLARE_OPERATORS_FOR_FLAGS(AmqpQueue::ConsumeOptions)
Q_DECLARE_OPERATORS_FOR_FLAGS(AmqpQueue::RemoveOptions)

#endif
