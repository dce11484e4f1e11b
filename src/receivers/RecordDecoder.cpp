#include "RecordDecoder.h"

#include "BaseMessageParser.h"
#include "NoiseLevels.h"
#include "message_point.h"

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <cmath>
#include <cstring>

namespace {

uint32_t big_endian(const ParserBytes& v)
{
    uint32_t r = 0;
    for (uint8_t b : v)
        r = (r << 8) | b;
    return r;
}

QString record_hex(const char* rec)
{
    return QString::fromLatin1(QByteArray(rec + 5, 32).toHex());
}

void copy_packet(message_point& mes, const ParserBytes& data)
{
    std::memset(mes.packet, 0, sizeof mes.packet);
    std::memcpy(mes.packet, data.data(), std::min(data.size(), sizeof mes.packet));
}

} // namespace

bool RecordDecoder::is_empty_record(const char* rec)
{
    for (int i = 9; i <= 20; ++i)
        if (static_cast<uint8_t>(rec[i]) != 0x6F)
            return false;
    return true;
}

uint32_t RecordDecoder::readMessageID(Protocol_Types prot, const char* buf)
{
    if (buf == nullptr)
        return 0;
    const auto* b = reinterpret_cast<const uint8_t*>(buf);
    switch (prot) {
    case Protocol_C:
    case Protocol_D: return (uint32_t(b[5]) << 16) | (uint32_t(b[6]) << 8) | b[7];
    case Protocol_E: return (uint32_t(b[5]) << 24) | (uint32_t(b[6]) << 16) | (uint32_t(b[7]) << 8) | b[8];
    }
    return 0;
}

uint64_t RecordDecoder::readRssi(const char* buf)
{
    if (buf == nullptr)
        return 0;
    uint64_t v = 0;
    for (int i = 30; i >= 26; --i)
        v = (v << 8) | static_cast<uint8_t>(buf[i]);
    return v;
}

uint32_t RecordDecoder::readBitrate(const char* buf)
{
    if (buf == nullptr)
        return 0;
    const auto code = static_cast<uint8_t>(buf[33]);
    switch (code) {
    case 0x00: return 50;
    case 0x01: return 125;
    case 0x04: return 400;
    case 0x20: return 3200;
    default:
        qDebug().noquote() << "Unknown bitrate! Readed bitrate: 0x" + QString::number(code, 16);
        return 0;
    }
}

Demod_Methods RecordDecoder::readDemodMethod(const char* buf)
{
    if (buf == nullptr)
        return Demod_Unknown;
    return buf[36] == 0 ? Demod_CRC : Demod_1_2;
}

float RecordDecoder::calcRSSI(uint64_t rssi_mes, uint bitrate, bool band) const
{
    const double x = double(rssi_mes) / 256.0;
    const double level = x > 0.0 ? 20.0 * std::log10(x) : 0.0;
    float rssi = static_cast<float>(level - ctx.LogOffset);
    float corr = 0.0f;
    switch (ctx.station) {
    case Quabo:
        corr = bitrate == 50 ? -18.0f : bitrate == 3200 ? 19.0f : bitrate == 25600 ? 31.0f : 0.0f;
        break;
    case QORM:
        corr = bitrate == 3200 ? 4.0f : bitrate == 25600 ? (band ? 6.0f : 10.0f) : 0.0f;
        break;
    case QORM_LTE:
        corr = bitrate == 3200 ? 4.0f : bitrate == 25600 ? (band ? 6.0f : 20.0f) : 0.0f;
        break;
    default:
        break;
    }
    return rssi + corr;
}

void RecordDecoder::calc_FREQ(message_point* mes, uint freq, uint fft_sz, uint8_t filter_len) const
{
    if (mes == nullptr)
        return;
    const uint32_t base = mes->band ? ctx.uplink_freq2 : ctx.uplink_freq;
    const uint32_t half = fft_sz / 2;
    const uint32_t bitrate = mes->bitrate;
    uint32_t f;
    const bool fft_rule = ctx.fw_version >= 716 && bitrate >= 3200 && ctx.station != Quabo && filter_len != 1
                          && filter_len != 0;
    if (fft_rule) {
        if (freq < half)
            f = base + bitrate * freq / filter_len;
        else
            f = base - (fft_sz - freq) * bitrate / filter_len;
    } else {
        const auto step = static_cast<uint32_t>(std::lround(static_cast<float>(bitrate) / 3.0f));
        if (freq < half)
            f = base + bitrate * freq;
        else
            f = base - (fft_sz - freq) * bitrate;
        switch (mes->rotation % 3) {
        case 1: f -= step; break;
        case 2: f += step; break;
        default: break;
        }
    }
    if (ctx.rev_lo)
        f = 2u * base - f;
    mes->FREQ = f;
}

bool RecordDecoder::fillTypedFields(const char* rec, message_point& mes, bool high_rate_c, Result& res) const
{
    const uint8_t t = res.type_byte;
    switch (t) {
    case RECORD_TYPE_D:
        mes.TYPE = Protocol_D;
        copy_packet(mes, parser_->get_parameter(Packet_Data, rec));
        mes.P_CRC = big_endian(parser_->get_parameter(CRC, rec));
        if (!parser_->is_crc32_of_packet_ok(rec))
            return false;
        {
            const ParserBytes c8 = parser_->get_parameter(CRC_8D, rec);
            mes.CRC8_D = c8.empty() ? 0 : c8[0];
        }
        return true;
    case RECORD_TYPE_C:
        mes.TYPE = Protocol_C;
        if (high_rate_c)
            return true; // the high-rate FIFO delivers type C without packet or CRC
        copy_packet(mes, parser_->get_parameter(Packet_Data, rec));
        mes.P_CRC = big_endian(parser_->get_parameter(CRC, rec));
        return parser_->is_crc32_of_packet_ok(rec);
    case RECORD_TYPE_E: {
        mes.TYPE = Protocol_E;
        copy_packet(mes, parser_->get_parameter(Packet_Data, rec));
        mes.P_CRC = big_endian(parser_->get_parameter(CRC, rec));
        const ParserBytes mic = parser_->get_parameter(Crypto_MIC, rec);
        if (!mic.empty()) {
            mes.CRYPTO_MIC = big_endian(mic);
            mes.CRC8_D = mic.back();
        }
        const ParserBytes iter = parser_->get_parameter(Crypto_Iter, rec);
        if (!iter.empty())
            mes.CRYPTO_ITER = iter[0];
        return parser_->is_crc32_of_packet_ok(rec);
    }
    default:
        return false;
    }
}

RecordDecoder::Result RecordDecoder::decode(const char* rec, Fifo fifo, message_point& mes) const
{
    Result res;
    if (rec == nullptr || parser_ == nullptr)
        return res;
    if (is_empty_record(rec))
        return res;
    res.type_byte = static_cast<uint8_t>(parser_->get_parameter(Protocol_Version, rec).at(0));
    if (res.type_byte != RECORD_TYPE_C && res.type_byte != RECORD_TYPE_D && res.type_byte != RECORD_TYPE_E) {
        res.status = Status::WrongType;
        res.detail = QStringLiteral("Wrong protocol type: %1").arg(res.type_byte, 0, 16);
        if (fifo == Fifo::Quabo)
            res.detail += QStringLiteral(" rbuf: ") + record_hex(rec);
        return res;
    }
    return fifo == Fifo::Quabo ? decodeQuabo(rec, mes) : decodeFpga(rec, fifo, mes);
}

RecordDecoder::Result RecordDecoder::decodeFpga(const char* rec, Fifo fifo, message_point& mes) const
{
    Result res;
    const bool high = fifo == Fifo::HighRate;
    res.type_byte = static_cast<uint8_t>(rec[34]);
    if (!fillTypedFields(rec, mes, high, res)) {
        res.status = Status::CrcError;
        QString what;
        switch (res.type_byte) {
        case RECORD_TYPE_C: what = QStringLiteral("Message C CRC error: "); break;
        case RECORD_TYPE_D: what = high ? QStringLiteral("Message D 3200_25600 CRC error: ") : QStringLiteral("Message D CRC error: "); break;
        default: what = high ? QStringLiteral("Message E 3200_25600 CRC error: ") : QStringLiteral("Message E 50_400 CRC error: "); break;
        }
        res.detail = what + record_hex(rec);
        return res;
    }

    mes.ID = readMessageID(mes.TYPE, rec);

    uint8_t filter_len = 0;
    uint16_t fft_from_mes = 0;
    readLogs2(rec, filter_len, fft_from_mes);
    if (filter_len == 0)
        return malformed(rec, res);

    fillPayloadAndFlags(rec, mes);

    const ParserBytes fn = parser_->get_parameter(Freq_Num, rec);
    uint freq = uint(fn[0]) | (uint(fn[1]) << 8);
    if (!high) {
        const uint limit = ctx.hopping ? 2048 : 1024;
        if (freq >= limit) {
            qDebug() << "SPI sdvinulo!!!";
            freq = limit - 1;
        }
    }

    const auto rot = static_cast<int8_t>(rec[25]);
    if (high) {
        mes.rotation = static_cast<uint32_t>(static_cast<int32_t>(rot) >> 1);
        mes.band = (static_cast<uint8_t>(rec[25]) & 1u) != 0;
    } else {
        mes.rotation = static_cast<uint32_t>(static_cast<int32_t>(rot));
        mes.band = false;
    }

    mes.bitrate = readBitrate(rec);
    mes.RSSI = calcRSSI(readRssi(rec), mes.bitrate, mes.band);

    if (!high && ctx.hopping && freq > 799)
        freq += 448;

    finish(rec, mes, freq / filter_len, freq, fft_from_mes, filter_len, high ? 90 : 3040, res);
    return res;
}

RecordDecoder::Result RecordDecoder::decodeQuabo(const char* rec, message_point& mes) const
{
    Result res;
    res.type_byte = static_cast<uint8_t>(rec[34]);
    if (!fillTypedFields(rec, mes, false, res)) {
        res.status = Status::CrcError;
        const char* what = res.type_byte == RECORD_TYPE_D   ? "Message D CRC error: "
                           : res.type_byte == RECORD_TYPE_E ? "Message E CRC error: "
                                                            : "Message C CRC error: ";
        res.detail = QString::fromLatin1(what) + record_hex(rec);
        return res;
    }

    mes.ID = readMessageID(mes.TYPE, rec);

    uint8_t filter_len = 1;
    uint16_t fft_len = 1024;
    if (!readLogs2(rec, filter_len, fft_len))
        qDebug() << "Log2 param empty!";
    if (filter_len == 0)
        return malformed(rec, res);

    fillPayloadAndFlags(rec, mes);

    const ParserBytes fn = parser_->get_parameter(Freq_Num, rec);
    const uint freq = uint(fn[0]) + 256u * uint(fn[1]);
    qDebug().noquote() << "rbuf: " + record_hex(rec);

    mes.band = false;
    mes.rotation = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(rec[25])) >> 1);
    mes.bitrate = readBitrate(rec);
    mes.RSSI = calcRSSI(readRssi(rec), mes.bitrate, false);
    finish(rec, mes, freq, freq, fft_len, filter_len, 3040, res);
    return res;
}

bool RecordDecoder::readLogs2(const char* rec, uint8_t& filter_len, uint16_t& fft_len) const
{
    const ParserBytes logs2 = parser_->get_parameter(Logs2, rec);
    if (logs2.empty())
        return false;
    const uint8_t l = logs2[0];
    filter_len = static_cast<uint8_t>(1u << (l & 0x0F));
    fft_len = static_cast<uint16_t>(uint32_t(filter_len) << (l >> 4));
    return true;
}

RecordDecoder::Result RecordDecoder::malformed(const char* rec, Result res)
{
    // Nothing sensible can be made of the frequency and the noise without the filter length.
    res.status = Status::Malformed;
    res.detail = QStringLiteral("Malformed record, filter length 0: ") + record_hex(rec);
    return res;
}

void RecordDecoder::fillPayloadAndFlags(const char* rec, message_point& mes) const
{
    const ParserBytes payload = parser_->get_parameter(Payload, rec);
    std::memcpy(mes.PAYLOAD, payload.data(), std::min<size_t>(payload.size(), sizeof mes.PAYLOAD));
    const ParserBytes flags = parser_->get_parameter(Flags, rec);
    mes.FLAGS = flags.empty() ? 0 : flags[0];
}

void RecordDecoder::finish(const char* rec, message_point& mes, uint noise_bin, uint freq, uint fft_len,
                           uint8_t filter_len, int time_offset_ms, Result& res) const
{
    const bool noise_ok = noise_ != nullptr && noise_->calcNOISE(&mes, noise_bin);
    calc_FREQ(&mes, freq, fft_len, filter_len);
    if (noise_ok) {
        mes.SNR = calcSNR(mes.RSSI, mes.NOISE);
    } else {
        mes.NOISE = 0.0f;
        mes.SNR = 0.0f;
        res.noise_undefined = true;
    }
    mes.demod_method = readDemodMethod(rec);
    if (mes.demod_method == Demod_1_2)
        mes.num_of_copies_1_2 = 1;
    res.time_offset_ms = time_offset_ms;
    // Only the instant is used (epoch seconds in the record's JSON): a UTC reading spares the
    // time-zone lookup a local one costs on every record.
    mes.time = QDateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch() - time_offset_ms, Qt::UTC);
    res.status = Status::Accepted;
}
