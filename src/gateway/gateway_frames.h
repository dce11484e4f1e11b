#pragma once

#include "dl_message_point.h"

#include <QByteArray>

// Downlink frames that gateways and RS devices transmit for the station.
//
// Protocol 5 (46 bytes, vexa_ver 5 and above): modem id and frequency little-endian, phy code,
// power, preamble big-endian, then the 16-byte protected block at 14..29 (crypto iteration and
// flags, 8 payload bytes, 24-bit MIC, 24-bit CRC over 14..26) and its 16 parity bytes at 30..45.
// Protocol 4 (13 bytes, vexa_ver 4): 24-bit modem id, flags, payload bytes 0..8.
// Older versions give an empty frame.
namespace gateway_frames {

constexpr int kProtocol5Size = 46;
constexpr int kProtocol4Size = 13;

QByteArray protocol5(const dl_message_point& m);
QByteArray protocol4(const dl_message_point& m);
QByteArray build(const dl_message_point& m);

// What each kind of link takes of a frame: an RS device bytes 10..29, an old-style gateway the
// protected block 14..29. Cut short at the frame's end.
QByteArray rs_slice(const QByteArray& frame);
QByteArray old_style_slice(const QByteArray& frame);

} // namespace gateway_frames
