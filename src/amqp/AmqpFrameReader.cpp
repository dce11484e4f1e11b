#include "AmqpFrameReader.h"

#include <QtEndian>

#include "AmqpFrame.h"

namespace {
constexpr int headerSize = 7;
}

void AmqpFrameReader::append(const QByteArray& bytes)
{
    if (offset_ > 0 && offset_ >= buffer_.size() / 2) {
        buffer_.remove(0, offset_);
        offset_ = 0;
    }
    buffer_.append(bytes);
}

void AmqpFrameReader::clear()
{
    buffer_.clear();
    offset_ = 0;
}

qint64 AmqpFrameReader::wanted() const
{
    const int available = buffer_.size() - offset_;
    if (available < headerSize)
        return headerSize - available;
    const quint32 size = qFromBigEndian<quint32>(buffer_.constData() + offset_ + 3);
    const qint64 length = qint64(size) + 8;
    return qMax<qint64>(1, length - available);
}

AmqpFrameReader::Result AmqpFrameReader::next(Frame& frame, Amqp::Error& error, QString& errorText)
{
    const int available = buffer_.size() - offset_;
    if (available < headerSize)
        return NeedMore;
    const char* header = buffer_.constData() + offset_;
    const quint32 size = qFromBigEndian<quint32>(header + 3);
    if (size > frameMax_) {
        error = Amqp::FrameError;
        errorText = QStringLiteral("frame size too large");
        return Failed;
    }
    const qint64 length = qint64(size) + 8;
    if (available < length)
        return NeedMore;
    if (quint8(header[length - 1]) != AmqpFrame::FrameEnd) {
        error = Amqp::UnexpectedFrameError;
        errorText = QStringLiteral("wrong end of frame");
        return Failed;
    }
    frame.type = quint8(header[0]);
    frame.channel = qFromBigEndian<quint16>(header + 1);
    frame.payload = QByteArray(header + headerSize, int(size));
    offset_ += int(length);
    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    }
    return FrameReady;
}
