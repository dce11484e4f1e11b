#pragma once

#include <QByteArray>
#include <array>
#include <cstdint>

// Makes 37-byte receiver records as the FPGA clocks them out of a message FIFO, for both
// record layouts and all three protocol types, with a correct or a deliberately wrong CRC.
class FpgaRecordBuilder
{
public:
    enum class Layout {
        V1_0, // firmware before 677
        V1_1  // firmware 677 and later, Quabo, rebuilt gateway records
    };

    // Bit-rate codes of byte 33.
    static constexpr uint8_t CODE_50 = 0x00;
    static constexpr uint8_t CODE_125 = 0x01;
    static constexpr uint8_t CODE_400 = 0x04;
    static constexpr uint8_t CODE_3200 = 0x20;

    struct Fields {
        uint8_t type = 0x0D; // 0x0C, 0x0D or 0x0E; anything else makes a record of a wrong type
        uint32_t id = 0;     // 24 bits for C and D, 32 for E
        uint8_t crypto_iter = 0;
        uint8_t flags = 0;
        std::array<uint8_t, 8> payload{};
        uint8_t crc8 = 0;  // type D
        uint32_t mic = 0;  // type E, 24 bits
        uint16_t freq_num = 0;
        uint8_t rotation = 0;
        uint64_t rssi = 0; // 40 bits
        uint8_t bitrate_code = CODE_50;
        uint8_t logs2 = 0xA0; // filter length 1, FFT length 1024
        uint8_t demod = 0;
    };

    static constexpr int SIZE = 37;

    static QByteArray build(const Fields& f, Layout layout = Layout::V1_1, bool good_crc = true);
    // What an empty FIFO answers: bytes 9 to 20 hold 'o'.
    static QByteArray empty();
    // The CRC-32/BZIP2 the record carries.
    static uint32_t crc_of(const QByteArray& record, int first, int len);
};
