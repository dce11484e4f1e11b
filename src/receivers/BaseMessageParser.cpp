#include "BaseMessageParser.h"

#include "crc.h"

BaseMessageParser::~BaseMessageParser() = default;

bool BaseMessageParser::is_crc32_of_packet_ok(const char*) const
{
    return false;
}

ParserBytes BaseMessageParser::get_mic(const char*) const
{
    return {};
}

ParserBytes BaseMessageParser::get_crypto_iter(const char*) const
{
    return {};
}

ParserBytes BaseMessageParser::get_logs2(const char*) const
{
    return {};
}

ParserBytes BaseMessageParser::get_parameter(Message_Parameters id, const char* buf) const
{
    if (buf == nullptr)
        return {};
    switch (id) {
    case Protocol_Version: return ParserBytes{static_cast<uint8_t>(get_protocol_version(buf))};
    case Packet_Data: return get_packet_data(buf);
    case CRC: return get_CRC(buf);
    case CRC_8D: return get_CRC_8D(buf);
    case Message_ID: return get_message_ID(buf);
    case Payload: return get_payload(buf);
    case Flags: return get_flags(buf);
    case Freq_Num: return get_freq_num(buf);
    case Rotation: return get_Rotation(buf);
    case Bitrate: return get_bitrate(buf);
    case RSSI: return get_rssi(buf);
    case Demod_Method: return get_demod_method(buf);
    case Crypto_MIC: return has_extended_fields() ? get_mic(buf) : ParserBytes{};
    case Crypto_Iter: return has_extended_fields() ? get_crypto_iter(buf) : ParserBytes{};
    case Logs2: return has_extended_fields() ? get_logs2(buf) : ParserBytes{};
    }
    return {};
}

ParserBytes BaseMessageParser::bytes(const char* buf, int first, int count)
{
    const auto* p = reinterpret_cast<const uint8_t*>(buf) + first;
    return ParserBytes(p, p + count);
}

uint32_t BaseMessageParser::big_endian(const ParserBytes& v)
{
    uint32_t r = 0;
    for (uint8_t b : v)
        r = (r << 8) | b;
    return r;
}

bool BaseMessageParser::check_crc(const char* buf, int crc_len_e) const
{
    const ParserBytes packet = get_parameter(Packet_Data, buf);
    const ParserBytes stored = get_parameter(CRC, buf);
    const auto type = static_cast<uint8_t>(get_protocol_version(buf));
    int len = 0;
    uint32_t mask = 0x00FFFFFFu;
    switch (type) {
    case RECORD_TYPE_C: len = 12; mask = 0xFFFFFFFFu; break;
    case RECORD_TYPE_D: len = 13; break;
    case RECORD_TYPE_E: len = crc_len_e; break;
    default: return false;
    }
    if (static_cast<int>(packet.size()) < len || stored.empty())
        return false;
    const uint32_t crc = CRC32(packet.data(), static_cast<unsigned char>(len));
    return (crc & mask) == big_endian(stored);
}
