#include "Message_Parser_Protocol_V1_0.h"

bool Message_Parser_Protocol_V1_0::is_crc32_of_packet_ok(const char* buf) const
{
    return buf != nullptr && check_crc(buf, 15);
}

char Message_Parser_Protocol_V1_0::get_protocol_version(const char* buf) const
{
    return buf[34];
}

ParserBytes Message_Parser_Protocol_V1_0::get_packet_data(const char* buf) const
{
    switch (record_type(buf)) {
    case RECORD_TYPE_C:
    case RECORD_TYPE_D: return bytes(buf, 5, 16);
    case RECORD_TYPE_E: return bytes(buf, 5, 18);
    default: return {};
    }
}

ParserBytes Message_Parser_Protocol_V1_0::get_CRC(const char* buf) const
{
    switch (record_type(buf)) {
    case RECORD_TYPE_C: return bytes(buf, 17, 4);
    case RECORD_TYPE_D: return bytes(buf, 18, 3);
    case RECORD_TYPE_E: return bytes(buf, 20, 3);
    default: return {};
    }
}

ParserBytes Message_Parser_Protocol_V1_0::get_CRC_8D(const char* buf) const
{
    return record_type(buf) == RECORD_TYPE_D ? bytes(buf, 17, 1) : ParserBytes{};
}

ParserBytes Message_Parser_Protocol_V1_0::get_message_ID(const char* buf) const
{
    switch (record_type(buf)) {
    case RECORD_TYPE_C:
    case RECORD_TYPE_D: return bytes(buf, 5, 3);
    case RECORD_TYPE_E: return bytes(buf, 5, 4);
    default: return {};
    }
}

ParserBytes Message_Parser_Protocol_V1_0::get_payload(const char* buf) const
{
    return record_type(buf) == RECORD_TYPE_E ? bytes(buf, 10, 8) : bytes(buf, 9, 8);
}

ParserBytes Message_Parser_Protocol_V1_0::get_flags(const char* buf) const
{
    return record_type(buf) == RECORD_TYPE_E ? bytes(buf, 9, 1) : bytes(buf, 8, 1);
}

ParserBytes Message_Parser_Protocol_V1_0::get_freq_num(const char* buf) const
{
    return bytes(buf, 23, 2);
}

ParserBytes Message_Parser_Protocol_V1_0::get_Rotation(const char* buf) const
{
    return bytes(buf, 25, 1);
}

ParserBytes Message_Parser_Protocol_V1_0::get_bitrate(const char* buf) const
{
    return bytes(buf, 33, 1);
}

ParserBytes Message_Parser_Protocol_V1_0::get_rssi(const char* buf) const
{
    return bytes(buf, 26, 5);
}

ParserBytes Message_Parser_Protocol_V1_0::get_demod_method(const char* buf) const
{
    return bytes(buf, 36, 1);
}
