#include "SimAx5043AirLink.h"

#include "SimOnAirLog.h"
#include "SimReceiverFpga.h"

#include <QDateTime>

#include <cmath>

namespace {

constexpr int kFftBins = 1024;

} // namespace

SimAx5043AirLink::SimAx5043AirLink(SimReceiverFpga& fpga, const Settings& settings)
    : fpga_(fpga), settings_(settings)
{
}

bool SimAx5043AirLink::autocorrection_id(const std::vector<uint8_t>& frame, uint32_t* id)
{
    if (frame.size() != 36 || frame[0] != 0x97 || frame[1] != 0x15 || frame[2] != 0x7A || frame[3] != 0x6F)
        return false;
    for (size_t i = 7; i <= 16; ++i)
        if (frame[i] != 0)
            return false;
    *id = uint32_t(frame[4]) << 16 | uint32_t(frame[5]) << 8 | frame[6];
    return true;
}

bool SimAx5043AirLink::frequency_fields(uint32_t target_hz, uint32_t base_hz, bool rev_lo, uint32_t bitrate,
    FpgaRecordBuilder::Fields* fields)
{
    if (bitrate == 0)
        return false;
    int64_t d = int64_t(target_hz) - int64_t(base_hz);
    if (rev_lo)
        d = -d;
    const int64_t step = std::lround(double(bitrate) / 3.0);
    int64_t bin = int64_t(std::llround(double(d) / double(bitrate)));
    const int64_t rest = d - bin * int64_t(bitrate);
    uint8_t rotation = 0;
    if (2 * rest > step)
        rotation = 2; // a third of a bin up
    else if (2 * rest < -step)
        rotation = 1; // a third of a bin down
    if (bin < -kFftBins / 2 || bin >= kFftBins / 2)
        return false;
    fields->freq_num = uint16_t(bin >= 0 ? bin : kFftBins + bin);
    fields->rotation = rotation;
    return true;
}

bool SimAx5043AirLink::on_packet(const SimAx5043::Packet& packet)
{
    const QByteArray record = echo_record(packet);
    if (record.isEmpty())
        return false;
    fpga_.queue_record(SimReceiverFpga::Fifo::LowRate, record);
    return true;
}

QByteArray SimAx5043AirLink::echo_record(const SimAx5043::Packet& packet) const
{
    uint32_t id = 0;
    if (!autocorrection_id(packet.recovered, &id))
        return {};
    // Four chips per bit.
    const uint32_t bitrate = uint32_t(std::lround(packet.bitrate / 4.0));
    FpgaRecordBuilder::Fields f;
    f.type = 0x0D;
    f.id = id;
    switch (bitrate) {
    case 50: f.bitrate_code = FpgaRecordBuilder::CODE_50; break;
    case 400: f.bitrate_code = FpgaRecordBuilder::CODE_400; break;
    case 3200: f.bitrate_code = FpgaRecordBuilder::CODE_3200; break;
    default: return {};
    }
    f.rssi = 0x0000400000ull;
    const int64_t target = int64_t(packet.carrier_hz) - settings_.offset_hz;
    if (target <= 0 || !frequency_fields(uint32_t(target), settings_.uplink_freq, settings_.rev_lo, bitrate, &f))
        return {};
    return FpgaRecordBuilder::build(f);
}

QJsonObject SimAx5043AirLink::on_air_line(const SimAx5043::Packet& packet)
{
    SimOnAirLog::Frame f;
    f.start = QDateTime::fromMSecsSinceEpoch(packet.start_utc_ms, Qt::UTC);
    f.end = QDateTime::fromMSecsSinceEpoch(packet.end_utc_ms, Qt::UTC);
    f.device = QStringLiteral("ax5043");
    f.carrier = packet.carrier_hz;
    f.power = std::nan("");
    const bool padded = !packet.recovered.empty();
    // Four chips per bit under the padding.
    f.bitrate = padded ? packet.bitrate / 4.0 : packet.bitrate;
    const std::vector<uint8_t>& bytes = padded ? packet.recovered : packet.data;
    f.bytes = QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    f.checkProtD = padded;
    QJsonObject line = SimOnAirLog::frame_line(f);
    line.insert(QStringLiteral("freq_word"), double(packet.freq_word));
    line.insert(QStringLiteral("register_set"), packet.set_b ? QStringLiteral("B") : QStringLiteral("A"));
    line.insert(QStringLiteral("txpwr"), int(packet.txpwr));
    line.insert(QStringLiteral("preamble"),
        QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(packet.preamble.data()), int(packet.preamble.size())).toHex()));
    line.insert(QStringLiteral("sync"),
        QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(packet.sync.data()), int(packet.sync.size())).toHex()));
    return line;
}
