#pragma once

#include "SimSpiDevice.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class SimPinWorker;

// The AX5043 transceiver at register level, on the simulated SPI bus.
//
// Access: [address | 0x80 for a write, data...] for addresses below 0x70, [0x70 | high address
// nibble (| 0x80), low address byte, data...] for the others; the address increments per data
// byte, except for the FIFO (0x29), which takes or gives every data byte. The first byte of a
// frame is answered with 0.
//
// What it models: the revision and scratch registers, the power-mode reset, the crystal (ready
// after power mode 5 or 7), synthesizer ranging, the interrupt pin (PINFUNCIRQ 0, 1, or the
// masked interrupt requests), a 256-byte FIFO with commit and clear, transmission from power
// mode 0x0D of the committed chunks for the air time that TXRATE gives, and receive (power mode
// 0x09) with scripted FIFO contents. Each packet sent is handed to the packet sink.
//
// Power and interrupt pin: with a board (SimPinWorker) the chip is powered while GPIO 5 is low
// and drives GPIO 6; a service thread ends packets and updates GPIO 6 as time passes. Without a
// board it is powered unless set_powered(false), and irq_line() gives the pin; time moves on at
// every access and every irq_line() call.
class SimAx5043 : public SimSpiDevice {
public:
    using Clock = std::function<int64_t()>; // microseconds

    struct Packet {
        std::vector<uint8_t> preamble;   // repeated preamble bytes (and residue bits' bytes)
        std::vector<uint8_t> sync;       // raw bytes before the packet start
        std::vector<uint8_t> data;       // packet bytes, as written to the FIFO
        std::vector<uint8_t> recovered;  // DBPSK: the bytes under the 4-to-1 padding
        bool set_b = false;              // register set the synthesizer used at the end
        uint32_t freq_word = 0;
        uint32_t carrier_hz = 0;         // the frequency word in hertz (26 MHz crystal)
        double bitrate = 0;              // on-air bit rate from TXRATE
        uint8_t encoding = 0;
        uint8_t framing = 0;
        int64_t start_us = 0;            // the model's clock
        int64_t end_us = 0;
        int64_t start_utc_ms = 0;        // wall clock, for logs
        int64_t end_utc_ms = 0;
        uint16_t txpwr = 0;              // TXPWRCOEFFB
    };

    static constexpr uint8_t kRevision = 0x51;
    static constexpr uint32_t kXtalHz = 26000000;

    explicit SimAx5043(SimPinWorker* board = nullptr, Clock clock = {});
    // Wires the chip to a board (or to none): the board must outlive the wiring, so a board
    // that goes first unwires it before it dies.
    void set_board(SimPinWorker* board);
    ~SimAx5043() override;
    SimAx5043(const SimAx5043&) = delete;
    SimAx5043& operator=(const SimAx5043&) = delete;

    // SimSpiDevice
    void select() override;
    uint8_t exchange(uint8_t mosi) override;
    void deselect() override;

    // Faults and scripts.
    void set_never_end_packet(bool on);   // every packet from now on
    void set_never_end_packets(unsigned count); // the next count packets
    void set_ranging_fails(bool on);
    void set_revision(uint8_t revision);
    void set_irq_stuck(int level);        // -1 released, 0 stuck low, 1 stuck high
    void set_xtal_held_off(bool on);
    void set_powstat_stuck(bool on);      // POWSTAT bit 3 stays set
    void set_powered(bool on);            // without a board only
    void script_rx_fifo(const std::vector<uint8_t>& bytes);
    // Called after each register or FIFO access of the station, outside the model's lock
    // (on the thread of the transfer, inside it).
    void set_access_hook(std::function<void(bool write, uint16_t address, uint8_t value)> hook);
    void set_packet_sink(std::function<void(const Packet&)> sink);

    // What happened.
    bool irq_line();
    uint8_t reg(uint16_t address) const;
    uint8_t power_mode() const;
    bool transmitting() const;
    std::vector<Packet> packets() const;
    unsigned aborted_packets() const;
    unsigned register_writes() const;
    void clear_packets();
    // Moves time on: ends a packet whose air time is over and updates the interrupt pin.
    void poll();

private:
    struct Access {
        bool write;
        uint16_t address;
        uint8_t value;
    };

    int64_t now() const;
    bool powered_locked() const;
    void power_loss_locked();
    void reset_registers_locked();
    uint8_t read_locked(uint16_t address);
    void write_locked(uint16_t address, uint8_t value);
    void set_power_mode_locked(uint8_t value);
    void consume_fifo_locked();
    void end_packet_locked();
    void update_locked();
    bool line_locked() const;
    uint8_t irqrequest0_locked() const;
    uint8_t irqrequest1_locked() const;
    void drive_pin_locked();
    void flush_outside_lock(std::vector<Access>& accesses, std::vector<Packet>& done);
    void service();

    SimPinWorker* board_;
    Clock clock_;

    mutable std::mutex mutex_;
    std::array<uint8_t, 0x1000> regs_{};
    bool was_powered_ = false;
    bool powered_ = true;
    bool xtal_ = false;
    bool ranging_done_ = false;
    std::deque<uint8_t> fifo_;          // committed bytes, oldest first
    std::vector<uint8_t> fifo_pending_; // written, not committed
    std::vector<uint8_t> rx_script_;
    uint8_t radioeventreq0_ = 0;

    // Transmission in progress.
    bool tx_ = false;
    bool packet_open_ = false;
    bool packet_complete_ = false;
    Packet packet_;

    // Faults.
    unsigned never_end_left_ = 0;   // packets still to hang; ~0u: all
    bool packet_hangs_ = false;
    bool ranging_fails_ = false;
    uint8_t revision_ = kRevision;
    int irq_stuck_ = -1;
    bool xtal_held_off_ = false;
    bool powstat_stuck_ = false;

    // Frame in progress.
    unsigned index_ = 0;
    bool write_ = false;
    bool long_ = false;
    uint16_t address_ = 0;

    int last_pin_ = -1;
    std::vector<Packet> packets_;
    unsigned aborted_ = 0;
    unsigned writes_ = 0;
    std::vector<Access> hook_queue_;
    std::vector<Packet> sink_queue_;
    std::function<void(bool, uint16_t, uint8_t)> access_hook_;
    std::function<void(const Packet&)> sink_;

    std::mutex service_mutex_;
    std::condition_variable service_cv_;
    bool stop_ = false;
    std::thread service_;
};
