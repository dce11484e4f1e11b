#ifndef AMQPCHANNEL_P_H
#define AMQPCHANNEL_P_H

#include <QPointer>

#include <functional>

#include "AmqpClient.h"
#include "AmqpFrame.h"
#include "AmqpTable.h"

class AmqpChannel;
class AmqpClientPrivate;

class AmqpChannelPrivate : public AmqpMethodFrameHandler
{
public:
    explicit AmqpChannelPrivate(AmqpChannel* q);
    ~AmqpChannelPrivate() override;

    static AmqpChannelPrivate* get(AmqpChannel* channel) { return channel->d_ptr; }

    void init(int requestedChannelNumber, AmqpClient* client);

    bool _q_method(const AmqpMethodFrame& frame) override;
    virtual void resetInternalState();
    virtual void _q_disconnected();
    void _q_open();

    virtual AmqpContentFrameHandler* contentHandler() { return nullptr; }
    virtual AmqpContentBodyFrameHandler* bodyHandler() { return nullptr; }

    void open();
    bool sendFrame(const AmqpFrame& frame);
    // Sends a method with the given argument bytes; false when dropped.
    bool sendMethod(AmqpFrame::MethodClass methodClass, qint16 id, const QByteArray& arguments);
    // Composes the arguments with `write` first; nothing goes out (false) when a value could not
    // be encoded, a short string over 255 bytes for instance.
    bool sendMethod(AmqpFrame::MethodClass methodClass, qint16 id, const std::function<void(QDataStream&)>& write);
    void close(int code, const QString& text, int classId, int methodId);
    void flow(bool active);
    void notifyClosed();
    void sendQos();
    AmqpClientPrivate* clientPrivate() const;
    // False, after closing the connection with a syntax error, when `stream` ran out of bytes.
    bool checkArguments(QDataStream& stream, const AmqpMethodFrame& frame);
    void protocolError(Amqp::Error code, const QString& text, quint16 classId = 0, quint16 methodId = 0);

    AmqpChannel* const q_ptr;
    QPointer<AmqpClient> client;
    QString name;
    quint16 channelNumber = 0;
    bool opened = false;
    bool opening = false;
    bool needOpen = true;
    bool reopenRequested = false;
    qint32 prefetchSize = 0;
    qint32 requestedPrefetchSize = 0;
    quint16 prefetchCount = 0;
    quint16 requestedPrefetchCount = 0;
    bool qosPending = false;
    Amqp::Error error = Amqp::NoError;
    QString errorString;
    AmqpTable arguments;
};

#endif
