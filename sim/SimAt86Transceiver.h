#pragma once

#include "SimSpiDevice.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

// The AT86RF215-family transceiver of the Quabo board on the simulated SPI bus: a 16-bit
// register file with the part and version numbers, the RF09/RF24 state registers that follow
// the commands written to their command registers, and the PLL lock bit. Frames are
// [address high | 0x80 for a write, address low, data...]; the address increments per data byte.
//
// Faults a test can script: a wrong part number, a chip that never reaches TRXOFF after the
// reset, a transceiver that never reaches RX, a PLL that never locks.
class SimAt86Transceiver : public SimSpiDevice {
public:
    enum State : uint8_t { SLEEP = 1, TRXOFF = 2, TXPREP = 3, TX = 4, RX = 5, TRANSITION = 6, RESET = 7 };

    struct Access {
        bool write;
        uint16_t address;
        uint8_t value;  // written, or answered to a read
    };

    static constexpr uint16_t REG_RESET = 0x0005;
    static constexpr uint16_t REG_PART_NUMBER = 0x000D;
    static constexpr uint16_t REG_VERSION = 0x000E;
    static constexpr uint16_t REG_RF09_STATE = 0x0102;
    static constexpr uint16_t REG_RF09_CMD = 0x0103;
    static constexpr uint16_t REG_RF24_STATE = 0x0202;
    static constexpr uint16_t REG_RF24_CMD = 0x0203;
    static constexpr uint16_t REG_RF09_PLL = 0x0121;

    SimAt86Transceiver();

    // SimSpiDevice
    void select() override;
    uint8_t exchange(uint8_t mosi) override;
    void deselect() override;

    // Faults.
    void set_part_number(uint8_t part);
    void set_never_trxoff(bool on);
    void set_never_rx(bool on);
    void set_no_pll_lock(bool on);

    // What the station did.
    std::vector<Access> accesses() const;  // every data byte of every frame, in order
    std::vector<Access> writes() const;    // the written bytes only
    std::vector<uint8_t> frame_headers() const;  // first byte of every frame
    unsigned frames() const;
    unsigned reads_of(uint16_t address) const;
    uint8_t reg(uint16_t address) const;   // current register value (state registers included)
    uint8_t state(int trx) const;          // 0 = RF09, 1 = RF24
    void clear_log();

private:
    void power_on_reset();
    void command(int trx, uint8_t cmd);
    uint8_t read_reg(uint16_t address) const;
    void write_reg(uint16_t address, uint8_t value);

    mutable std::mutex mutex_;
    std::array<uint8_t, 0x4000> regs_{};
    std::array<uint8_t, 2> state_{};
    uint8_t part_number_ = 0x34;
    bool never_trxoff_ = false;
    bool never_rx_ = false;
    bool no_pll_lock_ = false;

    // Frame in progress.
    unsigned index_ = 0;
    bool write_ = false;
    uint16_t address_ = 0;

    std::vector<Access> log_;
    std::vector<uint8_t> headers_;
    unsigned frames_ = 0;
};
