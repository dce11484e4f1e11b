#include "FpgaRecordBuilder.h"

#include "crc.h"

namespace {
void put_be(QByteArray& r, int at, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i)
        r[at + i] = static_cast<char>((v >> (8 * (n - 1 - i))) & 0xFF);
}
} // namespace

uint32_t FpgaRecordBuilder::crc_of(const QByteArray& record, int first, int len)
{
    return CRC32(reinterpret_cast<const unsigned char*>(record.constData() + first), static_cast<unsigned char>(len));
}

QByteArray FpgaRecordBuilder::empty()
{
    QByteArray r(SIZE, '\0');
    for (int i = 9; i <= 20; ++i)
        r[i] = 0x6F;
    return r;
}

QByteArray FpgaRecordBuilder::build(const Fields& f, Layout layout, bool good_crc)
{
    QByteArray r(SIZE, '\0');
    const bool v11 = layout == Layout::V1_1;
    int crc_at = 17, crc_bytes = 4, crc_len = 12;

    if (f.type == 0x0E) {
        put_be(r, 5, f.id, 4);
        if (v11) {
            r[9] = static_cast<char>(f.crypto_iter);
            r[10] = static_cast<char>(f.flags);
            for (int i = 0; i < 8; ++i)
                r[11 + i] = static_cast<char>(f.payload[size_t(i)]);
            put_be(r, 19, f.mic & 0xFFFFFF, 3);
            crc_at = 22;
            crc_len = 17;
        } else {
            r[9] = static_cast<char>(f.flags);
            for (int i = 0; i < 8; ++i)
                r[10 + i] = static_cast<char>(f.payload[size_t(i)]);
            crc_at = 20;
            crc_len = 15;
        }
        crc_bytes = 3;
    } else {
        put_be(r, 5, f.id & 0xFFFFFF, 3);
        r[8] = static_cast<char>(f.flags);
        for (int i = 0; i < 8; ++i)
            r[9 + i] = static_cast<char>(f.payload[size_t(i)]);
        if (f.type == 0x0D) {
            r[17] = static_cast<char>(f.crc8);
            crc_at = 18;
            crc_bytes = 3;
            crc_len = 13;
        }
    }

    const int freq_at = v11 ? 31 : 23;
    r[freq_at] = static_cast<char>(f.freq_num & 0xFF);
    r[freq_at + 1] = static_cast<char>(f.freq_num >> 8);
    r[25] = static_cast<char>(f.rotation);
    for (int i = 0; i < 5; ++i)
        r[26 + i] = static_cast<char>((f.rssi >> (8 * i)) & 0xFF);
    r[33] = static_cast<char>(f.bitrate_code);
    r[34] = static_cast<char>(f.type);
    if (v11)
        r[35] = static_cast<char>(f.logs2);
    r[36] = static_cast<char>(f.demod);

    uint32_t crc = crc_of(r, 5, crc_len);
    if (crc_bytes == 3)
        crc &= 0xFFFFFF;
    if (!good_crc)
        crc ^= 0x1;
    put_be(r, crc_at, crc, crc_bytes);
    return r;
}
