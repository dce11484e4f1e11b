#pragma once

#include "SimOnAirLog.h"
#include "SimSpiDevice.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

// The single FPGA digital modulator with its ADF4350 synthesizer, as its SPI register protocol
// shows it: it keeps the power level, the hop table, the bit-rate word, the TX buffer and the
// synthesizer words; a control write starts the frame in the buffer, and the status register
// (57, bit 4) reports it finished after its air time on the model's own clock, after a set
// number of status polls, or never. Every frame goes to the on-air log when it ends, and so does
// every change of the synthesizer (on at a frequency, or powered down).
//
// Register frames arrive as 0x01 (write) or 0x00 (read), a 24-bit address and the data;
// synthesizer frames as 0x0A 0x10 0x00 0x00, six little-endian words and 0x01.
//
// Tests script it from other threads; every call is safe from any thread.
class SimModulatorFpga : public SimSpiDevice
{
public:
    using Clock = std::chrono::steady_clock;
    enum class DoneMode { AirTime, AfterPolls, Never };

    // One frame the station started.
    struct Transmission {
        QDateTime start;     // UTC
        QDateTime end;       // UTC; null while on the air or when never finished
        QByteArray bytes;    // the TX buffer as loaded (36 or 40 bytes)
        uint8_t control = 0; // the control byte that started it
        uint32_t bitrate_word = 0;
        double bitrate = 0;  // bit/s
        uint8_t power_level = 0;
        int64_t synthesizer = 0; // Hz, from the synthesizer words at the start
        int64_t carrier = 0;     // synthesizer plus the offset of hop entry 0
        double air_ms = 0;
    };

    SimModulatorFpga();
    ~SimModulatorFpga() override;

    // SimSpiDevice
    void select() override;
    uint8_t exchange(uint8_t mosi) override;
    void deselect() override;

    // Where finished frames are logged (null: nowhere); stays the caller's.
    void set_on_air_log(SimOnAirLog* log);
    // How a started frame is reported finished. polls: for AfterPolls, the status read that
    // first shows the bit (1 = the first poll).
    void set_done_mode(DoneMode mode, int polls = 1);

    // Observations.
    QList<QByteArray> frames() const;          // every SPI frame received, whole
    QList<Transmission> transmissions() const; // every frame started, oldest first
    QList<QByteArray> synthesizer_frames() const;
    // Hz the synthesizer makes now; 0 while powered down (or never set).
    int64_t synthesizer() const;
    uint8_t power_level() const;
    uint8_t hop_entry(int i) const;
    uint32_t bitrate_word() const;
    int status_polls() const;
    void clear();

    // Frequency an ADF4350 makes from six register words with the board's 40 MHz reference;
    // 0 when the words name none.
    static int64_t synthesizer_frequency(const uint32_t words[6]);
    // The same, 0 when the words power the synthesizer down (bit 5 of word 2).
    static int64_t synthesizer_output(const uint32_t words[6]);
    static double bitrate_of_word(uint32_t word);
    static double power_dbm_of_level(uint8_t level);

private:
    void finish_locked(const QDateTime& end);
    void apply_write_locked(uint16_t address, const QByteArray& data);
    void start_locked(uint8_t control);
    void synthesizer_frame_locked(const QByteArray& f);
    bool done_locked();

    mutable std::mutex mutex_;
    SimOnAirLog* log_ = nullptr;
    DoneMode mode_ = DoneMode::AirTime;
    int done_after_ = 1;

    uint8_t power_ = 0;
    uint8_t hop_[8] = {};
    uint8_t bitrate_[3] = {};
    QByteArray buffer_;
    uint32_t synth_words_[6] = {};
    int64_t synth_logged_ = -1; // output of the last synthesizer line, -1 before the first

    bool on_air_ = false;
    bool any_frame_ = false;
    Clock::time_point started_;
    int polls_ = 0;
    int total_polls_ = 0;
    QList<Transmission> sent_;
    QList<QByteArray> frames_;
    QList<QByteArray> synth_frames_;

    QByteArray frame_; // frame in progress
};

// CS0 of the board when the modulator shares it with the receiver FPGA: a device in the
// receiver's place that hands each frame to the right one. Register frames 0x00/0x01 go to
// the modulator; 0x0A frames are held until the chip select is released (answering zeros) and
// go to the modulator when they are its synthesizer frame (0x0A 0x10 ... 0x01) - the reader's
// own synthesizer frame ends in 0x00 - or the multi-channel modulator's 8-byte filter frame
// (0x0A 0x50 ...); every other frame goes to the receiver.
class SimCs0Front : public SimSpiDevice
{
public:
    SimCs0Front(SimSpiDevice* receiver, SimSpiDevice* modulator);

    void select() override;
    uint8_t exchange(uint8_t mosi) override;
    void deselect() override;

private:
    enum class Target { None, Modulator, Receiver, Held };
    SimSpiDevice* receiver_;
    SimSpiDevice* modulator_;
    Target target_ = Target::None;
    QByteArray held_;
};
