#include "AmqpClient.h"

#include <QUrl>

#include "AmqpChannel.h"
#include "AmqpChannelHash.h"
#include "AmqpChannel_p.h"
#include "AmqpClient_p.h"
#include "AmqpExchange.h"
#include "AmqpPlainAuthenticator.h"
#include "AmqpQueue.h"

namespace {

constexpr int closeOkTimeoutMs = 5000;

const char* stateName(QAbstractSocket::SocketState state)
{
    switch (state) {
    case QAbstractSocket::UnconnectedState: return "unconnected";
    case QAbstractSocket::HostLookupState: return "host lookup";
    case QAbstractSocket::ConnectingState: return "connecting";
    case QAbstractSocket::ConnectedState: return "connected";
    case QAbstractSocket::BoundState: return "bound";
    case QAbstractSocket::ListeningState: return "listening";
    case QAbstractSocket::ClosingState: return "closing";
    }
    return "unknown";
}

// 0 means "no limit" on either side; otherwise the smaller value wins.
template <typename T> T negotiate(T client, T broker)
{
    if (client == 0)
        return broker;
    if (broker == 0)
        return client;
    return qMin(client, broker);
}

} // namespace

// ---------------------------------------------------------------- private part

AmqpClientPrivate::AmqpClientPrivate(AmqpClient* q) : q_ptr(q) {}

AmqpClientPrivate::~AmqpClientPrivate() = default;

void AmqpClientPrivate::init()
{
    Amqp::registerMetaTypes();
    initSocket();

    heartbeatTimer = new QTimer(q_ptr);
    QObject::connect(heartbeatTimer, &QTimer::timeout, q_ptr, [this] { heartbeatTick(); });

    reconnectTimer = new QTimer(q_ptr);
    reconnectTimer->setSingleShot(true);
    QObject::connect(reconnectTimer, &QTimer::timeout, q_ptr, [this] { _q_connect(); });

    closeTimer = new QTimer(q_ptr);
    closeTimer->setSingleShot(true);
    closeTimer->setInterval(closeOkTimeoutMs);
    QObject::connect(closeTimer, &QTimer::timeout, q_ptr, [this] {
        if (socket->state() != QAbstractSocket::UnconnectedState) {
            amqpDebug("AMQP: no close-ok from the broker, aborting the connection");
            abortSocket();
        }
    });

    authenticator = QSharedPointer<AmqpAuthenticator>(new AmqpPlainAuthenticator(QStringLiteral("guest"), QStringLiteral("guest")));
    exchanges = new AmqpChannelHash(q_ptr);
    queues = new AmqpChannelHash(q_ptr);
}

void AmqpClientPrivate::initSocket()
{
    socket = new QSslSocket(q_ptr);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    AmqpClient* q = q_ptr;
    QObject::connect(socket, &QSslSocket::connected, q, [this] {
        socketUp = true;
        if (!useSsl)
            startHandshake();
    });
    QObject::connect(socket, &QSslSocket::encrypted, q, [this] { startHandshake(); });
    QObject::connect(socket, &QSslSocket::disconnected, q, [this] { socketDisconnected(); });
    QObject::connect(socket, &QSslSocket::readyRead, q, [this] { readyRead(); });
    QObject::connect(socket, &QSslSocket::errorOccurred, q, [this](QAbstractSocket::SocketError e) { socketError(e); });
    QObject::connect(socket, &QSslSocket::stateChanged, q, &AmqpClient::socketStateChanged);
    // Only reported: the handshake fails unless a receiver connected directly to sslErrors
    // calls ignoreSslErrors while the signal is being delivered.
    QObject::connect(socket, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), q,
                     &AmqpClient::sslErrors);
    QObject::connect(socket, &QSslSocket::bytesWritten, q, [this] { updateWriteBuffer(); });
    QObject::connect(socket, &QSslSocket::encryptedBytesWritten, q, [this] { updateWriteBuffer(); });
}

void AmqpClientPrivate::_q_connect()
{
    reconnectTimer->stop();
    userDisconnect = false;
    // A TLS-capable socket replaces its transport on connect: push out a close-ok still queued.
    socket->flush();
    if (socket->state() != QAbstractSocket::UnconnectedState) {
        amqpDebug("AMQP: socket already connected, disconnecting..");
        if (state == Open)
            close(200, QStringLiteral("client disconnect"));
        socket->flush(); // whatever close or close-ok is still buffered
        abortSocket();
        userDisconnect = false;
    }
    amqpDebug() << "AMQP: connecting to host: " << host << ", port: " << port;
    state = SocketConnecting;
    closeSeen = false;
    blocked = false;
    reader.clear();
    reader.setFrameMax(quint32(frameMax));
    if (useSsl)
        socket->connectToHostEncrypted(host, port);
    else
        socket->connectToHost(host, port);
}

void AmqpClientPrivate::startHandshake()
{
    reconnectTimer->stop();
    if (!reconnectFixedTimeout)
        timeout = 0;
    lastReceived.start();
    lastSent.start();
    state = AwaitStart;
    static const char header[8] = {'A', 'M', 'Q', 'P', 0, 0, 9, 1};
    socket->write(header, sizeof header);
}

void AmqpClientPrivate::_q_disconnect()
{
    reconnectTimer->stop();
    userDisconnect = true;
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        amqpDebug("AMQP: already disconnected");
        return;
    }
    if (state == Closing)
        return;
    if (state == AwaitTune || state == AwaitOpenOk || state == Open) {
        reader.clear();
        close(200, QStringLiteral("client disconnect"));
        state = Closing;
        connected = false;
        closeTimer->start();
        return;
    }
    // Nothing to say to the broker yet: drop the socket.
    abortSocket();
}

void AmqpClientPrivate::close(int code, const QString& text, int classId, int methodId)
{
    QByteArray args;
    QDataStream out(&args, QIODevice::WriteOnly);
    out << quint16(code);
    AmqpFrame::writeShortString(out, text.left(200));
    out << quint16(classId) << quint16(methodId);
    AmqpMethodFrame frame(AmqpFrame::Connection, 50);
    frame.setArguments(args);
    amqpDebug("<- connection#close( reply-code=%d, reply-text=%s, class-id=%d, method-id:%d )", code,
               qPrintable(text), classId, methodId);
    closeSeen = true;
    sendFrame(frame);
}

void AmqpClientPrivate::closeConnection()
{
    amqpDebug("AMQP: closing connection");
    connected = false;
    if (state != Unconnected)
        state = Closing;
    reconnectTimer->stop();
    heartbeatTimer->stop();
    socket->flush();
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState && !closeTimer->isActive())
        closeTimer->start();
}

void AmqpClientPrivate::abortSocket(bool byPeer)
{
    // The socket tells its end from inside abort() too.
    ownAbort = !byPeer;
    socket->abort();
    if (socketUp || state != Unconnected)
        socketDisconnected();
    ownAbort = false;
}

void AmqpClientPrivate::protocolError(Amqp::Error code, const QString& text, quint16 classId, quint16 methodId)
{
    if (state == Closing || state == Unconnected)
        return;
    amqpDebug() << "AMQP: protocol error" << int(code) << text;
    reader.clear();
    error = code;
    errorString = text;
    close(int(code), text, classId, methodId);
    state = Closing;
    connected = false;
    heartbeatTimer->stop();
    closeTimer->start();
}

bool AmqpClientPrivate::sendFrame(const AmqpFrame& frame)
{
    const QByteArray bytes = frame.toByteArray();
    if (bytes.isEmpty()) {
        qWarning("AMQP: frame on channel %d could not be encoded, not sent", frame.channel());
        return false;
    }
    return sendBytes(frame.channel(), bytes);
}

bool AmqpClientPrivate::sendBytes(quint16 channel, const QByteArray& bytes)
{
    if (socket->state() != QAbstractSocket::ConnectedState) {
        amqpDebug("AMQP: socket not connected: %s", stateName(socket->state()));
        return false;
    }
    if (channel != 0 && state != Open) {
        amqpDebug("AMQP: connection not open, frame for channel %d dropped", channel);
        return false;
    }
    socket->write(bytes);
    lastSent.start();
    updateWriteBuffer();
    return true;
}

void AmqpClientPrivate::updateWriteBuffer()
{
    const qint64 pending = socket->bytesToWrite() + socket->encryptedBytesToWrite();
    if (!writeBufferFull && pending > writeBufferLimit) {
        writeBufferFull = true;
        emit q_ptr->writeBufferFull();
    } else if (writeBufferFull && pending <= writeBufferLimit / 2) {
        writeBufferFull = false;
        emit q_ptr->writeBufferDrained();
    }
}

void AmqpClientPrivate::socketDisconnected()
{
    if (!socketUp && state == Unconnected)
        return;
    const State previous = state;
    socketUp = false;
    state = Unconnected;
    closeTimer->stop();
    heartbeatTimer->stop();
    reader.clear();
    blocked = false;
    if (writeBufferFull) {
        writeBufferFull = false;
    }

    QPointer<AmqpClient> guard(q_ptr);
    if (previous == AwaitTune && !closeSeen && !ownAbort && !userDisconnect) {
        // A broker that does not send connection.close on a refused login just drops the socket
        // after start-ok. A login this side gave up (a new connection, a disconnect) was not
        // refused.
        error = Amqp::AccessRefusedError;
        errorString = QStringLiteral("authentication failure: the broker closed the connection after the login");
        emit q_ptr->error(error);
        if (!guard)
            return;
    }

    const QList<QPointer<AmqpChannel>> all = channels;
    for (const QPointer<AmqpChannel>& channel : all) {
        if (channel)
            AmqpChannelPrivate::get(channel)->resetInternalState();
    }
    connected = false;
    nextChannelNumber = 0;
    emit q_ptr->disconnected();
}

void AmqpClientPrivate::growDelay()
{
    if (reconnectFixedTimeout)
        return;
    if (timeout < 1)
        timeout = 1000;
    else if (timeout < 120000)
        timeout *= 5;
}

void AmqpClientPrivate::scheduleReconnect()
{
    if (!autoReconnect || userDisconnect)
        return;
    amqpDebug("AMQP: trying to reconnect after: %d ms", timeout);
    reconnectTimer->start(timeout);
}

void AmqpClientPrivate::socketError(QAbstractSocket::SocketError socketErrorCode)
{
    QPointer<AmqpClient> guard(q_ptr);
    const bool endOfClose = closeSeen && socketErrorCode == QAbstractSocket::RemoteHostClosedError;
    // Set before the signal, so its receivers read the socket's reason (an AMQP close keeps the
    // broker's own words).
    if (!endOfClose)
        errorString = socket->errorString();
    emit q_ptr->socketError(socketErrorCode);
    if (!guard)
        return;
    amqpDebug() << "AMQP: socket error: " << socket->errorString();
    if (endOfClose) {
        // The end of an AMQP close; the close itself decided what follows.
        if (socket->state() != QAbstractSocket::UnconnectedState)
            abortSocket(true);
        return;
    }
    growDelay();
    if (socket->state() == QAbstractSocket::ConnectingState || socket->state() == QAbstractSocket::ConnectedState
        || socket->state() == QAbstractSocket::HostLookupState)
        abortSocket(true);
    else if (state == SocketConnecting)
        state = Unconnected;
    if (!guard)
        return;
    scheduleReconnect();
}

void AmqpClientPrivate::heartbeatTick()
{
    if (heartbeatDelay == 0 || socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (state == AwaitOpenOk || state == Open) {
        if (lastReceived.isValid() && lastReceived.elapsed() > qint64(heartbeatDelay) * 2000) {
            qWarning("AMQP: nothing from %s for %d s, dropping the connection", qPrintable(host), heartbeatDelay * 2);
            errorString = QStringLiteral("missed heartbeats from the broker");
            growDelay();
            QPointer<AmqpClient> guard(q_ptr);
            abortSocket();
            if (guard)
                scheduleReconnect();
            return;
        }
    }
    if (!lastSent.isValid() || lastSent.elapsed() / 1000 >= heartbeatDelay / 2)
        sendFrame(AmqpHeartbeatFrame());
}

void AmqpClientPrivate::readyRead()
{
    QPointer<AmqpClient> guard(q_ptr);
    while (guard && socket->bytesAvailable() > 0) {
        if (state == Unconnected || state == SocketConnecting) {
            socket->readAll();
            return;
        }
        const QByteArray chunk = socket->read(qMax<qint64>(reader.wanted(), 65536));
        if (chunk.isEmpty())
            return;
        processIncoming(chunk);
    }
}

void AmqpClientPrivate::processIncoming(const QByteArray& bytes)
{
    lastReceived.start();
    reader.append(bytes);
    QPointer<AmqpClient> guard(q_ptr);
    for (;;) {
        if (state == Unconnected) {
            reader.clear();
            return;
        }
        AmqpFrameReader::Frame frame;
        Amqp::Error code = Amqp::NoError;
        QString text;
        const AmqpFrameReader::Result result = reader.next(frame, code, text);
        if (result == AmqpFrameReader::NeedMore)
            return;
        if (result == AmqpFrameReader::Failed) {
            if (state == Closing) {
                // Out of step while closing: nothing more can be trusted.
                reader.clear();
                abortSocket();
            } else {
                protocolError(code, text);
            }
            return;
        }
        dispatch(frame);
        if (!guard)
            return;
    }
}

void AmqpClientPrivate::dispatch(const AmqpFrameReader::Frame& raw)
{
    if (state == Closing) {
        if (raw.type == AmqpFrame::Method && raw.channel == 0) {
            AmqpMethodFrame frame;
            if (frame.parse(raw.payload) && frame.methodClass() == AmqpFrame::Connection
                && (frame.id() == 50 || frame.id() == 51))
                _q_method(frame);
        }
        return;
    }

    QPointer<AmqpClient> guard(q_ptr);
    switch (raw.type) {
    case AmqpFrame::Method: {
        AmqpMethodFrame frame;
        frame.setChannel(raw.channel);
        if (!frame.parse(raw.payload)) {
            protocolError(Amqp::FrameError, QStringLiteral("method frame too short"));
            return;
        }
        if (frame.methodClass() == AmqpFrame::Connection) {
            if (raw.channel != 0) {
                protocolError(Amqp::CommandInvalidError, QStringLiteral("connection method on a non-zero channel"),
                              AmqpFrame::Connection, quint16(frame.id()));
                return;
            }
            _q_method(frame);
            return;
        }
        if (state != Open) {
            protocolError(Amqp::UnexpectedFrameError, QStringLiteral("channel frame before the connection is open"));
            return;
        }
        const QList<AmqpMethodFrameHandler*> handlers = methodHandlersByChannel.value(raw.channel);
        for (AmqpMethodFrameHandler* handler : handlers) {
            if (!methodHandlersByChannel.value(raw.channel).contains(handler))
                continue; // removed by an earlier handler
            handler->_q_method(frame);
            if (!guard || state != Open)
                return;
        }
        return;
    }
    case AmqpFrame::Header: {
        if (raw.channel == 0) {
            protocolError(Amqp::ChannelError, QStringLiteral("channel number must be greater than zero"));
            return;
        }
        if (state != Open) {
            protocolError(Amqp::UnexpectedFrameError, QStringLiteral("content header before the connection is open"));
            return;
        }
        AmqpContentFrame frame;
        frame.setChannel(raw.channel);
        if (!frame.parse(raw.payload)) {
            protocolError(Amqp::SyntaxError, QStringLiteral("malformed content header"));
            return;
        }
        const QList<AmqpContentFrameHandler*> handlers = contentHandlerByChannel.value(raw.channel);
        for (AmqpContentFrameHandler* handler : handlers) {
            if (!contentHandlerByChannel.value(raw.channel).contains(handler))
                continue;
            handler->_q_content(frame);
            if (!guard || state != Open)
                return;
        }
        return;
    }
    case AmqpFrame::Body: {
        if (raw.channel == 0) {
            protocolError(Amqp::ChannelError, QStringLiteral("channel number must be greater than zero"));
            return;
        }
        if (state != Open) {
            protocolError(Amqp::UnexpectedFrameError, QStringLiteral("content body before the connection is open"));
            return;
        }
        const AmqpContentBodyFrame frame(raw.channel, raw.payload);
        const QList<AmqpContentBodyFrameHandler*> handlers = bodyHandlersByChannel.value(raw.channel);
        for (AmqpContentBodyFrameHandler* handler : handlers) {
            if (!bodyHandlersByChannel.value(raw.channel).contains(handler))
                continue;
            handler->_q_body(frame);
            if (!guard || state != Open)
                return;
        }
        return;
    }
    case AmqpFrame::Heartbeat:
        if (raw.channel != 0) {
            protocolError(Amqp::FrameError, QStringLiteral("heartbeat must have channel id zero"));
            return;
        }
        amqpDebug("AMQP: Heartbeat");
        emit q_ptr->heartbeat();
        return;
    default:
        amqpDebug("AMQP: Unknown frame type: %d", int(raw.type));
        protocolError(Amqp::FrameError, QStringLiteral("invalid frame type"));
        return;
    }
}

bool AmqpClientPrivate::checkArguments(QDataStream& stream, const AmqpMethodFrame& frame)
{
    if (stream.status() == QDataStream::Ok)
        return true;
    protocolError(Amqp::SyntaxError, QStringLiteral("malformed connection method"), AmqpFrame::Connection,
                  quint16(frame.id()));
    return false;
}

bool AmqpClientPrivate::_q_method(const AmqpMethodFrame& frame)
{
    if (frame.methodClass() != AmqpFrame::Connection)
        return false;
    QDataStream in(frame.arguments());
    QPointer<AmqpClient> guard(q_ptr);
    const auto unexpected = [&] {
        protocolError(Amqp::CommandInvalidError, QStringLiteral("connection method out of order"),
                      AmqpFrame::Connection, quint16(frame.id()));
        return true;
    };

    switch (frame.id()) {
    case 10: { // start
        if (state != AwaitStart)
            return unexpected();
        quint8 major = 0, minor = 0;
        AmqpTable serverProperties;
        in >> major >> minor >> serverProperties;
        const QString mechanismList = AmqpFrame::readLongString(in);
        const QString locales = AmqpFrame::readLongString(in);
        if (!checkArguments(in, frame))
            return true;
        const QStringList mechanisms = mechanismList.split(QLatin1Char(' '));
        amqpDebug("-> connection#start( version_major=%d, version_minor=%d, mechanisms=(%s), locales=%s )", major,
                   minor, qPrintable(mechanisms.join(QLatin1Char(','))), qPrintable(locales));
        if (!mechanisms.contains(authenticator->type())) {
            amqpDebug() << "AMQP: mechanism" << authenticator->type() << "not offered by the broker";
            errorString = QStringLiteral("login mechanism %1 not offered by the broker").arg(authenticator->type());
            abortSocket();
            return true;
        }
        sendStartOk();
        state = AwaitTune;
        return true;
    }
    case 20: // secure
        amqpDebug("-> connection#secure()");
        // No mechanism of ours uses a challenge; waiting would hang the handshake.
        protocolError(Amqp::NotImplementedError, QStringLiteral("connection.secure is not supported"),
                      AmqpFrame::Connection, 20);
        return true;
    case 30: { // tune
        if (state != AwaitTune)
            return unexpected();
        quint16 brokerChannelMax = 0, brokerHeartbeat = 0;
        quint32 brokerFrameMax = 0;
        in >> brokerChannelMax >> brokerFrameMax >> brokerHeartbeat;
        if (!checkArguments(in, frame))
            return true;
        channelMax = negotiate(channelMax, brokerChannelMax);
        frameMax = qint32(qMin<quint32>(negotiate(quint32(frameMax), brokerFrameMax), quint32(std::numeric_limits<qint32>::max())));
        if (heartbeatDelay == 0)
            heartbeatDelay = brokerHeartbeat;
        reader.setFrameMax(quint32(frameMax));
        amqpDebug("-> connection#tune( channel_max=%d, frame_max=%d, heartbeat=%d )", channelMax, frameMax,
                   heartbeatDelay);
        heartbeatTimer->setInterval(int(heartbeatDelay) * 1000);
        if (heartbeatDelay != 0)
            heartbeatTimer->start();
        else
            heartbeatTimer->stop();
        sendTuneOk();
        sendOpen();
        state = AwaitOpenOk;
        return true;
    }
    case 41: // open-ok
        if (state != AwaitOpenOk)
            return unexpected();
        amqpDebug("-> connection#openOk()");
        state = Open;
        connected = true;
        emit q_ptr->connected();
        return true;
    case 50: { // close
        quint16 code = 0, classId = 0, methodId = 0;
        in >> code;
        QString text = AmqpFrame::readShortString(in);
        in >> classId >> methodId;
        if (in.status() != QDataStream::Ok) {
            code = Amqp::SyntaxError;
            text = QStringLiteral("malformed connection.close");
        }
        amqpDebug("-> connection#close( reply-code=%d, reply-text=%s, class-id=%d, method-id:%d )", code,
                   qPrintable(text), classId, methodId);
        closeSeen = true;
        const bool wasClosing = state == Closing;
        state = Closing;
        if (code != 0) {
            error = Amqp::Error(code);
            errorString = text;
            emit q_ptr->error(error);
            if (!guard)
                return true;
        }
        if (code == Amqp::ConnectionForcedError) {
            amqpDebug("<- connection#closeOk()");
            sendFrame(AmqpMethodFrame(AmqpFrame::Connection, 51));
            closeConnection();
            scheduleReconnect();
            return true;
        }
        connected = false;
        if (!wasClosing) {
            emit q_ptr->disconnected();
            if (!guard)
                return true;
        }
        amqpDebug("<- connection#closeOk()");
        sendFrame(AmqpMethodFrame(AmqpFrame::Connection, 51));
        closeConnection();
        return true;
    }
    case 51: // close-ok
        amqpDebug("-> connection#closeOk()");
        closeConnection();
        return true;
    case 60: { // blocked
        const QString reason = AmqpFrame::readShortString(in);
        if (!checkArguments(in, frame))
            return true;
        amqpDebug("-> connection#blocked( reason=%s )", qPrintable(reason));
        blocked = true;
        emit q_ptr->blocked(reason);
        return true;
    }
    case 61: // unblocked
        amqpDebug("-> connection#unblocked()");
        blocked = false;
        emit q_ptr->unblocked();
        return true;
    default:
        amqpDebug("AMQP: Unknown method-id %d", frame.id());
        return true;
    }
}

void AmqpClientPrivate::sendStartOk()
{
    // Client properties, written by hand so that a custom key equal to a built-in one goes out as
    // a second entry, as it always has.
    QByteArray entries;
    QDataStream e(&entries, QIODevice::WriteOnly);
    const auto textEntry = [&](const QString& key, const QString& value) {
        AmqpFrame::writeShortString(e, key);
        AmqpTable::writeFieldValue(e, value);
    };
    textEntry(QStringLiteral("version"), QStringLiteral("0.5.0"));
    textEntry(QStringLiteral("platform"), QStringLiteral("Qt %1").arg(QLatin1String(qVersion())));
    textEntry(QStringLiteral("product"), QStringLiteral("Amqp"));
    AmqpTable capabilities;
    capabilities.insert(QStringLiteral("authentication_failure_close"), true);
    capabilities.insert(QStringLiteral("connection.blocked"), true);
    AmqpFrame::writeShortString(e, QStringLiteral("capabilities"));
    AmqpTable::writeFieldValue(e, QVariant::fromValue(capabilities));
    for (const auto& property : qAsConst(customProperties))
        textEntry(property.first, property.second);

    QByteArray args;
    QDataStream out(&args, QIODevice::WriteOnly);
    out << quint32(entries.size());
    out.writeRawData(entries.constData(), entries.size());
    if (e.status() != QDataStream::Ok)
        out.setStatus(e.status());
    authenticator->write(out);
    AmqpFrame::writeShortString(out, QStringLiteral("en_US"));
    if (out.status() != QDataStream::Ok) {
        qWarning("AMQP: connection.start-ok could not be encoded");
        errorString = QStringLiteral("client properties or login could not be encoded");
        abortSocket();
        return;
    }
    AmqpMethodFrame frame(AmqpFrame::Connection, 11);
    frame.setArguments(args);
    amqpDebug("<- connection#startOk()");
    sendFrame(frame);
}

void AmqpClientPrivate::sendTuneOk()
{
    QByteArray args;
    QDataStream out(&args, QIODevice::WriteOnly);
    out << channelMax << quint32(frameMax) << heartbeatDelay;
    AmqpMethodFrame frame(AmqpFrame::Connection, 31);
    frame.setArguments(args);
    amqpDebug("<- connection#tuneOk( channelMax=%d, frameMax=%d, heartbeatDelay=%d )", channelMax, frameMax,
               heartbeatDelay);
    sendFrame(frame);
}

void AmqpClientPrivate::sendOpen()
{
    QByteArray args;
    QDataStream out(&args, QIODevice::WriteOnly);
    AmqpFrame::writeShortString(out, virtualHost);
    out << quint8(0) << quint8(0);
    AmqpMethodFrame frame(AmqpFrame::Connection, 40);
    frame.setArguments(args);
    amqpDebug("<- connection#open( virtualHost=%s, reserved-1=%d, reserved-2=%d )", qPrintable(virtualHost), 0, 0);
    if (!sendFrame(frame)) {
        errorString = QStringLiteral("virtual host name too long");
        abortSocket();
    }
}

bool AmqpClientPrivate::channelInUse(quint16 number) const
{
    for (const QPointer<AmqpChannel>& channel : channels) {
        if (channel && AmqpChannelPrivate::get(channel)->channelNumber == number)
            return true;
    }
    return false;
}

quint16 AmqpClientPrivate::allocateChannelNumber(int requested, bool* needOpen)
{
    if (requested <= 0 || requested > 65535) {
        *needOpen = true;
        // Skip numbers still held by live channel objects of this client, so two objects never
        // open the same channel.
        const quint16 start = nextChannelNumber;
        quint16 number = nextChannelNumber;
        do {
            number = number == 65535 ? 1 : quint16(number + 1);
        } while (channelInUse(number) && number != start);
        nextChannelNumber = number;
        return number;
    }
    *needOpen = requested > nextChannelNumber;
    nextChannelNumber = quint16(qMax<int>(requested, nextChannelNumber));
    return quint16(requested);
}

void AmqpClientPrivate::registerChannel(AmqpChannel* channel, AmqpChannelPrivate* handler)
{
    const quint16 number = handler->channelNumber;
    methodHandlersByChannel[number].append(handler);
    if (AmqpContentFrameHandler* content = handler->contentHandler())
        contentHandlerByChannel[number].append(content);
    if (AmqpContentBodyFrameHandler* body = handler->bodyHandler())
        bodyHandlersByChannel[number].append(body);
    channels.append(channel);
    QObject::connect(q_ptr, &AmqpClient::connected, channel, [handler] { handler->_q_open(); });
    QObject::connect(q_ptr, &AmqpClient::disconnected, channel, [handler] { handler->_q_disconnected(); });
}

void AmqpClientPrivate::unregisterChannel(AmqpChannel* channel, AmqpChannelPrivate* handler)
{
    const quint16 number = handler->channelNumber;
    const auto removeFrom = [number](auto& hash, auto* h) {
        auto it = hash.find(number);
        if (it == hash.end())
            return;
        it->removeAll(h);
        if (it->isEmpty())
            hash.erase(it);
    };
    removeFrom(methodHandlersByChannel, static_cast<AmqpMethodFrameHandler*>(handler));
    if (AmqpContentFrameHandler* content = handler->contentHandler())
        removeFrom(contentHandlerByChannel, content);
    if (AmqpContentBodyFrameHandler* body = handler->bodyHandler())
        removeFrom(bodyHandlersByChannel, body);
    for (int i = channels.size() - 1; i >= 0; --i) {
        if (channels.at(i).isNull() || channels.at(i).data() == channel)
            channels.removeAt(i);
    }
    exchanges->remove(channel);
    queues->remove(channel);
}

// ---------------------------------------------------------------- public class

AmqpClient::AmqpClient(QObject* parent) : QObject(parent), d_ptr(new AmqpClientPrivate(this))
{
    d_ptr->init();
}

AmqpClient::~AmqpClient()
{
    AmqpClientPrivate* d = d_ptr;
    d->userDisconnect = true;
    if (d->state == AmqpClientPrivate::Open) {
        d->close(200, QStringLiteral("client disconnect"));
        d->socket->flush();
    }
    // Channels first: they unregister from this private part.
    const QList<QPointer<AmqpChannel>> all = d->channels;
    for (const QPointer<AmqpChannel>& channel : all)
        delete channel.data();
    QObject::disconnect(d->socket, nullptr, this, nullptr);
    d->socket->abort();
    delete d;
    d_ptr = nullptr;
}

void AmqpClient::connectToHost(const QString& uri)
{
    if (!uri.isEmpty()) {
        const QUrl url = QUrl::fromUserInput(uri);
        const QString scheme = url.scheme();
        if (scheme != QLatin1String("amqp") && scheme != QLatin1String("amqps")) {
            amqpDebug() << "AMQP: invalid scheme: " << scheme;
        } else {
            d_ptr->useSsl = scheme == QLatin1String("amqps");
            d_ptr->port = quint16(url.port(d_ptr->useSsl ? 5671 : 5672));
            d_ptr->host = url.host(QUrl::FullyDecoded);
            QString path = url.path(QUrl::FullyDecoded);
            if (path.startsWith(QLatin1Char('/')) && path.length() > 1)
                path.remove(0, 1);
            d_ptr->virtualHost = path;
            setPassword(url.password(QUrl::FullyDecoded));
            setUsername(url.userName(QUrl::FullyDecoded));
        }
    }
    d_ptr->_q_connect();
}

void AmqpClient::connectToHost(const QHostAddress& address, quint16 port)
{
    d_ptr->host = address.toString();
    d_ptr->port = port;
    d_ptr->_q_connect();
}

void AmqpClient::disconnectFromHost()
{
    d_ptr->_q_disconnect();
}

void AmqpClient::abort()
{
    d_ptr->userDisconnect = true;
    d_ptr->reconnectTimer->stop();
    d_ptr->connected = false;
    d_ptr->abortSocket();
}

bool AmqpClient::isConnected() const { return d_ptr->connected; }

quint16 AmqpClient::port() const { return d_ptr->port; }
void AmqpClient::setPort(quint16 port) { d_ptr->port = port; }
QString AmqpClient::host() const { return d_ptr->host; }
void AmqpClient::setHost(const QString& host) { d_ptr->host = host; }
QString AmqpClient::virtualHost() const { return d_ptr->virtualHost; }
void AmqpClient::setVirtualHost(const QString& virtualHost) { d_ptr->virtualHost = virtualHost; }

QString AmqpClient::username() const
{
    if (d_ptr->authenticator && d_ptr->authenticator->type() == QLatin1String("AMQPLAIN"))
        return static_cast<AmqpPlainAuthenticator*>(d_ptr->authenticator.data())->login();
    return QString();
}

void AmqpClient::setUsername(const QString& username)
{
    if (d_ptr->authenticator && d_ptr->authenticator->type() == QLatin1String("AMQPLAIN"))
        static_cast<AmqpPlainAuthenticator*>(d_ptr->authenticator.data())->setLogin(username);
}

QString AmqpClient::password() const
{
    if (d_ptr->authenticator && d_ptr->authenticator->type() == QLatin1String("AMQPLAIN"))
        return static_cast<AmqpPlainAuthenticator*>(d_ptr->authenticator.data())->password();
    return QString();
}

void AmqpClient::setPassword(const QString& password)
{
    if (d_ptr->authenticator && d_ptr->authenticator->type() == QLatin1String("AMQPLAIN"))
        static_cast<AmqpPlainAuthenticator*>(d_ptr->authenticator.data())->setPassword(password);
}

QSharedPointer<AmqpAuthenticator> AmqpClient::auth() const { return d_ptr->authenticator; }

void AmqpClient::setAuth(AmqpAuthenticator* authenticator)
{
    d_ptr->authenticator = QSharedPointer<AmqpAuthenticator>(authenticator);
}

bool AmqpClient::autoReconnect() const { return d_ptr->autoReconnect; }

void AmqpClient::setAutoReconnect(bool value, int timeout)
{
    d_ptr->autoReconnect = value;
    if (value && timeout >= 1) {
        d_ptr->reconnectFixedTimeout = true;
        d_ptr->timeout = timeout;
    } else {
        d_ptr->reconnectFixedTimeout = false;
        d_ptr->timeout = 0;
    }
}

quint16 AmqpClient::channelMax() const { return d_ptr->channelMax; }

void AmqpClient::setChannelMax(quint16 channelMax)
{
    if (d_ptr->connected) {
        amqpDebug("AMQP: can't modify value while connected");
        return;
    }
    d_ptr->channelMax = channelMax;
}

quint16 AmqpClient::heartbeatDelay() const { return d_ptr->heartbeatDelay; }

void AmqpClient::setHeartbeatDelay(quint16 seconds)
{
    if (d_ptr->connected) {
        amqpDebug("AMQP: can't modify value while connected");
        return;
    }
    d_ptr->heartbeatDelay = seconds;
}

qint32 AmqpClient::frameMax() const { return d_ptr->frameMax; }

void AmqpClient::setFrameMax(qint32 frameMax)
{
    if (d_ptr->connected) {
        amqpDebug("AMQP: can't modify value while connected");
        return;
    }
    d_ptr->frameMax = qMax(frameMax, 4096);
}

int AmqpClient::writeTimeout() { return AmqpFrame::writeTimeout(); }
void AmqpClient::setWriteTimeout(int msecs) { AmqpFrame::setWriteTimeout(msecs); }

void AmqpClient::addCustomProperty(const QString& name, const QString& value)
{
    d_ptr->customProperties.append(qMakePair(name, value));
}

QString AmqpClient::customProperty(const QString& name) const
{
    for (const auto& property : qAsConst(d_ptr->customProperties)) {
        if (property.first == name)
            return property.second;
    }
    return QString();
}

QAbstractSocket::SocketError AmqpClient::socketError() const { return d_ptr->socket->error(); }
QAbstractSocket::SocketState AmqpClient::socketState() const { return d_ptr->socket->state(); }
Amqp::Error AmqpClient::error() const { return d_ptr->error; }
QString AmqpClient::errorString() const { return d_ptr->errorString; }

QSslConfiguration AmqpClient::sslConfiguration() const { return d_ptr->socket->sslConfiguration(); }

void AmqpClient::setSslConfiguration(const QSslConfiguration& config)
{
    if (config.isNull())
        return;
    d_ptr->useSsl = true;
    d_ptr->port = 5671;
    d_ptr->socket->setSslConfiguration(config);
}

QString AmqpClient::gitVersion() const { return QString(); }

qint64 AmqpClient::bytesToWrite() const
{
    return d_ptr->socket->bytesToWrite() + d_ptr->socket->encryptedBytesToWrite();
}

qint64 AmqpClient::writeBufferLimit() const { return d_ptr->writeBufferLimit; }
void AmqpClient::setWriteBufferLimit(qint64 bytes) { d_ptr->writeBufferLimit = qMax<qint64>(bytes, 1); }
bool AmqpClient::isWriteBufferFull() const { return d_ptr->writeBufferFull; }
bool AmqpClient::isBlocked() const { return d_ptr->blocked; }

void AmqpClient::ignoreSslErrors(const QList<QSslError>& errors)
{
    d_ptr->socket->ignoreSslErrors(errors);
}

AmqpExchange* AmqpClient::createExchange(int channelNumber)
{
    return createExchange(QString(), channelNumber);
}

AmqpExchange* AmqpClient::createExchange(const QString& name, int channelNumber)
{
    if (d_ptr->exchanges->contains(name)) {
        if (AmqpExchange* existing = qobject_cast<AmqpExchange*>(d_ptr->exchanges->get(name)))
            return existing;
    }
    AmqpExchange* exchange = new AmqpExchange(channelNumber, this);
    AmqpChannelPrivate::get(exchange)->open();
    exchange->setName(name);
    d_ptr->exchanges->put(exchange);
    return exchange;
}

AmqpQueue* AmqpClient::createQueue(int channelNumber)
{
    return createQueue(QString(), channelNumber);
}

AmqpQueue* AmqpClient::createQueue(const QString& name, int channelNumber)
{
    if (!name.isEmpty() && d_ptr->queues->contains(name)) {
        if (AmqpQueue* existing = qobject_cast<AmqpQueue*>(d_ptr->queues->get(name)))
            return existing;
    }
    AmqpQueue* queue = new AmqpQueue(channelNumber, this);
    AmqpChannelPrivate::get(queue)->open();
    if (!name.isEmpty())
        queue->setName(name);
    d_ptr->queues->put(queue);
    return queue;
}
