#include "SimAx5043Hooks.h"

SimAx5043Hooks* SimAx5043Hooks::self_ = nullptr;

SimAx5043Hooks::SimAx5043Hooks(uint32_t start_ms)
    : chip_(nullptr, [this] { return int64_t(ms_) * 1000; }), ms_(start_ms)
{
    self_ = this;
    static const radio_fn_t hooks = {enable_global, disable_global, nothing, nothing, pin, spi_rx, spi_tx,
        spi_tx_rx, cs, status, power};
    static const swtimer_fn_t clock = {time, sleep};
    swtimer_reg_func(&clock);
    ax5043_reg_func(&hooks);
    swtimer_init();
}

SimAx5043Hooks::~SimAx5043Hooks()
{
    ax5043_reg_func(nullptr);
    swtimer_reg_func(nullptr);
    self_ = nullptr;
}

void SimAx5043Hooks::script_read(uint16_t address, std::vector<uint8_t> answers)
{
    auto& q = scripted_[address];
    q.insert(q.end(), answers.begin(), answers.end());
}

std::vector<SimAx5043Hooks::Write> SimAx5043Hooks::writes() const
{
    std::vector<Write> out;
    for (const auto& f : frames_) {
        if (f.empty() || !(f[0] & 0x80) || f[0] == 0xA9)
            continue;
        const uint8_t a = f[0] & 0x7F;
        if ((a & 0x70) == 0x70) {
            if (f.size() >= 3)
                out.push_back({uint16_t((a & 0x0F) << 8 | f[1]), f[2]});
        } else if (f.size() >= 2) {
            out.push_back({a, f[1]});
        }
    }
    return out;
}

void SimAx5043Hooks::enable_global()
{
    --self_->depth_;
}

void SimAx5043Hooks::disable_global()
{
    ++self_->depth_;
}

void SimAx5043Hooks::nothing() {}

bool SimAx5043Hooks::pin()
{
    return self_->chip_.irq_line();
}

void SimAx5043Hooks::spi_rx(uint8_t* buffer, uint16_t n)
{
    std::vector<uint8_t> zeros(n, 0);
    spi_tx_rx(zeros.data(), buffer, n);
}

void SimAx5043Hooks::spi_tx(const uint8_t* buffer, uint16_t n)
{
    std::vector<uint8_t> rx(n);
    spi_tx_rx(buffer, rx.data(), n);
}

void SimAx5043Hooks::spi_tx_rx(const uint8_t* tx, uint8_t* rx, uint16_t n)
{
    self_->frames_.emplace_back(tx, tx + n);
    sim_spi_transfer(&self_->chip_, tx, rx, n);
    if (n < 2 || (tx[0] & 0x80))
        return;
    const uint8_t a = tx[0] & 0x7F;
    const bool longer = (a & 0x70) == 0x70;
    if (longer && n < 3)
        return;
    const uint16_t address = longer ? uint16_t((a & 0x0F) << 8 | tx[1]) : a;
    auto it = self_->scripted_.find(address);
    if (it == self_->scripted_.end() || it->second.empty())
        return;
    rx[longer ? 2 : 1] = it->second.front();
    it->second.pop_front();
}

void SimAx5043Hooks::cs(uint8_t) {}

void SimAx5043Hooks::status(const radio_status* st)
{
    self_->statuses_.push_back(*st);
    if (st->status == RADIO_STAT_TRANSMITSTART)
        radio_set_channel(0);
}

void SimAx5043Hooks::power(bool on)
{
    self_->power_.push_back(on);
    self_->chip_.set_powered(on);
}

uint32_t SimAx5043Hooks::time()
{
    return self_->ms_;
}

void SimAx5043Hooks::sleep(uint32_t ms)
{
    for (uint32_t i = 0; i < ms; ++i) {
        ++self_->ms_;
        if (self_->interrupts_ && self_->chip_.irq_line()) {
            ++self_->isr_calls_;
            radio_isr();
        }
    }
}
