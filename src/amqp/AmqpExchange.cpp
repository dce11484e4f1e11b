#include "AmqpExchange.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>

#include "AmqpClient_p.h"
#include "AmqpExchange_p.h"

namespace {

QString typeName(AmqpExchange::ExchangeType type)
{
    switch (type) {
    case AmqpExchange::Direct: return QStringLiteral("direct");
    case AmqpExchange::FanOut: return QStringLiteral("fanout");
    case AmqpExchange::Topic: return QStringLiteral("topic");
    case AmqpExchange::Headers: return QStringLiteral("headers");
    }
    return QStringLiteral("direct");
}

} // namespace

AmqpExchangePrivate::AmqpExchangePrivate(AmqpExchange* q) : AmqpChannelPrivate(q) {}

void AmqpExchangePrivate::declare()
{
    if (!opened) {
        delayedDeclare = true;
        return;
    }
    if (name.isEmpty()) {
        amqpDebug("AMQP: attempting to declare an unnamed exchange, aborting...");
        return;
    }
    amqpDebug("<- exchange#declare( name=%s, type=%s, passive=%d, durable=%d, no-wait=%d )", qPrintable(name),
               qPrintable(type), options.testFlag(AmqpExchange::Passive), options.testFlag(AmqpExchange::Durable),
               options.testFlag(AmqpExchange::NoWait));
    delayedDeclare = false;
    sendMethod(AmqpFrame::Exchange, 10, [this](QDataStream& out) {
        out << quint16(0);
        AmqpFrame::writeShortString(out, name);
        AmqpFrame::writeShortString(out, type);
        out << quint8(int(options)) << arguments;
    });
}

QList<qint64> AmqpExchangePrivate::takeConfirmed(quint64 tag, bool multiple)
{
    QList<qint64> taken;
    auto& tags = unconfirmedDeliveryTags;
    if (multiple) {
        // Everything up to and including `tag`; tag 0 with multiple means everything.
        while (!tags.empty() && (tag == 0 || quint64(tags.front()) <= tag)) {
            taken.append(tags.front());
            tags.pop_front();
        }
        return taken;
    }
    if (tag == 0 || tag > quint64(std::numeric_limits<qint64>::max()))
        return taken;
    const auto it = std::lower_bound(tags.begin(), tags.end(), qint64(tag));
    if (it != tags.end() && *it == qint64(tag)) {
        taken.append(*it);
        tags.erase(it);
    }
    return taken;
}

bool AmqpExchangePrivate::_q_method(const AmqpMethodFrame& frame)
{
    if (AmqpChannelPrivate::_q_method(frame))
        return true;
    AmqpExchange* q = static_cast<AmqpExchange*>(q_ptr);
    QDataStream in(frame.arguments());

    if (frame.methodClass() == AmqpFrame::Exchange) {
        switch (frame.id()) {
        case 11: // declare-ok
            amqpDebug("-> exchange[ %s ]#declareOk()", qPrintable(name));
            declared = true;
            emit q->declared();
            return true;
        case 21: // delete-ok
            amqpDebug("-> exchange#deleteOk[ %s ]()", qPrintable(name));
            declared = false;
            emit q->removed();
            return true;
        default:
            return true;
        }
    }
    if (frame.methodClass() == AmqpFrame::Confirm) {
        if (frame.id() == 11)
            emit q->confirmsEnabled();
        return true;
    }
    if (frame.methodClass() != AmqpFrame::Basic)
        return false;

    switch (frame.id()) {
    case 80:    // ack
    case 120: { // nack: the same arguments; the refused tags are reported for republishing
        quint64 tag = 0;
        quint8 flags = 0;
        in >> tag >> flags;
        if (!checkArguments(in, frame))
            return true;
        const bool multiple = flags & 1;
        const bool nack = frame.id() == 120;
        amqpDebug("-> basic#%s( delivery-tag=%llu, multiple=%d )", nack ? "nack" : "ack",
                   static_cast<unsigned long long>(tag), int(multiple));
        const QList<qint64> settled = takeConfirmed(tag, multiple);
        if (settled.isEmpty())
            return true;
        QPointer<AmqpChannel> guard(q);
        if (nack)
            emit q->nacked(settled);
        else
            emit q->acked(settled);
        if (guard && unconfirmedDeliveryTags.empty())
            emit q->allMessagesDelivered();
        return true;
    }
    case 50: { // return
        quint16 code = 0;
        in >> code;
        const QString text = AmqpFrame::readShortString(in);
        const QString exchange = AmqpFrame::readShortString(in);
        const QString routingKey = AmqpFrame::readShortString(in);
        if (!checkArguments(in, frame))
            return true;
        amqpDebug("-> basic#return( reply-code=%d, reply-text=%s, exchange=%s, routing-key=%s )", code,
                   qPrintable(text), qPrintable(exchange), qPrintable(routingKey));
        if (code != 0) {
            error = Amqp::Error(code);
            errorString = text;
            emit q->error(error);
        }
        return true;
    }
    default:
        return true;
    }
}

void AmqpExchangePrivate::resetInternalState()
{
    AmqpChannelPrivate::resetInternalState();
    delayedDeclare = false;
    declared = false;
    nextDeliveryTag = 0;
}

void AmqpExchangePrivate::_q_disconnected()
{
    AmqpChannelPrivate::_q_disconnected();
    amqpDebug("AMQP: exchange disconnected: %s", qPrintable(name));
    delayedDeclare = false;
    declared = false;
    unconfirmedDeliveryTags.clear();
}

// ---------------------------------------------------------------- public class

AmqpExchange::AmqpExchange(int channelNumber, AmqpClient* parent)
    : AmqpChannel(new AmqpExchangePrivate(this), parent)
{
    d_ptr->init(channelNumber, parent);
}

AmqpExchange::~AmqpExchange() = default;

QString AmqpExchange::type() const { return static_cast<AmqpExchangePrivate*>(d_ptr)->type; }
AmqpExchange::ExchangeOptions AmqpExchange::options() const { return static_cast<AmqpExchangePrivate*>(d_ptr)->options; }
bool AmqpExchange::isDeclared() const { return static_cast<AmqpExchangePrivate*>(d_ptr)->declared; }

QList<qint64> AmqpExchange::unconfirmedDeliveryTags() const
{
    const auto& tags = static_cast<AmqpExchangePrivate*>(d_ptr)->unconfirmedDeliveryTags;
    return QList<qint64>(tags.begin(), tags.end());
}

qint64 AmqpExchange::lastDeliveryTag() const
{
    const qint64 next = static_cast<AmqpExchangePrivate*>(d_ptr)->nextDeliveryTag;
    return next > 1 ? next - 1 : 0;
}

int AmqpExchange::unconfirmedCount() const
{
    return int(static_cast<AmqpExchangePrivate*>(d_ptr)->unconfirmedDeliveryTags.size());
}

void AmqpExchange::channelOpened()
{
    AmqpExchangePrivate* d = static_cast<AmqpExchangePrivate*>(d_ptr);
    if (d->delayedDeclare)
        d->declare();
}

void AmqpExchange::channelClosed()
{
    // The broker forgets confirm mode and delivery tags with the channel; outstanding tags can
    // never be confirmed now, and a later confirm.select counts from 1 again.
    AmqpExchangePrivate* d = static_cast<AmqpExchangePrivate*>(d_ptr);
    d->nextDeliveryTag = 0;
    d->unconfirmedDeliveryTags.clear();
}

void AmqpExchange::declare(AmqpExchange::ExchangeType type, AmqpExchange::ExchangeOptions options, const AmqpTable& args)
{
    declare(typeName(type), options, args);
}

void AmqpExchange::declare(const QString& type, AmqpExchange::ExchangeOptions options, const AmqpTable& args)
{
    AmqpExchangePrivate* d = static_cast<AmqpExchangePrivate*>(d_ptr);
    d->type = type;
    d->options = options;
    d->arguments = args;
    d->declare();
}

void AmqpExchange::remove(int options)
{
    AmqpExchangePrivate* d = static_cast<AmqpExchangePrivate*>(d_ptr);
    amqpDebug("<- exchange#delete( exchange=%s, if-unused=%d, no-wait=%d )", qPrintable(d->name),
               int(bool(options & roIfUnused)), int(bool(options & roNoWait)));
    d->sendMethod(AmqpFrame::Exchange, 20, [&](QDataStream& out) {
        out << quint16(0);
        AmqpFrame::writeShortString(out, d->name);
        out << quint8(options);
    });
}

bool AmqpExchange::publish(const QString& message, const QString& routingKey,
                           const AmqpMessage::PropertyHash& properties, int publishOptions)
{
    return publish(message.toUtf8(), routingKey, QStringLiteral("text/plain"), AmqpTable(), properties, publishOptions);
}

bool AmqpExchange::publish(const QByteArray& message, const QString& routingKey, const QString& mimeType,
                           const AmqpMessage::PropertyHash& properties, int publishOptions)
{
    return publish(message, routingKey, mimeType, AmqpTable(), properties, publishOptions);
}

bool AmqpExchange::publish(const QByteArray& message, const QString& routingKey, const QString& mimeType,
                           const AmqpTable& headers, const AmqpMessage::PropertyHash& properties, int publishOptions)
{
    AmqpExchangePrivate* d = static_cast<AmqpExchangePrivate*>(d_ptr);
    AmqpClientPrivate* cp = d->clientPrivate();
    if (!cp) {
        amqpDebug("AMQP: invalid client");
        return false;
    }

    // Every frame is encoded before any is sent: a message goes out whole or not at all.
    QByteArray args;
    QDataStream out(&args, QIODevice::WriteOnly);
    out << quint16(0);
    AmqpFrame::writeShortString(out, d->name);
    AmqpFrame::writeShortString(out, routingKey);
    out << quint8(publishOptions);
    AmqpMethodFrame method(AmqpFrame::Basic, 40);
    method.setChannel(d->channelNumber);
    method.setArguments(args);

    AmqpContentFrame header(AmqpFrame::Basic);
    header.setChannel(d->channelNumber);
    header.setProperty(AmqpMessage::ContentType, mimeType);
    header.setProperty(AmqpMessage::ContentEncoding, QStringLiteral("utf-8"));
    header.setProperty(AmqpMessage::Headers, QVariant::fromValue(headers));
    for (auto it = properties.cbegin(); it != properties.cend(); ++it)
        header.setProperty(it.key(), it.value());
    header.setBodySize(quint64(message.size()));

    const QByteArray methodBytes = out.status() == QDataStream::Ok ? method.toByteArray() : QByteArray();
    const QByteArray headerBytes = header.toByteArray();
    if (methodBytes.isEmpty() || headerBytes.isEmpty()) {
        qWarning("AMQP: message for exchange %s, key %s could not be encoded, not published",
                 qPrintable(d->name.left(64)), qPrintable(routingKey.left(64)));
        return false;
    }

    if (d->nextDeliveryTag > 0)
        d->unconfirmedDeliveryTags.push_back(d->nextDeliveryTag++);

    amqpDebug("<- basic#publish( exchange=%s, routing-key=%s, mandatory=%d, immediate=%d )", qPrintable(d->name),
               qPrintable(routingKey), int(bool(publishOptions & poMandatory)), int(bool(publishOptions & poImmediate)));
    bool sent = cp->sendBytes(d->channelNumber, methodBytes);
    sent = cp->sendBytes(d->channelNumber, headerBytes) && sent;
    const int slice = qMax(1, cp->frameMax - 8);
    for (int offset = 0; offset < message.size(); offset += slice) {
        const AmqpContentBodyFrame body(d->channelNumber, message.mid(offset, slice));
        sent = cp->sendFrame(body) && sent;
    }
    return sent;
}

void AmqpExchange::enableConfirms(bool noWait)
{
    AmqpExchangePrivate* d = static_cast<AmqpExchangePrivate*>(d_ptr);
    if (!d->sendMethod(AmqpFrame::Confirm, 10, QByteArray(1, noWait ? '\1' : '\0')))
        return;
    if (d->nextDeliveryTag == 0)
        d->nextDeliveryTag = 1;
}

bool AmqpExchange::waitForConfirms(int msecs)
{
    AmqpExchangePrivate* d = static_cast<AmqpExchangePrivate*>(d_ptr);
    if (d->unconfirmedDeliveryTags.empty())
        return true;
    QEventLoop loop;
    QTimer::singleShot(msecs, &loop, &QEventLoop::quit);
    connect(this, &AmqpExchange::allMessagesDelivered, &loop, &QEventLoop::quit);
    connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
    QPointer<AmqpExchange> guard(this);
    loop.exec();
    return guard && static_cast<AmqpExchangePrivate*>(guard->d_ptr)->unconfirmedDeliveryTags.empty();
}
