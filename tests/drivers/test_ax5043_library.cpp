// The AX5043 radio library on host hooks over the simulated chip, with a clock that moves only
// when the library sleeps: SPI encoding, packet building, checksums and whitening, the software
// timer, chip detection, initialisation failures and the transmit state machine.

#include "SimAx5043Hooks.h"
#include "ax5043.h"

#include <QtTest>

#include <cstring>
#include <vector>

using Bytes = std::vector<uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace {

int32_t g_phy = 0;
Vexa_ax5043_pins_s g_pins;
uint8_t g_psk_band = 1;
uint8_t g_dbpsk_band = 0;

void configure(int32_t phy, uint8_t psk_band, uint8_t dbpsk_band, uint32_t hz)
{
    g_phy = phy;
    g_psk_band = psk_band;
    g_dbpsk_band = dbpsk_band;
    g_pins = Vexa_ax5043_pins_s{};
    ax5043_set_pointers(&g_phy, &g_pins, &g_psk_band, &g_dbpsk_band);
    ax5043_set_constants();
    radio_phy_chanfreq[0] = radio_conv_freq_fromhz(int32_t(hz)) + 34;
}

Bytes frame_of(std::initializer_list<int> v)
{
    Bytes b;
    for (int x : v)
        b.push_back(uint8_t(x));
    return b;
}

// Reference PN9: one bit per step, output bit 0 of the register.
Bytes pn9_bitserial(uint16_t state, size_t bytes)
{
    Bytes out;
    for (size_t i = 0; i < bytes; ++i) {
        uint8_t v = 0;
        for (int bit = 0; bit < 8; ++bit) {
            v = uint8_t(v | ((state & 1) << bit));
            const uint16_t fb = uint16_t((state ^ (state >> 5)) & 1);
            state = uint16_t((state >> 1) | (fb << 8));
        }
        out.push_back(v);
    }
    return out;
}

struct Counter {
    swtimer_callback cb;
    int data;
};
std::vector<int> g_fired;
void record_counter(swtimer_callback* cb)
{
    g_fired.push_back(reinterpret_cast<Counter*>(cb)->data);
}
struct Timer {
    swtimer_desc desc;
    int id;
};
void record_timer(swtimer_callback* cb)
{
    g_fired.push_back(reinterpret_cast<Timer*>(cb)->id);
}

} // namespace

class TestAx5043Library : public QObject {
    Q_OBJECT

private slots:
    void spi_encoding_data();
    void spi_encoding();
    void fifo_read_framing();
    void checksums_data();
    void checksums();
    void pn9_matches_bit_serial_data();
    void pn9_matches_bit_serial();
    void rev8_data();
    void rev8();
    void swtimer_equal_times_in_order();
    void swtimer_event_queued_twice_runs_once();
    void swtimer_wraps_at_32_bits();
    void reset_results_data();
    void reset_results();
    void init_results_data();
    void init_results();
    void crystal_power_cycle_on_third_failed_wait();
    void packet_on_air_data();
    void packet_on_air();
    void transmit_refusals();
    void receive_chunks_reach_status_hook();
};

void TestAx5043Library::spi_encoding_data()
{
    QTest::addColumn<int>("op");        // 0 write, 1 read, 2 read16, 3 read24, 4 fifo write
    QTest::addColumn<int>("address");
    QTest::addColumn<Bytes>("frame");
    QTest::addColumn<int>("value");     // written, or expected from the read
    QTest::newRow("short write") << 0 << 0x02 << frame_of({0x82, 0x05}) << 0x05;
    QTest::newRow("long write") << 0 << 0x10F << frame_of({0xF1, 0x0F, 0x3C}) << 0x3C;
    QTest::newRow("last short address") << 0 << 0x6F << frame_of({0xEF, 0x11}) << 0x11;
    QTest::newRow("first long address") << 0 << 0x70 << frame_of({0xF0, 0x70, 0x22}) << 0x22;
    QTest::newRow("short read") << 1 << 0x01 << frame_of({0x01, 0x00}) << 0xC5;
    QTest::newRow("long read") << 1 << 0x167 << frame_of({0x71, 0x67, 0x00}) << 0x9A;
    QTest::newRow("16-bit read") << 2 << 0x166 << frame_of({0x71, 0x66, 0x00, 0x00}) << 0x0C9A;
    QTest::newRow("24-bit read") << 3 << 0x034 << frame_of({0x34, 0x00, 0x00, 0x00}) << 0x2169F2;
    QTest::newRow("fifo write") << 4 << 0x29 << frame_of({0xA9, 0xE1, 0x02, 0x03}) << 0;
}

void TestAx5043Library::spi_encoding()
{
    QFETCH(int, op);
    QFETCH(int, address);
    QFETCH(Bytes, frame);
    QFETCH(int, value);
    SimAx5043Hooks hooks;
    ax5043_spi_write(0x166, 0x0C);
    ax5043_spi_write(0x167, 0x9A);
    ax5043_spi_write(0x034, 0x21);
    ax5043_spi_write(0x035, 0x69);
    ax5043_spi_write(0x036, 0xF2);
    hooks.clear_frames();
    switch (op) {
    case 0: ax5043_spi_write(uint16_t(address), uint8_t(value)); break;
    case 1: QCOMPARE(int(ax5043_spi_read(uint16_t(address))), value); break;
    case 2: QCOMPARE(int(ax5043_spi_read16(uint16_t(address))), value); break;
    case 3: QCOMPARE(int(ax5043_spi_read24(uint16_t(address))), value); break;
    case 4: ax5043_fifo_write(frame.data() + 1, uint8_t(frame.size() - 1)); break;
    }
    QCOMPARE(hooks.frames().size(), size_t(1));
    QCOMPARE(hooks.frames()[0], frame);
    if (op == 0)
        QCOMPARE(int(hooks.chip().reg(uint16_t(address))), value);
}

void TestAx5043Library::fifo_read_framing()
{
    SimAx5043Hooks hooks;
    hooks.chip().script_rx_fifo({0x31, 0x32, 0x33});
    ax5043_spi_write(AX5043_PWRMODE, 0x09);
    hooks.clear_frames();
    uint8_t got[3] = {0, 0, 0};
    ax5043_fifo_read(got, 3);
    QCOMPARE(hooks.frames()[0], frame_of({0x29, 0, 0, 0}));
    QCOMPARE(Bytes(got, got + 3), frame_of({0x31, 0x32, 0x33}));
}

void TestAx5043Library::checksums_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("msb_first");
    QTest::addColumn<uint>("expected");   // complemented for the reflected CRC
    QTest::newRow("abc") << QByteArray("abc") << false << 0x352441C2u;
    QTest::newRow("check string") << QByteArray("123456789") << false << 0xCBF43926u;
    QTest::newRow("empty") << QByteArray() << false << 0x00000000u;
    QTest::newRow("msb first check string") << QByteArray("123456789") << true << 0x0376E6E7u;
}

void TestAx5043Library::checksums()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, msb_first);
    QFETCH(uint, expected);
    const auto* p = reinterpret_cast<const uint8_t*>(text.constData());
    const uint32_t crc = msb_first ? crc_crc32_msb(p, uint16_t(text.size()), 0xFFFFFFFFu)
                                   : ~crc_crc32(p, uint16_t(text.size()), 0xFFFFFFFFu);
    QCOMPARE(uint(crc), expected);
}

void TestAx5043Library::pn9_matches_bit_serial_data()
{
    QTest::addColumn<int>("seed");
    QTest::newRow("all ones") << 0x1FF;
    QTest::newRow("bit 8 only") << 0x100;
    QTest::newRow("mixed") << 0x0A5;
}

void TestAx5043Library::pn9_matches_bit_serial()
{
    QFETCH(int, seed);
    const size_t n = 600; // longer than the 511-bit period
    Bytes buf(n, 0);
    const uint16_t after = pn9_buffer(buf.data(), uint16_t(n), uint16_t(seed), 0x00);
    QCOMPARE(buf, pn9_bitserial(uint16_t(seed), n));
    QCOMPARE(after, pn9_advance_bits(uint16_t(seed), uint16_t(8 * n)));
    Bytes inverted(n, 0);
    pn9_buffer(inverted.data(), uint16_t(n), uint16_t(seed), 0xFF);
    for (size_t i = 0; i < n; ++i)
        QCOMPARE(uint8_t(inverted[i] ^ 0xFF), buf[i]);
    // Odd bit counts: the same register a bit at a time.
    uint16_t s = uint16_t(seed);
    for (int i = 0; i < 13; ++i) {
        const uint16_t fb = uint16_t((s ^ (s >> 5)) & 1);
        s = uint16_t((s >> 1) | (fb << 8));
    }
    QCOMPARE(pn9_advance_bits(uint16_t(seed), 13), s);
}

void TestAx5043Library::rev8_data()
{
    QTest::addColumn<int>("in");
    QTest::addColumn<int>("out");
    QTest::newRow("01") << 0x01 << 0x80;
    QTest::newRow("0F") << 0x0F << 0xF0;
    QTest::newRow("12") << 0x12 << 0x48;
    QTest::newRow("A5 symmetric") << 0xA5 << 0xA5;
    QTest::newRow("00") << 0x00 << 0x00;
}

void TestAx5043Library::rev8()
{
    QFETCH(int, in);
    QFETCH(int, out);
    QCOMPARE(int(::rev8(uint8_t(in))), out);
}

void TestAx5043Library::swtimer_equal_times_in_order()
{
    SimAx5043Hooks hooks(1000);
    g_fired.clear();
    Timer t[4] = {{{{nullptr, record_timer}, 0}, 1}, {{{nullptr, record_timer}, 0}, 2},
        {{{nullptr, record_timer}, 0}, 3}, {{{nullptr, record_timer}, 0}, 4}};
    ScheduleTask(&t[0].desc, record_timer, false, 1005);
    ScheduleTask(&t[1].desc, record_timer, false, 1003);
    ScheduleTask(&t[2].desc, record_timer, false, 1005);
    ScheduleTask(&t[3].desc, record_timer, true, 5);
    QCOMPARE(int(swtimer_runcallbacks()), 0);
    hooks.set_now_ms(1004);
    QCOMPARE(int(swtimer_runcallbacks()), 1);
    hooks.set_now_ms(1005);
    QCOMPARE(int(swtimer_runcallbacks()), 3);
    QCOMPARE(g_fired, (std::vector<int>{2, 1, 3, 4}));
    QVERIFY(!CheckTask(&t[0].desc));
}

void TestAx5043Library::swtimer_event_queued_twice_runs_once()
{
    SimAx5043Hooks hooks;
    g_fired.clear();
    Counter a{{nullptr, record_counter}, 1};
    Counter b{{nullptr, record_counter}, 10};
    swtimer_add_callback(&a.cb);
    swtimer_add_callback(&b.cb);
    a.data = 2;
    swtimer_add_callback(&a.cb);
    QCOMPARE(int(swtimer_runcallbacks()), 2);
    QCOMPARE(g_fired, (std::vector<int>{10, 2}));
    // Removing a descriptor takes it out of whichever list holds it.
    Timer t{{{nullptr, record_timer}, 0}, 7};
    ScheduleTask(&t.desc, record_timer, true, 0);
    QVERIFY(CheckTask(&t.desc));
    QCOMPARE(swtimer_remove(&t.desc), 1u);
    QCOMPARE(swtimer_remove(&t.desc), 0u);
    QCOMPARE(hooks.critical_depth(), 0);
}

void TestAx5043Library::swtimer_wraps_at_32_bits()
{
    SimAx5043Hooks hooks(0xFFFFFFF0u);
    g_fired.clear();
    Timer late{{{nullptr, record_timer}, 0}, 1};
    Timer early{{{nullptr, record_timer}, 0}, 2};
    ScheduleTask(&late.desc, record_timer, true, 0x20);   // due at 0x10 after the wrap
    ScheduleTask(&early.desc, record_timer, true, 0x08);  // due before the wrap
    hooks.set_now_ms(0xFFFFFFF8u);
    QCOMPARE(int(swtimer_runcallbacks()), 1);
    hooks.set_now_ms(0x0000000Fu);
    QCOMPARE(int(swtimer_runcallbacks()), 0);
    hooks.set_now_ms(0x00000010u);
    QCOMPARE(int(swtimer_runcallbacks()), 1);
    QCOMPARE(g_fired, (std::vector<int>{2, 1}));
}

void TestAx5043Library::reset_results_data()
{
    QTest::addColumn<int>("revision");
    QTest::addColumn<int>("scratch_answer"); // -1: the chip's own
    QTest::addColumn<int>("irq_stuck");
    QTest::addColumn<int>("result");
    QTest::newRow("chip found") << 0x51 << -1 << -1 << 0;
    QTest::newRow("wrong revision") << 0x50 << -1 << -1 << 1;
    QTest::newRow("scratch not kept") << 0x51 << 0x00 << -1 << 2;
    QTest::newRow("interrupt line stuck low") << 0x51 << -1 << 0 << 3;
    QTest::newRow("interrupt line stuck high") << 0x51 << -1 << 1 << 3;
}

void TestAx5043Library::reset_results()
{
    QFETCH(int, revision);
    QFETCH(int, scratch_answer);
    QFETCH(int, irq_stuck);
    QFETCH(int, result);
    SimAx5043Hooks hooks;
    hooks.chip().set_revision(uint8_t(revision));
    hooks.chip().set_irq_stuck(irq_stuck);
    if (scratch_answer >= 0)
        hooks.script_read(AX5043_SCRATCH, {uint8_t(scratch_answer)});
    QCOMPARE(int(ax5043_reset()), result);
    const auto w = hooks.writes();
    QVERIFY(w.size() >= 2);
    QCOMPARE(w[0], (SimAx5043Hooks::Write{AX5043_PWRMODE, 0x80}));
    QCOMPARE(w[1], (SimAx5043Hooks::Write{AX5043_PWRMODE, 0x00}));
    if (result == 3)
        QCOMPARE(int(hooks.chip().reg(AX5043_PINFUNCIRQ)), 0x02);
    if (result == 0)
        QCOMPARE(int(hooks.chip().reg(AX5043_PINFUNCIRQ)), 0x03);
}

void TestAx5043Library::init_results_data()
{
    QTest::addColumn<bool>("powered");
    QTest::addColumn<bool>("ranging_fails");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("mode");
    QTest::newRow("ready") << true << false << 0 << 1;
    QTest::newRow("no chip: every read 0") << false << false << 5 << 0;
    QTest::newRow("ranging fails") << true << true << 6 << 1;
}

void TestAx5043Library::init_results()
{
    QFETCH(bool, powered);
    QFETCH(bool, ranging_fails);
    QFETCH(int, result);
    QFETCH(int, mode);
    SimAx5043Hooks hooks;
    configure(24, 1, 0, 868800000);
    hooks.chip().set_powered(powered);
    hooks.chip().set_ranging_fails(ranging_fails);
    QCOMPARE(int(radio_init()), result);
    QCOMPARE(int(radio_get_mode()), mode);
    QCOMPARE(hooks.critical_depth(), 0);
    if (result == 0) {
        // The crystal and ranging waits were served by the interrupt, not run out.
        QVERIFY2(hooks.now_ms() < 100, qPrintable(QString::number(hooks.now_ms())));
        QCOMPARE(int(hooks.chip().reg(AX5043_PLLRANGINGA)), int(radio_phy_chanpllrnginit[0] & 0x0F));
        QCOMPARE(int(hooks.chip().power_mode() & 0x0F), 0);
    }
}

void TestAx5043Library::crystal_power_cycle_on_third_failed_wait()
{
    SimAx5043Hooks hooks;
    configure(24, 1, 0, 868800000);
    hooks.chip().set_xtal_held_off(true);
    radio_init();
    // Three 1000 ms waits ran out before the power was cut once, off then on.
    QCOMPARE(hooks.power_calls(), (std::vector<bool>{false, true}));
    QVERIFY2(hooks.now_ms() >= 3000, qPrintable(QString::number(hooks.now_ms())));
    QCOMPARE(radio_get_xtal_failures(), 0u);
    // A crystal that starts again needs no power cut.
    hooks.chip().set_xtal_held_off(false);
    const uint32_t before = hooks.now_ms();
    QCOMPARE(int(radio_init()), 0);
    QCOMPARE(hooks.power_calls().size(), size_t(2));
    QVERIFY(hooks.now_ms() - before < 100);
}

void TestAx5043Library::packet_on_air_data()
{
    QTest::addColumn<int>("phy");
    QTest::addColumn<Bytes>("frame");
    QTest::addColumn<bool>("padding");
    QTest::addColumn<Bytes>("preamble");
    QTest::addColumn<Bytes>("sync");
    QTest::addColumn<Bytes>("data");

    QTest::newRow("A5 padded") << 24 << Bytes{0xA5} << true << Bytes{} << Bytes{0xFF}
                               << Bytes{0xF7, 0xF7, 0x7F, 0x7F};
    Bytes frame36(36);
    for (size_t i = 0; i < frame36.size(); ++i)
        frame36[i] = uint8_t(i * 37 + 1);
    Bytes padded;
    for (uint8_t b : frame36)
        for (int shift = 6; shift >= 0; shift -= 2) {
            const int pair = (b >> shift) & 3;
            padded.push_back(uint8_t(0x77 | (pair & 2 ? 0x80 : 0) | (pair & 1 ? 0x08 : 0)));
        }
    QTest::newRow("36 bytes padded to 144") << 21 << frame36 << true << Bytes{} << Bytes{0xFF} << padded;
    Bytes psk(132);
    for (size_t i = 0; i < psk.size(); ++i)
        psk[i] = uint8_t(255 - i);
    Bytes psk_data{0x86, 0x6F};
    psk_data.insert(psk_data.end(), psk.begin(), psk.end());
    QTest::newRow("PSK 132 bytes") << 22 << psk << false << Bytes(41, 0x7E) << Bytes{} << psk_data;
}

void TestAx5043Library::packet_on_air()
{
    QFETCH(int, phy);
    QFETCH(Bytes, frame);
    QFETCH(bool, padding);
    QFETCH(Bytes, preamble);
    QFETCH(Bytes, sync);
    QFETCH(Bytes, data);
    SimAx5043Hooks hooks;
    configure(phy, 1, 0, 868800000);
    QCOMPARE(int(radio_init()), 0);
    QCOMPARE(int(radio_set_mode(RADIO_MODE_ASYNC_TRANSMIT)), 0);
    const radio_address dest{{0x6F, 0x6F, 0x6F, 0x00}};
    QCOMPARE(int(radio_transmit(&dest, frame.data(), uint16_t(frame.size()), padding)), 0);
    QVERIFY(hooks.run_until([&] { return !hooks.chip().packets().empty() && radio_get_syncstate() == 0; }, 20000));
    const auto p = hooks.chip().packets().at(0);
    QCOMPARE(p.preamble, preamble);
    QCOMPARE(p.sync, sync);
    QCOMPARE(p.data, data);
    if (padding)
        QCOMPARE(p.recovered, frame);
    // Started and ended events reached the host; the chip is off again.
    hooks.run_until([&] { return hooks.statuses().size() >= 2; }, 10);
    const auto st = hooks.statuses();
    QCOMPARE(st.size(), size_t(2));
    QCOMPARE(int(st[0].status), int(RADIO_STAT_TRANSMITSTART));
    QCOMPARE(int(st[1].status), int(RADIO_STAT_TRANSMITEND));
    QCOMPARE(int(hooks.chip().power_mode() & 0x0F), 0);
    QCOMPARE(int(radio_get_trxstate()), 0);
    // The channel moved to set B at the start, on the carrier the host gave.
    QVERIFY(p.set_b);
    QCOMPARE(p.freq_word, radio_phy_chanfreq[0]);
    // Air time follows the rate: bits / rate, no shorter.
    const double bits = 8.0 * double(p.preamble.size() + p.sync.size() + p.data.size());
    QVERIFY(double(p.end_us - p.start_us) >= bits / p.bitrate * 1e6);
    QCOMPARE(hooks.critical_depth(), 0);
}

void TestAx5043Library::transmit_refusals()
{
    SimAx5043Hooks hooks;
    configure(24, 1, 0, 868800000);
    const radio_address dest{{0, 0, 0, 0}};
    Bytes big(66, 0x11);
    // Not in a transmit mode.
    QCOMPARE(int(radio_init()), 0);
    QCOMPARE(int(radio_transmit(&dest, big.data(), 1, false)), 1);
    QCOMPARE(int(radio_set_mode(RADIO_MODE_ASYNC_TRANSMIT)), 0);
    QCOMPARE(int(radio_set_mode(3)), 1);
    hooks.clear_frames();
    // 66 bytes with padding are 264 > 260: refused before anything reaches the FIFO.
    QCOMPARE(int(radio_transmit(&dest, big.data(), uint16_t(big.size()), true)), 4);
    for (const auto& f : hooks.frames())
        QVERIFY(f[0] != 0xA9);
    // 65 fit; a second transmit while the first is prepared is busy.
    QCOMPARE(int(radio_transmit(&dest, big.data(), 65, true)), 0);
    QCOMPARE(int(radio_transmit(&dest, big.data(), 1, true)), 2);
    QVERIFY(hooks.run_until([&] { return radio_get_syncstate() == 0; }, 20000));
}

void TestAx5043Library::receive_chunks_reach_status_hook()
{
    SimAx5043Hooks hooks;
    configure(22, 1, 0, 868800000);
    QCOMPARE(int(radio_set_mode(RADIO_MODE_ASYNC_RECEIVE)), 0);
    QCOMPARE(int(hooks.chip().power_mode() & 0x0F), 0x09);
    // RSSI chunk, then a data chunk with start and end: MAC bytes 2, payload 3.
    hooks.chip().script_rx_fifo({0x31, 0x50, 0xE1, 0x06, 0x03, 0x05, 0x6F, 0xAA, 0xBB, 0xCC});
    QVERIFY(hooks.run_until([&] { return !hooks.statuses().empty(); }, 50));
    const radio_status st = hooks.statuses()[0];
    QCOMPARE(int(st.status), int(RADIO_STAT_RECEIVE));
    QCOMPARE(int(st.u.rx.rssi), 0x50 - 0x40);
    QCOMPARE(int(st.u.rx.pktlen), 3);
    // The receiver stays on.
    QCOMPARE(int(hooks.chip().power_mode() & 0x0F), 0x09);
    QCOMPARE(int(radio_get_trxstate()), 1);
}

QTEST_GUILESS_MAIN(TestAx5043Library)
#include "test_ax5043_library.moc"
