#include "ax5043.h"

#include <array>

namespace {

uint16_t pn9_step(uint16_t s)
{
    const uint16_t bit = uint16_t((s ^ (s >> 5)) & 1);
    return uint16_t((s >> 1) | (bit << 8));
}

struct Pn9Table {
    std::array<uint16_t, 256> low{};  // eight steps from a state with bit 8 clear
    uint16_t high = 0;                // eight steps from state 0x100
    Pn9Table()
    {
        for (unsigned v = 0; v < 256; ++v) {
            uint16_t s = uint16_t(v);
            for (int i = 0; i < 8; ++i)
                s = pn9_step(s);
            low[v] = s;
        }
        uint16_t s = 0x100;
        for (int i = 0; i < 8; ++i)
            s = pn9_step(s);
        high = s;
    }
};

const Pn9Table& pn9_table()
{
    static const Pn9Table t;
    return t;
}

struct CrcTables {
    std::array<uint32_t, 256> reflected{};
    std::array<uint32_t, 256> msb{};
    CrcTables()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i;
            for (int k = 0; k < 8; ++k)
                r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
            reflected[i] = r;
            uint32_t m = i << 24;
            for (int k = 0; k < 8; ++k)
                m = (m & 0x80000000u) ? (m << 1) ^ 0x04C11DB7u : m << 1;
            msb[i] = m;
        }
    }
};

const CrcTables& crc_tables()
{
    static const CrcTables t;
    return t;
}

} // namespace

uint16_t pn9_advance_bits(uint16_t pn9, uint16_t bits)
{
    pn9 &= 0x1FF;
    for (; bits >= 8; bits = uint16_t(bits - 8))
        pn9 = pn9_advance_byte(pn9);
    for (; bits; --bits)
        pn9 = pn9_step(pn9);
    return pn9;
}

uint16_t pn9_advance_byte(uint16_t pn9)
{
    // The register is linear: the step of bit 8 adds to the step of the low byte.
    const Pn9Table& t = pn9_table();
    uint16_t s = t.low[pn9 & 0xFF];
    if (pn9 & 0x100)
        s ^= t.high;
    return s;
}

uint16_t pn9_buffer(uint8_t* buf, uint16_t len, uint16_t pn9, uint8_t xor_byte)
{
    pn9 &= 0x1FF;
    for (uint16_t i = 0; i < len; ++i) {
        buf[i] ^= uint8_t(pn9) ^ xor_byte;
        pn9 = pn9_advance_byte(pn9);
    }
    return pn9;
}

uint32_t crc_crc32(const uint8_t* buf, uint16_t len, uint32_t crc)
{
    const auto& t = crc_tables().reflected;
    for (uint16_t i = 0; i < len; ++i)
        crc = t[(crc ^ buf[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint32_t crc_crc32_msb(const uint8_t* buf, uint16_t len, uint32_t crc)
{
    const auto& t = crc_tables().msb;
    for (uint16_t i = 0; i < len; ++i)
        crc = (crc << 8) ^ t[((crc >> 24) ^ buf[i]) & 0xFF];
    return crc;
}

uint8_t rev8(uint8_t v)
{
    v = uint8_t((v >> 4) | (v << 4));
    v = uint8_t(((v >> 2) & 0x33) | ((v & 0x33) << 2));
    v = uint8_t(((v >> 1) & 0x55) | ((v & 0x55) << 1));
    return v;
}

int32_t signextend24(uint32_t v)
{
    v &= 0xFFFFFF;
    return (v & 0x800000) ? int32_t(v | 0xFF000000u) : int32_t(v);
}

int32_t signextend16(uint16_t v)
{
    return int32_t(int16_t(v));
}
