#include "slip_frame.h"

#include "crc.h"

#include <cstring>

namespace slip_frame {

namespace {
void putEscaped(QByteArray& out, quint8 b)
{
    if (b == kStart || b == kEnd || b == kEscape) {
        out.append(char(kEscape));
        out.append(char(quint8(~b)));
    } else {
        out.append(char(b));
    }
}
} // namespace

QByteArray encode(quint8 cmd, const QByteArray& payload, bool withCheckByte)
{
    QByteArray out;
    out.reserve(payload.size() * 2 + 6);
    out.append(char(kStart));
    out.append(char(cmd));
    for (char c : payload)
        putEscaped(out, quint8(c));
    if (withCheckByte) {
        QByteArray raw = payload.left(255);
        putEscaped(out, CRC8(reinterpret_cast<unsigned char*>(raw.data()), static_cast<unsigned char>(raw.size())));
    }
    out.append(char(kEnd));
    return out;
}

} // namespace slip_frame

void slip_receiver::reset()
{
    mode_ = SLIP_MODE_START;
    buf_.len = 0;
}

void slip_receiver::start()
{
    std::memset(buf_.payload, 0, sizeof buf_.payload);
    buf_.len = 0;
    mode_ = SLIP_MODE_RECEIVING_CMD;
}

bool slip_receiver::complete(Frame* frame)
{
    mode_ = SLIP_MODE_START;
    int len = buf_.len;
    if (use_crc_) {
        if (len == 0)
            return false;
        --len;
        if (CRC8(buf_.payload, static_cast<unsigned char>(len)) != buf_.payload[len])
            return false;
    }
    frame->cmd = buf_.cmd;
    frame->payload = QByteArray(reinterpret_cast<const char*>(buf_.payload), len);
    return true;
}

QList<slip_receiver::Frame> slip_receiver::feed(const QByteArray& bytes)
{
    QList<Frame> frames;
    for (char c : bytes) {
        const quint8 b = quint8(c);
        switch (mode_) {
        case SLIP_MODE_START:
            if (b == slip_frame::kStart)
                start();
            continue;
        case SLIP_MODE_RECEIVING_CMD:
        case SLIP_MODE_RECEIVING_PAYLOAD:
            if (b == slip_frame::kStart) {
                start();
                continue;
            }
            if (b == slip_frame::kEnd) {
                Frame frame;
                if (complete(&frame))
                    frames.append(frame);
                continue;
            }
            if (b == slip_frame::kEscape) {
                mode_ = SLIP_MODE_ESC;
            } else if (mode_ == SLIP_MODE_RECEIVING_CMD) {
                buf_.cmd = b;
                mode_ = SLIP_MODE_RECEIVING_PAYLOAD;
            } else {
                buf_.payload[buf_.len++] = b;
            }
            break;
        case SLIP_MODE_ESC:
            buf_.payload[buf_.len++] = quint8(~b);
            mode_ = SLIP_MODE_RECEIVING_PAYLOAD;
            break;
        }
        if (buf_.len == 255)
            mode_ = SLIP_MODE_START;
    }
    return frames;
}
