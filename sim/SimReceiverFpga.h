#pragma once

#include "FpgaScenario.h"
#include "SimPinWorker.h"
#include "SimSpiDevice.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <random>

// The receiver FPGA of the QORM, QORM LTE and Quabo boards as its SPI register protocol shows
// it: status registers (firmware, date, board and FFT word, temperature, bit-rate mask),
// configuration and threshold registers that read back what was written, hopping tables, two
// message FIFOs that answer the next queued record or the empty record, spectrum sources, and
// the identification of its configuration flash. A boot pulse (see SimFpgaPinWorker) clears
// everything written.
//
// Tests and the scenario player script it from other threads; every call is safe from any
// thread.
class SimReceiverFpga : public SimSpiDevice
{
public:
    using Fifo = FpgaScenario::Fifo;
    using Clock = std::chrono::steady_clock;

    // Register writes, the most recent WRITE_LOG_SIZE kept: about a minute of a running
    // reader, which writes its LEDs with every spectrum read, ten times a second.
    static constexpr int WRITE_LOG_SIZE = 600;
    struct Write {
        int boot;        // boots seen before this write
        uint8_t address;
        QByteArray value; // bytes 4.. of the frame
        QByteArray frame; // every byte sent
    };

    // One frame on the FPGA's chip select (the most recent FRAME_LOG_SIZE are kept).
    struct Frame {
        uint8_t command;
        uint8_t address;
        int length;
    };
    static constexpr int FRAME_LOG_SIZE = 20000;

    SimReceiverFpga();
    ~SimReceiverFpga() override;

    // SimSpiDevice: the FPGA's own chip select.
    void select() override;
    uint8_t exchange(uint8_t mosi) override;
    void deselect() override;

    // The configuration flash behind the FPGA (command 0x9E: 20 identification bytes, the third
    // one 0x19 on a healthy board).
    SimSpiDevice* flash() { return &flash_; }

    // Status registers.
    void set_firmware(quint32 version, bool hopping);
    void set_compiled(const QDateTime& when);
    void set_fft_word(quint32 word); // register 0x30
    void set_temperature_raw(quint32 raw);
    void set_bitrate_mask(quint32 mask);
    // Every spectrum bin answers the word magnitude << 8, so only the low 24 bits of the
    // magnitude reach the reader (with the default log offset 9 gives a band-1 noise floor of
    // about -191 dB, 3162 about -140 dB).
    void set_spectrum_magnitude(quint32 magnitude);
    // Status register read override: the value bytes clocked out from byte 5 on.
    void set_register(uint8_t address, const QByteArray& value);

    // FIFOs and faults, at once.
    void queue_record(Fifo fifo, const QByteArray& record);
    void flash_bad(int reads);
    void stuck(Fifo fifo, int reads);
    void garbage(Fifo fifo, int reads);

    // Scripted by time: settings apply at once, events from the first FIFO read on.
    void play(const FpgaScenario& scenario);
    bool scenario_done() const;

    // The boot pulse: written registers are forgotten.
    void boot();

    // Observations.
    int boots() const;
    QByteArray written(uint8_t address) const; // since the last boot; empty when not written
    QList<Write> writes() const;                            // the latest, oldest first
    int write_count(uint8_t address, int boot = -1) const; // among them; boot -1: any boot
    int fifo_reads(Fifo fifo) const;
    int pending(Fifo fifo) const;
    int id_reads() const;
    int spectrum_reads() const;
    QList<Frame> frames() const;
    void clear_frames();

    static QByteArray encode_date(const QDateTime& when);

private:
    class Flash : public SimSpiDevice
    {
    public:
        explicit Flash(SimReceiverFpga& owner) : owner_(owner) {}
        void select() override;
        uint8_t exchange(uint8_t mosi) override;

    private:
        SimReceiverFpga& owner_;
        int pos_ = 0;
        bool bad_ = false;
        bool id_cmd_ = false;
    };

    struct FifoState {
        std::deque<QByteArray> queue;
        QByteArray last;
        int stuck = 0;
        int garbage = 0;
        int reads = 0;
    };

    void release_due_locked();
    QByteArray read_value_locked(uint8_t address);
    QByteArray fifo_record_locked(Fifo fifo);
    FifoState& fifo(Fifo f) { return f == Fifo::LowRate ? low_ : high_; }
    const FifoState& fifo(Fifo f) const { return f == Fifo::LowRate ? low_ : high_; }

    mutable std::mutex mutex_;
    Flash flash_{*this};

    quint32 firmware_ = 720;
    bool hopping_ = false;
    QDateTime compiled_;
    quint32 fft_word_ = 0;
    quint32 temperature_raw_ = 2500;
    quint32 bitrate_mask_ = 0;
    quint32 spectrum_magnitude_ = 9;
    QMap<uint8_t, QByteArray> overrides_;

    QMap<uint8_t, QByteArray> written_;
    QList<Write> writes_;
    int boots_ = 0;
    int flash_bad_ = 0;
    int id_reads_ = 0;
    int spectrum_reads_ = 0;

    FifoState low_, high_;
    std::mt19937 rng_{12345};

    // Scenario.
    QVector<FpgaScenario::Event> script_;
    int script_next_ = 0;
    bool script_started_ = false;
    Clock::time_point script_start_;

    // Frame in progress.
    int pos_ = 0;
    uint8_t cmd_ = 0;
    uint8_t addr_ = 0;
    QByteArray resp_;
    QByteArray wbuf_;
    QByteArray frame_;
    QList<Frame> frames_;
};

class SimCs0Front;
class SimModulatorFpga;

// The simulated board with the receiver FPGA wired in as on the given board, and the boot pulse
// (GPIO 26 low, then high) passed on to the FPGA.
class SimFpgaPinWorker : public SimPinWorker
{
public:
    SimFpgaPinWorker(SimReceiverFpga& fpga, BS_Type board);
    ~SimFpgaPinWorker() override;
    void set_pin_state(uint8_t pin, PIN_State state) override;

    // Puts an FPGA modulator (single or multi-channel) beside the receiver on the receiver's chip select, behind a front
    // that tells their frames apart. The modulator stays the caller's and must outlive the
    // worker.
    void attach_modulator(SimSpiDevice& modulator);

private:
    SimReceiverFpga& fpga_;
    BS_Type board_;
    PIN_State boot_pin_ = fault;
    std::unique_ptr<SimCs0Front> front_;
};
