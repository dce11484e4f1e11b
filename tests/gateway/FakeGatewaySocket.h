#pragma once
// A socket stand-in for registry tests: open without a peer, it records every write and close.

#include <QByteArray>
#include <QList>
#include <QTcpSocket>

class FakeGatewaySocket : public QTcpSocket
{
public:
    FakeGatewaySocket() { QIODevice::open(QIODevice::ReadWrite); }

    int closes = 0;
    QList<QByteArray> writes;

    void close() override
    {
        ++closes;
        QIODevice::close();
    }

protected:
    qint64 writeData(const char* data, qint64 len) override
    {
        writes.append(QByteArray(data, int(len)));
        return len;
    }
};
