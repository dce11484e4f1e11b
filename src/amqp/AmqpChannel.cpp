#include "AmqpChannel.h"

#include "AmqpChannel_p.h"
#include "AmqpClient_p.h"

AmqpChannelPrivate::AmqpChannelPrivate(AmqpChannel* q) : q_ptr(q) {}

AmqpChannelPrivate::~AmqpChannelPrivate() = default;

void AmqpChannelPrivate::init(int requestedChannelNumber, AmqpClient* c)
{
    client = c;
    AmqpClientPrivate* cp = AmqpClientPrivate::get(c);
    channelNumber = cp->allocateChannelNumber(requestedChannelNumber, &needOpen);
    cp->registerChannel(q_ptr, this);
}

AmqpClientPrivate* AmqpChannelPrivate::clientPrivate() const
{
    return client ? AmqpClientPrivate::get(client) : nullptr;
}

void AmqpChannelPrivate::_q_open()
{
    open();
}

void AmqpChannelPrivate::open()
{
    if (!needOpen || opened || opening || !client || !client->isConnected())
        return;
    amqpDebug("<- channel#open( channel=%d, name=%s )", channelNumber, qPrintable(name));
    if (sendMethod(AmqpFrame::Channel, 10, QByteArray(1, '\0')))
        opening = true;
}

bool AmqpChannelPrivate::sendFrame(const AmqpFrame& frame)
{
    AmqpClientPrivate* cp = clientPrivate();
    if (!cp) {
        amqpDebug("AMQP: invalid client");
        return false;
    }
    return cp->sendFrame(frame);
}

bool AmqpChannelPrivate::sendMethod(AmqpFrame::MethodClass methodClass, qint16 id, const QByteArray& arguments)
{
    AmqpMethodFrame frame(methodClass, id);
    frame.setChannel(channelNumber);
    frame.setArguments(arguments);
    return sendFrame(frame);
}

bool AmqpChannelPrivate::sendMethod(AmqpFrame::MethodClass methodClass, qint16 id,
                                    const std::function<void(QDataStream&)>& write)
{
    QByteArray args;
    QDataStream out(&args, QIODevice::WriteOnly);
    write(out);
    if (out.status() != QDataStream::Ok) {
        qWarning("AMQP: method %d.%d on channel %d (%s) could not be encoded, not sent", int(methodClass), int(id),
                 channelNumber, qPrintable(name.left(64)));
        return false;
    }
    return sendMethod(methodClass, id, args);
}

void AmqpChannelPrivate::close(int code, const QString& text, int classId, int methodId)
{
    amqpDebug("<- channel#close( channel=%d, name=%s, reply-code=%d, text=%s class-id=%d, method-id:%d, )",
               channelNumber, qPrintable(name), code == 0 ? 200 : code, qPrintable(text), classId, methodId);
    sendMethod(AmqpFrame::Channel, 40, [&](QDataStream& out) {
        out << quint16(code == 0 ? 200 : code);
        AmqpFrame::writeShortString(out, text.isEmpty() ? QStringLiteral("OK") : text);
        out << quint16(classId) << quint16(methodId);
    });
}

void AmqpChannelPrivate::flow(bool active)
{
    sendMethod(AmqpFrame::Channel, 20, QByteArray(1, active ? '\1' : '\0'));
}

void AmqpChannelPrivate::sendQos()
{
    amqpDebug("<- basic#qos( channel=%d, name=%s, prefetch-size=%d, prefetch-count=%d, global=%d )", channelNumber,
               qPrintable(name), requestedPrefetchSize, requestedPrefetchCount, 0);
    qosPending = false;
    sendMethod(AmqpFrame::Basic, 10, [this](QDataStream& out) {
        out << qint32(requestedPrefetchSize) << quint16(requestedPrefetchCount) << quint8(0);
    });
}

void AmqpChannelPrivate::notifyClosed()
{
    opened = false;
    opening = false;
    QPointer<AmqpChannel> guard(q_ptr);
    emit q_ptr->closed();
    if (!guard)
        return;
    q_ptr->channelClosed();
}

bool AmqpChannelPrivate::checkArguments(QDataStream& stream, const AmqpMethodFrame& frame)
{
    if (stream.status() == QDataStream::Ok)
        return true;
    protocolError(Amqp::SyntaxError, QStringLiteral("malformed method arguments"), quint16(frame.methodClass()),
                  quint16(frame.id()));
    return false;
}

void AmqpChannelPrivate::protocolError(Amqp::Error code, const QString& text, quint16 classId, quint16 methodId)
{
    if (AmqpClientPrivate* cp = clientPrivate())
        cp->protocolError(code, text, classId, methodId);
}

bool AmqpChannelPrivate::_q_method(const AmqpMethodFrame& frame)
{
    QDataStream in(frame.arguments());
    QPointer<AmqpChannel> guard(q_ptr);
    if (frame.methodClass() == AmqpFrame::Channel) {
        switch (frame.id()) {
        case 11: // open-ok
            amqpDebug("-> channel#openOk( channel=%d, name=%s )", channelNumber, qPrintable(name));
            opening = false;
            opened = true;
            if (qosPending)
                sendQos();
            emit q_ptr->opened();
            if (!guard)
                return true;
            q_ptr->channelOpened();
            return true;
        case 20: { // flow
            quint8 active = 0;
            in >> active;
            if (!checkArguments(in, frame))
                return true;
            amqpDebug("-> channel#flow( channel=%d, name=%s )", channelNumber, qPrintable(name));
            sendMethod(AmqpFrame::Channel, 21, QByteArray(1, active ? '\1' : '\0'));
            if (active)
                emit q_ptr->resumed();
            else
                emit q_ptr->paused();
            return true;
        }
        case 21: { // flow-ok
            quint8 active = 0;
            in >> active;
            if (!checkArguments(in, frame))
                return true;
            amqpDebug("-> channel#flowOk( channel=%d, name=%s )", channelNumber, qPrintable(name));
            if (active)
                emit q_ptr->resumed();
            else
                emit q_ptr->paused();
            return true;
        }
        case 40: { // close
            quint16 code = 0, classId = 0, methodId = 0;
            in >> code;
            const QString text = AmqpFrame::readShortString(in);
            in >> classId >> methodId;
            if (!checkArguments(in, frame))
                return true;
            if (code != 0) {
                error = Amqp::Error(code);
                errorString = text;
                emit q_ptr->error(error);
                if (!guard)
                    return true;
            }
            amqpDebug("-> channel#close( channel=%d, name=%s, reply-code=%d, reply-text=%s, class-id=%d, method-id=%d, )",
                       channelNumber, qPrintable(name), code, qPrintable(text), classId, methodId);
            sendMethod(AmqpFrame::Channel, 41, QByteArray());
            notifyClosed();
            return true;
        }
        case 41: // close-ok
            amqpDebug("-> channel#closeOk( channel=%d, name=%s )", channelNumber, qPrintable(name));
            notifyClosed();
            if (guard && reopenRequested) {
                reopenRequested = false;
                open();
            }
            return true;
        default:
            return true;
        }
    }
    if (frame.methodClass() == AmqpFrame::Basic && frame.id() == 11) { // qos-ok
        amqpDebug("-> basic#qosOk( channel=%d, name=%s )", channelNumber, qPrintable(name));
        prefetchCount = requestedPrefetchCount;
        prefetchSize = requestedPrefetchSize;
        emit q_ptr->qosDefined();
        return true;
    }
    return false;
}

void AmqpChannelPrivate::resetInternalState()
{
    if (opened) {
        opened = false;
        needOpen = true;
    }
    opening = false;
}

void AmqpChannelPrivate::_q_disconnected()
{
    opened = false;
    opening = false;
}

// ---------------------------------------------------------------- public class

AmqpChannel::AmqpChannel(AmqpChannelPrivate* dd, AmqpClient* client) : QObject(client), d_ptr(dd) {}

AmqpChannel::~AmqpChannel()
{
    if (AmqpClientPrivate* cp = d_ptr->clientPrivate())
        cp->unregisterChannel(this, d_ptr);
    delete d_ptr;
}

int AmqpChannel::channelNumber() const { return d_ptr->channelNumber; }
QString AmqpChannel::name() const { return d_ptr->name; }
void AmqpChannel::setName(const QString& name) { d_ptr->name = name; }
bool AmqpChannel::isOpen() const { return d_ptr->opened; }

void AmqpChannel::qos(quint16 prefetchCount, qint32 prefetchSize)
{
    d_ptr->requestedPrefetchCount = prefetchCount;
    d_ptr->requestedPrefetchSize = prefetchSize;
    if (d_ptr->opened)
        d_ptr->sendQos();
    else
        d_ptr->qosPending = true;
}

quint16 AmqpChannel::prefetchCount() const { return d_ptr->prefetchCount; }
qint32 AmqpChannel::prefetchSize() const { return d_ptr->prefetchSize; }
void AmqpChannel::reset() { d_ptr->resetInternalState(); }
Amqp::Error AmqpChannel::error() const { return d_ptr->error; }
QString AmqpChannel::errorString() const { return d_ptr->errorString; }

void AmqpChannel::close()
{
    d_ptr->needOpen = true;
    if (d_ptr->opened)
        d_ptr->close(0, QString(), 0, 0);
}

void AmqpChannel::reopen()
{
    if (d_ptr->opened) {
        close();
        d_ptr->reopenRequested = true;
        return;
    }
    d_ptr->open();
}

void AmqpChannel::resume()
{
    d_ptr->flow(true);
}
