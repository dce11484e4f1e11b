#pragma once

#include "BaseMessageParser.h"

// Record layout of firmware 677 and later (and of the records rebuilt from gateway frames).
class Message_Parser_Protocol_V1_1 : public BaseMessageParser
{
public:
    Message_Parser_Protocol_V1_1() = default;

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
    ParserBytes get_mic(const char* buf) const override;
    ParserBytes get_crypto_iter(const char* buf) const override;
    ParserBytes get_logs2(const char* buf) const override;

protected:
    bool has_extended_fields() const override { return true; }
};
