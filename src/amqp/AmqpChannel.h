#ifndef AMQPCHANNEL_H
#define AMQPCHANNEL_H

#include <QObject>

#include "Amqp.h"

class AmqpChannelPrivate;
class AmqpClient;

// Base of the exchange and queue objects: one AMQP channel with its number, opening and closing,
// flow control, basic.qos and error reporting. Channels are made by the client only.
class AmqpChannel : public QObject
{
    Q_OBJECT
public:
    ~AmqpChannel() override;

    int channelNumber() const;
    QString name() const;
    void setName(const QString& name);
    bool isOpen() const;

    // basic.qos; held back until the channel is open.
    void qos(quint16 prefetchCount, qint32 prefetchSize = 0);
    quint16 prefetchCount() const;
    qint32 prefetchSize() const;

    void reset();
    Amqp::Error error() const;
    QString errorString() const;

public Q_SLOTS:
    void close();
    void reopen();
    void resume();

Q_SIGNALS:
    void opened();
    void closed();
    void resumed();
    void paused();
    void error(Amqp::Error error);
    void qosDefined();

protected:
    AmqpChannel(AmqpChannelPrivate* dd, AmqpClient* client);
    virtual void channelOpened() = 0;
    virtual void channelClosed() = 0;

    AmqpChannelPrivate* const d_ptr;

private:
    Q_DISABLE_COPY(AmqpChannel)
    friend class AmqpChannelPrivate;
    friend class AmqpClientPrivate;
};

#endif
