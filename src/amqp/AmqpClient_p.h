#ifndef AMQPCLIENT_P_H
#define AMQPCLIENT_P_H

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSslSocket>
#include <QTimer>

#include "AmqpClient.h"
#include "AmqpFrame.h"
#include "AmqpFrameReader.h"
#include "AmqpTable.h"

class AmqpAuthenticator;
class AmqpChannelHash;
class AmqpChannelPrivate;

// The state of one client. Tests and fuzz targets reach it through get() to feed bytes to the
// reader (processIncoming) without a socket.
class AmqpClientPrivate : public AmqpMethodFrameHandler
{
public:
    enum State {
        Unconnected,
        SocketConnecting, // TCP or TLS handshake under way
        AwaitStart,       // protocol header sent
        AwaitTune,        // start-ok sent
        AwaitOpenOk,      // tune-ok and open sent
        Open,
        Closing // connection.close sent or received: only close/close-ok count now
    };

    explicit AmqpClientPrivate(AmqpClient* q);
    ~AmqpClientPrivate() override;

    static AmqpClientPrivate* get(AmqpClient* client) { return client->d_ptr; }

    void init();
    void initSocket();
    void _q_connect();
    void _q_disconnect();

    bool _q_method(const AmqpMethodFrame& frame) override;

    // Writes a frame (false when dropped: socket down, connection not open for channel frames,
    // or an argument that cannot be encoded).
    bool sendFrame(const AmqpFrame& frame);
    bool sendBytes(quint16 channel, const QByteArray& bytes);
    void close(int code, const QString& text, int classId = 0, int methodId = 0);
    void closeConnection();
    // A fault in what the broker sent: connection.close with `code`, then only close/close-ok
    // are looked at until the socket goes down.
    void protocolError(Amqp::Error code, const QString& text, quint16 classId = 0, quint16 methodId = 0);
    // Runs the reader over received bytes and dispatches every complete frame.
    void processIncoming(const QByteArray& bytes);

    // Channel registry and dispatch lists.
    quint16 allocateChannelNumber(int requested, bool* needOpen);
    void registerChannel(AmqpChannel* channel, AmqpChannelPrivate* handler);
    void unregisterChannel(AmqpChannel* channel, AmqpChannelPrivate* handler);

    // byPeer: the socket ended by the broker or the network, not by this side's choice.
    void abortSocket(bool byPeer = false);

    AmqpClient* const q_ptr;

    quint16 port = 5672;
    QString host = QStringLiteral("localhost");
    QString virtualHost = QStringLiteral("/");
    QSharedPointer<AmqpAuthenticator> authenticator;
    AmqpFrameReader reader;
    bool autoReconnect = false;
    bool reconnectFixedTimeout = false;
    int timeout = 0;
    bool useSsl = false;
    QSslSocket* socket = nullptr;
    QHash<quint16, QList<AmqpMethodFrameHandler*>> methodHandlersByChannel;
    QHash<quint16, QList<AmqpContentFrameHandler*>> contentHandlerByChannel;
    QHash<quint16, QList<AmqpContentBodyFrameHandler*>> bodyHandlersByChannel;
    QList<QPointer<AmqpChannel>> channels;
    bool connected = false;
    QTimer* heartbeatTimer = nullptr;
    QTimer* reconnectTimer = nullptr;
    QTimer* closeTimer = nullptr;
    QElapsedTimer lastSent;
    QElapsedTimer lastReceived;
    QList<QPair<QString, QString>> customProperties;
    quint16 channelMax = 0;
    quint16 heartbeatDelay = 0;
    qint32 frameMax = 131072;
    Amqp::Error error = Amqp::NoError;
    QString errorString;
    AmqpChannelHash* exchanges = nullptr;
    AmqpChannelHash* queues = nullptr;
    quint16 nextChannelNumber = 0;

    State state = Unconnected;
    bool socketUp = false;
    bool ownAbort = false;       // this side drops the socket of its own accord
    bool closeSeen = false;      // a connection.close went either way on this connection
    bool userDisconnect = false; // the application closed: no automatic reconnect
    bool blocked = false;
    bool writeBufferFull = false;
    qint64 writeBufferLimit = 4 * 1024 * 1024;

private:
    void startHandshake();
    void socketDisconnected();
    void socketError(QAbstractSocket::SocketError error);
    void readyRead();
    void heartbeatTick();
    void updateWriteBuffer();
    void growDelay();
    void scheduleReconnect();
    void dispatch(const AmqpFrameReader::Frame& frame);
    bool checkArguments(QDataStream& stream, const AmqpMethodFrame& frame);
    void sendStartOk();
    void sendTuneOk();
    void sendOpen();
    bool channelInUse(quint16 number) const;
};

#endif
