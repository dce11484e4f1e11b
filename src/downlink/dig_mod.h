#pragma once

#include "Base_Pin_Controller.h"
#include "StationClock.h"

#include <QString>

#include <cstdint>
#include <memory>

// Bit-rate codes of the FPGA modulators, valued as the uplink phy codes of the same names.
enum mod_bitrate_s : uint32_t {
    MOD_DBPSK_50_PROT_D = 21,
    MOD_DBPSK_400_PROT_D = 24,
    MOD_DBPSK_3200_PROT_D = 26,
    MOD_DBPSK_25600_PROT_D = 28,
    MOD_DBPSK_50_PROT_E = 30,
    MOD_DBPSK_400_PROT_E = 31,
    MOD_DBPSK_3200_PROT_E = 32,
    MOD_DBPSK_25600_PROT_E = 33,
    MOD_DBPSK_100H_PROT_D = 34,
    MOD_DBPSK_100H_PROT_E = 35,
    MOD_UNSUPPORTED = 255,
};

// Hop channels of the modulator, each named by its offset from the synthesizer.
enum mod_hop_channels_t : uint32_t {
    MOD_MINUS97000 = 0, MOD_MINUS89000, MOD_MINUS83000, MOD_MINUS90000, MOD_MINUS79000, MOD_MINUS73000,
    MOD_MINUS59000, MOD_MINUS65000, MOD_MINUS53000, MOD_MINUS47000, MOD_MINUS37000, MOD_MINUS40000,
    MOD_MINUS29000, MOD_MINUS19000, MOD_MINUS11000, MOD_MINUS15000, MOD_PLUS15000, MOD_PLUS11000,
    MOD_PLUS19000, MOD_PLUS29000, MOD_PLUS40000, MOD_PLUS37000, MOD_PLUS47000, MOD_PLUS53000,
    MOD_PLUS65000, MOD_PLUS59000, MOD_PLUS73000, MOD_PLUS79000, MOD_PLUS90000, MOD_PLUS83000,
    MOD_PLUS89000, MOD_PLUS97000,
};

// Driver of the single FPGA digital modulator on CS0 (GPIO 16 high) and of the ADF4350
// synthesizer behind it. Used only from the sender thread; every send blocks it until the
// modulator reports the frame finished or the poll limit runs out.
class dig_mod
{
public:
    static constexpr uint8_t REG_CONTROL = 56;
    static constexpr uint8_t REG_STATUS = 57; // read: bit 4 set when the frame is out
    static constexpr uint8_t REG_BITRATE0 = 57;
    static constexpr uint8_t REG_BITRATE1 = 58;
    static constexpr uint8_t REG_BITRATE2 = 59;
    static constexpr uint8_t REG_TX_BUFFER = 60;
    static constexpr uint8_t REG_HOP_TABLE = 100;
    static constexpr uint8_t REG_POWER = 108;
    static constexpr uint8_t STATUS_TX_DONE = 0x10;
    static constexpr int DEFAULT_POLL_LIMIT = 10000;
    static const int32_t MOD_FREQ_OFFSETS[32];
    static const mod_hop_channels_t DEFAULT_HOP_TABLE[8];

    // clock: what the 1 ms poll sleeps on (null: the system clock); poll_limit: polls per frame.
    explicit dig_mod(std::shared_ptr<Base_Pin_Controller> pins, std::shared_ptr<StationClock> clock = {},
                     int poll_limit = DEFAULT_POLL_LIMIT);

    // Default hop table, synthesizer off.
    void init();

    static mod_bitrate_s to_mod_bitrate(const QString& phy);
    static uint16_t phy_to_bitrate(mod_bitrate_s code);
    // The 24-bit bit-rate word of a code.
    static uint32_t bitrate_word(mod_bitrate_s code);

    // p in dB below full scale (floor -30).
    void set_pwr(int8_t p);

    // Each returns false when the modulator never reported the frame finished.
    bool sendDL_DBPSK_ProtD_autocorrection(uint32_t id, uint32_t freq);
    bool sendDL_DBPSK_ProtD_ver4(uint32_t id, uint8_t iter, const uint8_t* payload, uint8_t crc, uint32_t freq,
                                 mod_bitrate_s bitrate);
    bool sendDL_DBPSK_ProtD_ver5(uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
                                 const uint8_t* payload, uint32_t crypto_mic, uint32_t freq, mod_bitrate_s bitrate);
    bool sendDL_DBPSK_ProtE_ver5(uint32_t id, uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
                                 const uint8_t* payload, uint32_t crypto_mic, uint32_t freq, mod_bitrate_s bitrate);

    mod_bitrate_s current_phy() const { return current_tx_phy; }

    // Synthesizer frames, shared with the multi-channel modulator: the six ADF4350 words for a
    // frequency (false, words untouched, when the synthesizer cannot make it), and the 29-byte
    // frame that carries them.
    static constexpr int SINTH_FRAME_SIZE = 29;
    // Power-down bit of the ADF4350's register 2 (word 2): set in a switch-off frame.
    static constexpr uint32_t SINTH_POWER_DOWN = 1u << 5;
    // The TX buffer length and control byte that start a frame of a code; false for a code
    // that has no frame (nothing is loaded or started).
    static bool frame_start(mod_bitrate_s code, uint8_t* length, uint8_t* control);
    static bool sinth_words(uint32_t freq, uint32_t words[6]);
    static void sinth_frame(const uint32_t words[6], uint8_t out[SINTH_FRAME_SIZE]);

private:
    void set_sinth_freq(uint32_t freq);
    void set_freq(uint32_t freq);
    void set_bitrate(mod_bitrate_s code);
    bool send(const uint8_t* data, mod_bitrate_s code);
    bool wait_for_tx_finished(int count);
    void set_hop_table(const mod_hop_channels_t* table);
    void spi_write(uint16_t address, const uint8_t* data, uint8_t n);
    void spi_read(uint16_t address, uint8_t* data, uint8_t n);
    void spi_write8(uint16_t address, uint8_t value);
    void transfer(uint8_t* tx, uint8_t* rx, uint32_t len);

    mod_hop_channels_t mod_current_hop_table[8];
    std::shared_ptr<Base_Pin_Controller> _bcm283x_worker;
    std::shared_ptr<StationClock> clock_;
    int poll_limit_;
    mod_bitrate_s current_tx_phy = MOD_UNSUPPORTED;
    // Synthesizer words last sent: a frequency the synthesizer cannot reach (0, the switch-off)
    // repeats them with the power-down bit set, so no local oscillator runs between frames.
    uint32_t last_sinth_regs_[6] = {};
};
