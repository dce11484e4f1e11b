#include "dig_mod.h"

#include "adf4350.h"
#include "downlink_frames.h"

#include <QDebug>

#include <cmath>
#include <cstring>

const int32_t dig_mod::MOD_FREQ_OFFSETS[32] = {
    -97000, -89000, -83000, -90000, -79000, -73000, -59000, -65000, -53000, -47000, -37000,
    -40000, -29000, -19000, -11000, -15000, 15000,  11000,  19000,  29000,  40000,  37000,
    47000,  53000,  65000,  59000,  73000,  79000,  90000,  83000,  89000,  97000,
};

const mod_hop_channels_t dig_mod::DEFAULT_HOP_TABLE[8] = {
    MOD_MINUS97000, MOD_MINUS65000, MOD_MINUS40000, MOD_MINUS15000,
    MOD_PLUS15000,  MOD_PLUS40000,  MOD_PLUS65000,  MOD_PLUS90000,
};

dig_mod::dig_mod(std::shared_ptr<Base_Pin_Controller> pins, std::shared_ptr<StationClock> clock, int poll_limit)
    : _bcm283x_worker(std::move(pins)), clock_(clock ? std::move(clock) : StationClock::system()),
      poll_limit_(poll_limit)
{
    std::memcpy(mod_current_hop_table, DEFAULT_HOP_TABLE, sizeof(mod_current_hop_table));
}

void dig_mod::init()
{
    set_hop_table(DEFAULT_HOP_TABLE);
    set_sinth_freq(0);
}

mod_bitrate_s dig_mod::to_mod_bitrate(const QString& phy)
{
    static const struct {
        const char* dl;
        const char* ul;
        mod_bitrate_s code;
    } names[] = {
        {"DL_DBPSK_50_PROT_D", "UL_DBPSK_50_PROT_D", MOD_DBPSK_50_PROT_D},
        {"DL_DBPSK_400_PROT_D", "UL_DBPSK_400_PROT_D", MOD_DBPSK_400_PROT_D},
        {"DL_DBPSK_3200_PROT_D", "UL_DBPSK_3200_PROT_D", MOD_DBPSK_3200_PROT_D},
        {"DL_DBPSK_25600_PROT_D", "UL_DBPSK_25600_PROT_D", MOD_DBPSK_25600_PROT_D},
        {"DL_DBPSK_50_PROT_E", "UL_DBPSK_50_PROT_E", MOD_DBPSK_50_PROT_E},
        {"DL_DBPSK_400_PROT_E", "UL_DBPSK_400_PROT_E", MOD_DBPSK_400_PROT_E},
        {"DL_DBPSK_3200_PROT_E", "UL_DBPSK_3200_PROT_E", MOD_DBPSK_3200_PROT_E},
        {"DL_DBPSK_25600_PROT_E", "UL_DBPSK_25600_PROT_E", MOD_DBPSK_25600_PROT_E},
    };
    for (const auto& n : names) {
        if (phy == QLatin1String(n.dl) || phy == QLatin1String(n.ul))
            return n.code;
    }
    return MOD_UNSUPPORTED;
}

uint16_t dig_mod::phy_to_bitrate(mod_bitrate_s code)
{
    static const uint16_t rates[] = {400, 50, 3200, 50, 25600, 50, 50, 400, 3200, 25600, 100, 100};
    if (code >= 24 && code <= 35)
        return rates[code - 24];
    return 50;
}

uint32_t dig_mod::bitrate_word(mod_bitrate_s code)
{
    const uint64_t scaled = uint64_t(phy_to_bitrate(code)) << 24;
    uint32_t word = uint32_t(scaled / 4000000u);
    if (scaled % 4000000u >= 2000000u)
        ++word;
    return word;
}

void dig_mod::set_pwr(int8_t p)
{
    const int clamped = p < -30 ? -30 : p;
    const float exponent = float(clamped) * 0.05f;
    const int level = int(127.0 * std::pow(10.0, double(exponent)));
    spi_write8(REG_POWER, uint8_t(level & 0xFF));
}

bool dig_mod::sendDL_DBPSK_ProtD_autocorrection(uint32_t id, uint32_t freq)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_autocorrection_frame(id, frame);
    set_freq(freq);
    const bool done = send(frame, MOD_DBPSK_50_PROT_D);
    set_freq(0);
    return done;
}

bool dig_mod::sendDL_DBPSK_ProtD_ver4(uint32_t id, uint8_t iter, const uint8_t* payload, uint8_t crc, uint32_t freq,
                                      mod_bitrate_s bitrate)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_prot_d_ver4_frame(id, iter, payload, crc, frame);
    set_freq(freq);
    const bool done = send(frame, bitrate);
    set_freq(0);
    return done;
}

bool dig_mod::sendDL_DBPSK_ProtD_ver5(uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
                                      const uint8_t* payload, uint32_t crypto_mic, uint32_t freq, mod_bitrate_s bitrate)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_prot_d_ver5_frame(preambula, crypto_iter, crypto_flags, payload, crypto_mic, frame);
    set_freq(freq);
    set_freq(freq);
    const bool done = send(frame, bitrate);
    set_freq(0);
    return done;
}

bool dig_mod::sendDL_DBPSK_ProtE_ver5(uint32_t id, uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
                                      const uint8_t* payload, uint32_t crypto_mic, uint32_t freq, mod_bitrate_s bitrate)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_prot_e_ver5_frame(id, preambula, crypto_iter, crypto_flags, payload, crypto_mic, frame);
    set_freq(freq);
    set_freq(freq);
    const bool done = send(frame, bitrate);
    set_freq(0);
    return done;
}

bool dig_mod::sinth_words(uint32_t freq, uint32_t words[6])
{
    adf4350_platform_data pdata;
    adf4350_state state;
    init_config(&state, &pdata);
    if (adf4350_set_freq(&state, freq) < 0)
        return false;
    std::memcpy(words, state.regs, 6 * sizeof(uint32_t));
    return true;
}

void dig_mod::sinth_frame(const uint32_t words[6], uint8_t out[SINTH_FRAME_SIZE])
{
    out[0] = 0x0A;
    out[1] = 0x10;
    out[2] = 0x00;
    out[3] = 0x00;
    for (int i = 0; i < 6; ++i) {
        const uint32_t w = words[i];
        out[4 + 4 * i] = uint8_t(w);
        out[5 + 4 * i] = uint8_t(w >> 8);
        out[6 + 4 * i] = uint8_t(w >> 16);
        out[7 + 4 * i] = uint8_t(w >> 24);
    }
    out[28] = 0x01;
}

void dig_mod::set_sinth_freq(uint32_t freq)
{
    if (!sinth_words(freq, last_sinth_regs_))
        last_sinth_regs_[2] |= SINTH_POWER_DOWN;
    uint8_t tx[SINTH_FRAME_SIZE];
    sinth_frame(last_sinth_regs_, tx);
    uint8_t rx[SINTH_FRAME_SIZE];
    transfer(tx, rx, sizeof(tx));
}

void dig_mod::set_freq(uint32_t freq)
{
    if (current_tx_phy == MOD_DBPSK_100H_PROT_D || current_tx_phy == MOD_DBPSK_100H_PROT_E) {
        set_sinth_freq(freq);
        set_sinth_freq(freq);
        return;
    }
    const uint32_t sinth = freq - uint32_t(MOD_FREQ_OFFSETS[mod_current_hop_table[0]]);
    set_sinth_freq(sinth);
    set_sinth_freq(sinth);
}

void dig_mod::set_bitrate(mod_bitrate_s code)
{
    const uint32_t word = bitrate_word(code);
    spi_write8(REG_BITRATE0, uint8_t(word));
    spi_write8(REG_BITRATE1, uint8_t(word >> 8));
    spi_write8(REG_BITRATE2, uint8_t(word >> 16));
    current_tx_phy = code;
}

bool dig_mod::frame_start(mod_bitrate_s code, uint8_t* length, uint8_t* control)
{
    switch (code) {
    case MOD_DBPSK_50_PROT_D:
    case MOD_DBPSK_400_PROT_D:
    case MOD_DBPSK_3200_PROT_D:
    case MOD_DBPSK_25600_PROT_D:
    case MOD_DBPSK_50_PROT_E:
    case MOD_DBPSK_400_PROT_E:
    case MOD_DBPSK_3200_PROT_E:
    case MOD_DBPSK_25600_PROT_E:
        *length = 36;
        *control = 0x13;
        return true;
    case MOD_DBPSK_100H_PROT_D:
        *length = 36;
        *control = 0x93;
        return true;
    case MOD_DBPSK_100H_PROT_E:
        *length = 40;
        *control = 0xB3;
        return true;
    default:
        return false;
    }
}

bool dig_mod::send(const uint8_t* data, mod_bitrate_s code)
{
    set_bitrate(code);
    uint8_t buffer[40] = {};
    std::memcpy(buffer, data, DL_FRAME_SIZE);
    uint8_t length = 0;
    uint8_t control = 0;
    if (frame_start(code, &length, &control)) {
        spi_write(REG_TX_BUFFER, buffer, length);
        spi_write8(REG_CONTROL, control);
    }
    if (!wait_for_tx_finished(poll_limit_)) {
        qDebug() << "Send timeout!";
        return false;
    }
    return true;
}

bool dig_mod::wait_for_tx_finished(int count)
{
    for (int i = 0; i < count; ++i) {
        uint8_t status = 0;
        spi_read(REG_STATUS, &status, 1);
        clock_->sleepMs(1);
        if (status & STATUS_TX_DONE)
            return true;
    }
    return false;
}

void dig_mod::set_hop_table(const mod_hop_channels_t* table)
{
    for (int i = 0; i < 8; ++i) {
        spi_write8(uint16_t(REG_HOP_TABLE + i), uint8_t(table[i]));
        mod_current_hop_table[i] = table[i];
    }
}

void dig_mod::spi_write(uint16_t address, const uint8_t* data, uint8_t n)
{
    uint8_t tx[272] = {0x01, 0x00, uint8_t(address >> 8), uint8_t(address)};
    std::memcpy(tx + 4, data, n);
    uint8_t rx[272];
    transfer(tx, rx, uint32_t(n) + 4);
}

void dig_mod::spi_read(uint16_t address, uint8_t* data, uint8_t n)
{
    uint8_t tx[272] = {0x00, 0x00, uint8_t(address >> 8), uint8_t(address)};
    uint8_t rx[272] = {};
    transfer(tx, rx, uint32_t(n) + 4);
    std::memcpy(data, rx + 4, n);
}

void dig_mod::spi_write8(uint16_t address, uint8_t value)
{
    spi_write(address, &value, 1);
}

void dig_mod::transfer(uint8_t* tx, uint8_t* rx, uint32_t len)
{
    // GPIO 16 high selects the FPGA on CS0 on every board (low is the configuration flash on
    // the QORM LTE board), as the uplink reader selects it.
    if (_bcm283x_worker)
        _bcm283x_worker->select_read_write_spi(16, high, reinterpret_cast<char*>(tx), reinterpret_cast<char*>(rx), CS0, len);
}
