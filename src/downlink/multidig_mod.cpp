#include "multidig_mod.h"

#include "downlink_frames.h"

#include <QDebug>

#include <cmath>
#include <cstring>
#include <limits>

Q_LOGGING_CATEGORY(lcMultidig, "tolvar.downlink.multidig", QtInfoMsg)

namespace {
constexpr double kTwoPow30 = 1073741824.0;
} // namespace

multidig_mod::multidig_mod(std::shared_ptr<Base_Pin_Controller> bcm_worker, uint32_t addr_offset, int32_t bandwidth)
    : _bcm283x_worker(std::move(bcm_worker)), _addr_offset(addr_offset), _bandwidth(bandwidth)
{
    std::memcpy(mod_current_hop_table, dig_mod::DEFAULT_HOP_TABLE, sizeof(mod_current_hop_table));
}

void multidig_mod::init()
{
    set_hop_table(dig_mod::DEFAULT_HOP_TABLE);
}

mod_bitrate_s multidig_mod::to_mod_bitrate(const QString& phy)
{
    return dig_mod::to_mod_bitrate(phy);
}

uint16_t multidig_mod::phy_to_bitrate(mod_bitrate_s code)
{
    switch (code) {
    case MOD_DBPSK_50_PROT_D:
    case MOD_DBPSK_50_PROT_E:
        return 50;
    case MOD_DBPSK_400_PROT_D:
    case MOD_DBPSK_400_PROT_E:
        return 400;
    case MOD_DBPSK_3200_PROT_D:
    case MOD_DBPSK_3200_PROT_E:
        return 3200;
    case MOD_DBPSK_25600_PROT_D:
    case MOD_DBPSK_25600_PROT_E:
        return 25600;
    case MOD_DBPSK_100H_PROT_D:
    case MOD_DBPSK_100H_PROT_E:
        return 100;
    default:
        return 0;
    }
}

uint32_t multidig_mod::bitrate_word(mod_bitrate_s code, int32_t bandwidth)
{
    if (bandwidth <= 0)
        return 0;
    const uint64_t scaled = uint64_t(phy_to_bitrate(code)) << 24;
    const uint64_t bw = uint64_t(bandwidth);
    uint64_t word = scaled / bw;
    if (scaled % bw > bw / 2)
        ++word;
    return uint32_t(word);
}

int32_t multidig_mod::saturated_word(double scale, double value, bool* saturated)
{
    const double w = std::trunc(scale * value);
    constexpr double hi = double(std::numeric_limits<int32_t>::max());
    constexpr double lo = double(std::numeric_limits<int32_t>::min());
    bool sat = true;
    int32_t out = 0;
    if (std::isnan(w))
        out = 0;
    else if (w > hi)
        out = std::numeric_limits<int32_t>::max();
    else if (w < lo)
        out = std::numeric_limits<int32_t>::min();
    else {
        out = int32_t(w);
        sat = false;
    }
    if (saturated)
        *saturated = sat;
    return out;
}

uint8_t multidig_mod::power_level(int8_t pwr, uint8_t ch_count)
{
    const unsigned n = ch_count == 0 ? 1u : ch_count;
    long gain = 0;
    if (pwr != 0)
        gain = long(255.0 / (std::pow(10.0, -double(pwr) / 20.0) * double(n)) + 0.5);
    else
        gain = long(255u / n);
    const uint8_t level = uint8_t(gain & 0xFF);
    return level == 0 ? 1 : level;
}

bool multidig_mod::isBusy()
{
    uint8_t status[5] = {};
    spi_read(REG_STATUS, status, sizeof(status));
    return (status[0] & STATUS_ON_AIR) != 0;
}

void multidig_mod::set_pwr(int8_t pwr, uint8_t ch_count)
{
    spi_write8(REG_POWER, power_level(pwr, ch_count));
}

void multidig_mod::set_sinth_freq(uint32_t freq)
{
    // A frequency the synthesizer cannot make (0 is the owner's switch-off) powers it down.
    if (!dig_mod::sinth_words(freq, last_sinth_regs_))
        last_sinth_regs_[2] |= dig_mod::SINTH_POWER_DOWN;
    uint8_t tx[dig_mod::SINTH_FRAME_SIZE];
    dig_mod::sinth_frame(last_sinth_regs_, tx);
    uint8_t rx[dig_mod::SINTH_FRAME_SIZE];
    transfer(tx, rx, sizeof(tx));
}

void multidig_mod::set_filter50khz_offset(uint32_t offset)
{
    bool sat = false;
    const int32_t inc = saturated_word(4294967295.0 / double(_bandwidth), double(offset), &sat);
    if (sat && saturation_sink_)
        saturation_sink_(Saturated::Filter);
    const auto w = uint32_t(inc);
    uint8_t tx[8] = {0x0A, 0x50, 0x00, 0x00, uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
    uint8_t rx[8];
    transfer(tx, rx, sizeof(tx));
}

void multidig_mod::sendDL_DBPSK_ProtD_autocorrection(uint32_t id, int32_t freq)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_autocorrection_frame(id, frame);
    set_freq(freq);
    send(frame, MOD_DBPSK_50_PROT_D);
}

void multidig_mod::sendDL_DBPSK_ProtD_ver4(uint32_t id, uint8_t iter, const uint8_t* payload, uint8_t crc,
                                           int32_t freq, mod_bitrate_s bitrate)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_prot_d_ver4_frame(id, iter, payload, crc, frame);
    set_freq(freq);
    send(frame, bitrate);
}

void multidig_mod::sendDL_DBPSK_ProtD_ver5(uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
                                           const uint8_t* payload, uint32_t crypto_mic, int32_t freq,
                                           mod_bitrate_s bitrate)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_prot_d_ver5_frame(preambula, crypto_iter, crypto_flags, payload, crypto_mic, frame);
    set_freq(freq);
    send(frame, bitrate);
}

void multidig_mod::sendDL_DBPSK_ProtE_ver5(uint32_t id, uint32_t preambula, uint32_t crypto_iter,
                                           uint32_t crypto_flags, const uint8_t* payload, uint32_t crypto_mic,
                                           int32_t freq, mod_bitrate_s bitrate)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_prot_e_ver5_frame(id, preambula, crypto_iter, crypto_flags, payload, crypto_mic, frame);
    set_freq(freq);
    send(frame, bitrate);
}

void multidig_mod::set_freq(int32_t freq)
{
    bool sat = false;
    const int32_t inc = saturated_word(kTwoPow30 / double(_bandwidth), double(freq), &sat);
    if (sat && saturation_sink_)
        saturation_sink_(Saturated::Nco);
    const auto w = uint32_t(inc);
    for (uint32_t i = 0; i < 4; ++i)
        spi_write8(REG_NCO0 + i, uint8_t(w >> (8 * i)));
}

void multidig_mod::set_bitrate(mod_bitrate_s code)
{
    const uint32_t word = bitrate_word(code, _bandwidth);
    spi_write8(REG_BITRATE0, uint8_t(word));
    spi_write8(REG_BITRATE0 + 1, uint8_t(word >> 8));
    spi_write8(REG_BITRATE0 + 2, uint8_t(word >> 16));
    current_tx_phy = code;
}

void multidig_mod::send(const uint8_t* data, mod_bitrate_s code)
{
    set_bitrate(code);
    uint8_t buffer[40] = {};
    std::memcpy(buffer, data, DL_FRAME_SIZE);
    uint8_t length = 0;
    uint8_t control = 0;
    if (dig_mod::frame_start(code, &length, &control)) {
        spi_write(REG_TX_BUFFER, buffer, length);
        spi_write8(REG_CONTROL, control);
    }
}

void multidig_mod::set_hop_table(const mod_hop_channels_t* table)
{
    for (uint32_t i = 0; i < 8; ++i) {
        spi_write8(REG_HOP_TABLE + i, uint8_t(table[i]));
        mod_current_hop_table[i] = table[i];
    }
}

void multidig_mod::spi_write(uint32_t address, const uint8_t* data, uint8_t len)
{
    const uint32_t a = address + _addr_offset;
    uint8_t tx[272] = {0x01, uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    std::memcpy(tx + 4, data, len);
    uint8_t rx[272];
    transfer(tx, rx, uint32_t(len) + 4);
    trace("write", a, data, len);
}

void multidig_mod::spi_read(uint32_t address, uint8_t* data, uint8_t len)
{
    const uint32_t a = address + _addr_offset;
    uint8_t tx[272] = {0x00, uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    uint8_t rx[272] = {};
    transfer(tx, rx, uint32_t(len) + 5);
    std::memcpy(data, rx + 5, len);
    trace("read", a, data, len);
}

void multidig_mod::spi_write8(uint32_t address, uint8_t value)
{
    spi_write(address, &value, 1);
}

void multidig_mod::transfer(uint8_t* tx, uint8_t* rx, uint32_t len)
{
    // GPIO 16 low on CS0 is the configuration flash on the QORM LTE board.
    if (_bcm283x_worker)
        _bcm283x_worker->select_read_write_spi(16, high, reinterpret_cast<char*>(tx), reinterpret_cast<char*>(rx),
                                               CS0, len);
}

void multidig_mod::trace(const char* what, uint32_t address, const uint8_t* data, uint8_t len) const
{
    if (!lcMultidig().isDebugEnabled())
        return;
    QString map = QStringLiteral("QMap(");
    for (int i = 0; i < len; ++i)
        map += QStringLiteral("(%1, %2)").arg(i).arg(data[i]);
    map += QLatin1Char(')');
    qCDebug(lcMultidig).noquote() << QStringLiteral("%1: addr_offset 0x%2 addr 0x%3\t\t%4")
                                         .arg(QLatin1String(what))
                                         .arg(_addr_offset, 4, 16, QLatin1Char('0'))
                                         .arg(address, 4, 16, QLatin1Char('0'))
                                         .arg(map);
}
