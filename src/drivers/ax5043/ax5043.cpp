#include "ax5043.h"

#include "ax5043_lock.h"

#include <atomic>
#include <cstring>

namespace {

radio_fn_t g_hooks{};

// Shared with the interrupt handler's thread.
std::atomic<uint8_t> radio_mode{RADIO_MODE_UNINIT};
std::atomic<uint8_t> radio_trxstate{0};
std::atomic<uint8_t> radio_syncstate{0};
uint8_t radio_curchannel = 0;
int32_t radio_curfreqoffset = 0;
uint8_t radio_txbuffer[260];
uint16_t radio_txbuffer_len = 0;
uint16_t radio_txbuffer_cnt = 0;
uint8_t radio_rxbuffer[260];
uint16_t radio_rxbuffer_len = 0;
radio_address_mask radio_localaddr{};
uint8_t radio_ack_count = 0;
uint8_t radio_ack_seqnr = 0;
uint32_t radio_xtal_failures = 0;

struct {
    uint32_t time;
    uint32_t radiotimer;
} radio_timeanchor{};

// An event: its timer callback, then what it reports.
struct radio_event {
    swtimer_callback cb;
    radio_status st;
};

enum { EV_RECEIVE, EV_RECEIVESFD, EV_CHANNELSTATE, EV_TRANSMITSTART, EV_TRANSMITEND, EV_TRANSMITDATA, EV_COUNT };
radio_event radio_events[EV_COUNT];
swtimer_desc radio_timer;

const uint16_t kTxBufferSize = sizeof(radio_txbuffer);
const unsigned kFillerPasses = 100000;
const unsigned kXtalWaitMs = 1000;
const unsigned kRangingWaitMs = 10000;
const unsigned kPowstatWaitMs = 100;

// --- SPI ---------------------------------------------------------------------------------

void spi_frame(const uint8_t* tx, uint8_t* rx, uint16_t n)
{
    if (g_hooks.spi_cs_set)
        g_hooks.spi_cs_set(0);
    if (g_hooks.spi_tx_rx)
        g_hooks.spi_tx_rx(tx, rx, n);
    else
        std::memset(rx, 0, n);
    if (g_hooks.spi_cs_set)
        g_hooks.spi_cs_set(1);
}

// Address bytes of a register access; the number used.
uint8_t address_bytes(uint16_t reg, bool write, uint8_t* out)
{
    const uint8_t w = write ? 0x80 : 0x00;
    if (reg < 0x70) {
        out[0] = uint8_t(reg) | w;
        return 1;
    }
    out[0] = uint8_t(((reg | 0x7000) >> 8) | w);
    out[1] = uint8_t(reg & 0xFF);
    return 2;
}

uint32_t spi_read_n(uint16_t reg, uint8_t n)
{
    uint8_t tx[5] = {0, 0, 0, 0, 0};
    uint8_t rx[5] = {0, 0, 0, 0, 0};
    const uint8_t a = address_bytes(reg, false, tx);
    spi_frame(tx, rx, uint16_t(a + n));
    uint32_t v = 0;
    for (uint8_t i = 0; i < n; ++i)
        v = (v << 8) | rx[a + i];
    return v;
}

// --- events ------------------------------------------------------------------------------

void status_event_handler(swtimer_callback* cb)
{
    radio_status st;
    {
        ax5043_critical_section lock;
        st = reinterpret_cast<radio_event*>(cb)->st;
    }
    if (g_hooks.radio_statuschange)
        g_hooks.radio_statuschange(&st);
}

void receive_event_handler(swtimer_callback* cb)
{
    radio_status st;
    uint8_t pkt[sizeof(radio_rxbuffer)];
    uint16_t len;
    {
        ax5043_critical_section lock;
        st = reinterpret_cast<radio_event*>(cb)->st;
        len = radio_rxbuffer_len;
        std::memcpy(pkt, radio_rxbuffer, len);
    }
    if (radio_phy_pn9)
        pn9_buffer(pkt, len, 0x1FF, (ax5043_spi_read(AX5043_ENCODING) & 0x01) ? 0xFF : 0x00);
    if (radio_framing_swcrclen) {
        len = radio_framing_check_crc(pkt, len);
        if (!len)
            return;
        len = uint16_t(len - radio_framing_swcrclen);
    }
    if (len < radio_framing_maclen)
        return;
    st.u.rx.mac = pkt;
    st.u.rx.maclen = radio_framing_maclen;
    st.u.rx.pkt = pkt + radio_framing_maclen;
    st.u.rx.pktlen = uint16_t(len - radio_framing_maclen);
    if (g_hooks.radio_statuschange)
        g_hooks.radio_statuschange(&st);
}

void timer_handler(swtimer_callback*)
{
    // Only the acknowledged, wake-on-radio and synchronous modes use the timer.
}

void remove_all_events()
{
    for (radio_event& ev : radio_events)
        swtimer_remove_callback(&ev.cb);
    swtimer_remove(&radio_timer);
}

void setup_events()
{
    for (int i = 0; i < EV_COUNT; ++i) {
        radio_events[i].cb.next = nullptr;
        radio_events[i].cb.handler = i == EV_RECEIVE ? receive_event_handler : status_event_handler;
        std::memset(&radio_events[i].st, 0, sizeof(radio_status));
        radio_events[i].st.status = uint8_t(i);
    }
    radio_timer.cb.next = nullptr;
    radio_timer.cb.handler = timer_handler;
    radio_timer.time = 0;
}

void take_time_anchor()
{
    ax5043_critical_section lock;
    radio_timeanchor.time = swtimer0_curtime();
    radio_timeanchor.radiotimer = ax5043_spi_read24(AX5043_TIMER2);
}

void queue_event(int which, uint8_t error)
{
    ax5043_critical_section lock;
    radio_events[which].st.error = error;
    radio_events[which].st.time = radio_timeanchor.time;
    swtimer_add_callback(&radio_events[which].cb);
}

// --- configuration steps -----------------------------------------------------------------

void setaddrregs()
{
    const uint16_t addr[4] = {AX5043_PKTADDR0, AX5043_PKTADDR1, AX5043_PKTADDR2, AX5043_PKTADDR3};
    const uint16_t mask[4] = {AX5043_PKTADDRMASK0, AX5043_PKTADDRMASK1, AX5043_PKTADDRMASK2, AX5043_PKTADDRMASK3};
    for (int i = 0; i < 4; ++i)
        ax5043_spi_write(addr[i], radio_localaddr.addr[i]);
    for (int i = 0; i < 4; ++i)
        ax5043_spi_write(mask[i], radio_localaddr.mask[i]);
}

void init_registers()
{
    ax5043_set_registers();
    ax5043_spi_write(AX5043_PKTLENOFFSET, uint8_t(ax5043_spi_read(AX5043_PKTLENOFFSET) + radio_framing_swcrclen));
    ax5043_spi_write(AX5043_PINFUNCIRQ, 0x03);
    ax5043_spi_write(AX5043_PKTSTOREFLAGS, radio_phy_innerfreqloop ? 0x13 : 0x15);
    setaddrregs();
}

void write_freq_a(uint32_t f)
{
    ax5043_spi_write(AX5043_FREQA3, uint8_t(f >> 24));
    ax5043_spi_write(AX5043_FREQA2, uint8_t(f >> 16));
    ax5043_spi_write(AX5043_FREQA1, uint8_t(f >> 8));
    ax5043_spi_write(AX5043_FREQA0, uint8_t(f));
}

// PLL range of the current channel into the active register set, and the VCO current.
void init_pll_range()
{
    const uint8_t rng = radio_phy_chanpllrng[radio_curchannel];
    const bool set_b = ax5043_spi_read(AX5043_PLLLOOP) & 0x80;
    ax5043_spi_write(set_b ? AX5043_PLLRANGINGB : AX5043_PLLRANGINGA, rng & 0x0F);
    const uint8_t vcoi = radio_phy_chanvcoiinit[radio_curchannel];
    if (vcoi & 0x80) {
        const int diff = int(rng & 0x0F) - int(radio_phy_chanpllrnginit[radio_curchannel] & 0x0F);
        ax5043_spi_write(AX5043_PLLVCOI, uint8_t(0x80 | ((int(vcoi & 0x3F) - diff) & 0x3F)));
    }
}

void init_registers_tx()
{
    ax5043_set_registers_tx();
    init_pll_range();
}

void init_registers_rx()
{
    ax5043_set_registers_rx();
    init_pll_range();
}

void receiver_on_continuous()
{
    ax5043_spi_write(AX5043_RSSIREFERENCE, uint8_t(radio_phy_rssireference));
    ax5043_set_registers_rxcont();
    ax5043_spi_write(AX5043_PKTSTOREFLAGS, ax5043_spi_read(AX5043_PKTSTOREFLAGS) & uint8_t(~0x40));
    ax5043_spi_write(AX5043_FIFOSTAT, 0x03);
    ax5043_spi_write(AX5043_PWRMODE, 0x09);
    radio_trxstate = 1;
    ax5043_spi_write(AX5043_IRQMASK0, 0x01);
    ax5043_spi_write(AX5043_IRQMASK1, 0x00);
}

// Waits up to tries x 1 ms for the interrupt handler to move the state machine to target,
// running due timer callbacks meanwhile.
bool wait_trxstate(uint8_t target, unsigned tries)
{
    for (unsigned i = 0; i < tries; ++i) {
        {
            ax5043_critical_section lock;
            if (radio_trxstate == target)
                return true;
        }
        swtimer_runcallbacks();
        swtimer_sleep_ms(1);
    }
    ax5043_critical_section lock;
    return radio_trxstate == target;
}

void wait_crystal()
{
    radio_trxstate = 3;
    ax5043_spi_write(AX5043_IRQMASK1, ax5043_spi_read(AX5043_IRQMASK1) | 0x01);
    for (;;) {
        if (wait_trxstate(4, kXtalWaitMs)) {
            radio_xtal_failures = 0;
            return;
        }
        if (++radio_xtal_failures >= 3) {
            // A crystal that will not start: cut the chip's power once and carry on.
            radio_xtal_failures = 0;
            if (g_hooks.ax5043_on_off_pwr) {
                g_hooks.ax5043_on_off_pwr(false);
                g_hooks.ax5043_on_off_pwr(true);
            }
            return;
        }
    }
}

void prepare_tx()
{
    init_registers_tx();
    ax5043_spi_write(AX5043_FIFOTHRESH1, 0x00);
    ax5043_spi_write(AX5043_FIFOTHRESH0, 0x80);
    radio_trxstate = 9;
    ax5043_spi_write(AX5043_PWRMODE, 0x05);
    ax5043_spi_write(AX5043_PWRMODE, 0x07);
    ax5043_spi_write(AX5043_IRQMASK0, 0x00);
    ax5043_spi_write(AX5043_IRQMASK1, 0x01);
    ax5043_spi_read(AX5043_POWSTICKYSTAT);
}

// --- transmit filler ---------------------------------------------------------------------

uint16_t fifo_free()
{
    if (ax5043_spi_read(AX5043_FIFOFREE1))
        return 255;
    return ax5043_spi_read(AX5043_FIFOFREE0);
}

void fifo_commit()
{
    ax5043_spi_write(AX5043_FIFOSTAT, 0x04);
}

// Remaining preamble bits (fewer than 8) of the preamble byte, closed by a stop marker.
uint8_t residue_bits(uint8_t byte, unsigned bits)
{
    if (ax5043_spi_read(AX5043_PKTADDRCFG) & 0x80) {
        const uint8_t keep = uint8_t(0xFF << (8 - bits));
        return uint8_t((byte & keep) | (0x80 >> bits));
    }
    return uint8_t((byte & ((1u << bits) - 1)) | (1u << bits));
}

void transmit_filler()
{
    for (unsigned pass = 0; pass < kFillerPasses; ++pass) {
        const uint16_t free = fifo_free();
        if (radio_trxstate == 10) {
            if (radio_txbuffer_cnt == 0) {
                radio_trxstate = 11;
                radio_txbuffer_cnt = radio_phy_preamble_len;
                continue;
            }
            if (free < 4) {
                fifo_commit();
                return;
            }
            const uint16_t k = radio_txbuffer_cnt < 7 ? radio_txbuffer_cnt : 7;
            radio_txbuffer_cnt = uint16_t(radio_txbuffer_cnt - k);
            const uint8_t chunk[4] = {0x62, radio_phy_preamble_flags, uint8_t(32 * k), radio_phy_preamble_byte};
            ax5043_fifo_write(chunk, 4);
            continue;
        }
        if (radio_trxstate == 11) {
            if (radio_txbuffer_cnt) {
                if (free < 4) {
                    fifo_commit();
                    return;
                }
                uint16_t k = radio_txbuffer_cnt >= 2040 ? 255 : uint16_t(radio_txbuffer_cnt >> 3);
                if (k) {
                    radio_txbuffer_cnt = uint16_t(radio_txbuffer_cnt - 8 * k);
                    const uint8_t chunk[4] = {0x62, radio_phy_preamble_flags, uint8_t(k), radio_phy_preamble_byte};
                    ax5043_fifo_write(chunk, 4);
                } else {
                    const uint8_t chunk[3] = {0x41, 0x1C, residue_bits(radio_phy_preamble_byte, radio_txbuffer_cnt)};
                    ax5043_fifo_write(chunk, 3);
                    radio_txbuffer_cnt = 0;
                }
                continue;
            }
            if (free < 15) {
                fifo_commit();
                return;
            }
            if (radio_phy_preamble_appendbits) {
                const uint8_t chunk[3] = {0x41, 0x1C,
                    residue_bits(radio_phy_preamble_appendpattern, radio_phy_preamble_appendbits & 0x07)};
                ax5043_fifo_write(chunk, 3);
            }
            if ((ax5043_spi_read(AX5043_FRAMING) & 0x0E) == 0x06 && radio_framing_synclen) {
                const uint8_t bytes = uint8_t((radio_framing_synclen + 7) >> 3);
                uint8_t chunk[6];
                chunk[0] = uint8_t((bytes + 1) * 32 + 1);
                chunk[1] = uint8_t(radio_framing_syncflags | ((radio_framing_synclen & 0x07) ? 0x04 : 0x00));
                for (uint8_t i = 0; i < bytes && i < 4; ++i)
                    chunk[2 + i] = radio_framing_syncword[i];
                ax5043_fifo_write(chunk, uint8_t(2 + (bytes < 4 ? bytes : 4)));
            }
            radio_trxstate = 12;
            radio_txbuffer_cnt = 0;
            continue;
        }
        if (radio_trxstate == 12) {
            if (free < 11) {
                fifo_commit();
                return;
            }
            uint8_t flags = radio_txbuffer_cnt == 0 ? 0x01 : 0x00;
            uint16_t k = uint16_t(free - 3);
            const uint16_t rest = uint16_t(radio_txbuffer_len - radio_txbuffer_cnt);
            if (rest <= k) {
                k = rest;
                flags |= 0x02;
            }
            if (k == 0)
                break;
            uint8_t chunk[3 + 255];
            chunk[0] = 0xE1;
            chunk[1] = uint8_t(k + 1);
            chunk[2] = flags;
            std::memcpy(chunk + 3, radio_txbuffer + radio_txbuffer_cnt, k);
            ax5043_fifo_write(chunk, uint8_t(3 + k > 255 ? 255 : 3 + k));
            radio_txbuffer_cnt = uint16_t(radio_txbuffer_cnt + k);
            if (flags & 0x02)
                break;
            continue;
        }
        return;
    }
    radio_trxstate = 13;
    ax5043_spi_write(AX5043_RADIOEVENTMASK0, 0x01);
    ax5043_spi_write(AX5043_IRQMASK0, 0x40);
    fifo_commit();
}

// --- receive -----------------------------------------------------------------------------

void receive_isr()
{
    // The FIFO holds at most 256 bytes, so a well-behaved chip empties within this many chunks.
    for (unsigned chunks = 0; chunks < 256 && (ax5043_spi_read(AX5043_IRQREQUEST0) & 0x01); ++chunks) {
        uint8_t header;
        ax5043_fifo_read(&header, 1);
        uint8_t len = uint8_t(header >> 5);
        if (len == 7)
            ax5043_fifo_read(&len, 1);
        uint8_t buf[255];
        if (len)
            ax5043_fifo_read(buf, len);
        radio_event& rx = radio_events[EV_RECEIVE];
        switch (header & 0x1F) {
        case 0x01: { // data: flags, then bytes
            if (len < 1)
                break;
            const uint8_t flags = buf[0];
            if (flags & 0x01)
                radio_rxbuffer_len = 0;
            const uint16_t n = uint16_t(len - 1);
            const uint16_t room = uint16_t(sizeof(radio_rxbuffer) - radio_rxbuffer_len);
            const uint16_t copy = n < room ? n : room;
            std::memcpy(radio_rxbuffer + radio_rxbuffer_len, buf + 1, copy);
            radio_rxbuffer_len = uint16_t(radio_rxbuffer_len + copy);
            if (flags & 0x02) {
                ax5043_critical_section lock;
                rx.st.error = 0;
                rx.st.time = swtimer0_curtime();
                swtimer_add_callback(&rx.cb);
            }
            break;
        }
        case 0x10: // timer
            if (len >= 3)
                rx.st.u.rx.timeoffset = int16_t(uint32_t(buf[0]) << 16 | uint32_t(buf[1]) << 8 | buf[2]);
            break;
        case 0x11: // RSSI
            if (len >= 1) {
                rx.st.u.rx.rssi = int16_t(int8_t(buf[0]) - radio_phy_rssioffset);
                radio_events[EV_CHANNELSTATE].st.u.cs.rssi = rx.st.u.rx.rssi;
            }
            break;
        case 0x12: // RF frequency offset
            if (len >= 3)
                rx.st.u.rx.offset = signextend24(uint32_t(buf[0]) << 16 | uint32_t(buf[1]) << 8 | buf[2]);
            break;
        case 0x13: // frequency offset
            if (len >= 2)
                rx.st.u.rx.offset = radio_conv_freq_fromreg(signextend16(uint16_t(buf[0] << 8 | buf[1])));
            break;
        case 0x15: // channel state
            if (len >= 2) {
                radio_events[EV_CHANNELSTATE].st.u.cs.rssi = int16_t(signextend16(uint16_t(buf[0] << 8 | buf[1])));
                radio_events[EV_CHANNELSTATE].st.u.cs.busy = buf[0] >> 7;
            }
            break;
        default:
            break;
        }
    }
}

} // namespace

// --- public ------------------------------------------------------------------------------

void ax5043_enter_critical()
{
    if (g_hooks.ax5043_disable_global_irq)
        g_hooks.ax5043_disable_global_irq();
}

void ax5043_exit_critical()
{
    if (g_hooks.ax5043_enable_global_irq)
        g_hooks.ax5043_enable_global_irq();
}

void ax5043_reg_func(const radio_fn_t* fn)
{
    // Under the previous table's critical section, so an interrupt handler running on its
    // thread never sees a half-copied table.
    const radio_fn_t old = g_hooks;
    if (old.ax5043_disable_global_irq)
        old.ax5043_disable_global_irq();
    g_hooks = fn ? *fn : radio_fn_t{};
    if (old.ax5043_enable_global_irq)
        old.ax5043_enable_global_irq();
}

void ax5043_spi_write(uint16_t reg, uint8_t value)
{
    uint8_t tx[3];
    uint8_t rx[3];
    const uint8_t a = address_bytes(reg, true, tx);
    tx[a] = value;
    spi_frame(tx, rx, uint16_t(a + 1));
}

uint8_t ax5043_spi_read(uint16_t reg)
{
    return uint8_t(spi_read_n(reg, 1));
}

uint16_t ax5043_spi_read16(uint16_t reg)
{
    return uint16_t(spi_read_n(reg, 2));
}

uint32_t ax5043_spi_read24(uint16_t reg)
{
    return spi_read_n(reg, 3);
}

void ax5043_fifo_write(const uint8_t* data, uint8_t n)
{
    uint8_t tx[1 + 255];
    tx[0] = 0xA9;
    std::memcpy(tx + 1, data, n);
    if (g_hooks.spi_cs_set)
        g_hooks.spi_cs_set(0);
    if (g_hooks.spi_tx)
        g_hooks.spi_tx(tx, uint16_t(n + 1));
    if (g_hooks.spi_cs_set)
        g_hooks.spi_cs_set(1);
}

void ax5043_fifo_read(uint8_t* data, uint8_t n)
{
    uint8_t tx[1 + 255] = {0x29};
    uint8_t rx[1 + 255];
    spi_frame(tx, rx, uint16_t(n + 1));
    std::memcpy(data, rx + 1, n);
}

uint8_t ax5043_reset()
{
    ax5043_spi_write(AX5043_PWRMODE, 0x80);
    ax5043_spi_write(AX5043_PWRMODE, 0x00);
    if (ax5043_spi_read(AX5043_REVISION) != 0x51)
        return 1;
    ax5043_spi_write(AX5043_SCRATCH, 0x55);
    if (ax5043_spi_read(AX5043_SCRATCH) != 0x55)
        return 2;
    ax5043_spi_write(AX5043_SCRATCH, 0xAA);
    if (ax5043_spi_read(AX5043_SCRATCH) != 0xAA)
        return 2;
    const auto line = [] { return g_hooks.ax5043_get_irq_pin_state && g_hooks.ax5043_get_irq_pin_state(); };
    ax5043_spi_write(AX5043_PINFUNCIRQ, 0x01);
    bool ok = line();
    ax5043_spi_write(AX5043_PINFUNCIRQ, 0x00);
    ok = ok && !line();
    ax5043_spi_write(AX5043_PINFUNCIRQ, 0x03);
    if (!ok) {
        ax5043_spi_write(AX5043_PINFUNCIRQ, 0x02);
        return 3;
    }
    if (g_hooks.ax5043_enable_pin_irq)
        g_hooks.ax5043_enable_pin_irq();
    ax5043_spi_write(AX5043_PINFUNCIRQ, 0x03);
    return 0;
}

void ax5043_off()
{
    ax5043_spi_write(AX5043_IRQMASK0, 0x00);
    ax5043_spi_write(AX5043_IRQMASK1, 0x00);
    ax5043_spi_write(AX5043_PWRMODE, 0x05);
    ax5043_spi_write(AX5043_LPOSCCONFIG, 0x00);
    radio_trxstate = 0;
    ax5043_spi_write(AX5043_PWRMODE, 0x00);
}

uint8_t radio_init()
{
    radio_mode = RADIO_MODE_UNINIT;
    {
        ax5043_critical_section lock;
        remove_all_events();
        setup_events();
    }
    radio_curchannel = 0;
    radio_curfreqoffset = 0;
    radio_trxstate = 0;
    if (ax5043_reset()) {
        if (g_hooks.ax5043_enable_pin_irq)
            g_hooks.ax5043_enable_pin_irq();
        return RADIO_ERR_NOCHIP;
    }
    init_registers();
    ax5043_set_registers_tx();
    ax5043_spi_write(AX5043_PLLLOOP, 0x09);
    ax5043_spi_write(AX5043_PLLCPI, 0x08);
    ax5043_spi_write(AX5043_PWRMODE, 0x05);
    ax5043_spi_write(AX5043_MODULATION, 0x08);
    ax5043_spi_write(AX5043_FSKDEV2, 0x00);
    ax5043_spi_write(AX5043_FSKDEV1, 0x00);
    ax5043_spi_write(AX5043_FSKDEV0, 0x00);
    wait_crystal();

    const uint8_t channels = radio_phy_nrchannels ? 1 : 0;
    for (uint8_t ch = 0; ch < channels; ++ch) {
        write_freq_a(radio_phy_chanfreq[ch]);
        radio_trxstate = 5;
        ax5043_spi_write(AX5043_IRQMASK1, 0x10);
        uint8_t start = radio_phy_chanpllrnginit[ch];
        if (start & 0xF0)
            start = ch == 0 ? 8 : radio_phy_chanpllrng[ch - 1];
        ax5043_spi_write(AX5043_PLLRANGINGA, uint8_t(start | 0x10));
        wait_trxstate(6, kRangingWaitMs);
        radio_trxstate = 0;
        ax5043_spi_write(AX5043_IRQMASK1, 0x00);
        radio_phy_chanpllrng[ch] = ax5043_spi_read(AX5043_PLLRANGINGA);
    }

    ax5043_spi_write(AX5043_PWRMODE, 0x00);
    init_registers();
    ax5043_set_registers_rx();
    ax5043_spi_write(AX5043_PLLRANGINGA, radio_phy_chanpllrng[0] & 0x0F);
    write_freq_a(radio_phy_chanfreq[0]);
    radio_mode = RADIO_MODE_OFF;
    for (uint8_t ch = 0; ch < channels; ++ch)
        if (radio_phy_chanpllrng[ch] & 0x20)
            return RADIO_ERR_RANGING;
    return RADIO_ERR_NOERROR;
}

uint8_t radio_set_mode(uint8_t mode)
{
    if (mode == radio_mode)
        return RADIO_ERR_NOERROR;
    if (mode != RADIO_MODE_OFF && mode != RADIO_MODE_ASYNC_TRANSMIT && mode != RADIO_MODE_ASYNC_RECEIVE)
        return RADIO_ERR_NOTSUPPORTED;
    if (radio_mode == RADIO_MODE_UNINIT) {
        const uint8_t r = radio_init();
        if (r)
            return r;
    } else {
        ax5043_off();
    }
    radio_mode = RADIO_MODE_OFF;
    remove_all_events();
    radio_syncstate = 0;
    switch (mode) {
    case RADIO_MODE_ASYNC_TRANSMIT:
        radio_mode = mode;
        radio_ack_seqnr = 0xFF;
        init_registers_tx();
        break;
    case RADIO_MODE_ASYNC_RECEIVE:
        radio_mode = mode;
        radio_ack_seqnr = 0xFF;
        init_registers_rx();
        receiver_on_continuous();
        break;
    default:
        break;
    }
    return RADIO_ERR_NOERROR;
}

uint8_t radio_transmit(const radio_address* destination, const uint8_t* data, uint16_t n, bool padding)
{
    if (radio_mode == RADIO_MODE_ASYNC_TRANSMIT) {
        if (radio_syncstate)
            return RADIO_ERR_BUSY;
    } else if (radio_mode == RADIO_MODE_ASYNC_RECEIVE) {
        if (radio_syncstate)
            return RADIO_ERR_BUSY;
        ax5043_spi_write(AX5043_IRQMASK0, 0x00);
        ax5043_spi_write(AX5043_IRQMASK1, 0x00);
        ax5043_spi_write(AX5043_PWRMODE, 0x05);
        ax5043_spi_write(AX5043_FIFOSTAT, 0x03);
        // The modem supply must drop before the transmitter is set up; a chip that keeps it
        // up is treated as busy rather than waited on for ever.
        unsigned waited = 0;
        while (ax5043_spi_read(AX5043_POWSTAT) & 0x08) {
            if (waited++ >= kPowstatWaitMs)
                return RADIO_ERR_BUSY;
            swtimer_sleep_ms(1);
        }
        init_registers_tx();
    } else {
        return RADIO_ERR_NOTSUPPORTED;
    }
    ax5043_critical_section lock;
    radio_ack_count = radio_framing_ack_retransmissions;
    ++radio_ack_seqnr;
    const uint32_t len = uint32_t(radio_framing_maclen) + (padding ? 4u * n : n);
    if (len + radio_framing_swcrclen > kTxBufferSize)
        return RADIO_ERR_INVALID;
    std::memset(radio_txbuffer, 0, radio_framing_maclen);
    uint8_t* p = radio_txbuffer + radio_framing_maclen;
    if (padding) {
        for (uint16_t i = 0; i < n; ++i)
            for (int shift = 6; shift >= 0; shift -= 2) {
                const uint8_t pair = uint8_t((data[i] >> shift) & 0x03);
                *p++ = uint8_t(0x77 | ((pair & 0x02) ? 0x80 : 0) | ((pair & 0x01) ? 0x08 : 0));
            }
    } else if (n) {
        std::memcpy(p, data, n);
    }
    if (radio_framing_ack_seqnrpos < 0xFF && radio_framing_ack_seqnrpos < len)
        radio_txbuffer[radio_framing_ack_seqnrpos] = radio_ack_seqnr;
    if (radio_framing_destaddrpos < 0xFF && destination)
        for (uint8_t i = 0; i < radio_framing_addrlen && radio_framing_destaddrpos + i < len; ++i)
            radio_txbuffer[radio_framing_destaddrpos + i] = destination->addr[i];
    if (radio_framing_sourceaddrpos < 0xFF)
        for (uint8_t i = 0; i < radio_framing_addrlen && radio_framing_sourceaddrpos + i < len; ++i)
            radio_txbuffer[radio_framing_sourceaddrpos + i] = radio_localaddr.addr[i];
    if (radio_framing_lenmask && radio_framing_lenpos < len) {
        uint8_t& b = radio_txbuffer[radio_framing_lenpos];
        b = uint8_t((b & ~radio_framing_lenmask) | ((len - radio_framing_lenoffs) & radio_framing_lenmask));
    }
    uint16_t total = uint16_t(len);
    if (radio_framing_swcrclen)
        total = radio_framing_append_crc(radio_txbuffer, total);
    if (radio_phy_pn9)
        pn9_buffer(radio_txbuffer, total, 0x1FF, (ax5043_spi_read(AX5043_ENCODING) & 0x01) ? 0xFF : 0x00);
    radio_txbuffer_len = total;
    radio_txbuffer_cnt = radio_phy_preamble_longlen;
    radio_syncstate = 2;
    prepare_tx();
    return RADIO_ERR_NOERROR;
}

void radio_isr()
{
    ax5043_critical_section lock;
    switch (radio_trxstate) {
    case 1:
        receive_isr();
        break;
    case 3:
        ax5043_spi_write(AX5043_IRQMASK1, 0x00);
        radio_trxstate = 4;
        break;
    case 5:
        ax5043_spi_write(AX5043_IRQMASK1, 0x00);
        radio_trxstate = 6;
        break;
    case 9:
        ax5043_spi_read(AX5043_RADIOEVENTREQ0);
        ax5043_spi_write(AX5043_FIFOSTAT, 0x03);
        ax5043_spi_write(AX5043_IRQMASK1, 0x00);
        ax5043_spi_write(AX5043_IRQMASK0, 0x08);
        radio_trxstate = 10;
        if ((ax5043_spi_read(AX5043_MODULATION) & 0x0F) == 9) {
            const uint8_t fourfsk[4] = {0xE1, 0x02, 0x01, 0x11};
            ax5043_fifo_write(fourfsk, 4);
        }
        transmit_filler();
        ax5043_spi_write(AX5043_PWRMODE, 0x0D);
        take_time_anchor();
        queue_event(EV_TRANSMITSTART, 0);
        break;
    case 10:
    case 11:
    case 12:
        transmit_filler();
        break;
    case 13:
        ax5043_spi_read(AX5043_RADIOEVENTREQ0);
        if ((ax5043_spi_read(AX5043_RADIOSTATE) & 0x0F) == 0) {
            ax5043_spi_write(AX5043_RADIOEVENTMASK0, 0x00);
            if (radio_mode == RADIO_MODE_ASYNC_RECEIVE) {
                init_registers_rx();
                receiver_on_continuous();
            } else {
                ax5043_off();
            }
            radio_syncstate = 0;
            take_time_anchor();
            queue_event(EV_TRANSMITEND, 0);
        }
        break;
    default:
        ax5043_spi_write(AX5043_IRQMASK0, 0x00);
        ax5043_spi_write(AX5043_IRQMASK1, 0x00);
        break;
    }
}

uint8_t radio_set_channel(uint8_t channel)
{
    if (channel >= radio_phy_nrchannels || channel >= 1)
        return RADIO_ERR_INVALID;
    ax5043_critical_section lock;
    radio_curchannel = channel;
    const uint8_t rng = radio_phy_chanpllrng[channel];
    if (rng & 0x20)
        return RADIO_ERR_RANGING;
    const uint32_t f = radio_phy_chanfreq[channel] + uint32_t(radio_curfreqoffset);
    const uint8_t loop = ax5043_spi_read(AX5043_PLLLOOP);
    const bool to_a = loop & 0x80;
    ax5043_spi_write(to_a ? AX5043_PLLRANGINGA : AX5043_PLLRANGINGB, rng & 0x0F);
    const uint16_t base = to_a ? AX5043_FREQA0 : AX5043_FREQB0;
    // FREQx0 is the lowest byte and sits at the highest address of its set.
    for (int i = 0; i < 4; ++i)
        ax5043_spi_write(uint16_t(base - i), uint8_t(f >> (8 * i)));
    ax5043_spi_write(AX5043_PLLLOOP, loop ^ 0x80);
    return RADIO_ERR_NOERROR;
}

void radio_set_local_address(const radio_address_mask* addr)
{
    radio_localaddr = *addr;
    setaddrregs();
}

uint8_t radio_get_mode()
{
    return radio_mode;
}

uint8_t radio_get_trxstate()
{
    ax5043_critical_section lock;
    return radio_trxstate;
}

uint8_t radio_get_syncstate()
{
    return radio_syncstate;
}

uint32_t radio_get_xtal_failures()
{
    return radio_xtal_failures;
}
