#pragma once

#include <cstdint>

// The four 36-byte downlink radio frames. Every back-end that sends them (FPGA modulators,
// serial radio modem, AX5043 transceiver) builds them here, so they are the same bytes on every
// radio. Multi-byte fields are big-endian. Protocol D frames are preamble, 13-byte body,
// CRC-24 over the body and 16 parity bytes over body and CRC; protocol E frames are preamble
// and the 32-byte polar code word of a 20-byte information block.

constexpr int DL_FRAME_SIZE = 36;
constexpr uint32_t DL_PROT_D_PREAMBLE = 0x97157A6Fu;

// Low 24 bits of CRC-32/BZIP2 over the 13 bytes at data.
uint32_t dl_crc24(const uint8_t* data);

// Autocorrection frame: the station's own packet id (bits 23..0) and eight zero bytes, sent at
// 50 bit/s so the station's receiver hears it as an uplink.
void build_autocorrection_frame(uint32_t id, uint8_t out[DL_FRAME_SIZE]);

// Protocol D version 4: id (bits 23..0), flags byte iter, payload bytes 0..7 and the ninth
// payload byte as crc.
void build_prot_d_ver4_frame(uint32_t id, uint8_t iter, const uint8_t* payload, uint8_t crc,
                             uint8_t out[DL_FRAME_SIZE]);

// Protocol D version 5: the modem is told by the caller's preamble, not by an id field.
void build_prot_d_ver5_frame(uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
                             const uint8_t* payload, uint32_t crypto_mic, uint8_t out[DL_FRAME_SIZE]);

// Protocol E version 5: the whole 32-bit id rides in the coded block, outside its CRC.
void build_prot_e_ver5_frame(uint32_t id, uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
                             const uint8_t* payload, uint32_t crypto_mic, uint8_t out[DL_FRAME_SIZE]);

// Checks of a received or logged frame against the protocol D layout: the CRC-24 field, and
// the parity bytes under either interleave (0: autocorrection frame, 1: the others).
bool dl_prot_d_crc_ok(const uint8_t* frame);
bool dl_prot_d_parity_ok(const uint8_t* frame);
