#pragma once

#include "SimOnAirLog.h"
#include "SimSpiDevice.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

// The multi-channel FPGA modulator with its shared ADF4350 synthesizer and band filter, as its
// SPI register protocol shows it. Channel k's register bank lies at 256 x k; each keeps its
// power level, hop table, bit-rate word, NCO increment (112..115) and TX buffer. A control
// write (56) starts the channel's frame; a 5-byte read of 56 answers from reply byte 5, bit 7
// of its first byte set while the channel is on the air. A channel is on the air for its air
// time on the model's clock (36 or 40 bytes at the rate its word gives at the bandwidth), until
// a test releases it, or for ever, by the done mode.
//
// Synthesizer frames (0x0A 0x10 ... 0x01, 29 bytes) and filter frames (0x0A 0x50 0x00 0x00 and
// a little-endian word, 8 bytes) are recorded. The on-air log gets one line per frame when it
// ends, with its channel, NCO offset and carrier (synthesizer plus offset), and one line per
// synthesizer and per filter frame.
//
// Tests script it from other threads; every call is safe from any thread.
class SimMultiModulatorFpga : public SimSpiDevice
{
public:
    using Clock = std::chrono::steady_clock;
    enum class DoneMode { AirTime, Released, Never };

    struct Transmission {
        int channel = 0;
        QDateTime start; // UTC
        QDateTime end;   // UTC; null while on the air or when never finished
        QByteArray bytes;
        uint8_t control = 0;
        uint32_t bitrate_word = 0;
        double bitrate = 0; // bit/s
        uint8_t power_level = 0;
        int32_t nco_word = 0;
        double nco_offset = 0;     // Hz
        int64_t synthesizer = 0;   // Hz at the start; 0 when it was off
        int64_t carrier = 0;       // synthesizer plus the NCO offset
        double air_ms = 0;
    };
    struct SynthesizerEvent {
        QDateTime time;
        int64_t frequency = 0; // 0: switched off (power-down or no frequency)
        QByteArray frame;
    };
    struct FilterEvent {
        QDateTime time;
        int32_t word = 0;
        double offset = 0; // Hz, from the word at the bandwidth
        QByteArray frame;
    };

    SimMultiModulatorFpga(int channels, int32_t bandwidth);
    ~SimMultiModulatorFpga() override;

    void select() override;
    uint8_t exchange(uint8_t mosi) override;
    void deselect() override;

    void set_on_air_log(SimOnAirLog* log);
    void set_done_mode(DoneMode mode);
    // Ends channel k's frame now (any done mode).
    void release(int channel);

    int channel_count() const { return int(channels_.size()); }
    int32_t bandwidth() const { return bandwidth_; }
    bool on_air(int channel) const;
    QList<QByteArray> frames() const;
    QList<Transmission> transmissions() const;
    QList<SynthesizerEvent> synthesizer_events() const;
    QList<FilterEvent> filter_events() const;
    uint8_t power_level(int channel) const;
    int32_t nco_word(int channel) const;
    uint32_t bitrate_word(int channel) const;
    uint8_t hop_entry(int channel, int i) const;
    int64_t synthesizer() const; // 0 while off
    void clear();

    static double power_dbm_of_level(uint8_t level, int channels);

private:
    struct Channel {
        uint8_t power = 0;
        uint8_t hop[8] = {};
        uint8_t bitrate[3] = {};
        uint8_t nco[4] = {};
        QByteArray buffer;
        bool on_air = false;
        int sent = -1; // index in sent_ of the frame on the air
        Clock::time_point started;
    };

    void apply_write_locked(uint32_t address, const QByteArray& data);
    void start_locked(int channel, uint8_t control);
    void finish_locked(Channel& c, const QDateTime& end);
    bool busy_locked(int channel);
    void synthesizer_frame_locked(const QByteArray& f);
    void filter_frame_locked(const QByteArray& f);

    mutable std::mutex mutex_;
    std::vector<Channel> channels_;
    int32_t bandwidth_;
    SimOnAirLog* log_ = nullptr;
    DoneMode mode_ = DoneMode::AirTime;
    int64_t synth_ = 0;
    QList<Transmission> sent_;
    QList<QByteArray> frames_;
    QList<SynthesizerEvent> synth_events_;
    QList<FilterEvent> filter_events_;
    QByteArray frame_;
    uint8_t status_ = 0; // status byte of the read in progress
};
