#pragma once

// Forward error correction of downlink frames. Bit position p of a byte string is bit 7 - p % 8
// of byte p / 8 (most significant bit first).

// Protocol D: the 16 parity bytes of 16 data bytes (parallel zigzag code over four interleavers).
// flag selects which parity row of each pair takes the even bit positions.
void ZCODE_Append(const unsigned char* in, unsigned char* out, unsigned int flag);

// Protocol E: the 256-bit polar code word (32 bytes) carrying 160 data bits (20 bytes).
// n is the base-2 logarithm of the code length; the station always passes 8.
void encode(int n, const unsigned char* in, unsigned char* out);
