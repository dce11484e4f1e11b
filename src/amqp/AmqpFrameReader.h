#ifndef AMQPFRAMEREADER_H
#define AMQPFRAMEREADER_H

#include <QByteArray>
#include <QString>

#include "Amqp.h"

// Cuts the incoming byte stream into frames. The payload size is checked against frame-max as
// soon as the 7-byte header is complete, so an oversized frame is refused before any of its
// payload is kept; the buffer never holds more than one frame plus the last chunk read.
class AmqpFrameReader
{
public:
    struct Frame {
        quint8 type = 0;
        quint16 channel = 0;
        QByteArray payload;
    };

    enum Result { NeedMore, FrameReady, Failed };

    void setFrameMax(quint32 frameMax) { frameMax_ = frameMax; }
    quint32 frameMax() const { return frameMax_; }

    void append(const QByteArray& bytes);
    // Takes the next complete frame. On Failed, `error` and `errorText` say why; the caller closes
    // the connection and clears the reader.
    Result next(Frame& frame, Amqp::Error& error, QString& errorText);
    void clear();
    int buffered() const { return buffer_.size() - offset_; }

    // Bytes the reader would like before it can decide anything more (at least 1).
    qint64 wanted() const;

private:
    QByteArray buffer_;
    int offset_ = 0;
    quint32 frameMax_ = 131072;
};

#endif
