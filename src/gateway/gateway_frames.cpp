#include "gateway_frames.h"

#include "crc.h"
#include "frame_coders.h"
#include "phy_names.h"

namespace gateway_frames {

namespace {

void put_le32(QByteArray& f, int at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        f[at + i] = char((v >> (8 * i)) & 0xFF);
}

void put_be(QByteArray& f, int at, quint32 v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        f[at + i] = char((v >> (8 * (bytes - 1 - i))) & 0xFF);
}

} // namespace

QByteArray protocol5(const dl_message_point& m)
{
    QByteArray f(kProtocol5Size, '\0');
    put_le32(f, 0, m.modem_id);
    put_le32(f, 4, m.freq);
    f[8] = char(quint32(vexa_fhy_from_str_right(m.phy)) & 0xFF);
    f[9] = char(m.strength);
    put_be(f, 10, m.preambula, 4);
    f[14] = char(m.crypto_iter & 0xFF);
    f[15] = char(m.crypto_flags & 0xFF);
    for (int i = 0; i < 8; ++i)
        f[16 + i] = char(m.payload[i]);
    put_be(f, 24, m.crypto_mic & 0xFFFFFF, 3);
    auto* bytes = reinterpret_cast<unsigned char*>(f.data());
    put_be(f, 27, CRC32(bytes + 14, 13) & 0xFFFFFF, 3);
    ZCODE_Append(bytes + 14, bytes + 30, 1);
    return f;
}

QByteArray protocol4(const dl_message_point& m)
{
    QByteArray f(kProtocol4Size, '\0');
    put_be(f, 0, m.modem_id & 0xFFFFFF, 3);
    f[3] = char(((m.iterator & 31) + 32 * m.f_multi + 64 * m.f_ack + 128 * m.f_system) & 0xFF);
    for (int i = 0; i < 9; ++i)
        f[4 + i] = char(m.payload[i]);
    return f;
}

QByteArray build(const dl_message_point& m)
{
    if (m.vexa_ver >= 5)
        return protocol5(m);
    if (m.vexa_ver == 4)
        return protocol4(m);
    return QByteArray();
}

QByteArray rs_slice(const QByteArray& frame)
{
    return frame.mid(10, 20);
}

QByteArray old_style_slice(const QByteArray& frame)
{
    return frame.mid(14, 16);
}

} // namespace gateway_frames
