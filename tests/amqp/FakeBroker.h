#ifndef FAKEBROKER_H
#define FAKEBROKER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A scripted AMQP peer on 127.0.0.1 for unit tests. It encodes and decodes frames on its own
// (not with the library under test), records every frame the client sends, and lets a test send
// well-formed or deliberately broken bytes.
class FakeBroker : public QObject
{
    Q_OBJECT
public:
    struct Frame {
        quint8 type = 0;
        quint16 channel = 0;
        QByteArray payload;
        quint16 classId() const;
        quint16 methodId() const;
        QByteArray args() const { return payload.mid(4); }
    };

    FakeBroker();
    ~FakeBroker() override;
    quint16 port() const { return server_.serverPort(); }

    bool waitForClient(int ms = 10000);
    bool waitForProtocolHeader(int ms = 10000);
    // Waits for a method frame not seen by an earlier wait; returns its index or -1.
    int waitForMethod(quint16 classId, quint16 methodId, int ms = 10000);
    bool waitForPeerClosed(int ms = 10000);
    bool peerClosed() const { return closed_; }
    int countMethods(quint16 classId, quint16 methodId) const;

    // Runs start / tune / open; true when the client sent open.
    bool handshake(quint16 channelMax = 0, quint32 frameMax = 131072, quint16 heartbeat = 0,
                   const QString& mechanisms = QStringLiteral("PLAIN AMQPLAIN"));

    void sendRaw(const QByteArray& bytes);
    void sendMethod(quint16 channel, quint16 classId, quint16 methodId, const QByteArray& args = QByteArray());
    void sendHeader(quint16 channel, quint64 bodySize, const QByteArray& propertyBytes = QByteArray(), quint16 flags = 0);
    void sendBody(quint16 channel, const QByteArray& body);
    void disconnectClient();

    // Frame and value encoders for building test input.
    static QByteArray frame(quint8 type, quint16 channel, const QByteArray& payload, quint8 end = 0xCE);
    static QByteArray method(quint16 channel, quint16 classId, quint16 methodId, const QByteArray& args = QByteArray());
    static QByteArray header(quint16 channel, quint64 bodySize, const QByteArray& propertyBytes = QByteArray(), quint16 flags = 0);
    static QByteArray shortStr(const QByteArray& s);
    static QByteArray longStr(const QByteArray& s);
    static QByteArray u8(quint8 v);
    static QByteArray u16(quint16 v);
    static QByteArray u32(quint32 v);
    static QByteArray u64(quint64 v);

    // Methods of the given kind over every connection so far.
    int countInHistory(quint16 classId, quint16 methodId) const;

    QList<Frame> frames;  // of the current connection
    QList<Frame> history; // of all connections
    bool protocolHeaderSeen = false;
    int consumed = 0; // frames already matched by waitForMethod

private:
    void onReadyRead();

    QTcpServer server_;
    QTcpSocket* peer_ = nullptr;
    QByteArray buffer_;
    bool closed_ = false;
};

#endif
