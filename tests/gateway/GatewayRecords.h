#pragma once
// Records as gateways and RS devices send them, built independently of the station's parser.

#include "crc.h"
#include "frame_coders.h"

#include <QByteArray>
#include <QList>

namespace gwrec {

// CRC-32/BZIP2 bit by bit, independent of the station's table: polynomial 0x04C11DB7, initial and final value all ones, no reflection.
inline quint32 crc32_bzip2(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : bytes) {
        crc ^= quint32(quint8(c)) << 24;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return ~crc;
}


inline void put_be(QByteArray& b, int at, quint32 v, int n)
{
    for (int i = 0; i < n; ++i)
        b[at + i] = char((v >> (8 * (n - 1 - i))) & 0xFF);
}

inline quint32 crc24(const QByteArray& b, int from, int len)
{
    return CRC32(reinterpret_cast<const unsigned char*>(b.constData()) + from, static_cast<unsigned char>(len)) &
           0xFFFFFF;
}

inline QByteArray payload(quint8 seed)
{
    QByteArray p(8, '\0');
    for (int i = 0; i < 8; ++i)
        p[i] = char(seed + i);
    return p;
}

// Kind 0x0d: protocol D without radio values.
inline QByteArray kindD(quint8 phy, quint32 id, quint8 flags, const QByteArray& pld, quint8 crc8)
{
    QByteArray r(36, '\0');
    r[0] = char(0x0d);
    r[1] = char(phy);
    put_be(r, 4, id & 0xFFFFFF, 3);
    r[7] = char(flags);
    r.replace(8, 8, pld);
    r[16] = char(crc8);
    put_be(r, 17, crc24(r, 4, 13), 3);
    return r;
}

// Kind 0x0f: protocol D with the gateway's frequency and SNR.
inline QByteArray kindF(quint8 phy, quint32 freq, qint8 snr, quint32 id, quint8 flags, const QByteArray& pld,
                        quint8 crc8)
{
    QByteArray r(36, '\0');
    r[0] = char(0x0f);
    r[1] = char(phy);
    for (int i = 0; i < 4; ++i)
        r[2 + i] = char((freq >> (8 * i)) & 0xFF);
    r[6] = char(snr);
    put_be(r, 7, id & 0xFFFFFF, 3);
    r[10] = char(flags);
    r.replace(11, 8, pld);
    r[19] = char(crc8);
    put_be(r, 20, crc24(r, 7, 13), 3);
    return r;
}

// The 20 data bytes of a protocol-E message.
inline QByteArray dataE(quint32 id, quint8 iter, quint8 flags, const QByteArray& pld, quint32 mic)
{
    QByteArray d(20, '\0');
    put_be(d, 0, id, 4);
    d[4] = char(iter);
    d[5] = char(flags);
    d.replace(6, 8, pld);
    put_be(d, 14, mic & 0xFFFFFF, 3);
    put_be(d, 17, crc24(d, 0, 17), 3);
    return d;
}

// Kind 0x0e: the 20 data bytes polar-coded, with some code bits flipped.
inline QByteArray kindE(quint8 phy, const QByteArray& data20, const QList<int>& flips = {})
{
    QByteArray r(36, '\0');
    r[0] = char(0x0e);
    r[1] = char(phy);
    encode(8, reinterpret_cast<const unsigned char*>(data20.constData()), reinterpret_cast<unsigned char*>(r.data()) + 4);
    for (int p : flips)
        r[4 + p / 8] = char(r[4 + p / 8] ^ (0x80 >> (p % 8)));
    return r;
}

// An RS device record: 20 bytes of protocol D.
inline QByteArray rs(quint32 id, quint8 flags, const QByteArray& pld, quint8 crc8)
{
    QByteArray r(20, '\0');
    put_be(r, 4, id & 0xFFFFFF, 3);
    r[7] = char(flags);
    r.replace(8, 8, pld);
    r[16] = char(crc8);
    put_be(r, 17, crc24(r, 4, 13), 3);
    return r;
}

inline QByteArray heartbeatWithId(quint32 id)
{
    QByteArray hb = "heartbeat_id:";
    for (int i = 0; i < 4; ++i)
        hb.append(char((id >> (8 * i)) & 0xFF));
    return hb;
}

} // namespace gwrec
