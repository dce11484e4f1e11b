#include "SimPinWorker.h"

#include <cstring>

SimPinWorker::SimPinWorker()
{
    out_level_.fill(low);
    in_level_.fill(low);
}

SimPinWorker::~SimPinWorker() = default;

uint32_t SimPinWorker::tick() const
{
    return uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count());
}

void SimPinWorker::setChipSelectPolarity(SPI_ChipSelect cs, bool active_high)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!is_inited_ || (cs != CS0 && cs != CS1))
        return;
    cs_active_high_[size_t(cs)] = active_high;
}

bool SimPinWorker::init()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (is_inited_)
        return true;
    if (init_fails_)
        return false;
    // SPI pins back to their SPI function, as the real worker's SPI begin does.
    for (uint8_t pin = 7; pin <= 11; ++pin)
        output_[pin] = false;
    is_inited_ = true;
    ++init_count_;
    return true;
}

void SimPinWorker::close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!is_inited_)
        return;
    is_inited_ = false;
    for (uint8_t pin = 7; pin <= 11; ++pin)
        output_[pin] = false;
}

bool SimPinWorker::read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, uint32_t len)
{
    std::lock_guard<std::mutex> bus_lock(spi_mutex_);
    SimSpiDevice* device = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!is_inited_) {
            if (rx && len)
                std::memset(rx, 0, len);
            return false;
        }
        device = bus_.route(int(cs), [this](uint8_t pin) { return level_locked(pin); });
        ++transfer_count_;
    }
    if (len)
        sim_spi_transfer(device, reinterpret_cast<const uint8_t*>(tx), reinterpret_cast<uint8_t*>(rx), len);
    return true;
}

bool SimPinWorker::write_spi(char* data, SPI_ChipSelect cs, uint32_t len)
{
    std::vector<char> scratch(len);
    return read_write_spi(data, scratch.data(), cs, len);
}

void SimPinWorker::set_pin_state(uint8_t pin, PIN_State state)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!is_inited_ || pin >= PIN_COUNT)
        return;
    const PIN_State level = state == high ? high : low;
    output_[pin] = true;
    out_level_[pin] = level;
    if (trace_.size() >= TRACE_SIZE)
        trace_.pop_front();
    trace_.push_back({Clock::now(), pin, level});
}

PIN_State SimPinWorker::get_pin_state(uint8_t pin)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!is_inited_ || pin >= PIN_COUNT)
        return fault;
    return level_locked(pin);
}

void SimPinWorker::set_pin_isr(uint8_t pin, PIN_Edge edge, IsrCallback callback)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!is_inited_ || pin >= PIN_COUNT)
        return;
    isr_[pin].edge = edge;
    isr_[pin].callback = std::move(callback);
}

void SimPinWorker::attach_device(SPI_ChipSelect cs, SimSpiDevice* device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bus_.attach(int(cs), device);
}

void SimPinWorker::attach_device(SPI_ChipSelect cs, uint8_t select_pin, PIN_State select_level, SimSpiDevice* device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bus_.attach(int(cs), select_pin, select_level, device);
}

void SimPinWorker::detach_device(SimSpiDevice* device)
{
    // Waits for a frame in progress, so the device is not in use once this returns.
    std::lock_guard<std::mutex> bus_lock(spi_mutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    bus_.detach(device);
}

void SimPinWorker::set_init_fails(bool fails)
{
    std::lock_guard<std::mutex> lock(mutex_);
    init_fails_ = fails;
}

void SimPinWorker::set_input(uint8_t pin, PIN_State level)
{
    if (pin >= PIN_COUNT)
        return;
    level = level == high ? high : low;
    IsrCallback callback;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const PIN_State before = level_locked(pin);
        in_level_[pin] = level;
        if (output_[pin] || before == level || !is_inited_)
            return;
        const Isr& isr = isr_[pin];
        const bool edge_matches = isr.edge == EITHER || (isr.edge == RISING && level == high)
            || (isr.edge == FALLING && level == low);
        if (edge_matches)
            callback = isr.callback;
    }
    // Called on the test's thread, as a watch thread would call it on its own.
    if (callback)
        callback(pin, level == high ? 1 : 0, tick());
}

std::vector<SimPinWorker::TraceEntry> SimPinWorker::trace() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<TraceEntry>(trace_.begin(), trace_.end());
}

void SimPinWorker::clear_trace()
{
    std::lock_guard<std::mutex> lock(mutex_);
    trace_.clear();
}

PIN_State SimPinWorker::level(uint8_t pin) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pin < PIN_COUNT ? level_locked(pin) : fault;
}

bool SimPinWorker::is_output(uint8_t pin) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pin < PIN_COUNT && output_[pin];
}

bool SimPinWorker::chip_select_active_high(SPI_ChipSelect cs) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return (cs == CS0 || cs == CS1) && cs_active_high_[size_t(cs)];
}

unsigned SimPinWorker::init_count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return init_count_;
}

unsigned SimPinWorker::transfer_count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return transfer_count_;
}

PIN_State SimPinWorker::level_locked(uint8_t pin) const
{
    if (pin >= PIN_COUNT)
        return fault;
    return output_[pin] ? out_level_[pin] : in_level_[pin];
}
