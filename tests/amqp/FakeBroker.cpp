#include "FakeBroker.h"

#include <QtEndian>
#include <QtTest>

quint16 FakeBroker::Frame::classId() const
{
    return payload.size() >= 2 ? qFromBigEndian<quint16>(payload.constData()) : 0;
}

quint16 FakeBroker::Frame::methodId() const
{
    return payload.size() >= 4 ? qFromBigEndian<quint16>(payload.constData() + 2) : 0;
}

FakeBroker::FakeBroker()
{
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        QTcpSocket* next = server_.nextPendingConnection();
        if (peer_) {
            onReadyRead(); // what the old connection still had to say
            disconnect(peer_, nullptr, this, nullptr);
            peer_->abort();
            peer_->deleteLater();
        }
        peer_ = next;
        buffer_.clear();
        frames.clear();
        consumed = 0;
        protocolHeaderSeen = false;
        closed_ = false;
        connect(next, &QTcpSocket::readyRead, this, &FakeBroker::onReadyRead);
        connect(next, &QTcpSocket::disconnected, this, [this] { closed_ = true; });
    });
}

FakeBroker::~FakeBroker()
{
    if (peer_)
        disconnect(peer_, nullptr, this, nullptr);
}

void FakeBroker::onReadyRead()
{
    if (!peer_)
        return;
    buffer_.append(peer_->readAll());
    if (!protocolHeaderSeen) {
        if (buffer_.size() < 8)
            return;
        protocolHeaderSeen = buffer_.startsWith(QByteArray("AMQP\x00\x00\x09\x01", 8));
        buffer_.remove(0, 8);
    }
    while (buffer_.size() >= 7) {
        const quint32 size = qFromBigEndian<quint32>(buffer_.constData() + 3);
        if (quint32(buffer_.size()) < size + 8)
            return;
        Frame f;
        f.type = quint8(buffer_.at(0));
        f.channel = qFromBigEndian<quint16>(buffer_.constData() + 1);
        f.payload = buffer_.mid(7, int(size));
        if (quint8(buffer_.at(int(size) + 7)) != 0xCE)
            qWarning("FakeBroker: client frame without end octet");
        buffer_.remove(0, int(size) + 8);
        frames.append(f);
        history.append(f);
    }
}

bool FakeBroker::waitForClient(int ms)
{
    QElapsedTimer t;
    t.start();
    while ((!peer_ || closed_) && t.elapsed() < ms)
        QTest::qWait(5);
    return peer_ != nullptr && !closed_;
}

bool FakeBroker::waitForProtocolHeader(int ms)
{
    QElapsedTimer t;
    t.start();
    while (!protocolHeaderSeen && t.elapsed() < ms)
        QTest::qWait(5);
    return protocolHeaderSeen;
}

int FakeBroker::waitForMethod(quint16 classId, quint16 methodId, int ms)
{
    QElapsedTimer t;
    t.start();
    for (;;) {
        for (int i = consumed; i < frames.size(); ++i) {
            const Frame& f = frames.at(i);
            if (f.type == 1 && f.classId() == classId && f.methodId() == methodId) {
                consumed = i + 1;
                return i;
            }
        }
        if (t.elapsed() >= ms)
            return -1;
        QTest::qWait(5);
    }
}

int FakeBroker::countMethods(quint16 classId, quint16 methodId) const
{
    int n = 0;
    for (const Frame& f : frames) {
        if (f.type == 1 && f.classId() == classId && f.methodId() == methodId)
            ++n;
    }
    return n;
}

bool FakeBroker::waitForPeerClosed(int ms)
{
    QElapsedTimer t;
    t.start();
    while (!closed_ && t.elapsed() < ms)
        QTest::qWait(5);
    return closed_;
}

bool FakeBroker::handshake(quint16 channelMax, quint32 frameMax, quint16 heartbeat, const QString& mechanisms)
{
    if (!waitForClient() || !waitForProtocolHeader())
        return false;
    QByteArray start = u8(0) + u8(9) + u32(0) + longStr(mechanisms.toUtf8()) + longStr("en_US");
    sendMethod(0, 10, 10, start);
    if (waitForMethod(10, 11) < 0)
        return false;
    sendMethod(0, 10, 30, u16(channelMax) + u32(frameMax) + u16(heartbeat));
    if (waitForMethod(10, 31) < 0 || waitForMethod(10, 40) < 0)
        return false;
    sendMethod(0, 10, 41, shortStr(""));
    return true;
}

void FakeBroker::sendRaw(const QByteArray& bytes)
{
    if (peer_) {
        peer_->write(bytes);
        peer_->flush();
    }
}

void FakeBroker::sendMethod(quint16 channel, quint16 classId, quint16 methodId, const QByteArray& args)
{
    sendRaw(method(channel, classId, methodId, args));
}

void FakeBroker::sendHeader(quint16 channel, quint64 bodySize, const QByteArray& propertyBytes, quint16 flags)
{
    sendRaw(header(channel, bodySize, propertyBytes, flags));
}

void FakeBroker::sendBody(quint16 channel, const QByteArray& body)
{
    sendRaw(frame(3, channel, body));
}

void FakeBroker::disconnectClient()
{
    if (peer_) {
        peer_->abort();
        closed_ = true;
    }
}

int FakeBroker::countInHistory(quint16 classId, quint16 methodId) const
{
    int n = 0;
    for (const Frame& f : history) {
        if (f.type == 1 && f.classId() == classId && f.methodId() == methodId)
            ++n;
    }
    return n;
}

QByteArray FakeBroker::frame(quint8 type, quint16 channel, const QByteArray& payload, quint8 end)
{
    return u8(type) + u16(channel) + u32(quint32(payload.size())) + payload + u8(end);
}

QByteArray FakeBroker::method(quint16 channel, quint16 classId, quint16 methodId, const QByteArray& args)
{
    return frame(1, channel, u16(classId) + u16(methodId) + args);
}

QByteArray FakeBroker::header(quint16 channel, quint64 bodySize, const QByteArray& propertyBytes, quint16 flags)
{
    return frame(2, channel, u16(60) + u16(0) + u64(bodySize) + u16(flags) + propertyBytes);
}

QByteArray FakeBroker::shortStr(const QByteArray& s) { return u8(quint8(s.size())) + s; }
QByteArray FakeBroker::longStr(const QByteArray& s) { return u32(quint32(s.size())) + s; }
QByteArray FakeBroker::u8(quint8 v) { return QByteArray(1, char(v)); }

QByteArray FakeBroker::u16(quint16 v)
{
    QByteArray b(2, Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}

QByteArray FakeBroker::u32(quint32 v)
{
    QByteArray b(4, Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}

QByteArray FakeBroker::u64(quint64 v)
{
    QByteArray b(8, Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}
