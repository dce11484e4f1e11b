#pragma once

#include "Base_Pin_Controller.h"
#include "dig_mod.h"

#include <QLoggingCategory>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

// Per-transfer trace of the multi-channel modulator (about 200 lines a second per busy
// channel, more with many requests waiting): off unless asked for with
// QT_LOGGING_RULES="tolvar.downlink.multidig.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcMultidig)

// Driver of one channel of the multi-channel FPGA modulator on CS0 (GPIO 16 high). Every
// channel has the same register bank, 256 addresses above the previous one; the ADF4350
// synthesizer and the filter that place the whole band on the air are shared and addressed
// without a channel offset. A send loads and starts the frame and returns at once; the owner
// watches isBusy(). Used only from the sender thread.
class multidig_mod
{
public:
    static constexpr uint32_t REG_CONTROL = 56;
    static constexpr uint32_t REG_STATUS = 56; // 5-byte read; bit 7 of byte 0: on the air
    static constexpr uint32_t REG_BITRATE0 = 57;
    static constexpr uint32_t REG_TX_BUFFER = 60;
    static constexpr uint32_t REG_HOP_TABLE = 100;
    static constexpr uint32_t REG_POWER = 108;
    static constexpr uint32_t REG_NCO0 = 112;
    static constexpr uint8_t STATUS_ON_AIR = 0x80;

    // What saturated when a word did not fit 32 signed bits.
    enum class Saturated { Nco, Filter };

    multidig_mod(std::shared_ptr<Base_Pin_Controller> bcm_worker, uint32_t addr_offset, int32_t bandwidth);

    // Default hop table of this channel; the synthesizer is left alone.
    void init();

    static mod_bitrate_s to_mod_bitrate(const QString& phy);
    static uint16_t phy_to_bitrate(mod_bitrate_s code);
    // Bit-rate word of a code at a bandwidth: rounds to nearest, an exact half down.
    static uint32_t bitrate_word(mod_bitrate_s code, int32_t bandwidth);
    // scale x value in double precision, cut toward zero and saturated to the int32 range.
    static int32_t saturated_word(double scale, double value, bool* saturated = nullptr);
    // Power register value for pwr dB below full scale shared among ch_count channels.
    static uint8_t power_level(int8_t pwr, uint8_t ch_count);

    bool isBusy();
    void set_pwr(int8_t pwr, uint8_t ch_count);
    void set_sinth_freq(uint32_t freq);
    void set_filter50khz_offset(uint32_t offset);

    // freq: the carrier's offset from the synthesizer in Hz.
    void sendDL_DBPSK_ProtD_autocorrection(uint32_t id, int32_t freq);
    void sendDL_DBPSK_ProtD_ver4(uint32_t id, uint8_t iter, const uint8_t* payload, uint8_t crc, int32_t freq,
                                 mod_bitrate_s bitrate);
    void sendDL_DBPSK_ProtD_ver5(uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
                                 const uint8_t* payload, uint32_t crypto_mic, int32_t freq, mod_bitrate_s bitrate);
    void sendDL_DBPSK_ProtE_ver5(uint32_t id, uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
                                 const uint8_t* payload, uint32_t crypto_mic, int32_t freq, mod_bitrate_s bitrate);

    // Told each time a word saturates.
    void set_saturation_sink(std::function<void(Saturated)> sink) { saturation_sink_ = std::move(sink); }

    uint32_t addr_offset() const { return _addr_offset; }
    mod_bitrate_s current_phy() const { return current_tx_phy; }

private:
    void set_freq(int32_t freq);
    void set_bitrate(mod_bitrate_s code);
    void send(const uint8_t* data, mod_bitrate_s code);
    void set_hop_table(const mod_hop_channels_t* table);
    void spi_write(uint32_t address, const uint8_t* data, uint8_t len);
    void spi_read(uint32_t address, uint8_t* data, uint8_t len);
    void spi_write8(uint32_t address, uint8_t value);
    void transfer(uint8_t* tx, uint8_t* rx, uint32_t len);
    void trace(const char* what, uint32_t address, const uint8_t* data, uint8_t len) const;

    mod_hop_channels_t mod_current_hop_table[8];
    std::shared_ptr<Base_Pin_Controller> _bcm283x_worker;
    mod_bitrate_s current_tx_phy = MOD_UNSUPPORTED;
    uint32_t _addr_offset;
    int32_t _bandwidth;
    // Synthesizer words last sent; a switch-off repeats them with the power-down bit set.
    uint32_t last_sinth_regs_[6] = {};
    std::function<void(Saturated)> saturation_sink_;
};
