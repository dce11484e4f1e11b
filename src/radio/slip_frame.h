#pragma once

#include <QByteArray>
#include <QList>

// Frames of the radio modem's serial protocol: start byte, command byte (never escaped), the
// payload with every DD, DE and DF byte escaped as DF and its complement, an optional CRC-8/MAXIM
// check byte over the raw payload (escaped the same way), end byte.
namespace slip_frame {

constexpr quint8 kStart = 0xDD;
constexpr quint8 kEnd = 0xDE;
constexpr quint8 kEscape = 0xDF;

QByteArray encode(quint8 cmd, const QByteArray& payload, bool withCheckByte);

} // namespace slip_frame

// Reassembles frames from the modem's byte stream. Every frame completed by the bytes fed is
// returned in order; a frame still open at the end of the bytes carries over to the next call.
// A frame that reaches 255 stored payload bytes (check byte included) is abandoned; bytes
// outside a frame are ignored; a frame with a wrong check byte is dropped.
class slip_receiver
{
public:
    enum Mode { SLIP_MODE_START = 0, SLIP_MODE_RECEIVING_PAYLOAD = 1, SLIP_MODE_RECEIVING_CMD = 2, SLIP_MODE_ESC = 3 };

    struct Frame
    {
        quint8 cmd = 0;
        QByteArray payload; // without the check byte
    };

    void setCheckByte(bool on) { use_crc_ = on; }
    // Back to waiting for a start byte (a new port opening).
    void reset();
    QList<Frame> feed(const QByteArray& bytes);
    Mode mode() const { return mode_; }

private:
    struct slip_buf_t
    {
        quint8 cmd = 0;
        quint8 payload[256] = {};
        quint8 len = 0;
    };

    void start();
    bool complete(Frame* frame);

    slip_buf_t buf_;
    Mode mode_ = SLIP_MODE_START;
    bool use_crc_ = false;
};
