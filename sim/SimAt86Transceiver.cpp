#include "SimAt86Transceiver.h"

namespace {
constexpr uint16_t kAddressMask = 0x3FFF;
}

SimAt86Transceiver::SimAt86Transceiver()
{
    power_on_reset();
}

void SimAt86Transceiver::power_on_reset()
{
    regs_.fill(0);
    regs_[REG_PART_NUMBER] = part_number_;
    regs_[REG_VERSION] = 3;
    const uint8_t after_reset = never_trxoff_ ? TRANSITION : TRXOFF;
    state_ = {after_reset, after_reset};
}

void SimAt86Transceiver::select()
{
    std::lock_guard<std::mutex> lock(mutex_);
    index_ = 0;
    write_ = false;
    address_ = 0;
    ++frames_;
}

uint8_t SimAt86Transceiver::exchange(uint8_t mosi)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const unsigned i = index_++;
    if (i == 0) {
        headers_.push_back(mosi);
        write_ = (mosi & 0x80) != 0;
        address_ = uint16_t((mosi & 0x3F) << 8);
        return 0;
    }
    if (i == 1) {
        address_ = uint16_t(address_ | mosi);
        return 0;
    }
    const uint16_t address = uint16_t((address_ + (i - 2)) & kAddressMask);
    if (write_) {
        log_.push_back({true, address, mosi});
        write_reg(address, mosi);
        return 0;
    }
    const uint8_t value = read_reg(address);
    log_.push_back({false, address, value});
    return value;
}

void SimAt86Transceiver::deselect()
{
    std::lock_guard<std::mutex> lock(mutex_);
    index_ = 0;
}

uint8_t SimAt86Transceiver::read_reg(uint16_t address) const
{
    switch (address) {
    case REG_RF09_STATE:
        return state_[0];
    case REG_RF24_STATE:
        return state_[1];
    case REG_RF09_PLL:
        return uint8_t((regs_[address] & ~0x02) | ((state_[0] == TXPREP || state_[0] == RX) && !no_pll_lock_ ? 0x02 : 0));
    default:
        return regs_[address];
    }
}

void SimAt86Transceiver::write_reg(uint16_t address, uint8_t value)
{
    switch (address) {
    case REG_RESET:
        if (value == RESET)
            power_on_reset();
        return;
    case REG_PART_NUMBER:
    case REG_VERSION:
    case REG_RF09_STATE:
    case REG_RF24_STATE:
        return;  // read-only
    case REG_RF09_CMD:
        regs_[address] = value;
        command(0, value);
        return;
    case REG_RF24_CMD:
        regs_[address] = value;
        command(1, value);
        return;
    default:
        regs_[address] = value;
    }
}

void SimAt86Transceiver::command(int trx, uint8_t cmd)
{
    uint8_t& s = state_[size_t(trx)];
    switch (cmd) {
    case TRXOFF:
        if (!never_trxoff_)
            s = TRXOFF;
        break;
    case SLEEP:
        s = SLEEP;
        break;
    case TXPREP:
        if (s == TRXOFF || s == TXPREP || s == RX || s == TX)
            s = TXPREP;
        break;
    case RX:
        if (never_rx_)
            s = TRANSITION;
        else if (s == TXPREP || s == TRXOFF || s == RX)
            s = RX;
        break;
    case TX:
        if (s == TXPREP)
            s = TX;
        break;
    case RESET:
        s = never_trxoff_ ? TRANSITION : TRXOFF;
        break;
    default:
        break;
    }
}

void SimAt86Transceiver::set_part_number(uint8_t part)
{
    std::lock_guard<std::mutex> lock(mutex_);
    part_number_ = part;
    regs_[REG_PART_NUMBER] = part;
}

void SimAt86Transceiver::set_never_trxoff(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    never_trxoff_ = on;
}

void SimAt86Transceiver::set_never_rx(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    never_rx_ = on;
}

void SimAt86Transceiver::set_no_pll_lock(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    no_pll_lock_ = on;
}

std::vector<SimAt86Transceiver::Access> SimAt86Transceiver::accesses() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

std::vector<SimAt86Transceiver::Access> SimAt86Transceiver::writes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Access> out;
    for (const Access& a : log_)
        if (a.write)
            out.push_back(a);
    return out;
}

std::vector<uint8_t> SimAt86Transceiver::frame_headers() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return headers_;
}

unsigned SimAt86Transceiver::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

unsigned SimAt86Transceiver::reads_of(uint16_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    unsigned n = 0;
    for (const Access& a : log_)
        n += (!a.write && a.address == address);
    return n;
}

uint8_t SimAt86Transceiver::reg(uint16_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return read_reg(uint16_t(address & kAddressMask));
}

uint8_t SimAt86Transceiver::state(int trx) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return state_[size_t(trx & 1)];
}

void SimAt86Transceiver::clear_log()
{
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
    headers_.clear();
    frames_ = 0;
}
