#include "downlink_frames.h"

#include "crc.h"
#include "frame_coders.h"

#include <cstring>
#include <initializer_list>

namespace {
void put_be32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void put_be24(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 16);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v);
}

// Bytes 17..19 and 20..35 of a protocol D frame whose bytes 0..16 are filled.
void finish_prot_d(uint8_t* out, unsigned int parity_mode)
{
    put_be24(out + 17, dl_crc24(out + 4));
    ZCODE_Append(out + 4, out + 20, parity_mode);
}
} // namespace

uint32_t dl_crc24(const uint8_t* data)
{
    return CRC32(data, 13) & 0xFFFFFFu;
}

void build_autocorrection_frame(uint32_t id, uint8_t out[DL_FRAME_SIZE])
{
    std::memset(out, 0, DL_FRAME_SIZE);
    put_be32(out, DL_PROT_D_PREAMBLE);
    put_be24(out + 4, id);
    out[16] = CRC8(out + 8, 8);
    finish_prot_d(out, 0);
}

void build_prot_d_ver4_frame(uint32_t id, uint8_t iter, const uint8_t* payload, uint8_t crc,
                             uint8_t out[DL_FRAME_SIZE])
{
    put_be32(out, DL_PROT_D_PREAMBLE);
    put_be24(out + 4, id);
    out[7] = iter;
    std::memcpy(out + 8, payload, 8);
    out[16] = crc;
    finish_prot_d(out, 1);
}

void build_prot_d_ver5_frame(uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
                             const uint8_t* payload, uint32_t crypto_mic, uint8_t out[DL_FRAME_SIZE])
{
    put_be32(out, preambula);
    out[4] = uint8_t(crypto_iter);
    out[5] = uint8_t(crypto_flags);
    std::memcpy(out + 6, payload, 8);
    put_be24(out + 14, crypto_mic);
    finish_prot_d(out, 1);
}

void build_prot_e_ver5_frame(uint32_t id, uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
                             const uint8_t* payload, uint32_t crypto_mic, uint8_t out[DL_FRAME_SIZE])
{
    uint8_t block[20];
    put_be32(block, id);
    block[4] = uint8_t(crypto_iter);
    block[5] = uint8_t(crypto_flags);
    std::memcpy(block + 6, payload, 8);
    put_be24(block + 14, crypto_mic);
    put_be24(block + 17, dl_crc24(block + 4));
    put_be32(out, preambula);
    encode(8, block, out + 4);
}

bool dl_prot_d_crc_ok(const uint8_t* frame)
{
    const uint32_t got = (uint32_t(frame[17]) << 16) | (uint32_t(frame[18]) << 8) | frame[19];
    return got == dl_crc24(frame + 4);
}

bool dl_prot_d_parity_ok(const uint8_t* frame)
{
    for (unsigned int mode : {0u, 1u}) {
        uint8_t parity[16];
        ZCODE_Append(frame + 4, parity, mode);
        if (std::memcmp(parity, frame + 20, 16) == 0)
            return true;
    }
    return false;
}
