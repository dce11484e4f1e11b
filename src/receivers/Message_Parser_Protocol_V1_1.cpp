#include "Message_Parser_Protocol_V1_1.h"

bool Message_Parser_Protocol_V1_1::is_crc32_of_packet_ok(const char* buf) const
{
    return buf != nullptr && check_crc(buf, 17);
}

char Message_Parser_Protocol_V1_1::get_protocol_version(const char* buf) const
{
    return buf[34];
}

ParserBytes Message_Parser_Protocol_V1_1::get_packet_data(const char* buf) const
{
    switch (record_type(buf)) {
    case RECORD_TYPE_C:
    case RECORD_TYPE_D: return bytes(buf, 5, 16);
    case RECORD_TYPE_E: return bytes(buf, 5, 17);
    default: return {};
    }
}

ParserBytes Message_Parser_Protocol_V1_1::get_CRC(const char* buf) const
{
    switch (record_type(buf)) {
    case RECORD_TYPE_C: return bytes(buf, 17, 4);
    case RECORD_TYPE_D: return bytes(buf, 18, 3);
    case RECORD_TYPE_E: return bytes(buf, 22, 3);
    default: return {};
    }
}

ParserBytes Message_Parser_Protocol_V1_1::get_CRC_8D(const char* buf) const
{
    return record_type(buf) == RECORD_TYPE_D ? bytes(buf, 17, 1) : ParserBytes{};
}

ParserBytes Message_Parser_Protocol_V1_1::get_message_ID(const char* buf) const
{
    switch (record_type(buf)) {
    case RECORD_TYPE_C:
    case RECORD_TYPE_D: return bytes(buf, 5, 3);
    case RECORD_TYPE_E: return bytes(buf, 5, 4);
    default: return {};
    }
}

ParserBytes Message_Parser_Protocol_V1_1::get_payload(const char* buf) const
{
    return record_type(buf) == RECORD_TYPE_E ? bytes(buf, 11, 8) : bytes(buf, 9, 8);
}

ParserBytes Message_Parser_Protocol_V1_1::get_flags(const char* buf) const
{
    return record_type(buf) == RECORD_TYPE_E ? bytes(buf, 10, 1) : bytes(buf, 8, 1);
}

ParserBytes Message_Parser_Protocol_V1_1::get_freq_num(const char* buf) const
{
    return bytes(buf, 31, 2);
}

ParserBytes Message_Parser_Protocol_V1_1::get_Rotation(const char* buf) const
{
    return bytes(buf, 25, 1);
}

ParserBytes Message_Parser_Protocol_V1_1::get_bitrate(const char* buf) const
{
    return bytes(buf, 33, 1);
}

ParserBytes Message_Parser_Protocol_V1_1::get_rssi(const char* buf) const
{
    return bytes(buf, 26, 5);
}

ParserBytes Message_Parser_Protocol_V1_1::get_demod_method(const char* buf) const
{
    return bytes(buf, 36, 1);
}

ParserBytes Message_Parser_Protocol_V1_1::get_mic(const char* buf) const
{
    return bytes(buf, 19, 3);
}

ParserBytes Message_Parser_Protocol_V1_1::get_crypto_iter(const char* buf) const
{
    return bytes(buf, 9, 1);
}

ParserBytes Message_Parser_Protocol_V1_1::get_logs2(const char* buf) const
{
    return bytes(buf, 35, 1);
}
