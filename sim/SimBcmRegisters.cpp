#include "SimBcmRegisters.h"

namespace {

// CS bits that read back as written; the others are commands (CLEAR) or status.
constexpr uint32_t CS_WRITABLE = ~(BCM283x_SPI0_CS_CLEAR | BCM283x_SPI0_CS_DONE | BCM283x_SPI0_CS_RXD
    | BCM283x_SPI0_CS_TXD | 0x00080000u /* RXR */ | 0x00100000u /* RXF */);

} // namespace

SimBcmRegisters::SimBcmRegisters() = default;

bool SimBcmRegisters::resolve(volatile uint32_t* reg, bcm283x_block* block, uint32_t* offset)
{
    if (bcm283x_register_of(reg, block, offset))
        return true;
    ++unknown_;
    return false;
}

uint32_t SimBcmRegisters::read(volatile uint32_t* reg)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bcm283x_block block;
    uint32_t offset;
    if (!resolve(reg, &block, &offset))
        return 0;
    switch (block) {
    case BCM283x_BLOCK_GPIO:
        return read_gpio(offset);
    case BCM283x_BLOCK_SPI0:
        return read_spi(offset);
    case BCM283x_BLOCK_ST:
        if (offset == BCM283x_ST_CLO)
            return uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - start_).count());
        ++unknown_;
        return 0;
    }
    return 0;
}

void SimBcmRegisters::write(volatile uint32_t* reg, uint32_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bcm283x_block block;
    uint32_t offset;
    if (!resolve(reg, &block, &offset))
        return;
    writes_.push_back({block, offset, value});
    switch (block) {
    case BCM283x_BLOCK_GPIO:
        write_gpio(offset, value);
        break;
    case BCM283x_BLOCK_SPI0:
        write_spi(offset, value);
        break;
    case BCM283x_BLOCK_ST:
        ++unknown_; // the library never writes the timer
        break;
    }
}

uint32_t SimBcmRegisters::read_gpio(uint32_t offset)
{
    if (offset < 6 * 4)
        return gpfsel_[offset / 4];
    if (offset == BCM283x_GPLEV0 || offset == BCM283x_GPLEV1) {
        const unsigned first = offset == BCM283x_GPLEV0 ? 0 : 32;
        uint32_t v = 0;
        for (unsigned bit = 0; bit < 32 && first + bit < BCM283x_GPIO_COUNT; ++bit)
            if (level_of(uint8_t(first + bit)) == high)
                v |= 1u << bit;
        return v;
    }
    ++unknown_; // GPSET/GPCLR are write-only
    return 0;
}

void SimBcmRegisters::write_gpio(uint32_t offset, uint32_t value)
{
    if (offset < 6 * 4) {
        gpfsel_[offset / 4] = value;
        return;
    }
    switch (offset) {
    case BCM283x_GPSET0:
        latch_ |= value;
        break;
    case BCM283x_GPSET1:
        latch_ |= uint64_t(value & 0x3FFFFF) << 32;
        break;
    case BCM283x_GPCLR0:
        latch_ &= ~uint64_t(value);
        break;
    case BCM283x_GPCLR1:
        latch_ &= ~(uint64_t(value & 0x3FFFFF) << 32);
        break;
    default:
        ++unknown_;
    }
}

uint32_t SimBcmRegisters::read_spi(uint32_t offset)
{
    switch (offset) {
    case BCM283x_SPI0_CS: {
        shift();
        uint32_t v = cs_;
        if (!stalled_ && tx_fifo_.size() < FIFO_DEPTH)
            v |= BCM283x_SPI0_CS_TXD;
        if (!rx_fifo_.empty())
            v |= BCM283x_SPI0_CS_RXD;
        if ((cs_ & BCM283x_SPI0_CS_TA) && tx_fifo_.empty())
            v |= BCM283x_SPI0_CS_DONE;
        return v;
    }
    case BCM283x_SPI0_FIFO: {
        if (rx_fifo_.empty()) {
            ++unknown_; // read of an empty FIFO: the library read without RXD
            return 0;
        }
        uint8_t b = rx_fifo_.front();
        rx_fifo_.pop_front();
        return b;
    }
    case BCM283x_SPI0_CLK:
        return clk_;
    default:
        ++unknown_;
        return 0;
    }
}

void SimBcmRegisters::write_spi(uint32_t offset, uint32_t value)
{
    switch (offset) {
    case BCM283x_SPI0_CS: {
        if (value & BCM283x_SPI0_CS_CLEAR_TX)
            tx_fifo_.clear();
        if (value & BCM283x_SPI0_CS_CLEAR_RX)
            rx_fifo_.clear();
        const bool was_active = cs_ & BCM283x_SPI0_CS_TA;
        cs_ = value & CS_WRITABLE;
        const bool active = cs_ & BCM283x_SPI0_CS_TA;
        if (!was_active && active) {
            ++frames_;
            const int chip = int(cs_ & BCM283x_SPI0_CS_CS);
            selected_ = bus_.route(chip, [this](uint8_t pin) { return level_of(pin); });
            if (selected_)
                selected_->select();
        } else if (was_active && !active) {
            if (selected_)
                selected_->deselect();
            selected_ = nullptr;
        }
        break;
    }
    case BCM283x_SPI0_FIFO:
        if (!(cs_ & BCM283x_SPI0_CS_TA) || tx_fifo_.size() >= FIFO_DEPTH) {
            ++unknown_; // write without TA or into a full FIFO: the byte is lost
            break;
        }
        tx_fifo_.push_back(uint8_t(value));
        break;
    case BCM283x_SPI0_CLK:
        clk_ = value & 0xFFFF;
        break;
    default:
        ++unknown_;
    }
}

void SimBcmRegisters::shift()
{
    if (stalled_ || !(cs_ & BCM283x_SPI0_CS_TA))
        return;
    while (!tx_fifo_.empty() && rx_fifo_.size() < FIFO_DEPTH) {
        uint8_t out = tx_fifo_.front();
        tx_fifo_.pop_front();
        rx_fifo_.push_back(selected_ ? selected_->exchange(out) : 0xFF);
    }
}

PIN_State SimBcmRegisters::level_of(uint8_t pin) const
{
    if (pin >= BCM283x_GPIO_COUNT)
        return fault;
    const unsigned fsel = (gpfsel_[pin / 10] >> (3 * (pin % 10))) & 7u;
    const uint64_t bit = uint64_t(1) << pin;
    if (fsel == BCM283x_GPIO_FSEL_OUTP)
        return (latch_ & bit) ? high : low;
    return (inputs_ & bit) ? high : low;
}

void SimBcmRegisters::attach_device(int cs, SimSpiDevice* device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bus_.attach(cs, device);
}

void SimBcmRegisters::attach_device(int cs, uint8_t select_pin, PIN_State select_level, SimSpiDevice* device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bus_.attach(cs, select_pin, select_level, device);
}

void SimBcmRegisters::set_input(uint8_t pin, bool level)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (pin >= BCM283x_GPIO_COUNT)
        return;
    if (level)
        inputs_ |= uint64_t(1) << pin;
    else
        inputs_ &= ~(uint64_t(1) << pin);
}

void SimBcmRegisters::set_spi_stalled(bool stalled)
{
    std::lock_guard<std::mutex> lock(mutex_);
    stalled_ = stalled;
}

uint32_t SimBcmRegisters::gpfsel(unsigned index) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return index < gpfsel_.size() ? gpfsel_[index] : 0;
}

uint8_t SimBcmRegisters::function(uint8_t pin) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (pin >= BCM283x_GPIO_COUNT)
        return 0;
    return uint8_t((gpfsel_[pin / 10] >> (3 * (pin % 10))) & 7u);
}

bool SimBcmRegisters::output_latch(uint8_t pin) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pin < 64 && (latch_ >> pin) & 1u;
}

uint32_t SimBcmRegisters::spi_cs() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return cs_;
}

uint32_t SimBcmRegisters::spi_clk() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return clk_;
}

unsigned SimBcmRegisters::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

std::vector<SimBcmRegisters::Access> SimBcmRegisters::writes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

void SimBcmRegisters::clear_writes()
{
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.clear();
}

unsigned SimBcmRegisters::unknown_accesses() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return unknown_;
}
