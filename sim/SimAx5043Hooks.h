#pragma once

#include "SimAx5043.h"
#include "ax5043.h"

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

// The radio library's host hooks on a SimAx5043 without a board, with a millisecond clock that
// moves only when the library sleeps. Every SPI frame is recorded; reads of a register can be
// scripted to answer other values than the chip's; each 1 ms sleep runs radio_isr() while the
// chip's interrupt line is high (unless interrupts are held back). One instance at a time: the
// library's hooks are process-wide.
class SimAx5043Hooks {
public:
    struct Write {
        uint16_t address;
        uint8_t value;
        bool operator==(const Write& o) const { return address == o.address && value == o.value; }
    };

    explicit SimAx5043Hooks(uint32_t start_ms = 0);
    ~SimAx5043Hooks();
    SimAx5043Hooks(const SimAx5043Hooks&) = delete;
    SimAx5043Hooks& operator=(const SimAx5043Hooks&) = delete;

    SimAx5043& chip() { return chip_; }
    uint32_t now_ms() const { return ms_; }
    void set_now_ms(uint32_t ms) { ms_ = ms; }
    void script_read(uint16_t address, std::vector<uint8_t> answers);
    void set_interrupts(bool on) { interrupts_ = on; }

    // Frames as sent (FIFO writes included), and the register writes decoded from them.
    const std::vector<std::vector<uint8_t>>& frames() const { return frames_; }
    std::vector<Write> writes() const;
    void clear_frames() { frames_.clear(); }
    std::vector<bool> power_calls() const { return power_; }
    std::vector<radio_status> statuses() const { return statuses_; }
    unsigned isr_calls() const { return isr_calls_; }
    int critical_depth() const { return depth_; }
    // Sleeps (1 ms steps, interrupts served) until pred() or max_ms; true when pred() held.
    template <typename Pred>
    bool run_until(Pred pred, uint32_t max_ms)
    {
        for (uint32_t i = 0; i < max_ms; ++i) {
            if (pred())
                return true;
            swtimer_runcallbacks();
            sleep(1);
        }
        return pred();
    }

private:
    static void enable_global();
    static void disable_global();
    static void nothing();
    static bool pin();
    static void spi_rx(uint8_t* buffer, uint16_t n);
    static void spi_tx(const uint8_t* buffer, uint16_t n);
    static void spi_tx_rx(const uint8_t* tx, uint8_t* rx, uint16_t n);
    static void cs(uint8_t);
    static void status(const radio_status* st);
    static void power(bool on);
    static uint32_t time();
    static void sleep(uint32_t ms);

    static SimAx5043Hooks* self_;
    SimAx5043 chip_;
    uint32_t ms_;
    bool interrupts_ = true;
    int depth_ = 0;
    unsigned isr_calls_ = 0;
    std::map<uint16_t, std::deque<uint8_t>> scripted_;
    std::vector<std::vector<uint8_t>> frames_;
    std::vector<bool> power_;
    std::vector<radio_status> statuses_;
};
