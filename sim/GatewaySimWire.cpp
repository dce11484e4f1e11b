#include "GatewaySimWire.h"

#include "crc.h"
#include "frame_coders.h"

#include <QJsonDocument>

#include <cstdio>

namespace gwsim {

namespace {

void putBe(QByteArray& b, int at, quint32 v, int n)
{
    for (int i = 0; i < n; ++i)
        b[at + i] = char((v >> (8 * (n - 1 - i))) & 0xFF);
}

quint32 getBe(const QByteArray& b, int at, int n)
{
    quint32 v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | quint8(b[at + i]);
    return v;
}

quint32 getLe32(const QByteArray& b, int at)
{
    quint32 v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | quint8(b[at + i]);
    return v;
}

quint32 crc24(const QByteArray& b, int from, int len)
{
    return CRC32(reinterpret_cast<const unsigned char*>(b.constData()) + from, static_cast<unsigned char>(len)) &
           0xFFFFFF;
}

QByteArray payload(const Uplink& u)
{
    QByteArray p(8, '\0');
    putBe(p, 0, u.modem, 4);
    putBe(p, 4, u.seq, 4);
    return p;
}

// Phy code 0x1c: the rate every scripted modem uses.
constexpr quint8 kPhy = 0x1c;

// The 16-byte protocol-D block (modem id, iteration, payload, sequence, CRC-24 over the first
// 13 bytes) at `at`: gateway records carry it at 4 or 7, RS records at 4.
void putProtocolD(QByteArray& r, int at, const Uplink& u)
{
    putBe(r, at, u.modem & 0xFFFFFF, 3);
    r[at + 3] = char(u.seq & 0x1F);
    r.replace(at + 4, 8, payload(u));
    r[at + 12] = char(u.seq & 0xFF);
    putBe(r, at + 13, crc24(r, at, 13), 3);
}

} // namespace

QByteArray recordD(const Uplink& u)
{
    QByteArray r(36, '\0');
    r[0] = char(0x0d);
    r[1] = char(kPhy);
    putProtocolD(r, 4, u);
    return r;
}

QByteArray recordF(const Uplink& u, quint32 freqHz, qint8 snr)
{
    QByteArray r(36, '\0');
    r[0] = char(0x0f);
    r[1] = char(kPhy);
    for (int i = 0; i < 4; ++i)
        r[2 + i] = char((freqHz >> (8 * i)) & 0xFF);
    r[6] = char(snr);
    putProtocolD(r, 7, u);
    return r;
}

QByteArray recordE(const Uplink& u)
{
    QByteArray d(20, '\0');
    putBe(d, 0, u.modem, 4);
    d[4] = char(u.seq & 0xFF);
    d[5] = 0;
    d.replace(6, 8, payload(u));
    putBe(d, 14, (u.modem * 2654435761u + u.seq) & 0xFFFFFF, 3);
    putBe(d, 17, crc24(d, 0, 17), 3);
    QByteArray r(36, '\0');
    r[0] = char(0x0e);
    r[1] = char(kPhy);
    encode(8, reinterpret_cast<const unsigned char*>(d.constData()), reinterpret_cast<unsigned char*>(r.data()) + 4);
    return r;
}

QByteArray recordRs(const Uplink& u)
{
    QByteArray r(20, '\0');
    putProtocolD(r, 4, u);
    return r;
}

QByteArray heartbeat(bool withId, quint32 gatewayId)
{
    QByteArray hb = withId ? QByteArray("heartbeat_id:") : QByteArray("heartbeat");
    if (withId)
        for (int i = 0; i < 4; ++i)
            hb.append(char((gatewayId >> (8 * i)) & 0xFF));
    return hb;
}

void flipBit(QByteArray& record, int bit)
{
    const int byte = bit / 8;
    if (byte >= 0 && byte < record.size())
        record[byte] = char(record[byte] ^ (0x80 >> (bit % 8)));
}

// The protected block of a frame sits at `at`: crypto iteration and flags, 8 payload bytes, MIC,
// CRC-24 over its first 13 bytes.
QJsonObject checkBlock(const QByteArray& bytes, int at)
{
    QJsonObject o;
    o["size"] = bytes.size();
    o["crc_ok"] = crc24(bytes, at, 13) == getBe(bytes, at + 13, 3);
    o["payload"] = QString::fromLatin1(bytes.mid(at + 2, 8).toHex());
    return o;
}

QJsonObject checkFrame46(const QByteArray& frame)
{
    QJsonObject o = checkBlock(frame, 14);
    o["modem"] = double(getLe32(frame, 0));
    o["freq"] = double(getLe32(frame, 4));
    o["phy"] = quint8(frame[8]);
    o["power"] = quint8(frame[9]);
    QByteArray parity(16, '\0');
    ZCODE_Append(reinterpret_cast<const unsigned char*>(frame.constData()) + 14,
                 reinterpret_cast<unsigned char*>(parity.data()), 1);
    o["parity_ok"] = parity == frame.mid(30, 16);
    return o;
}

QJsonObject checkOldStyleSlice(const QByteArray& slice)
{
    return checkBlock(slice, 0);
}

QJsonObject checkRsSlice(const QByteArray& slice)
{
    // Bytes 10..29 of the frame: preamble first.
    return checkBlock(slice, 4);
}

void printJsonLine(const QJsonObject& o)
{
    const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace gwsim
