#pragma once

#include "BasePinWorker.h"
#include "SimSpiBus.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

// The simulated board behind a pin controller: keeps pin levels and directions, records every
// pin write the station makes, lets a test drive inputs (door, pulse) and hands each SPI
// transfer to the device model wired to that chip select.
//
// Like the real worker it does nothing while not initialised: pin writes are ignored (and not
// recorded), reads answer fault, transfers fill rx with zeros and return false.
class SimPinWorker : public BasePinWorker {
public:
    using Clock = std::chrono::steady_clock;
    struct TraceEntry {
        Clock::time_point time;
        uint8_t pin;
        PIN_State level;
    };
    static constexpr unsigned PIN_COUNT = 54;
    // The trace keeps the most recent writes only: a simulated station toggles chip selects
    // for every FIFO and spectrum read and runs for days.
    static constexpr size_t TRACE_SIZE = 20000;

    SimPinWorker();
    ~SimPinWorker() override;

    // BasePinWorker
    void setChipSelectPolarity(SPI_ChipSelect cs, bool active_high) override;
    bool init() override;
    void close() override;
    bool read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, uint32_t len) override;
    bool write_spi(char* data, SPI_ChipSelect cs, uint32_t len) override;
    void set_pin_state(uint8_t pin, PIN_State state) override;
    PIN_State get_pin_state(uint8_t pin) override;
    void set_pin_isr(uint8_t pin, PIN_Edge edge, IsrCallback callback) override;

    // Wiring (see SimSpiBus). Devices stay owned by the caller and must outlive their routes.
    void attach_device(SPI_ChipSelect cs, SimSpiDevice* device);
    void attach_device(SPI_ChipSelect cs, uint8_t select_pin, PIN_State select_level, SimSpiDevice* device);
    void detach_device(SimSpiDevice* device);

    // Test side.
    void set_init_fails(bool fails);        // init() fails while set (a board without access)
    void set_input(uint8_t pin, PIN_State level); // level seen on a pin that is not an output
    std::vector<TraceEntry> trace() const;  // station's latest pin writes, oldest first
    void clear_trace();
    PIN_State level(uint8_t pin) const;     // current level whatever the init state
    bool is_output(uint8_t pin) const;
    bool chip_select_active_high(SPI_ChipSelect cs) const;
    unsigned init_count() const;            // successful init() calls
    unsigned transfer_count() const;        // transfers handed to the bus

private:
    PIN_State level_locked(uint8_t pin) const;
    uint32_t tick() const;

    mutable std::mutex mutex_;
    std::mutex spi_mutex_; // one frame at a time on the bus
    Clock::time_point start_ = Clock::now();
    bool init_fails_ = false;
    unsigned init_count_ = 0;
    unsigned transfer_count_ = 0;
    std::array<bool, PIN_COUNT> output_{};
    std::array<PIN_State, PIN_COUNT> out_level_{};
    std::array<PIN_State, PIN_COUNT> in_level_{};
    std::array<bool, 2> cs_active_high_{};
    struct Isr {
        PIN_Edge edge = EITHER;
        IsrCallback callback;
    };
    std::array<Isr, PIN_COUNT> isr_{};
    std::deque<TraceEntry> trace_;
    SimSpiBus bus_;
};
