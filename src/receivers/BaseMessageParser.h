#pragma once

#include <cstdint>
#include <vector>

// Size of one record as clocked out of a message FIFO: five bytes shift in while the read command
// goes out, the record proper starts at byte 5.
constexpr int FPGA_RECORD_SIZE = 37;

// Type byte (byte 34) of the record.
constexpr uint8_t RECORD_TYPE_C = 0x0C;
constexpr uint8_t RECORD_TYPE_D = 0x0D;
constexpr uint8_t RECORD_TYPE_E = 0x0E;

enum Message_Parameters : int {
    Protocol_Version = 0,
    Packet_Data = 1,
    CRC = 2,
    CRC_8D = 3,
    Message_ID = 4,
    Payload = 5,
    Flags = 6,
    Freq_Num = 7,
    Rotation = 8,
    Bitrate = 9,
    RSSI = 10,
    Demod_Method = 11,
    Crypto_MIC = 12,
    Crypto_Iter = 13,
    Logs2 = 14
};

using ParserBytes = std::vector<uint8_t>;

// Picks the fields of a receiver record apart. The parsers hold no state; every accessor copies
// the bytes of one field, in record order, into a new vector. Callers pass at least
// FPGA_RECORD_SIZE readable bytes.
class BaseMessageParser
{
public:
    virtual ~BaseMessageParser();

    virtual bool is_crc32_of_packet_ok(const char* buf) const;
    virtual char get_protocol_version(const char* buf) const = 0;
    virtual ParserBytes get_packet_data(const char* buf) const = 0;
    virtual ParserBytes get_CRC(const char* buf) const = 0;
    virtual ParserBytes get_CRC_8D(const char* buf) const = 0;
    virtual ParserBytes get_message_ID(const char* buf) const = 0;
    virtual ParserBytes get_payload(const char* buf) const = 0;
    virtual ParserBytes get_flags(const char* buf) const = 0;
    virtual ParserBytes get_freq_num(const char* buf) const = 0;
    virtual ParserBytes get_Rotation(const char* buf) const = 0;
    virtual ParserBytes get_bitrate(const char* buf) const = 0;
    virtual ParserBytes get_rssi(const char* buf) const = 0;
    virtual ParserBytes get_demod_method(const char* buf) const = 0;
    virtual ParserBytes get_mic(const char* buf) const;
    virtual ParserBytes get_crypto_iter(const char* buf) const;
    virtual ParserBytes get_logs2(const char* buf) const;

    // Bytes of one field by its id; empty for an unknown id or a field the layout lacks.
    ParserBytes get_parameter(Message_Parameters id, const char* buf) const;
    ParserBytes get_parameter(int id, const char* buf) const
    {
        return get_parameter(static_cast<Message_Parameters>(id), buf);
    }

protected:
    // Whether this layout carries the crypto iterator, the MIC and the log2 byte.
    virtual bool has_extended_fields() const { return false; }

    static ParserBytes bytes(const char* buf, int first, int count);
    // The type byte (byte 34), which decides where the fields of both layouts lie.
    static uint8_t record_type(const char* buf) { return static_cast<uint8_t>(buf[34]); }
    static uint32_t big_endian(const ParserBytes& v);
    // CRC check shared by both layouts: the stored CRC is compared with CRC-32/BZIP2 over the
    // first crc_len bytes of the packet data (all 32 bits for type C, the low 24 for D and E).
    bool check_crc(const char* buf, int crc_len_e) const;
};
