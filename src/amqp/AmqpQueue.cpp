#include "AmqpQueue.h"

#include "AmqpClient_p.h"
#include "AmqpExchange.h"
#include "AmqpMessage_p.h"
#include "AmqpQueue_p.h"

AmqpQueuePrivate::AmqpQueuePrivate(AmqpQueue* q) : AmqpChannelPrivate(q) {}

bool AmqpQueuePrivate::sendOnQueue(AmqpFrame::MethodClass methodClass, qint16 id,
                                   const std::function<void(QDataStream&)>& rest)
{
    return sendMethod(methodClass, id, [&](QDataStream& out) {
        out << quint16(0);
        AmqpFrame::writeShortString(out, name);
        rest(out);
    });
}

bool AmqpQueuePrivate::settle(qint16 id, const char* method, const char* flagName, qint64 deliveryTag, bool flag)
{
    if (!opened) {
        amqpDebug("AMQP: channel is not open");
        return false;
    }
    amqpDebug("<- basic#%s( delivery-tag=%llu, %s=%d )", method, static_cast<unsigned long long>(deliveryTag), flagName,
               int(flag));
    return sendMethod(AmqpFrame::Basic, id, [&](QDataStream& out) { out << quint64(deliveryTag) << quint8(flag ? 1 : 0); });
}

void AmqpQueuePrivate::declare()
{
    delayedDeclare = false;
    amqpDebug("<- queue#declare( queue=%s, passive=%d, durable=%d, exclusive=%d, auto-delete=%d, no-wait=%d )",
               qPrintable(name), int(bool(options & AmqpQueue::Passive)), int(bool(options & AmqpQueue::Durable)),
               int(bool(options & AmqpQueue::Exclusive)), int(bool(options & AmqpQueue::AutoDelete)),
               int(bool(options & AmqpQueue::NoWait)));
    sendOnQueue(AmqpFrame::Queue, 10, [this](QDataStream& out) { out << quint8(options) << arguments; });
}

void AmqpQueuePrivate::sendBind(const QString& exchangeName, const QString& key)
{
    amqpDebug("<- queue#bind( queue=%s, exchange=%s, routing-key=%s, no-wait=%d )", qPrintable(name),
               qPrintable(exchangeName), qPrintable(key), 0);
    sendOnQueue(AmqpFrame::Queue, 20, [&](QDataStream& out) {
        AmqpFrame::writeShortString(out, exchangeName);
        AmqpFrame::writeShortString(out, key);
        out << quint8(0) << AmqpTable();
    });
}

void AmqpQueuePrivate::startMessage(qint64 deliveryTag, bool redelivered, const QString& exchange, const QString& routingKey)
{
    currentMessage = AmqpMessage();
    AmqpMessagePrivate* m = currentMessage.d.data();
    m->deliveryTag = deliveryTag;
    m->redelivered = redelivered;
    m->exchangeName = exchange.isNull() ? QLatin1String("") : exchange;
    m->routingKey = routingKey.isNull() ? QLatin1String("") : routingKey;
    assembly = AwaitHeader;
}

void AmqpQueuePrivate::completeMessage()
{
    AmqpQueue* q = static_cast<AmqpQueue*>(q_ptr);
    const AmqpMessage message = currentMessage;
    currentMessage = AmqpMessage();
    assembly = Idle;
    q->enqueue(message);
    emit q->messageReceived();
}

void AmqpQueuePrivate::dropUndelivered()
{
    static_cast<AmqpQueue*>(q_ptr)->clear();
    currentMessage = AmqpMessage();
    assembly = Idle;
}

bool AmqpQueuePrivate::_q_method(const AmqpMethodFrame& frame)
{
    if (AmqpChannelPrivate::_q_method(frame))
        return true;
    AmqpQueue* q = static_cast<AmqpQueue*>(q_ptr);
    QDataStream in(frame.arguments());

    if (frame.methodClass() == AmqpFrame::Queue) {
        switch (frame.id()) {
        case 11: { // declare-ok
            const QString queueName = AmqpFrame::readShortString(in);
            qint32 messages = 0, consumers = 0;
            in >> messages >> consumers;
            if (!checkArguments(in, frame))
                return true;
            declared = true;
            name = queueName;
            messageCount = messages;
            consumerCount = consumers;
            amqpDebug("-> queue#declareOk( queue-name=%s, message-count=%d, consumer-count=%d )", qPrintable(name),
                       messages, consumers);
            emit q->declared();
            return true;
        }
        case 21:
            amqpDebug("-> queue[ %s ]#bindOk()", qPrintable(name));
            emit q->bound();
            return true;
        case 51:
            amqpDebug("-> queue[ %s ]#unbindOk()", qPrintable(name));
            emit q->unbound();
            return true;
        case 31: { // purge-ok
            qint32 messages = 0;
            in >> messages;
            if (!checkArguments(in, frame))
                return true;
            amqpDebug("-> queue#purgeOk( queue-name=%s, message-count=%d )", qPrintable(name), messages);
            emit q->purged(messages);
            return true;
        }
        case 41: { // delete-ok
            qint32 messages = 0;
            in >> messages;
            if (!checkArguments(in, frame))
                return true;
            declared = false;
            messageCount = messages;
            amqpDebug("-> queue#deleteOk( queue-name=%s, message-count=%d )", qPrintable(name), messages);
            emit q->removed();
            return true;
        }
        default:
            return true;
        }
    }

    if (frame.methodClass() != AmqpFrame::Basic)
        return false;

    switch (frame.id()) {
    case 21: { // consume-ok
        const QString tag = AmqpFrame::readShortString(in);
        if (!checkArguments(in, frame))
            return true;
        consumerTag = tag;
        consuming = true;
        consumeRequested = false;
        amqpDebug("-> queue[ %s ]#consumeOk( consumer-tag=%s )", qPrintable(name), qPrintable(tag));
        emit q->consuming(tag);
        return true;
    }
    case 31: { // cancel-ok
        const QString tag = AmqpFrame::readShortString(in);
        if (!checkArguments(in, frame))
            return true;
        if (tag != consumerTag) {
            amqpDebug("AMQP: invalid consumer tag: %s", qPrintable(tag));
            return true;
        }
        amqpDebug("-> queue[ %s ]#cancelOk( consumer-tag=%s )", qPrintable(name), qPrintable(tag));
        consumerTag.clear();
        consuming = false;
        consumeRequested = false;
        emit q->cancelled(tag);
        return true;
    }
    case 60: { // deliver
        const QString tag = AmqpFrame::readShortString(in);
        quint64 deliveryTag = 0;
        quint8 redelivered = 0;
        in >> deliveryTag >> redelivered;
        const QString exchange = AmqpFrame::readShortString(in);
        const QString routingKey = AmqpFrame::readShortString(in);
        if (!checkArguments(in, frame))
            return true;
        if (tag != consumerTag) {
            // Another object on this channel number may own it.
            amqpDebug("AMQP: invalid consumer tag: %s", qPrintable(tag));
            return true;
        }
        if (assembly != Idle) {
            protocolError(Amqp::UnexpectedFrameError, QStringLiteral("delivery while another message is incomplete"),
                          AmqpFrame::Basic, 60);
            return true;
        }
        startMessage(qint64(deliveryTag), redelivered != 0, exchange, routingKey);
        return true;
    }
    case 71: { // get-ok
        quint64 deliveryTag = 0;
        quint8 redelivered = 0;
        in >> deliveryTag >> redelivered;
        const QString exchange = AmqpFrame::readShortString(in);
        const QString routingKey = AmqpFrame::readShortString(in);
        quint32 remaining = 0;
        in >> remaining;
        if (!checkArguments(in, frame))
            return true;
        amqpDebug("-> queue[ %s ]#getOk()", qPrintable(name));
        if (assembly != Idle) {
            protocolError(Amqp::UnexpectedFrameError, QStringLiteral("get-ok while another message is incomplete"),
                          AmqpFrame::Basic, 71);
            return true;
        }
        startMessage(qint64(deliveryTag), redelivered != 0, exchange, routingKey);
        return true;
    }
    case 72: // get-empty
        emit q->empty();
        return true;
    default:
        return true;
    }
}

void AmqpQueuePrivate::_q_content(const AmqpContentFrame& frame)
{
    if (assembly == Idle) {
        amqpDebug("AMQP: received content-header without delivered message");
        return;
    }
    if (assembly == AwaitBody) {
        protocolError(Amqp::UnexpectedFrameError, QStringLiteral("content header while a body is incomplete"));
        return;
    }
    if (frame.bodySize() > maxBodySize) {
        protocolError(Amqp::ResourceError, QStringLiteral("content body too large"));
        return;
    }
    AmqpMessagePrivate* m = currentMessage.d.data();
    m->leftSize = frame.bodySize();
    m->bodySize = frame.bodySize();
    m->bodyDropped = frame.bodySize() > bodyLimit;
    const AmqpMessage::PropertyHash properties = frame.properties();
    for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
        m->properties.insert(it.key(), it.value());
        if (it.key() == AmqpMessage::Headers)
            m->headers = it.value().value<AmqpTable>();
    }
    if (m->leftSize == 0)
        completeMessage();
    else
        assembly = AwaitBody;
}

void AmqpQueuePrivate::_q_body(const AmqpContentBodyFrame& frame)
{
    if (assembly == Idle) {
        amqpDebug("AMQP: received content-body without delivered message");
        return;
    }
    if (assembly == AwaitHeader) {
        protocolError(Amqp::UnexpectedFrameError, QStringLiteral("content body before its header"));
        return;
    }
    AmqpMessagePrivate* m = currentMessage.d.data();
    const QByteArray body = frame.body();
    if (quint64(body.size()) > m->leftSize) {
        protocolError(Amqp::UnexpectedFrameError, QStringLiteral("content body longer than announced"));
        return;
    }
    if (!m->bodyDropped)
        m->payload.append(body);
    m->leftSize -= quint64(body.size());
    if (m->leftSize == 0)
        completeMessage();
}

void AmqpQueuePrivate::resetInternalState()
{
    AmqpChannelPrivate::resetInternalState();
    delayedDeclare = false;
    declared = false;
    consuming = false;
    consumeRequested = false;
    dropUndelivered();
}

// ---------------------------------------------------------------- public class

AmqpQueue::AmqpQueue(int channelNumber, AmqpClient* parent) : AmqpChannel(new AmqpQueuePrivate(this), parent)
{
    d_ptr->init(channelNumber, parent);
}

AmqpQueue::~AmqpQueue() = default;

int AmqpQueue::options() const { return static_cast<AmqpQueuePrivate*>(d_ptr)->options; }
bool AmqpQueue::isConsuming() const { return static_cast<AmqpQueuePrivate*>(d_ptr)->consuming; }
bool AmqpQueue::isDeclared() const { return static_cast<AmqpQueuePrivate*>(d_ptr)->declared; }
int AmqpQueue::messageCount() const { return static_cast<AmqpQueuePrivate*>(d_ptr)->messageCount; }
int AmqpQueue::consumerCount() const { return static_cast<AmqpQueuePrivate*>(d_ptr)->consumerCount; }
void AmqpQueue::setConsumerTag(const QString& consumerTag) { static_cast<AmqpQueuePrivate*>(d_ptr)->consumerTag = consumerTag; }
QString AmqpQueue::consumerTag() const { return static_cast<AmqpQueuePrivate*>(d_ptr)->consumerTag; }
void AmqpQueue::setBodyLimit(quint64 bytes)
{
    static_cast<AmqpQueuePrivate*>(d_ptr)->bodyLimit = qMin(bytes, AmqpQueuePrivate::maxBodySize);
}
quint64 AmqpQueue::bodyLimit() const { return static_cast<AmqpQueuePrivate*>(d_ptr)->bodyLimit; }

void AmqpQueue::channelOpened()
{
    AmqpQueuePrivate* d = static_cast<AmqpQueuePrivate*>(d_ptr);
    if (d->delayedDeclare)
        d->declare();
    while (!d->delayedBindings.isEmpty()) {
        const QPair<QString, QString> binding = d->delayedBindings.dequeue();
        d->sendBind(binding.first, binding.second);
    }
}

void AmqpQueue::channelClosed()
{
    // The broker requeues what this channel held unacknowledged; those tags are dead.
    AmqpQueuePrivate* d = static_cast<AmqpQueuePrivate*>(d_ptr);
    d->consuming = false;
    d->consumeRequested = false;
    d->dropUndelivered();
}

void AmqpQueue::declare(int options, const AmqpTable& arguments)
{
    AmqpQueuePrivate* d = static_cast<AmqpQueuePrivate*>(d_ptr);
    d->options = options;
    d->arguments = arguments;
    if (!d->opened) {
        d->delayedDeclare = true;
        return;
    }
    d->declare();
}

void AmqpQueue::bind(const QString& exchangeName, const QString& key)
{
    AmqpQueuePrivate* d = static_cast<AmqpQueuePrivate*>(d_ptr);
    if (!d->opened) {
        d->delayedBindings.enqueue(qMakePair(exchangeName, key));
        return;
    }
    d->sendBind(exchangeName, key);
}

void AmqpQueue::bind(AmqpExchange* exchange, const QString& key)
{
    if (!exchange) {
        amqpDebug("AMQP: invalid exchange provided");
        return;
    }
    bind(exchange->name(), key);
}

void AmqpQueue::unbind(const QString& exchangeName, const QString& key)
{
    AmqpQueuePrivate* d = static_cast<AmqpQueuePrivate*>(d_ptr);
    if (!d->opened) {
        amqpDebug("AMQP: queue is not open");
        return;
    }
    amqpDebug("<- queue#unbind( queue=%s, exchange=%s, routing-key=%s )", qPrintable(d->name), qPrintable(exchangeName),
               qPrintable(key));
    d->sendOnQueue(AmqpFrame::Queue, 50, [&](QDataStream& out) {
        AmqpFrame::writeShortString(out, exchangeName);
        AmqpFrame::writeShortString(out, key);
        out << AmqpTable();
    });
}

void AmqpQueue::unbind(AmqpExchange* exchange, const QString& key)
{
    if (!exchange) {
        amqpDebug("AMQP: invalid exchange provided");
        return;
    }
    unbind(exchange->name(), key);
}

void AmqpQueue::purge()
{
    AmqpQueuePrivate* d = static_cast<AmqpQueuePrivate*>(d_ptr);
    if (!d->opened)
        return;
    amqpDebug("<- queue#purge( queue=%s, no-wait=%d )", qPrintable(d->name), 0);
    d->sendOnQueue(AmqpFrame::Queue, 30, [](QDataStream& out) { out << quint8(0); });
}

void AmqpQueue::remove(int options)
{
    AmqpQueuePrivate* d = static_cast<AmqpQueuePrivate*>(d_ptr);
    if (!d->declared) {
        amqpDebug("AMQP: trying to remove undeclared queue, aborting...");
        return;
    }
    amqpDebug("<- queue#delete( queue=%s, if-unused=%d, if-empty=%d )", qPrintable(d->name),
               int(bool(options & roIfUnused)), int(bool(options & roIfEmpty)));
    d->sendOnQueue(AmqpFrame::Queue, 40, [&](QDataStream& out) { out << quint8(options); });
}

bool AmqpQueue::consume(int options)
{
    AmqpQueuePrivate* d = static_cast<AmqpQueuePrivate*>(d_ptr);
    if (!d->opened) {
        amqpDebug("AMQP: queue is not open");
        return false;
    }
    if (d->consumeRequested) {
        amqpDebug("AMQP: already attempting to consume");
        return false;
    }
    if (d->consuming) {
        amqpDebug("AMQP: already consuming with tag: %s", qPrintable(d->consumerTag));
        return false;
    }
    amqpDebug("<- basic#consume( queue=%s, consumer-tag=%s, no-local=%d, no-ack=%d, exclusive=%d, no-wait=%d )",
               qPrintable(d->name), qPrintable(d->consumerTag), int(bool(options & coNoLocal)),
               int(bool(options & coNoAck)), int(bool(options & coExclusive)), int(bool(options & coNoWait)));
    if (!d->sendOnQueue(AmqpFrame::Basic, 20, [&](QDataStream& out) {
            AmqpFrame::writeShortString(out, d->consumerTag);
            out << quint8(options) << AmqpTable();
        }))
        return false;
    d->consumeRequested = true;
    return true;
}

bool AmqpQueue::cancel(bool noWait)
{
    AmqpQueuePrivate* d = static_cast<AmqpQueuePrivate*>(d_ptr);
    if (!d->consuming) {
        amqpDebug("AMQP: not consuming!");
        return false;
    }
    if (d->consumerTag.isEmpty()) {
        amqpDebug("AMQP: consuming with an empty consumer tag, failing...");
        return false;
    }
    amqpDebug("<- basic#cancel( consumer-tag=%s, no-wait=%d )", qPrintable(d->consumerTag), int(noWait));
    return d->sendMethod(AmqpFrame::Basic, 30, [&](QDataStream& out) {
        AmqpFrame::writeShortString(out, d->consumerTag);
        out << quint8(noWait ? 1 : 0);
    });
}

void AmqpQueue::get(bool noAck)
{
    AmqpQueuePrivate* d = static_cast<AmqpQueuePrivate*>(d_ptr);
    if (!d->opened) {
        amqpDebug("AMQP: channel is not open");
        return;
    }
    amqpDebug("<- basic#get( queue=%s, no-ack=%d )", qPrintable(d->name), int(noAck));
    d->sendOnQueue(AmqpFrame::Basic, 70, [&](QDataStream& out) { out << quint8(noAck ? 1 : 0); });
}

void AmqpQueue::ack(const AmqpMessage& message)
{
    ack(message.deliveryTag(), false);
}

void AmqpQueue::ack(qint64 deliveryTag, bool multiple)
{
    static_cast<AmqpQueuePrivate*>(d_ptr)->settle(80, "ack", "multiple", deliveryTag, multiple);
}

void AmqpQueue::reject(const AmqpMessage& message, bool requeue)
{
    reject(message.deliveryTag(), requeue);
}

void AmqpQueue::reject(qint64 deliveryTag, bool requeue)
{
    static_cast<AmqpQueuePrivate*>(d_ptr)->settle(90, "reject", "requeue", deliveryTag, requeue);
}
