#include "SimModulatorFpga.h"

#include <cmath>

namespace {
constexpr uint8_t REG_CONTROL = 56;
constexpr uint8_t REG_STATUS = 57;
constexpr uint8_t REG_TX_BUFFER = 60;
constexpr uint8_t REG_HOP = 100;
constexpr uint8_t REG_POWER = 108;
constexpr uint8_t STATUS_DONE = 0x10;
constexpr uint32_t kPowerDown = 1u << 5; // ADF4350 register 2

// Offsets of the hop channels, by their number.
constexpr int32_t kHopOffsets[32] = {
    -97000, -89000, -83000, -90000, -79000, -73000, -59000, -65000, -53000, -47000, -37000,
    -40000, -29000, -19000, -11000, -15000, 15000,  11000,  19000,  29000,  40000,  37000,
    47000,  53000,  65000,  59000,  73000,  79000,  90000,  83000,  89000,  97000,
};
} // namespace

SimModulatorFpga::SimModulatorFpga() = default;
SimModulatorFpga::~SimModulatorFpga() = default;

void SimModulatorFpga::set_on_air_log(SimOnAirLog* log)
{
    std::lock_guard<std::mutex> lock(mutex_);
    log_ = log;
}

void SimModulatorFpga::set_done_mode(DoneMode mode, int polls)
{
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
    done_after_ = polls < 1 ? 1 : polls;
}

void SimModulatorFpga::select()
{
    std::lock_guard<std::mutex> lock(mutex_);
    frame_.clear();
}

uint8_t SimModulatorFpga::exchange(uint8_t mosi)
{
    std::lock_guard<std::mutex> lock(mutex_);
    frame_.append(char(mosi));
    const int pos = frame_.size() - 1;
    if (pos == 4 && uint8_t(frame_.at(0)) == 0x00) {
        const uint16_t address = uint16_t((uint8_t(frame_.at(2)) << 8) | uint8_t(frame_.at(3)));
        if (address == REG_STATUS) {
            ++total_polls_;
            return done_locked() ? STATUS_DONE : 0x00;
        }
    }
    return 0x00;
}

void SimModulatorFpga::deselect()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const QByteArray f = frame_;
    frame_.clear();
    if (f.isEmpty())
        return;
    frames_.append(f);
    const uint8_t cmd = uint8_t(f.at(0));
    if (cmd == 0x01 && f.size() > 4) {
        const uint16_t address = uint16_t((uint8_t(f.at(2)) << 8) | uint8_t(f.at(3)));
        apply_write_locked(address, f.mid(4));
    } else if (cmd == 0x0A && f.size() == 29 && uint8_t(f.at(1)) == 0x10) {
        synthesizer_frame_locked(f);
    }
}

void SimModulatorFpga::synthesizer_frame_locked(const QByteArray& f)
{
    for (int i = 0; i < 6; ++i) {
        const auto* p = reinterpret_cast<const uint8_t*>(f.constData()) + 4 + 4 * i;
        synth_words_[i] = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    synth_frames_.append(f);
    // Lines for changes only: a frame is tuned with two to four identical words.
    const int64_t out = synthesizer_output(synth_words_);
    if (out == synth_logged_)
        return;
    synth_logged_ = out;
    if (!log_)
        return;
    QJsonObject o;
    o.insert(QStringLiteral("kind"), QStringLiteral("synthesizer"));
    o.insert(QStringLiteral("time"), SimOnAirLog::time_text(QDateTime::currentDateTimeUtc()));
    o.insert(QStringLiteral("device"), QStringLiteral("fpga_modulator"));
    o.insert(QStringLiteral("on"), out != 0);
    o.insert(QStringLiteral("frequency"), double(out));
    log_->write(o);
}

void SimModulatorFpga::apply_write_locked(uint16_t address, const QByteArray& data)
{
    const auto byte = uint8_t(data.at(0));
    if (address == REG_CONTROL)
        start_locked(byte);
    else if (address >= 57 && address <= 59)
        bitrate_[address - 57] = byte;
    else if (address == REG_TX_BUFFER)
        buffer_ = data;
    else if (address >= REG_HOP && address < REG_HOP + 8)
        hop_[address - REG_HOP] = byte;
    else if (address == REG_POWER)
        power_ = byte;
}

void SimModulatorFpga::start_locked(uint8_t control)
{
    if (on_air_)
        finish_locked(QDateTime()); // the previous frame was never reported finished
    Transmission t;
    t.start = QDateTime::currentDateTimeUtc();
    t.bytes = buffer_;
    t.control = control;
    t.bitrate_word = uint32_t(bitrate_[0]) | uint32_t(bitrate_[1]) << 8 | uint32_t(bitrate_[2]) << 16;
    t.bitrate = bitrate_of_word(t.bitrate_word);
    t.power_level = power_;
    t.synthesizer = synthesizer_frequency(synth_words_);
    t.carrier = t.synthesizer + kHopOffsets[hop_[0] & 31];
    t.air_ms = t.bitrate > 0 ? double(buffer_.size()) * 8.0 * 1000.0 / t.bitrate : 0.0;
    sent_.append(t);
    on_air_ = true;
    any_frame_ = true;
    polls_ = 0;
    started_ = Clock::now();
}

bool SimModulatorFpga::done_locked()
{
    if (!on_air_)
        return any_frame_;
    Transmission& t = sent_.last();
    switch (mode_) {
    case DoneMode::AirTime: {
        const auto air = std::chrono::microseconds(qint64(std::ceil(t.air_ms * 1000.0)));
        if (Clock::now() - started_ < air)
            return false;
        finish_locked(t.start.addMSecs(qint64(std::ceil(t.air_ms))));
        return true;
    }
    case DoneMode::AfterPolls:
        if (++polls_ < done_after_)
            return false;
        finish_locked(QDateTime::currentDateTimeUtc());
        return true;
    case DoneMode::Never:
        return false;
    }
    return false;
}

void SimModulatorFpga::finish_locked(const QDateTime& end)
{
    on_air_ = false;
    Transmission& t = sent_.last();
    t.end = end;
    if (!log_)
        return;
    SimOnAirLog::Frame f;
    f.start = t.start;
    f.end = t.end;
    f.device = QStringLiteral("fpga_modulator");
    f.channel = 0;
    f.carrier = t.carrier;
    f.bitrate = t.bitrate;
    f.power = power_dbm_of_level(t.power_level);
    f.bytes = t.bytes;
    f.checkProtD = true;
    QJsonObject line = SimOnAirLog::frame_line(f);
    line.insert(QStringLiteral("power_level"), int(t.power_level));
    log_->write(line);
}

QList<QByteArray> SimModulatorFpga::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

QList<SimModulatorFpga::Transmission> SimModulatorFpga::transmissions() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

QList<QByteArray> SimModulatorFpga::synthesizer_frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return synth_frames_;
}

int64_t SimModulatorFpga::synthesizer() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return synthesizer_output(synth_words_);
}

uint8_t SimModulatorFpga::power_level() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return power_;
}

uint8_t SimModulatorFpga::hop_entry(int i) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return i >= 0 && i < 8 ? hop_[i] : 0;
}

uint32_t SimModulatorFpga::bitrate_word() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return uint32_t(bitrate_[0]) | uint32_t(bitrate_[1]) << 8 | uint32_t(bitrate_[2]) << 16;
}

int SimModulatorFpga::status_polls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return total_polls_;
}

void SimModulatorFpga::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
    sent_.clear();
    synth_frames_.clear();
    total_polls_ = 0;
    on_air_ = false;
    any_frame_ = false;
}

int64_t SimModulatorFpga::synthesizer_frequency(const uint32_t words[6])
{
    const uint32_t integer = (words[0] >> 15) & 0xFFFFu;
    const uint32_t fract = (words[0] >> 3) & 0xFFFu;
    const uint32_t mod = (words[1] >> 3) & 0xFFFu;
    const uint32_t r_cnt = (words[2] >> 14) & 0x3FFu;
    const bool doubler = (words[2] >> 25) & 1u;
    const bool div2 = (words[2] >> 24) & 1u;
    const uint32_t div_sel = (words[4] >> 20) & 7u;
    if (integer == 0 || mod == 0 || r_cnt == 0)
        return 0;
    const double fpfd = 40e6 * (doubler ? 2.0 : 1.0) / (double(r_cnt) * (div2 ? 2.0 : 1.0));
    const double vco = fpfd * (double(integer) + double(fract) / double(mod));
    return int64_t(std::llround(vco / double(1u << div_sel)));
}

int64_t SimModulatorFpga::synthesizer_output(const uint32_t words[6])
{
    return (words[2] & kPowerDown) ? 0 : synthesizer_frequency(words);
}

double SimModulatorFpga::bitrate_of_word(uint32_t word)
{
    return double(word) * 4000000.0 / 16777216.0;
}

double SimModulatorFpga::power_dbm_of_level(uint8_t level)
{
    if (level == 0)
        return std::nan("");
    return 24.0 + 20.0 * std::log10(double(level) / 127.0);
}

// ----------------------------------------------------------------------------- CS0 front

SimCs0Front::SimCs0Front(SimSpiDevice* receiver, SimSpiDevice* modulator) : receiver_(receiver), modulator_(modulator) {}

void SimCs0Front::select()
{
    target_ = Target::None;
    held_.clear();
}

uint8_t SimCs0Front::exchange(uint8_t mosi)
{
    if (target_ == Target::None) {
        if (mosi == 0x00 || mosi == 0x01) {
            target_ = Target::Modulator;
            if (modulator_)
                modulator_->select();
        } else if (mosi == 0x0A) {
            target_ = Target::Held;
        } else {
            target_ = Target::Receiver;
            if (receiver_)
                receiver_->select();
        }
    }
    switch (target_) {
    case Target::Modulator:
        return modulator_ ? modulator_->exchange(mosi) : 0xFF;
    case Target::Receiver:
        return receiver_ ? receiver_->exchange(mosi) : 0xFF;
    case Target::Held:
        held_.append(char(mosi));
        return 0x00;
    case Target::None:
        break;
    }
    return 0xFF;
}

void SimCs0Front::deselect()
{
    switch (target_) {
    case Target::Modulator:
        if (modulator_)
            modulator_->deselect();
        break;
    case Target::Receiver:
        if (receiver_)
            receiver_->deselect();
        break;
    case Target::Held: {
        const bool synth = held_.size() >= 2 && uint8_t(held_.at(1)) == 0x10 && uint8_t(held_.back()) == 0x01;
        const bool filter = held_.size() == 8 && uint8_t(held_.at(1)) == 0x50; // the multi-channel band filter
        SimSpiDevice* to = synth || filter ? modulator_ : receiver_;
        if (to) {
            to->select();
            for (char c : held_)
                to->exchange(uint8_t(c));
            to->deselect();
        }
        break;
    }
    case Target::None:
        break;
    }
    target_ = Target::None;
    held_.clear();
}
