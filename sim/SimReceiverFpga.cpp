#include "SimReceiverFpga.h"

#include "SimModulatorFpga.h"

#include "FpgaRecordBuilder.h"

namespace {

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return b;
}

bool is_spectrum_source(uint8_t a)
{
    return a == 0x00 || a == 0x18 || a == 0x40 || a == 0x58 || a == 0xF8;
}

constexpr uint8_t READ = 0x0B;
constexpr uint8_t WRITE = 0x0A;

} // namespace

SimReceiverFpga::SimReceiverFpga()
{
    compiled_ = QDateTime(QDate(2023, 5, 17), QTime(10, 20, 30));
    // 1024 and 512 bins, protocol 1, band 1 at 50 bit/s, band 2 at 400 bit/s.
    fft_word_ = 0x0021019A;
}

SimReceiverFpga::~SimReceiverFpga() = default;

QByteArray SimReceiverFpga::encode_date(const QDateTime& when)
{
    const QDate d = when.date();
    const QTime t = when.time();
    const quint32 w = quint32(t.second() & 0x3F) | (quint32(t.minute() & 0x3F) << 6) | (quint32(t.hour() & 0x1F) << 12)
                      | (quint32((d.year() - 2000) & 0x3F) << 17) | (quint32(d.month() & 0x0F) << 23)
                      | (quint32(d.day() & 0x1F) << 27);
    return le32(w);
}

void SimReceiverFpga::set_firmware(quint32 version, bool hopping)
{
    std::lock_guard<std::mutex> lock(mutex_);
    firmware_ = version;
    hopping_ = hopping;
}

void SimReceiverFpga::set_compiled(const QDateTime& when)
{
    std::lock_guard<std::mutex> lock(mutex_);
    compiled_ = when;
}

void SimReceiverFpga::set_fft_word(quint32 word)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fft_word_ = word;
}

void SimReceiverFpga::set_temperature_raw(quint32 raw)
{
    std::lock_guard<std::mutex> lock(mutex_);
    temperature_raw_ = raw;
}

void SimReceiverFpga::set_bitrate_mask(quint32 mask)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bitrate_mask_ = mask;
}

void SimReceiverFpga::set_spectrum_magnitude(quint32 magnitude)
{
    std::lock_guard<std::mutex> lock(mutex_);
    spectrum_magnitude_ = magnitude;
}

void SimReceiverFpga::set_register(uint8_t address, const QByteArray& value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    overrides_[address] = value;
}

void SimReceiverFpga::queue_record(Fifo f, const QByteArray& record)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fifo(f).queue.push_back(record.left(FpgaRecordBuilder::SIZE).leftJustified(FpgaRecordBuilder::SIZE, '\0'));
}

void SimReceiverFpga::flash_bad(int reads)
{
    std::lock_guard<std::mutex> lock(mutex_);
    flash_bad_ = reads;
}

void SimReceiverFpga::stuck(Fifo f, int reads)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fifo(f).stuck = reads;
}

void SimReceiverFpga::garbage(Fifo f, int reads)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fifo(f).garbage = reads;
}

void SimReceiverFpga::play(const FpgaScenario& s)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (s.firmware)
        firmware_ = *s.firmware;
    if (s.hopping)
        hopping_ = *s.hopping;
    if (s.compiled)
        compiled_ = *s.compiled;
    if (s.fft_word)
        fft_word_ = *s.fft_word;
    if (s.temperature_raw)
        temperature_raw_ = *s.temperature_raw;
    if (s.bitrate_mask)
        bitrate_mask_ = *s.bitrate_mask;
    if (s.spectrum_magnitude)
        spectrum_magnitude_ = *s.spectrum_magnitude;
    script_ = s.events;
    std::stable_sort(script_.begin(), script_.end(),
                     [](const FpgaScenario::Event& a, const FpgaScenario::Event& b) { return a.at_ms < b.at_ms; });
    script_next_ = 0;
    script_started_ = false;
}

bool SimReceiverFpga::scenario_done() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return script_next_ >= script_.size();
}

void SimReceiverFpga::release_due_locked()
{
    if (!script_started_ || script_next_ >= script_.size())
        return;
    const qint64 now =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - script_start_).count();
    while (script_next_ < script_.size() && script_[script_next_].at_ms <= now) {
        const FpgaScenario::Event& e = script_[script_next_++];
        switch (e.kind) {
        case FpgaScenario::Kind::Record: fifo(e.fifo).queue.push_back(e.bytes); break;
        case FpgaScenario::Kind::Register: overrides_[e.address] = e.bytes; break;
        case FpgaScenario::Kind::FlashBad: flash_bad_ = e.count; break;
        case FpgaScenario::Kind::Stuck: fifo(e.fifo).stuck = e.count; break;
        case FpgaScenario::Kind::Garbage: fifo(e.fifo).garbage = e.count; break;
        }
    }
}

void SimReceiverFpga::boot()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++boots_;
    written_.clear();
}

QByteArray SimReceiverFpga::fifo_record_locked(Fifo f)
{
    FifoState& s = fifo(f);
    ++s.reads;
    if (s.garbage > 0) {
        --s.garbage;
        QByteArray g(FpgaRecordBuilder::SIZE, '\0');
        for (int i = 0; i < g.size(); ++i)
            g[i] = static_cast<char>(rng_() & 0xFF);
        return g;
    }
    if (s.stuck > 0) {
        --s.stuck;
        if (s.last.isEmpty()) {
            FpgaRecordBuilder::Fields d;
            d.id = 0xABCDEF;
            s.last = FpgaRecordBuilder::build(d);
        }
        return s.last;
    }
    if (s.queue.empty())
        return FpgaRecordBuilder::empty();
    s.last = s.queue.front();
    s.queue.pop_front();
    return s.last;
}

QByteArray SimReceiverFpga::read_value_locked(uint8_t a)
{
    if (overrides_.contains(a))
        return overrides_.value(a);
    switch (a) {
    case 0xA0: {
        QByteArray v = le32(firmware_ & 0x00FFFFFF);
        v[3] = hopping_ ? 1 : 0;
        return v;
    }
    case 0x20: return encode_date(compiled_);
    case 0x30: return le32(fft_word_);
    case 0xD0: return le32(temperature_raw_);
    case 0x70: return le32(bitrate_mask_);
    default: return written_.value(a);
    }
}

void SimReceiverFpga::select()
{
    std::lock_guard<std::mutex> lock(mutex_);
    pos_ = 0;
    cmd_ = 0;
    addr_ = 0;
    resp_.clear();
    wbuf_.clear();
    frame_.clear();
}

uint8_t SimReceiverFpga::exchange(uint8_t mosi)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const int pos = pos_++;
    if (cmd_ == WRITE || pos < 2)
        frame_.append(static_cast<char>(mosi));
    if (pos == 0) {
        cmd_ = mosi;
        return 0;
    }
    if (pos == 1) {
        addr_ = mosi;
        if (cmd_ == READ) {
            if (addr_ == 0x80 || addr_ == 0xF0) {
                if (!script_started_ && script_next_ < script_.size()) {
                    script_started_ = true;
                    script_start_ = Clock::now();
                }
                release_due_locked();
                resp_ = fifo_record_locked(addr_ == 0x80 ? Fifo::LowRate : Fifo::HighRate);
            } else if (is_spectrum_source(addr_) && !overrides_.contains(addr_)) {
                ++spectrum_reads_;
                resp_.clear();
            } else {
                resp_ = QByteArray(5, '\0') + read_value_locked(addr_);
            }
        }
        return 0;
    }
    if (cmd_ == WRITE) {
        if (pos >= 4)
            wbuf_.append(static_cast<char>(mosi));
        return 0;
    }
    if (cmd_ != READ || pos < 2)
        return 0;
    if (is_spectrum_source(addr_) && resp_.isEmpty()) {
        if (pos < 5)
            return 0;
        const quint32 w = spectrum_magnitude_ << 8;
        return static_cast<uint8_t>((w >> (8 * ((pos - 5) % 4))) & 0xFF);
    }
    return pos < resp_.size() ? static_cast<uint8_t>(resp_[pos]) : 0;
}

void SimReceiverFpga::deselect()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (cmd_ == WRITE && pos_ > 4) {
        written_[addr_] = wbuf_;
        if (writes_.size() >= WRITE_LOG_SIZE)
            writes_.removeFirst();
        writes_.append(Write{boots_, addr_, wbuf_, frame_});
    }
    if (pos_ > 0) {
        if (frames_.size() >= FRAME_LOG_SIZE)
            frames_.removeFirst();
        frames_.append(Frame{cmd_, addr_, pos_});
    }
}

void SimReceiverFpga::Flash::select()
{
    pos_ = 0;
    bad_ = false;
    id_cmd_ = false;
}

uint8_t SimReceiverFpga::Flash::exchange(uint8_t mosi)
{
    const int pos = pos_++;
    if (pos == 0) {
        id_cmd_ = mosi == 0x9E;
        if (id_cmd_) {
            std::lock_guard<std::mutex> lock(owner_.mutex_);
            ++owner_.id_reads_;
            owner_.release_due_locked();
            if (owner_.flash_bad_ > 0) {
                --owner_.flash_bad_;
                bad_ = true;
            }
        }
        return 0xFF;
    }
    if (!id_cmd_)
        return 0xFF;
    // A healthy configuration flash: manufacturer 0x20, type 0xBA, capacity 0x19.
    static const uint8_t good[20] = {0x20, 0xBA, 0x19, 0x10, 0x00, 0x00, 0x23, 0x71, 0x45, 0x19,
                                     0x0F, 0x00, 0x13, 0x48, 0x01, 0x15, 0x14, 0x47, 0x11, 0x58};
    if (pos > 20)
        return 0xFF;
    return bad_ ? 0x00 : good[pos - 1];
}

int SimReceiverFpga::boots() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return boots_;
}

QByteArray SimReceiverFpga::written(uint8_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return written_.value(address);
}

QList<SimReceiverFpga::Write> SimReceiverFpga::writes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

int SimReceiverFpga::write_count(uint8_t address, int boot) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const Write& w : writes_)
        if (w.address == address && (boot < 0 || w.boot == boot))
            ++n;
    return n;
}

int SimReceiverFpga::fifo_reads(Fifo f) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return fifo(f).reads;
}

int SimReceiverFpga::pending(Fifo f) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return int(fifo(f).queue.size());
}

int SimReceiverFpga::id_reads() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return id_reads_;
}

int SimReceiverFpga::spectrum_reads() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return spectrum_reads_;
}

QList<SimReceiverFpga::Frame> SimReceiverFpga::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

void SimReceiverFpga::clear_frames()
{
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
}

SimFpgaPinWorker::SimFpgaPinWorker(SimReceiverFpga& fpga, BS_Type board) : fpga_(fpga), board_(board)
{
    switch (board) {
    case QORM_LTE:
        attach_device(CS0, 16, high, &fpga_);
        attach_device(CS0, 16, low, fpga_.flash());
        break;
    case Quabo:
        attach_device(CS0, 16, high, &fpga_);
        break;
    default:
        attach_device(CS0, &fpga_);
        attach_device(CS1, fpga_.flash());
        break;
    }
}

SimFpgaPinWorker::~SimFpgaPinWorker()
{
    if (front_)
        detach_device(front_.get());
    detach_device(&fpga_);
    detach_device(fpga_.flash());
}

void SimFpgaPinWorker::attach_modulator(SimSpiDevice& modulator)
{
    if (front_)
        detach_device(front_.get());
    else
        detach_device(&fpga_);
    front_ = std::make_unique<SimCs0Front>(&fpga_, &modulator);
    // The flash keeps its own route.
    if (board_ == QORM_LTE || board_ == Quabo)
        attach_device(CS0, 16, high, front_.get());
    else
        attach_device(CS0, front_.get());
}

void SimFpgaPinWorker::set_pin_state(uint8_t pin, PIN_State state)
{
    SimPinWorker::set_pin_state(pin, state);
    if (pin != 26 || !is_inited())
        return;
    const PIN_State now = state == high ? high : low;
    if (boot_pin_ == low && now == high)
        fpga_.boot();
    boot_pin_ = now;
}
