#pragma once

// Checksums of the radio records and downlink frames. Pure functions, no tables kept.

// CRC-8/MAXIM (Dallas 1-Wire): reflected polynomial 0x8C, initial value 0, no final XOR.
unsigned char CRC8(unsigned char* data, unsigned char len);

// Reflected polynomial 0xA001 from the caller's initial value, no final XOR
// (init 0xFFFF: CRC-16/MODBUS; init 0: CRC-16/ARC).
unsigned short CRC16(unsigned char* data, unsigned short len, unsigned short init);

// CRC-32/BZIP2: polynomial 0x04C11DB7 MSB first, initial value and final XOR 0xFFFFFFFF.
unsigned int CRC32(const unsigned char* data, unsigned char len);

// One update step of CRC32 without the initial and final inversion.
unsigned int digital_update_crc32(unsigned int crc, const unsigned char* data, unsigned char len);

// The CRC-32/BZIP2 table entry for index, computed on demand.
unsigned int crc_table(unsigned char index);
