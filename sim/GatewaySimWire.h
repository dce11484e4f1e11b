#pragma once
// Bytes the simulated gateways and RS devices put on the wire and the checks they make of the
// downlink frames the station sends them.

#include <QByteArray>
#include <QJsonObject>

namespace gwsim {

// A scripted modem message: the modem id and a counter that varies the payload.
struct Uplink {
    quint32 modem = 0;
    quint32 seq = 0;
};

// Gateway records of 36 bytes: kind 0x0d (no radio values), 0x0f (with frequency in Hz and SNR
// in dB) and 0x0e (the 20 data bytes of a protocol-E message, polar-coded).
QByteArray recordD(const Uplink& u);
QByteArray recordF(const Uplink& u, quint32 freqHz, qint8 snr);
QByteArray recordE(const Uplink& u);
// The 20-byte record an RS device streams.
QByteArray recordRs(const Uplink& u);

QByteArray heartbeat(bool withId, quint32 gatewayId);

// Flip bit `bit` (0 = most significant bit of byte 0) of a record.
void flipBit(QByteArray& record, int bit);

// Checks of what the station sent: a 46-byte frame (CRC-24 over bytes 14..26 and the parity
// block), a 16-byte old-style slice (its CRC-24), a 20-byte RS slice (its CRC-24). Each gives
// the JSON line the simulators log.
QJsonObject checkFrame46(const QByteArray& frame);
QJsonObject checkOldStyleSlice(const QByteArray& slice);
QJsonObject checkRsSlice(const QByteArray& slice);

// One JSON line on stdout, flushed at once so that a reading test sees it.
void printJsonLine(const QJsonObject& o);

} // namespace gwsim
