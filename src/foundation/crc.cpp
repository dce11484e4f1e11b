#include "crc.h"

unsigned char CRC8(unsigned char* data, unsigned char len)
{
    unsigned char c = 0;
    for (unsigned i = 0; i < len; ++i) {
        c ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? static_cast<unsigned char>((c >> 1) ^ 0x8C) : static_cast<unsigned char>(c >> 1);
    }
    return c;
}

unsigned short CRC16(unsigned char* data, unsigned short len, unsigned short init)
{
    unsigned short c = init;
    for (unsigned i = 0; i < len; ++i) {
        c ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? static_cast<unsigned short>((c >> 1) ^ 0xA001) : static_cast<unsigned short>(c >> 1);
    }
    return c;
}

unsigned int crc_table(unsigned char index)
{
    unsigned int r = static_cast<unsigned int>(index) << 24;
    for (int bit = 0; bit < 8; ++bit)
        r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
    return r;
}

unsigned int digital_update_crc32(unsigned int crc, const unsigned char* data, unsigned char len)
{
    for (unsigned i = 0; i < len; ++i)
        crc = (crc << 8) ^ crc_table(static_cast<unsigned char>((crc >> 24) ^ data[i]));
    return crc;
}

unsigned int CRC32(const unsigned char* data, unsigned char len)
{
    return ~digital_update_crc32(0xFFFFFFFFu, data, len);
}
