#pragma once

#include "BaseMessageParser.h"

// Record layout of firmware before 677: no crypto iterator, no MIC, no log2 byte.
class Message_Parser_Protocol_V1_0 : public BaseMessageParser
{
public:
    Message_Parser_Protocol_V1_0() = default;

    bool is_crc32_of_packet_ok(const char* buf) const override;
    char get_protocol_version(const char* buf) const override;
    ParserBytes get_packet_data(const char* buf) const override;
    ParserBytes get_CRC(const char* buf) const override;
    ParserBytes get_CRC_8D(const char* buf) const override;
    ParserBytes get_message_ID(const char* buf) const override;
    ParserBytes get_payload(const char* buf) const override;
    ParserBytes get_flags(const char* buf) const override;
    ParserBytes get_freq_num(const char* buf) const override;
    ParserBytes get_Rotation(const char* buf) const override;
    ParserBytes get_bitrate(const char* buf) const override;
    ParserBytes get_rssi(const char* buf) const override;
    ParserBytes get_demod_method(const char* buf) const override;
};
