#pragma once

#include "SimSpiBus.h"

#include "bcm283x.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

// Register model of the BCM283x peripherals the register library uses, installed with
// bcm283x_set_register_access(): the GPIO bank (GPFSEL, GPSET/GPCLR, GPLEV), SPI0 with its
// FIFOs and status bits, and the system timer.
//
// SPI0: while TA is set, bytes written to FIFO wait in a 16-byte TX FIFO; each read of the CS
// register shifts waiting bytes through the device wired to the selected chip select into a
// 16-byte RX FIFO, as far as the RX FIFO has room. TXD = TX FIFO has room, RXD = RX FIFO holds
// data, DONE = TX FIFO empty. Setting TA selects the device (a frame starts), clearing it
// deselects it. The system timer counts real microseconds.
class SimBcmRegisters : public bcm283x_register_access {
public:
    static constexpr size_t FIFO_DEPTH = 16;

    struct Access {
        bcm283x_block block;
        uint32_t offset;
        uint32_t value;
    };

    SimBcmRegisters();

    uint32_t read(volatile uint32_t* reg) override;
    void write(volatile uint32_t* reg, uint32_t value) override;

    // Wiring: chip select 0..2, optionally routed by a GPIO level (see SimSpiBus).
    void attach_device(int cs, SimSpiDevice* device);
    void attach_device(int cs, uint8_t select_pin, PIN_State select_level, SimSpiDevice* device);

    // Level of a pin that is not an output.
    void set_input(uint8_t pin, bool level);
    // Faults: with the controller stalled no byte is ever accepted (TXD stays clear).
    void set_spi_stalled(bool stalled);

    uint32_t gpfsel(unsigned index) const;
    uint8_t function(uint8_t pin) const;
    bool output_latch(uint8_t pin) const;
    uint32_t spi_cs() const;  // writable bits as last written
    uint32_t spi_clk() const;
    unsigned frames() const;  // frames started (TA set)
    std::vector<Access> writes() const;
    void clear_writes();
    // Accesses to registers the model does not know (a library fault).
    unsigned unknown_accesses() const;

private:
    bool resolve(volatile uint32_t* reg, bcm283x_block* block, uint32_t* offset);
    uint32_t read_gpio(uint32_t offset);
    void write_gpio(uint32_t offset, uint32_t value);
    uint32_t read_spi(uint32_t offset);
    void write_spi(uint32_t offset, uint32_t value);
    void shift();
    PIN_State level_of(uint8_t pin) const;

    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::array<uint32_t, 6> gpfsel_{};
    uint64_t latch_ = 0;
    uint64_t inputs_ = 0;
    uint32_t cs_ = 0;
    uint32_t clk_ = 0;
    bool stalled_ = false;
    unsigned frames_ = 0;
    unsigned unknown_ = 0;
    std::deque<uint8_t> tx_fifo_;
    std::deque<uint8_t> rx_fifo_;
    SimSpiDevice* selected_ = nullptr;
    SimSpiBus bus_;
    std::vector<Access> writes_;
};
