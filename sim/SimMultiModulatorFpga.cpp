#include "SimMultiModulatorFpga.h"

#include "SimModulatorFpga.h"

#include <QJsonObject>

#include <cmath>

namespace {
constexpr uint32_t REG_CONTROL = 56;
constexpr uint32_t REG_STATUS = 56;
constexpr uint32_t REG_TX_BUFFER = 60;
constexpr uint32_t REG_HOP = 100;
constexpr uint32_t REG_POWER = 108;
constexpr uint32_t REG_NCO = 112;
constexpr uint8_t STATUS_ON_AIR = 0x80;
constexpr uint32_t kPowerDown = 1u << 5; // ADF4350 register 2
const QString kDevice = QStringLiteral("fpga_multi_modulator");

uint32_t le32(const QByteArray& f, int at)
{
    const auto* p = reinterpret_cast<const uint8_t*>(f.constData()) + at;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
} // namespace

SimMultiModulatorFpga::SimMultiModulatorFpga(int channels, int32_t bandwidth)
    : channels_(size_t(channels < 1 ? 1 : channels)), bandwidth_(bandwidth > 0 ? bandwidth : 4000000)
{
}

SimMultiModulatorFpga::~SimMultiModulatorFpga() = default;

void SimMultiModulatorFpga::set_on_air_log(SimOnAirLog* log)
{
    std::lock_guard<std::mutex> lock(mutex_);
    log_ = log;
}

void SimMultiModulatorFpga::set_done_mode(DoneMode mode)
{
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
}

void SimMultiModulatorFpga::release(int channel)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel < 0 || channel >= int(channels_.size()))
        return;
    Channel& c = channels_[size_t(channel)];
    if (c.on_air)
        finish_locked(c, QDateTime::currentDateTimeUtc());
}

void SimMultiModulatorFpga::select()
{
    std::lock_guard<std::mutex> lock(mutex_);
    frame_.clear();
    status_ = 0;
}

uint8_t SimMultiModulatorFpga::exchange(uint8_t mosi)
{
    std::lock_guard<std::mutex> lock(mutex_);
    frame_.append(char(mosi));
    const int pos = frame_.size() - 1;
    if (uint8_t(frame_.at(0)) != 0x00)
        return 0x00;
    if (pos == 3) {
        const uint32_t a = uint32_t(uint8_t(frame_.at(1))) << 16 | uint32_t(uint8_t(frame_.at(2))) << 8 |
                           uint8_t(frame_.at(3));
        const int channel = int(a >> 8);
        if ((a & 0xFF) == REG_STATUS && channel < int(channels_.size()))
            status_ = busy_locked(channel) ? STATUS_ON_AIR : 0x00;
    }
    // Read data start one byte after the address.
    return pos == 5 ? status_ : 0x00;
}

void SimMultiModulatorFpga::deselect()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const QByteArray f = frame_;
    frame_.clear();
    if (f.isEmpty())
        return;
    frames_.append(f);
    const uint8_t cmd = uint8_t(f.at(0));
    if (cmd == 0x01 && f.size() > 4) {
        const uint32_t a = uint32_t(uint8_t(f.at(1))) << 16 | uint32_t(uint8_t(f.at(2))) << 8 | uint8_t(f.at(3));
        apply_write_locked(a, f.mid(4));
    } else if (cmd == 0x0A && f.size() == 29 && uint8_t(f.at(1)) == 0x10) {
        synthesizer_frame_locked(f);
    } else if (cmd == 0x0A && f.size() == 8 && uint8_t(f.at(1)) == 0x50) {
        filter_frame_locked(f);
    }
}

void SimMultiModulatorFpga::apply_write_locked(uint32_t address, const QByteArray& data)
{
    const int channel = int(address >> 8);
    const uint32_t reg = address & 0xFF;
    if (channel >= int(channels_.size()))
        return;
    Channel& c = channels_[size_t(channel)];
    const auto byte = uint8_t(data.at(0));
    if (reg == REG_CONTROL)
        start_locked(channel, byte);
    else if (reg >= 57 && reg <= 59)
        c.bitrate[reg - 57] = byte;
    else if (reg == REG_TX_BUFFER)
        c.buffer = data;
    else if (reg >= REG_HOP && reg < REG_HOP + 8)
        c.hop[reg - REG_HOP] = byte;
    else if (reg == REG_POWER)
        c.power = byte;
    else if (reg >= REG_NCO && reg < REG_NCO + 4)
        c.nco[reg - REG_NCO] = byte;
}

void SimMultiModulatorFpga::start_locked(int channel, uint8_t control)
{
    Channel& c = channels_[size_t(channel)];
    if (c.on_air)
        finish_locked(c, QDateTime()); // the previous frame was never reported finished
    Transmission t;
    t.channel = channel;
    t.start = QDateTime::currentDateTimeUtc();
    t.bytes = c.buffer;
    t.control = control;
    t.bitrate_word = uint32_t(c.bitrate[0]) | uint32_t(c.bitrate[1]) << 8 | uint32_t(c.bitrate[2]) << 16;
    t.bitrate = double(t.bitrate_word) * double(bandwidth_) / 16777216.0;
    t.power_level = c.power;
    t.nco_word = int32_t(uint32_t(c.nco[0]) | uint32_t(c.nco[1]) << 8 | uint32_t(c.nco[2]) << 16 |
                         uint32_t(c.nco[3]) << 24);
    t.nco_offset = double(t.nco_word) * double(bandwidth_) / 1073741824.0;
    t.synthesizer = synth_;
    t.carrier = synth_ + int64_t(std::llround(t.nco_offset));
    t.air_ms = t.bitrate > 0 ? double(c.buffer.size()) * 8.0 * 1000.0 / t.bitrate : 0.0;
    sent_.append(t);
    c.sent = sent_.size() - 1;
    c.on_air = true;
    c.started = Clock::now();
}

bool SimMultiModulatorFpga::busy_locked(int channel)
{
    Channel& c = channels_[size_t(channel)];
    if (!c.on_air)
        return false;
    if (mode_ != DoneMode::AirTime)
        return true;
    const Transmission& t = sent_.at(c.sent);
    const auto air = std::chrono::microseconds(qint64(std::ceil(t.air_ms * 1000.0)));
    if (Clock::now() - c.started < air)
        return true;
    finish_locked(c, t.start.addMSecs(qint64(std::ceil(t.air_ms))));
    return false;
}

void SimMultiModulatorFpga::finish_locked(Channel& c, const QDateTime& end)
{
    c.on_air = false;
    Transmission& t = sent_[c.sent];
    t.end = end;
    if (!log_)
        return;
    SimOnAirLog::Frame f;
    f.start = t.start;
    f.end = t.end;
    f.device = kDevice;
    f.channel = t.channel;
    f.carrier = t.carrier;
    f.bitrate = t.bitrate;
    f.power = power_dbm_of_level(t.power_level, int(channels_.size()));
    f.bytes = t.bytes;
    f.checkProtD = true;
    QJsonObject line = SimOnAirLog::frame_line(f);
    line.insert(QStringLiteral("power_level"), int(t.power_level));
    line.insert(QStringLiteral("nco_offset"), std::round(t.nco_offset * 10.0) / 10.0);
    line.insert(QStringLiteral("synthesizer"), double(t.synthesizer));
    log_->write(line);
}

void SimMultiModulatorFpga::synthesizer_frame_locked(const QByteArray& f)
{
    uint32_t words[6];
    for (int i = 0; i < 6; ++i)
        words[i] = le32(f, 4 + 4 * i);
    SynthesizerEvent e;
    e.time = QDateTime::currentDateTimeUtc();
    e.frequency = (words[2] & kPowerDown) ? 0 : SimModulatorFpga::synthesizer_frequency(words);
    e.frame = f;
    synth_ = e.frequency;
    synth_events_.append(e);
    if (!log_)
        return;
    QJsonObject o;
    o.insert(QStringLiteral("kind"), QStringLiteral("synthesizer"));
    o.insert(QStringLiteral("time"), SimOnAirLog::time_text(e.time));
    o.insert(QStringLiteral("device"), kDevice);
    o.insert(QStringLiteral("on"), e.frequency != 0);
    o.insert(QStringLiteral("frequency"), double(e.frequency));
    log_->write(o);
}

void SimMultiModulatorFpga::filter_frame_locked(const QByteArray& f)
{
    FilterEvent e;
    e.time = QDateTime::currentDateTimeUtc();
    e.word = int32_t(le32(f, 4));
    e.offset = double(e.word) * double(bandwidth_) / 4294967295.0;
    e.frame = f;
    filter_events_.append(e);
    if (!log_)
        return;
    QJsonObject o;
    o.insert(QStringLiteral("kind"), QStringLiteral("filter"));
    o.insert(QStringLiteral("time"), SimOnAirLog::time_text(e.time));
    o.insert(QStringLiteral("device"), kDevice);
    o.insert(QStringLiteral("word"), double(e.word));
    o.insert(QStringLiteral("offset"), std::round(e.offset));
    log_->write(o);
}

bool SimMultiModulatorFpga::on_air(int channel) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return channel >= 0 && channel < int(channels_.size()) && channels_[size_t(channel)].on_air;
}

QList<QByteArray> SimMultiModulatorFpga::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

QList<SimMultiModulatorFpga::Transmission> SimMultiModulatorFpga::transmissions() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

QList<SimMultiModulatorFpga::SynthesizerEvent> SimMultiModulatorFpga::synthesizer_events() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return synth_events_;
}

QList<SimMultiModulatorFpga::FilterEvent> SimMultiModulatorFpga::filter_events() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return filter_events_;
}

uint8_t SimMultiModulatorFpga::power_level(int channel) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return channel >= 0 && channel < int(channels_.size()) ? channels_[size_t(channel)].power : 0;
}

int32_t SimMultiModulatorFpga::nco_word(int channel) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel < 0 || channel >= int(channels_.size()))
        return 0;
    const uint8_t* n = channels_[size_t(channel)].nco;
    return int32_t(uint32_t(n[0]) | uint32_t(n[1]) << 8 | uint32_t(n[2]) << 16 | uint32_t(n[3]) << 24);
}

uint32_t SimMultiModulatorFpga::bitrate_word(int channel) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel < 0 || channel >= int(channels_.size()))
        return 0;
    const uint8_t* b = channels_[size_t(channel)].bitrate;
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16;
}

uint8_t SimMultiModulatorFpga::hop_entry(int channel, int i) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel < 0 || channel >= int(channels_.size()) || i < 0 || i >= 8)
        return 0;
    return channels_[size_t(channel)].hop[i];
}

int64_t SimMultiModulatorFpga::synthesizer() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return synth_;
}

void SimMultiModulatorFpga::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
    sent_.clear();
    synth_events_.clear();
    filter_events_.clear();
    for (Channel& c : channels_) {
        c.on_air = false;
        c.sent = -1;
    }
}

double SimMultiModulatorFpga::power_dbm_of_level(uint8_t level, int channels)
{
    // Full scale (255 shared among the channels) is 30 dBm for the whole modulator.
    if (level == 0 || channels < 1)
        return std::nan("");
    return 30.0 + 20.0 * std::log10(double(level) / 255.0);
}
