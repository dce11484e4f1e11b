#pragma once
// A socket stand-in for registry tests: open without a peer, it records every write, close and
// connection attempt, and its connection state is set by the test.

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTcpSocket>

class FakeGatewaySocket : public QTcpSocket
{
public:
    FakeGatewaySocket() { QIODevice::open(QIODevice::ReadWrite); }

    int closes = 0;
    QList<QByteArray> writes;
    QStringList connects;

    void setState(SocketState s) { setSocketState(s); }

    void close() override
    {
        ++closes;
        QIODevice::close();
        setSocketState(UnconnectedState);
    }

    void connectToHost(const QString& host, quint16 port, OpenMode, NetworkLayerProtocol) override
    {
        connects << QString("%1:%2").arg(host).arg(port);
        setSocketState(ConnectingState);
    }

protected:
    qint64 writeData(const char* data, qint64 len) override
    {
        writes.append(QByteArray(data, int(len)));
        return len;
    }
};
