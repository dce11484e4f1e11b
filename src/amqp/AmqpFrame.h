#ifndef AMQPFRAME_H
#define AMQPFRAME_H

#include <QByteArray>
#include <QDataStream>
#include <QHash>
#include <QVariant>

#include "AmqpMessage.h"
#include "AmqpMetaType.h"

// One AMQP 0-9-1 frame: type octet, channel, payload size, payload, end octet 0xCE.
//
// Frames are written into a byte buffer and handed to the socket whole; nothing waits for the
// socket. Received frames are parsed from a buffer that holds exactly one payload, and every read
// is bounded by it: a stream left in a non-Ok status means the frame was malformed.
class AmqpFrame
{
public:
    enum FrameType { Method = 1, Header = 2, Body = 3, Heartbeat = 8 };
    enum MethodClass { Connection = 10, Channel = 20, Exchange = 40, Queue = 50, Basic = 60, Confirm = 85, Tx = 90 };
    static constexpr quint8 FrameEnd = 0xCE;

    virtual ~AmqpFrame();

    FrameType type() const { return FrameType(type_); }
    quint16 channel() const { return channel_; }
    void setChannel(quint16 channel) { channel_ = channel; }

    // Payload size to write (a content header builds its bytes here).
    virtual qint32 size() const;

    // The whole frame as bytes, header and end octet included. Empty when an argument could not
    // be encoded (a short string over 255 bytes); such a frame must not be sent.
    QByteArray toByteArray() const;

    // Process-wide frame write timeout in ms (kept for callers; writes never block on it).
    static int writeTimeout();
    static void setWriteTimeout(int msecs);

    // Value codec of method arguments.
    static QVariant readAmqpField(QDataStream& stream, AmqpMetaType::ValueType valueType);
    static void writeAmqpField(QDataStream& stream, AmqpMetaType::ValueType valueType, const QVariant& value);

    // Bounded primitives: a length that runs past the data sets ReadPastEnd and yields nothing.
    static QByteArray readBytes(QDataStream& stream, quint64 length);
    static QString readShortString(QDataStream& stream);
    static QString readLongString(QDataStream& stream);
    // A text over 255 UTF-8 bytes is not written: the stream is set to WriteFailed.
    static void writeShortString(QDataStream& stream, const QString& text);
    static void writeLongString(QDataStream& stream, const QString& text);

protected:
    explicit AmqpFrame(FrameType type);

    virtual void writePayload(QDataStream& stream) const = 0;
    virtual void readPayload(QDataStream& stream) = 0;

    quint32 size_ = 0;
    qint8 type_;
    quint16 channel_ = 0;

    friend QDataStream& operator<<(QDataStream& stream, const AmqpFrame& frame);
    friend QDataStream& operator>>(QDataStream& stream, AmqpFrame& frame);
};

QDataStream& operator<<(QDataStream& stream, const AmqpFrame& frame);
QDataStream& operator>>(QDataStream& stream, AmqpFrame& frame);

class AmqpMethodFrame : public AmqpFrame
{
public:
    AmqpMethodFrame();
    AmqpMethodFrame(MethodClass methodClass, qint16 id);

    MethodClass methodClass() const { return MethodClass(methodClass_); }
    qint16 id() const { return id_; }
    QByteArray arguments() const { return arguments_; }
    void setArguments(const QByteArray& arguments) { arguments_ = arguments; }

    qint32 size() const override;

    // Parses a received payload; false when it is shorter than class and method ids.
    bool parse(const QByteArray& payload);

protected:
    void writePayload(QDataStream& stream) const override;
    void readPayload(QDataStream& stream) override;

private:
    quint16 methodClass_ = 0;
    qint16 id_ = 0;
    QByteArray arguments_;
};

class AmqpContentFrame : public AmqpFrame
{
public:
    AmqpContentFrame();
    explicit AmqpContentFrame(MethodClass methodClass);

    MethodClass methodClass() const { return MethodClass(methodClass_); }
    quint64 bodySize() const { return bodySize_; }
    void setBodySize(quint64 size) { bodySize_ = size; }
    QVariant property(AmqpMessage::Property property) const { return properties_.value(property); }
    void setProperty(AmqpMessage::Property property, const QVariant& value) { properties_.insert(property, value); }
    AmqpMessage::PropertyHash properties() const { return properties_; }

    qint32 size() const override;

    // Parses a received payload; false when it is malformed.
    bool parse(const QByteArray& payload);

protected:
    void writePayload(QDataStream& stream) const override;
    void readPayload(QDataStream& stream) override;

private:
    quint16 methodClass_ = 0;
    mutable QByteArray buffer_;
    mutable bool encodeFailed_ = false;
    AmqpMessage::PropertyHash properties_;
    quint64 bodySize_ = 0;

    friend class AmqpFrame;
};

class AmqpContentBodyFrame : public AmqpFrame
{
public:
    AmqpContentBodyFrame();
    AmqpContentBodyFrame(quint16 channel, const QByteArray& body);

    QByteArray body() const { return body_; }
    void setBody(const QByteArray& body) { body_ = body; }

    qint32 size() const override;

protected:
    void writePayload(QDataStream& stream) const override;
    void readPayload(QDataStream& stream) override;

private:
    QByteArray body_;
};

class AmqpHeartbeatFrame : public AmqpFrame
{
public:
    AmqpHeartbeatFrame();

protected:
    void writePayload(QDataStream& stream) const override;
    void readPayload(QDataStream& stream) override;
};

// Receivers of parsed frames, registered with the client per channel number.
class AmqpMethodFrameHandler
{
public:
    virtual ~AmqpMethodFrameHandler() = default;
    virtual bool _q_method(const AmqpMethodFrame& frame) = 0;
};

class AmqpContentFrameHandler
{
public:
    virtual ~AmqpContentFrameHandler() = default;
    virtual void _q_content(const AmqpContentFrame& frame) = 0;
};

class AmqpContentBodyFrameHandler
{
public:
    virtual ~AmqpContentBodyFrameHandler() = default;
    virtual void _q_body(const AmqpContentBodyFrame& frame) = 0;
};

#endif
