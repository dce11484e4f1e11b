#include "SimAx5043.h"

#include "SimPinWorker.h"

#include <chrono>
#include <cmath>

namespace {

constexpr uint16_t REVISION = 0x000, SCRATCH = 0x001, PWRMODE = 0x002, POWSTAT = 0x003, IRQMASK1 = 0x006,
    IRQMASK0 = 0x007, RADIOEVENTMASK0 = 0x009, IRQREQUEST1 = 0x00C, IRQREQUEST0 = 0x00D,
    RADIOEVENTREQ0 = 0x00F, ENCODING = 0x011, FRAMING = 0x012, RADIOSTATE = 0x01C, XTALSTATUS = 0x01D,
    PINFUNCIRQ = 0x024, FIFOSTAT = 0x028, FIFODATA = 0x029, FIFOCOUNT1 = 0x02A, FIFOCOUNT0 = 0x02B,
    FIFOFREE1 = 0x02C, FIFOFREE0 = 0x02D, FIFOTHRESH1 = 0x02E, FIFOTHRESH0 = 0x02F, PLLLOOP = 0x030,
    PLLRANGINGA = 0x033, FREQA3 = 0x034, PLLRANGINGB = 0x03B, FREQB3 = 0x03C, TIMER2 = 0x059,
    TIMER0 = 0x05B, TXRATE2 = 0x165;

constexpr size_t kFifoSize = 256;

int64_t utc_ms()
{
    return int64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count());
}

uint32_t word_at(const std::array<uint8_t, 0x1000>& regs, uint16_t msb)
{
    return uint32_t(regs[msb]) << 24 | uint32_t(regs[msb + 1]) << 16 | uint32_t(regs[msb + 2]) << 8 | regs[msb + 3];
}

bool is_padded_byte(uint8_t b)
{
    return (b & 0x77) == 0x77;
}

} // namespace

SimAx5043::SimAx5043(SimPinWorker* board, Clock clock) : board_(board), clock_(std::move(clock))
{
    if (!clock_) {
        const auto start = std::chrono::steady_clock::now();
        clock_ = [start] {
            return int64_t(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
        };
    }
    reset_registers_locked();
    if (board_)
        service_ = std::thread([this] { service(); });
}

void SimAx5043::set_board(SimPinWorker* board)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        board_ = board;
        last_pin_ = -1;
        drive_pin_locked();
    }
    if (board && !service_.joinable())
        service_ = std::thread([this] { service(); });
}

SimAx5043::~SimAx5043()
{
    if (service_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(service_mutex_);
            stop_ = true;
        }
        service_cv_.notify_all();
        service_.join();
    }
}

int64_t SimAx5043::now() const
{
    return clock_();
}

void SimAx5043::reset_registers_locked()
{
    regs_.fill(0);
    regs_[SCRATCH] = 0xC5;
    regs_[PWRMODE] = 0x60;
    regs_[PINFUNCIRQ] = 0x03;
    fifo_.clear();
    fifo_pending_.clear();
    xtal_ = false;
    ranging_done_ = false;
    radioeventreq0_ = 0;
    if (tx_ || packet_open_)
        ++aborted_;
    tx_ = false;
    packet_open_ = false;
    packet_complete_ = false;
    packet_hangs_ = false;
    packet_ = Packet{};
}

bool SimAx5043::powered_locked() const
{
    if (board_)
        return board_->level(5) != high;
    return powered_;
}

void SimAx5043::power_loss_locked()
{
    reset_registers_locked();
    index_ = 0;
}

void SimAx5043::select()
{
    std::lock_guard<std::mutex> lock(mutex_);
    index_ = 0;
}

uint8_t SimAx5043::exchange(uint8_t mosi)
{
    std::vector<Access> accesses;
    std::vector<Packet> done;
    uint8_t miso = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        update_locked();
        if (powered_locked()) {
            const unsigned i = index_++;
            if (i == 0) {
                write_ = mosi & 0x80;
                const uint8_t a = mosi & 0x7F;
                long_ = (a & 0x70) == 0x70;
                address_ = long_ ? uint16_t((a & 0x0F) << 8) : a;
            } else if (long_ && i == 1) {
                address_ = uint16_t(address_ | mosi);
            } else {
                const uint16_t address = address_;
                if (address != FIFODATA)
                    address_ = uint16_t((address_ + 1) & 0x0FFF);
                if (write_) {
                    write_locked(address, mosi);
                    hook_queue_.push_back({true, address, mosi});
                } else {
                    miso = read_locked(address);
                    hook_queue_.push_back({false, address, miso});
                }
            }
        }
        drive_pin_locked();
        accesses.swap(hook_queue_);
        done.swap(sink_queue_);
    }
    flush_outside_lock(accesses, done);
    return miso;
}

void SimAx5043::deselect()
{
    std::lock_guard<std::mutex> lock(mutex_);
    index_ = 0;
}

void SimAx5043::flush_outside_lock(std::vector<Access>& accesses, std::vector<Packet>& done)
{
    std::function<void(bool, uint16_t, uint8_t)> hook;
    std::function<void(const Packet&)> sink;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hook = access_hook_;
        sink = sink_;
    }
    if (hook)
        for (const Access& a : accesses)
            hook(a.write, a.address, a.value);
    if (sink)
        for (const Packet& p : done)
            sink(p);
}

uint8_t SimAx5043::irqrequest0_locked() const
{
    uint8_t r = 0;
    if (!fifo_.empty())
        r |= 0x01;
    const size_t used = fifo_.size() + fifo_pending_.size();
    const size_t free = used >= kFifoSize ? 0 : kFifoSize - used;
    const size_t thresh = size_t(regs_[FIFOTHRESH1] & 0x01) << 8 | regs_[FIFOTHRESH0];
    if (free > thresh)
        r |= 0x08;
    if (radioeventreq0_ & regs_[RADIOEVENTMASK0])
        r |= 0x40;
    return r;
}

uint8_t SimAx5043::irqrequest1_locked() const
{
    uint8_t r = 0;
    if (xtal_)
        r |= 0x01;
    if (ranging_done_)
        r |= 0x10;
    return r;
}

bool SimAx5043::line_locked() const
{
    if (irq_stuck_ >= 0)
        return irq_stuck_ == 1;
    if (!powered_locked())
        return false;
    switch (regs_[PINFUNCIRQ] & 0x07) {
    case 0: return false;
    case 1: return true;
    case 3:
        return (irqrequest0_locked() & regs_[IRQMASK0]) || (irqrequest1_locked() & regs_[IRQMASK1]);
    default: return false;
    }
}

void SimAx5043::drive_pin_locked()
{
    if (!board_)
        return;
    const int level = line_locked() ? 1 : 0;
    if (level != last_pin_) {
        board_->set_input(6, level ? high : low);
        last_pin_ = level;
    }
}

uint8_t SimAx5043::read_locked(uint16_t address)
{
    const size_t used = fifo_.size() + fifo_pending_.size();
    const size_t free = used >= kFifoSize ? 0 : kFifoSize - used;
    switch (address) {
    case REVISION: return revision_;
    case POWSTAT: {
        const uint8_t mode = regs_[PWRMODE] & 0x0F;
        const bool modem = mode == 0x08 || mode == 0x09 || mode == 0x0B || mode == 0x0C || mode == 0x0D;
        return uint8_t(0x07 | (modem || powstat_stuck_ ? 0x08 : 0x00));
    }
    case IRQREQUEST0: return irqrequest0_locked();
    case IRQREQUEST1: return irqrequest1_locked();
    case RADIOEVENTREQ0: {
        const uint8_t r = radioeventreq0_;
        radioeventreq0_ = 0;
        return r;
    }
    case RADIOSTATE: {
        const uint8_t mode = regs_[PWRMODE] & 0x0F;
        if (tx_)
            return 0x06;
        return mode == 0x09 ? 0x09 : 0x00;
    }
    case XTALSTATUS: return xtal_ ? 0x01 : 0x00;
    case FIFOSTAT: return fifo_.empty() ? 0x01 : 0x00;
    case FIFODATA: {
        if (fifo_.empty())
            return 0;
        const uint8_t b = fifo_.front();
        fifo_.pop_front();
        return b;
    }
    case FIFOCOUNT1: return uint8_t(fifo_.size() >> 8);
    case FIFOCOUNT0: return uint8_t(fifo_.size());
    case FIFOFREE1: return uint8_t(free >> 8);
    case FIFOFREE0: return uint8_t(free);
    case TIMER2: case TIMER2 + 1: case TIMER0: {
        const uint32_t t = uint32_t(now()) & 0xFFFFFF;
        return uint8_t(t >> (8 * (TIMER0 - address)));
    }
    default: return regs_[address & 0x0FFF];
    }
}

void SimAx5043::write_locked(uint16_t address, uint8_t value)
{
    ++writes_;
    switch (address) {
    case PWRMODE:
        set_power_mode_locked(value);
        return;
    case FIFOSTAT:
        if ((value & 0x3F) == 0x03) {
            fifo_.clear();
            fifo_pending_.clear();
        } else if ((value & 0x3F) == 0x04) {
            for (size_t i = 0; i < fifo_pending_.size() && fifo_.size() < kFifoSize; ++i)
                fifo_.push_back(fifo_pending_[i]);
            fifo_pending_.clear();
            consume_fifo_locked();
        }
        return;
    case FIFODATA:
        if (fifo_.size() + fifo_pending_.size() < kFifoSize)
            fifo_pending_.push_back(value);
        return;
    case PLLRANGINGA:
    case PLLRANGINGB:
        if ((value & 0x10) && xtal_) {
            // Ranging settles at once: the start value is the result.
            regs_[address] = uint8_t((value & 0x0F) | (ranging_fails_ ? 0x20 : 0x00));
            ranging_done_ = true;
        } else {
            regs_[address] = value;
            if (value & 0x10)
                ranging_done_ = false;
        }
        return;
    default:
        regs_[address & 0x0FFF] = value;
        return;
    }
}

void SimAx5043::set_power_mode_locked(uint8_t value)
{
    if (value & 0x80) {
        reset_registers_locked();
        regs_[PWRMODE] = value;
        return;
    }
    const uint8_t before = regs_[PWRMODE] & 0x0F;
    regs_[PWRMODE] = value;
    const uint8_t mode = value & 0x0F;
    if (mode == 0x00 || mode == 0x01) {
        xtal_ = false;
        ranging_done_ = false;
    } else if (mode >= 0x05 && !xtal_held_off_) {
        xtal_ = true;
    }
    if (before == 0x0D && mode != 0x0D && (tx_ || packet_open_)) {
        // Switched off in the middle of a packet: nothing complete went out.
        ++aborted_;
        tx_ = false;
        packet_open_ = false;
        packet_complete_ = false;
        packet_hangs_ = false;
        packet_ = Packet{};
    }
    if (mode == 0x0D && before != 0x0D) {
        tx_ = true;
        packet_ = Packet{};
        packet_.start_us = now();
        packet_.start_utc_ms = utc_ms();
        packet_open_ = false;
        packet_complete_ = false;
        packet_hangs_ = false;
        consume_fifo_locked();
    }
    if (mode == 0x09 && !rx_script_.empty()) {
        for (uint8_t b : rx_script_)
            if (fifo_.size() < kFifoSize)
                fifo_.push_back(b);
        rx_script_.clear();
    }
}

void SimAx5043::consume_fifo_locked()
{
    if (!tx_ || packet_complete_)
        return;
    for (;;) {
        if (fifo_.empty())
            return;
        const uint8_t header = fifo_[0];
        size_t len = header >> 5;
        size_t start = 1;
        if (len == 7) {
            if (fifo_.size() < 2)
                return;
            len = fifo_[1];
            start = 2;
        }
        if (fifo_.size() < start + len)
            return;
        std::vector<uint8_t> payload(fifo_.begin() + long(start), fifo_.begin() + long(start + len));
        fifo_.erase(fifo_.begin(), fifo_.begin() + long(start + len));
        const uint8_t cmd = header & 0x1F;
        if (cmd == 0x02 && payload.size() == 3) {
            packet_.preamble.insert(packet_.preamble.end(), payload[1], payload[2]);
        } else if (cmd == 0x01 && !payload.empty()) {
            const uint8_t flags = payload[0];
            if (flags & 0x01) {
                packet_open_ = true;
                packet_.data.clear();
            }
            if (packet_open_)
                packet_.data.insert(packet_.data.end(), payload.begin() + 1, payload.end());
            else if (flags & 0x04)
                packet_.preamble.insert(packet_.preamble.end(), payload.begin() + 1, payload.end());
            else
                packet_.sync.insert(packet_.sync.end(), payload.begin() + 1, payload.end());
            if (packet_open_ && (flags & 0x02)) {
                packet_complete_ = true;
                const uint32_t rate = uint32_t(regs_[TXRATE2]) << 16 | uint32_t(regs_[TXRATE2 + 1]) << 8 | regs_[TXRATE2 + 2];
                packet_.bitrate = double(rate) * kXtalHz / double(1u << 24);
                packet_.encoding = regs_[ENCODING];
                packet_.framing = regs_[FRAMING];
                // HDLC framing adds the chip's 16-bit CRC.
                const size_t bytes = packet_.preamble.size() + packet_.sync.size() + packet_.data.size()
                    + ((packet_.framing & 0x0E) == 0x04 ? 2 : 0);
                const double seconds = packet_.bitrate > 0 ? bytes * 8.0 / packet_.bitrate : 0.0;
                packet_.end_us = packet_.start_us + int64_t(std::ceil(seconds * 1e6));
                if (never_end_left_) {
                    packet_hangs_ = true;
                    if (never_end_left_ != ~0u)
                        --never_end_left_;
                }
                return;
            }
        }
    }
}

void SimAx5043::end_packet_locked()
{
    Packet p = packet_;
    p.end_us = std::max(p.end_us, now());
    p.end_utc_ms = utc_ms();
    p.txpwr = uint16_t(regs_[0x16A] << 8 | regs_[0x16B]);
    p.set_b = regs_[PLLLOOP] & 0x80;
    p.freq_word = word_at(regs_, p.set_b ? FREQB3 : FREQA3);
    p.carrier_hz = uint32_t(std::llround(double(p.freq_word) * kXtalHz / double(1u << 24)));
    if ((p.encoding & 0x03) == 0x03 && p.data.size() % 4 == 0) {
        bool padded = true;
        for (uint8_t b : p.data)
            padded = padded && is_padded_byte(b);
        if (padded)
            for (size_t i = 0; i < p.data.size(); i += 4) {
                uint8_t v = 0;
                for (size_t k = 0; k < 4; ++k)
                    v = uint8_t(v << 2 | ((p.data[i + k] & 0x80) ? 2 : 0) | ((p.data[i + k] & 0x08) ? 1 : 0));
                p.recovered.push_back(v);
            }
    }
    packets_.push_back(p);
    sink_queue_.push_back(p);
    tx_ = false;
    packet_open_ = false;
    packet_complete_ = false;
    packet_ = Packet{};
    radioeventreq0_ |= 0x01;
}

void SimAx5043::update_locked()
{
    const bool powered = powered_locked();
    if (!powered) {
        if (was_powered_)
            power_loss_locked();
        was_powered_ = false;
        return;
    }
    was_powered_ = true;
    if (tx_ && packet_complete_ && !packet_hangs_ && now() >= packet_.end_us)
        end_packet_locked();
}

void SimAx5043::poll()
{
    std::vector<Access> accesses;
    std::vector<Packet> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        update_locked();
        drive_pin_locked();
        accesses.swap(hook_queue_);
        done.swap(sink_queue_);
    }
    flush_outside_lock(accesses, done);
}

void SimAx5043::service()
{
    std::unique_lock<std::mutex> lock(service_mutex_);
    while (!stop_) {
        lock.unlock();
        poll();
        lock.lock();
        service_cv_.wait_for(lock, std::chrono::microseconds(500), [this] { return stop_; });
    }
}

bool SimAx5043::irq_line()
{
    poll();
    std::lock_guard<std::mutex> lock(mutex_);
    return line_locked();
}

void SimAx5043::set_never_end_packet(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    never_end_left_ = on ? ~0u : 0u;
}

void SimAx5043::set_never_end_packets(unsigned count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    never_end_left_ = count;
}

void SimAx5043::set_ranging_fails(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ranging_fails_ = on;
}

void SimAx5043::set_revision(uint8_t revision)
{
    std::lock_guard<std::mutex> lock(mutex_);
    revision_ = revision;
}

void SimAx5043::set_irq_stuck(int level)
{
    std::lock_guard<std::mutex> lock(mutex_);
    irq_stuck_ = level;
    drive_pin_locked();
}

void SimAx5043::set_xtal_held_off(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    xtal_held_off_ = on;
    if (on)
        xtal_ = false;
}

void SimAx5043::set_powstat_stuck(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    powstat_stuck_ = on;
}

void SimAx5043::set_powered(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    powered_ = on;
    update_locked();
}

void SimAx5043::script_rx_fifo(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if ((regs_[PWRMODE] & 0x0F) == 0x09) {
        for (uint8_t b : bytes)
            if (fifo_.size() < kFifoSize)
                fifo_.push_back(b);
    } else {
        rx_script_.insert(rx_script_.end(), bytes.begin(), bytes.end());
    }
}

void SimAx5043::set_access_hook(std::function<void(bool, uint16_t, uint8_t)> hook)
{
    std::lock_guard<std::mutex> lock(mutex_);
    access_hook_ = std::move(hook);
}

void SimAx5043::set_packet_sink(std::function<void(const Packet&)> sink)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(sink);
}

uint8_t SimAx5043::reg(uint16_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return regs_[address & 0x0FFF];
}

uint8_t SimAx5043::power_mode() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return regs_[PWRMODE];
}

bool SimAx5043::transmitting() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return tx_;
}

std::vector<SimAx5043::Packet> SimAx5043::packets() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
}

unsigned SimAx5043::aborted_packets() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return aborted_;
}

unsigned SimAx5043::register_writes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

void SimAx5043::clear_packets()
{
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.clear();
}
