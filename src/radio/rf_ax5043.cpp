#include "rf_ax5043.h"

#include "downlink_frames.h"

#include <QDebug>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr uint8_t kPowerPin = 5;
constexpr uint8_t kIrqPin = 6;
constexpr unsigned kTransmitPolls = 20000;
constexpr unsigned kPowerUpMs = 20;

// The library's critical sections and the interrupt handler exclude each other through this.
std::recursive_mutex g_radio_lock;

// What the hooks reach: the pin controller of the newest driver, and its two flags.
std::mutex g_controller_mutex;
std::shared_ptr<Base_Pin_Controller> g_controller;
std::atomic<std::atomic<bool>*> g_rf_busy{nullptr};
std::atomic<std::atomic<bool>*> g_transmit{nullptr};
bool g_power_on = false;

// Poller lifecycle, and the live drivers: the hooks serve the newest one.
std::mutex g_life_mutex;
std::vector<rf_ax5043*> g_live;
std::thread g_poller;
std::atomic<bool> g_poller_stop{false};
std::atomic<int> g_pollers{0};

uint32_t system_ms()
{
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count());
}

void real_sleep_ms(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::atomic<uint32_t (*)()> g_get_time{system_ms};
std::atomic<void (*)(uint32_t)> g_sleep{real_sleep_ms};

std::shared_ptr<Base_Pin_Controller> controller()
{
    std::lock_guard<std::mutex> lock(g_controller_mutex);
    return g_controller;
}

void dummy_uint8(uint8_t) {}
void enable_pin_irq() {}
void disable_pin_irq() {}

void enable_global_irq()
{
    g_radio_lock.unlock();
}

void disable_global_irq()
{
    g_radio_lock.lock();
}

bool get_irq_pin_state()
{
    const auto c = controller();
    return c && c->get_pin_state(kIrqPin) == high;
}

void spi_tx_rx(const uint8_t* tx, uint8_t* rx, uint16_t n)
{
    const auto c = controller();
    if (!c) {
        std::memset(rx, 0, n);
        return;
    }
    c->read_write_spi(const_cast<char*>(reinterpret_cast<const char*>(tx)), reinterpret_cast<char*>(rx), CS1, n);
}

void spi_rx(uint8_t* buffer, uint16_t n)
{
    uint8_t scratch[260] = {};
    spi_tx_rx(scratch, buffer, n > sizeof(scratch) ? uint16_t(sizeof(scratch)) : n);
}

void spi_tx(const uint8_t* buffer, uint16_t n)
{
    uint8_t scratch[260];
    spi_tx_rx(buffer, scratch, n > sizeof(scratch) ? uint16_t(sizeof(scratch)) : n);
}

void radio_statuschange(const radio_status* st)
{
    if (st->status == RADIO_STAT_TRANSMITSTART) {
        radio_set_channel(0);
        std::atomic<bool>* busy = g_rf_busy;
        if (st->error != 3 && busy)
            *busy = false;
    } else if (st->status == RADIO_STAT_TRANSMITEND) {
        if (std::atomic<bool>* transmit = g_transmit)
            *transmit = false;
    }
}

void on_off_pwr(bool on)
{
    const auto c = controller();
    if (c) {
        c->set_pin_state(kPowerPin, on ? low : high);
        c->setChipSelectPolarity(CS1, !on);
    }
    if (on && !g_power_on)
        g_sleep.load()(kPowerUpMs);
    g_power_on = on;
}

uint32_t hook_time()
{
    return g_get_time.load()();
}

void hook_sleep(uint32_t ms)
{
    g_sleep.load()(ms);
}

const radio_fn_t kHooks = {enable_global_irq, disable_global_irq, enable_pin_irq, disable_pin_irq,
    get_irq_pin_state, spi_rx, spi_tx, spi_tx_rx, dummy_uint8, radio_statuschange, on_off_pwr};
const swtimer_fn_t kClock = {hook_time, hook_sleep};

void poll_interrupt_line()
{
    while (!g_poller_stop) {
        if (get_irq_pin_state()) {
            std::lock_guard<std::recursive_mutex> lock(g_radio_lock);
            radio_isr();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

} // namespace

const uint16_t rf_ax5043::power_table_864[48] = {21, 22, 23, 24, 25, 26, 27, 30, 33, 36, 42, 48, 57, 63, 70, 74,
    81, 85, 97, 110, 120, 130, 150, 170, 190, 200, 230, 260, 290, 330, 380, 420, 470, 510, 530, 560, 630, 720, 850,
    930, 990, 1030, 1200, 1500, 1900, 2400, 3000, 3700};

const uint8_t rf_ax5043::fastdladdress[4] = {0x6F, 0x6F, 0x6F, 0x6F};

rf_ax5043::rf_ax5043(std::shared_ptr<Base_Pin_Controller> pins) : _bcm283x_worker(std::move(pins))
{
    std::lock_guard<std::mutex> life(g_life_mutex);
    g_live.push_back(this);
    serve();
    swtimer_reg_func(&kClock);
    ax5043_reg_func(&kHooks);
    swtimer_init();
    if (g_live.size() == 1) {
        g_poller_stop = false;
        g_poller = std::thread([] {
            ++g_pollers;
            poll_interrupt_line();
            --g_pollers;
        });
    }
}

rf_ax5043::~rf_ax5043()
{
    std::lock_guard<std::mutex> life(g_life_mutex);
    g_live.erase(std::remove(g_live.begin(), g_live.end(), this), g_live.end());
    if (!g_live.empty()) {
        g_live.back()->serve();
        return;
    }
    g_rf_busy = nullptr;
    g_transmit = nullptr;
    {
        g_poller_stop = true;
        if (g_poller.joinable())
            g_poller.join();
        std::lock_guard<std::mutex> lock(g_controller_mutex);
        g_controller.reset();
    }
}

void rf_ax5043::serve()
{
    std::lock_guard<std::mutex> lock(g_controller_mutex);
    g_controller = _bcm283x_worker;
    g_rf_busy = &rf_busy_;
    g_transmit = &transmit_;
}

void rf_ax5043::set_clock(uint32_t (*get_time)(), void (*sleep_ms)(uint32_t))
{
    g_get_time = get_time ? get_time : system_ms;
    g_sleep = sleep_ms ? sleep_ms : real_sleep_ms;
}

void rf_ax5043::reset_clock()
{
    set_clock(nullptr, nullptr);
}

int rf_ax5043::pollers_running()
{
    return g_pollers;
}

const char* rf_ax5043::err_to_str(vexa_status_t status)
{
    return vexa_status_text(int(status));
}

rf_ax5043::BandChoice rf_ax5043::band_rules(uint32_t freq)
{
    BandChoice b{0, 0, PCB};
    if (freq > 900000000u) {
        b = {3, 3, SMA};
    } else if (freq > 600000000u) {
        b = {1, 0, (freq >= 863000001u && freq <= 864999999u) ? FILT : SMA};
    } else if (freq == 600000000u) {
        b = {0, 0, SMA};
    } else if (freq >= 450000001u && freq <= 499999999u) {
        b = {0, 2, PCB};
    }
    return b;
}

vexa_status_t rf_ax5043::Init(vexa_phy_channel_t phy, int8_t power, uint32_t freq, bool pwramp)
{
    if (rf_busy_.exchange(true))
        return ERR_RF_BUSY;
    ax5043_set_pointers(&vexa_phy_channel, &vexa_ax5043_pins, &PSK_BAND, &DBPSK_BAND);
    if (phy != OSC_CAL)
        vexa_phy_channel = int32_t(phy);
    const BandChoice band = band_rules(freq);
    PSK_BAND = band.psk_band;
    DBPSK_BAND = band.dbpsk_band;
    on_off_pwr(true);

    const int code = int(phy);
    const bool rx_config = (code >= 0 && code <= 3) || (code >= 10 && code <= 17);
    const bool tx_config = code == 21 || code == 22 || (code >= 24 && code <= 33);
    if (rx_config || tx_config) {
        ax5043_set_constants();
        if (rx_config) {
            SetModeAndPower(power, RX, SMA, pwramp);
            SetLocalAddress(fastdladdress);
        } else {
            SetModeAndPower(power, TX, band.antenna, pwramp);
        }
        SetFreq(freq);
        uint8_t r = radio_init();
        if (!r)
            r = radio_set_mode(rx_config ? RADIO_MODE_ASYNC_RECEIVE : RADIO_MODE_ASYNC_TRANSMIT);
        if (r) {
            rf_busy_ = false;
            return ERR;
        }
        rf_state = rx_config ? STATE_RX : STATE_TX;
        rf_busy_ = false;
        return OK;
    }
    if (phy == OSC_CAL) {
        radio_set_mode(RADIO_MODE_ASYNC_RECEIVE);
        radio_set_mode(RADIO_MODE_OFF);
        rf_state = STATE_OFF;
    }
    rf_busy_ = false;
    return ERR;
}

void rf_ax5043::SetModeAndPower(int8_t power, rf_direction_t direction, rf_antenna_t antenna, bool pwramp)
{
    if (direction != TX) {
        vexa_ax5043_pins.data = 0;
        vexa_ax5043_pins.cfga = 1;
        vexa_ax5043_pins.pwramp = 0;
        return;
    }
    vexa_ax5043_pins.pwramp = pwramp ? 1 : 0;
    vexa_ax5043_pins.data = 1;
    const int offset = antenna == PCB ? 12 : 19;
    vexa_ax5043_pins.dclk = antenna == PCB ? 1 : 0;
    vexa_ax5043_pins.cfga = antenna == PCB ? 2 : 1;
    vexa_ax5043_pins.txpwr = power >= -offset ? power_table_864[(power + offset) % 48] : 21;
}

void rf_ax5043::SetFreq(uint32_t freq)
{
    const uint32_t r = radio_conv_freq_fromhz(int32_t(freq));
    tempreg = r;
    radio_phy_chanfreq[0] = r + (freq <= 800000000u ? 18 : 34);
}

void rf_ax5043::SetLocalAddress(const uint8_t* addr)
{
    const radio_address_mask a{{addr[0], 0, 0, 0}, {0xFF, 0, 0, 0}};
    radio_set_local_address(&a);
}

vexa_status_t rf_ax5043::transmit_result(uint8_t r)
{
    switch (r) {
    case RADIO_ERR_NOERROR: return OK;
    case RADIO_ERR_BUSY: return ERR_RF_BUSY;
    case RADIO_ERR_INVALID: return ERR_BUFFER_FULL;
    default: return ERR;
    }
}

vexa_status_t rf_ax5043::Transmit(const uint8_t* frame, uint8_t len, rf_padding_t padding, rf_blocking_t blocking)
{
    if (rf_busy_.exchange(true))
        return ERR_RF_BUSY;
    const uint8_t r = radio_transmit(&rf_destination, frame, len, padding == PADDING_4TO1);
    if (r) {
        // Nothing was handed to the chip: not busy, nothing on the air.
        rf_busy_ = false;
        transmit_ = false;
        return transmit_result(r);
    }
    rf_busy_ = false;
    transmit_ = true;
    if (blocking == NONBLOCKING)
        return OK;
    for (unsigned i = 0; i < kTransmitPolls; ++i) {
        swtimer_runcallbacks();
        if (!transmit_)
            return OK;
        g_sleep.load()(1);
    }
    // The chip never reported the end: switch it off, so the back-end is free for the next
    // request (which sets the chip up again).
    radio_set_mode(RADIO_MODE_OFF);
    transmit_ = false;
    return ERR_TX_TIMEOUT;
}

bool rf_ax5043::finish_send(uint8_t len, const uint8_t* frame, rf_padding_t padding)
{
    const vexa_status_t status = Transmit(frame, len, padding, BLOCKING);
    ax5043_spi_write(AX5043_PINFUNCPWRAMP, 0);
    ax5043_spi_write(AX5043_PINFUNCDATA, 0);
    ax5043_spi_write(AX5043_PINFUNCDCLK, 0);
    if (status != OK) {
        qDebug() << "transmit error" << err_to_str(status);
        return false;
    }
    return true;
}

bool rf_ax5043::sendDL_DBPSK_frame(const uint8_t* frame36, uint32_t freq, int8_t power, vexa_phy_channel_t phy)
{
    uint8_t frame[36];
    std::memcpy(frame, frame36, sizeof(frame));
    const vexa_status_t status = Init(phy, power, freq, true);
    if (status != OK) {
        qDebug() << "init error" << err_to_str(status);
        return false;
    }
    return finish_send(sizeof(frame), frame, PADDING_4TO1);
}

bool rf_ax5043::sendDL_DBPSK_ProtD_autocorrection(uint32_t id, uint32_t freq, int8_t power, vexa_phy_channel_t phy)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_autocorrection_frame(id, frame);
    return sendDL_DBPSK_frame(frame, freq, power, phy);
}

bool rf_ax5043::sendDL_DBPSK_ProtD_ver4(uint32_t id, uint8_t header, const uint8_t* payload, uint8_t payload9,
    uint32_t freq, int8_t power, vexa_phy_channel_t phy)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_prot_d_ver4_frame(id, header, payload, payload9, frame);
    return sendDL_DBPSK_frame(frame, freq, power, phy);
}

bool rf_ax5043::sendDL_DBPSK_ProtD_ver5(uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
    const uint8_t* payload, uint32_t crypto_mic, uint32_t freq, int8_t power, vexa_phy_channel_t phy)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_prot_d_ver5_frame(preambula, crypto_iter, crypto_flags, payload, crypto_mic, frame);
    return sendDL_DBPSK_frame(frame, freq, power, phy);
}

bool rf_ax5043::sendDL_DBPSK_ProtE_ver5(uint32_t modem_id, uint32_t preambula, uint32_t crypto_iter,
    uint32_t crypto_flags, const uint8_t* payload, uint32_t crypto_mic, uint32_t freq, int8_t power,
    vexa_phy_channel_t phy)
{
    uint8_t frame[DL_FRAME_SIZE];
    build_prot_e_ver5_frame(modem_id, preambula, crypto_iter, crypto_flags, payload, crypto_mic, frame);
    return sendDL_DBPSK_frame(frame, freq, power, phy);
}

bool rf_ax5043::sendDL_PSK(uint32_t id, uint8_t header, const uint8_t* payload, uint8_t len, uint32_t freq,
    int8_t power, vexa_phy_channel_t phy)
{
    rf_destination.addr[0] = 0x6F;
    rf_destination.addr[1] = 0x6F;
    rf_destination.addr[2] = 0x6F;
    const uint32_t carrier = phy == UL_PSK_FASTDL ? freq + 1000000u : freq;
    const vexa_status_t status = Init(phy, power, carrier, true);
    if (status != OK) {
        qDebug() << "init error" << err_to_str(status);
        return false;
    }
    uint8_t frame[256];
    frame[0] = uint8_t(id >> 16);
    frame[1] = uint8_t(id >> 8);
    frame[2] = uint8_t(id);
    frame[3] = header;
    const size_t copy = len > 252 ? 252 : len;
    if (copy)
        std::memcpy(frame + 4, payload, copy);
    return finish_send(uint8_t((len + 4) % 256), frame, NO_PADDING);
}
