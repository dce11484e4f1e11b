#ifndef AMQPCLIENT_H
#define AMQPCLIENT_H

#include <QAbstractSocket>
#include <QHostAddress>
#include <QObject>
#include <QSharedPointer>
#include <QSslConfiguration>
#include <QSslError>

#include "Amqp.h"

class AmqpAuthenticator;
class AmqpChannel;
class AmqpClientPrivate;
class AmqpExchange;
class AmqpQueue;

// One AMQP 0-9-1 connection to a broker over TCP, or TLS for "amqps" URLs.
//
// Everything runs on the thread that owns the client; frames are written asynchronously, so no
// call waits on the network. While the socket holds more unwritten bytes than
// writeBufferLimit(), isWriteBufferFull() is true (writeBufferFull() / writeBufferDrained() mark
// the edges), and while the broker has blocked publishers isBlocked() is true.
class AmqpClient : public QObject
{
    Q_OBJECT
    Q_PROPERTY(quint16 port READ port WRITE setPort)
    Q_PROPERTY(QString host READ host WRITE setHost)
    Q_PROPERTY(QString virtualHost READ virtualHost WRITE setVirtualHost)
    Q_PROPERTY(QString user READ username WRITE setUsername)
    Q_PROPERTY(QString password READ password WRITE setPassword)
    Q_PROPERTY(bool autoReconnect READ autoReconnect WRITE setAutoReconnect)
    Q_PROPERTY(quint16 channelMax READ channelMax WRITE setChannelMax)
    Q_PROPERTY(qint32 frameMax READ frameMax WRITE setFrameMax)
    Q_PROPERTY(quint16 heartbeatDelay READ heartbeatDelay WRITE setHeartbeatDelay)

public:
    explicit AmqpClient(QObject* parent = nullptr);
    ~AmqpClient() override;

    void connectToHost(const QString& uri = QString());
    void connectToHost(const QHostAddress& address, quint16 port = 5672);
    void disconnectFromHost();
    void abort();
    bool isConnected() const;

    quint16 port() const;
    void setPort(quint16 port);
    QString host() const;
    void setHost(const QString& host);
    QString virtualHost() const;
    void setVirtualHost(const QString& virtualHost);
    QString username() const;
    void setUsername(const QString& username);
    QString password() const;
    void setPassword(const QString& password);

    QSharedPointer<AmqpAuthenticator> auth() const;
    void setAuth(AmqpAuthenticator* authenticator);

    bool autoReconnect() const;
    void setAutoReconnect(bool value, int timeout = 0);

    quint16 channelMax() const;
    void setChannelMax(quint16 channelMax);
    quint16 heartbeatDelay() const;
    void setHeartbeatDelay(quint16 seconds);
    qint32 frameMax() const;
    void setFrameMax(qint32 frameMax);

    static int writeTimeout();
    static void setWriteTimeout(int msecs);

    void addCustomProperty(const QString& name, const QString& value);
    QString customProperty(const QString& name) const;

    QAbstractSocket::SocketError socketError() const;
    QAbstractSocket::SocketState socketState() const;
    Amqp::Error error() const;
    QString errorString() const;

    QSslConfiguration sslConfiguration() const;
    void setSslConfiguration(const QSslConfiguration& config);

    QString gitVersion() const;

    // Flow control towards the socket and from the broker.
    qint64 bytesToWrite() const;
    qint64 writeBufferLimit() const;
    void setWriteBufferLimit(qint64 bytes);
    bool isWriteBufferFull() const;
    bool isBlocked() const;

    AmqpExchange* createExchange(int channelNumber = -1);
    AmqpExchange* createExchange(const QString& name, int channelNumber = -1);
    AmqpQueue* createQueue(int channelNumber = -1);
    AmqpQueue* createQueue(const QString& name, int channelNumber = -1);

public Q_SLOTS:
    // Lets the current TLS handshake go past these errors. The socket takes this only from a
    // receiver of sslErrors connected directly, while the signal is being delivered.
    void ignoreSslErrors(const QList<QSslError>& errors);

Q_SIGNALS:
    void connected();
    void disconnected();
    void heartbeat();
    void error(Amqp::Error error);
    void socketError(QAbstractSocket::SocketError error);
    void socketStateChanged(QAbstractSocket::SocketState state);
    // The broker's certificate did not verify; the handshake fails unless they are ignored.
    void sslErrors(const QList<QSslError>& errors);
    void blocked(const QString& reason);
    void unblocked();
    void writeBufferFull();
    void writeBufferDrained();

private:
    Q_DISABLE_COPY(AmqpClient)
    AmqpClientPrivate* d_ptr;
    friend class AmqpClientPrivate;
    friend class AmqpChannelPrivate;
};

#endif
