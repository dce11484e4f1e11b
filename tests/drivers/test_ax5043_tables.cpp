// Radio configurations of the AX5043: the three register lists, what each phy code writes for
// its band and pins, the synthesizer loop settings, the protocol E phys on the protocol D
// configurations, and the hertz-to-register conversion.

#include "SimAx5043Hooks.h"
#include "ax5043.h"

#include <QtTest>

#include <algorithm>
#include <vector>

using Writes = std::vector<SimAx5043Hooks::Write>;

namespace {

int32_t g_phy = 0;
Vexa_ax5043_pins_s g_pins;
uint8_t g_psk_band = 0;
uint8_t g_dbpsk_band = 0;

void point(int32_t phy, uint8_t psk_band, uint8_t dbpsk_band)
{
    g_phy = phy;
    g_psk_band = psk_band;
    g_dbpsk_band = dbpsk_band;
    g_pins = Vexa_ax5043_pins_s{};
    g_pins.dclk = 1;
    g_pins.data = 1;
    g_pins.cfga = 2;
    g_pins.pwramp = 1;
    g_pins.txpwr = 0x0123;
    ax5043_set_pointers(&g_phy, &g_pins, &g_psk_band, &g_dbpsk_band);
}

template <typename F>
Writes writes_of(F f)
{
    SimAx5043Hooks hooks;
    f();
    return hooks.writes();
}

Writes table_writes(ax5043_table_id id, size_t from)
{
    const ax5043_table t = ax5043_get_table(id);
    Writes w;
    for (size_t i = from; i < t.count; ++i)
        w.push_back({t.addr[i], t.vals[i]});
    return w;
}

Writes pin_writes()
{
    return {{AX5043_PINFUNCSYSCLK, 0}, {AX5043_PINFUNCDCLK, 1}, {AX5043_PINFUNCDATA, 1},
        {AX5043_PINFUNCANTSEL, 0}, {AX5043_TXPWRCOEFFB1, 0x01}, {AX5043_TXPWRCOEFFB0, 0x23},
        {AX5043_MODCFGA, 2}, {AX5043_PINFUNCPWRAMP, 1}};
}

Writes concat(std::initializer_list<Writes> parts)
{
    Writes out;
    for (const Writes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

uint8_t value_in(ax5043_table_id id, uint16_t address)
{
    const ax5043_table t = ax5043_get_table(id);
    for (size_t i = 0; i < t.count; ++i)
        if (t.addr[i] == address)
            return t.vals[i];
    return 0xEE;
}

} // namespace

Q_DECLARE_METATYPE(Writes)

class TestAx5043Tables : public QObject {
    Q_OBJECT

private slots:
    void lists_data();
    void lists();
    void register_sequences_data();
    void register_sequences();
    void protocol_e_uses_protocol_d_configuration_data();
    void protocol_e_uses_protocol_d_configuration();
    void receive_loop_settings_data();
    void receive_loop_settings();
    void constants_per_group_data();
    void constants_per_group();
    void freq_fromhz_data();
    void freq_fromhz();
};

void TestAx5043Tables::lists_data()
{
    QTest::addColumn<int>("table");
    QTest::addColumn<int>("count");
    QTest::addColumn<QVector<int>>("first");
    QTest::addColumn<int>("txrate1");
    const QVector<int> psk{0x010, 0x011, 0x012, 0x018, 0x026};
    const QVector<int> dbpsk{0x010, 0x011, 0x012, 0x026};
    QTest::newRow("PSK 200") << int(TABLE_PSK_200) << 112 << psk << 0x00;
    QTest::newRow("PSK 500") << int(TABLE_PSK_500) << 112 << psk << 0x01;
    QTest::newRow("PSK 5000") << int(TABLE_PSK_5000) << 112 << psk << 0x0C;
    QTest::newRow("PSK FASTDL") << int(TABLE_PSK_FASTDL) << 112 << psk << 0x91;
    QTest::newRow("DBPSK 50") << int(TABLE_DBPSK_50) << 115 << dbpsk << 0x00;
    QTest::newRow("DBPSK 400") << int(TABLE_DBPSK_400) << 115 << dbpsk << 0x04;
    QTest::newRow("DBPSK 3200") << int(TABLE_DBPSK_3200) << 115 << dbpsk << 0x20;
    QTest::newRow("DBPSK 25600") << int(TABLE_DBPSK_25600) << 122
                                 << QVector<int>{0x010, 0x011, 0x012, 0x021, 0x022, 0x023, 0x025, 0x026} << 0x02;
}

void TestAx5043Tables::lists()
{
    QFETCH(int, table);
    QFETCH(int, count);
    QFETCH(QVector<int>, first);
    QFETCH(int, txrate1);
    const ax5043_table t = ax5043_get_table(ax5043_table_id(table));
    QCOMPARE(int(t.count), count);
    for (int i = 0; i < first.size(); ++i)
        QCOMPARE(int(t.addr[i]), first[i]);
    // Ascending, except that DACVALUE1 comes right before DACVALUE0.
    for (size_t i = 1; i < t.count; ++i) {
        if (t.addr[i - 1] == AX5043_DACVALUE1) {
            QCOMPARE(int(t.addr[i]), int(AX5043_DACVALUE0));
            continue;
        }
        if (t.addr[i] == AX5043_DACVALUE1)
            continue;
        QVERIFY2(t.addr[i] > t.addr[i - 1], qPrintable(QString::number(t.addr[i], 16)));
    }
    QCOMPARE(int(value_in(ax5043_table_id(table), AX5043_TXRATE1)), txrate1);
    QCOMPARE(int(value_in(ax5043_table_id(table), AX5043_MODCFGP)), 0xE1);
}

void TestAx5043Tables::register_sequences_data()
{
    QTest::addColumn<int>("phy");
    QTest::addColumn<int>("psk_band");
    QTest::addColumn<int>("dbpsk_band");
    QTest::addColumn<Writes>("registers");
    QTest::addColumn<Writes>("tx");

    const Writes tx_head{{AX5043_XTALCAP, 0x00}, {AX5043_0xF00, 0x0F}, {AX5043_0xF18, 0x06}};
    const Writes set1{{AX5043_PLLLOOP, 0x0B}, {AX5043_PLLCPI, 0x10}, {AX5043_PLLVCODIV, 0x24}};
    const Writes set2{{AX5043_PLLLOOP, 0x07}, {AX5043_PLLCPI, 0x12}, {AX5043_PLLVCODIV, 0x20}};
    const Writes set3{{AX5043_PLLLOOP, 0x09}, {AX5043_PLLCPI, 0x02}, {AX5043_PLLVCODIV, 0x24}};
    const Writes dbpsk_head{{AX5043_MODULATION, 0x04}, {AX5043_ENCODING, 0x03}, {AX5043_FRAMING, 0x06}};

    // 868.8 MHz: PSK band 1, DBPSK band 0. Code 22 is above 3, so the DBPSK band (0) adds nothing.
    QTest::newRow("22 at 868.8 MHz") << 22 << 1 << 0
        << concat({table_writes(TABLE_PSK_200, 0), pin_writes()}) << concat({tx_head, set2});
    // 458 MHz: PSK band 0, DBPSK band 2.
    QTest::newRow("21 at 458 MHz") << 21 << 0 << 2
        << concat({dbpsk_head, table_writes(TABLE_DBPSK_50, 3),
               Writes{{AX5043_PLLVCOI, 0x97}, {AX5043_0xF34, 0x28}}, pin_writes()})
        << concat({tx_head, set1});
    QTest::newRow("3 at 446 MHz") << 3 << 0 << 0
        << concat({table_writes(TABLE_PSK_FASTDL, 0), Writes{{AX5043_PLLVCOI, 0x97}, {AX5043_0xF34, 0x28}},
               pin_writes()})
        << concat({tx_head, set3});
    QTest::newRow("26 at 915 MHz") << 26 << 3 << 3
        << concat({dbpsk_head, table_writes(TABLE_DBPSK_3200, 3), Writes{{AX5043_PLLVCOI, 0x97}}, pin_writes()})
        << concat({tx_head, Writes{{AX5043_PLLVCODIV, 0x20}, {AX5043_PLLLOOP, 0x09}, {AX5043_PLLCPI, 0x02}}});
    // Code 28: its list carries the pin registers, and the pin record writes them again.
    QTest::newRow("28 at 868.8 MHz") << 28 << 1 << 0
        << concat({Writes{{AX5043_MODULATION, 0x04}, {AX5043_ENCODING, 0x03}}, table_writes(TABLE_DBPSK_25600, 2),
               pin_writes()})
        << concat({tx_head, Writes{{AX5043_PLLVCODIV, 0x20}, {AX5043_PLLLOOP, 0x09}, {AX5043_PLLCPI, 0x02}}});
    QTest::newRow("20 has no configuration") << 20 << 1 << 0 << pin_writes() << tx_head;
}

void TestAx5043Tables::register_sequences()
{
    QFETCH(int, phy);
    QFETCH(int, psk_band);
    QFETCH(int, dbpsk_band);
    QFETCH(Writes, registers);
    QFETCH(Writes, tx);
    point(phy, uint8_t(psk_band), uint8_t(dbpsk_band));
    const Writes got = writes_of(ax5043_set_registers);
    QCOMPARE(got.size(), registers.size());
    QVERIFY(got == registers);
    QVERIFY(writes_of(ax5043_set_registers_tx) == tx);
    if (phy == 28) {
        const auto n = std::count_if(got.begin(), got.end(),
            [](const SimAx5043Hooks::Write& w) { return w.address == AX5043_PINFUNCDATA; });
        QCOMPARE(int(n), 2);
    }
}

void TestAx5043Tables::protocol_e_uses_protocol_d_configuration_data()
{
    QTest::addColumn<int>("e");
    QTest::addColumn<int>("d");
    QTest::newRow("30 as 21") << 30 << 21;
    QTest::newRow("31 as 24") << 31 << 24;
    QTest::newRow("32 as 26") << 32 << 26;
    QTest::newRow("33 as 28") << 33 << 28;
}

void TestAx5043Tables::protocol_e_uses_protocol_d_configuration()
{
    QFETCH(int, e);
    QFETCH(int, d);
    for (uint8_t band : {uint8_t(0), uint8_t(2)}) {
        point(d, 0, band);
        radio_phy_preamble_byte = 0;
        ax5043_set_constants();
        const uint32_t freq_d = radio_phy_chanfreq[0];
        const uint8_t sync_d = radio_framing_synclen;
        const Writes reg_d = writes_of(ax5043_set_registers);
        const Writes tx_d = writes_of(ax5043_set_registers_tx);
        point(e, 0, band);
        radio_phy_preamble_byte = 0;
        radio_framing_synclen = 0;
        ax5043_set_constants();
        QCOMPARE(radio_phy_chanfreq[0], freq_d);
        QCOMPARE(radio_framing_synclen, sync_d);
        QCOMPARE(int(radio_phy_preamble_byte), 0xFF);
        QVERIFY(writes_of(ax5043_set_registers) == reg_d);
        QVERIFY(writes_of(ax5043_set_registers_tx) == tx_d);
    }
}

void TestAx5043Tables::receive_loop_settings_data()
{
    QTest::addColumn<int>("phy");
    QTest::addColumn<int>("psk_band");
    QTest::addColumn<Writes>("rx");
    const Writes tail{{AX5043_XTALCAP, 0x00}, {AX5043_0xF00, 0x0F}};
    QTest::newRow("PSK 200 band 1") << 0 << 1
        << concat({Writes{{AX5043_PLLLOOP, 0x07}, {AX5043_PLLCPI, 0x08}, {AX5043_PLLVCODIV, 0x20}, {AX5043_0xF18, 0x06}}, tail});
    QTest::newRow("PSK 200 band 0") << 0 << 0
        << concat({Writes{{AX5043_PLLLOOP, 0x0B}, {AX5043_PLLCPI, 0x10}, {AX5043_PLLVCODIV, 0x24}, {AX5043_0xF18, 0x02}}, tail});
    QTest::newRow("FASTDL band 2") << 3 << 2
        << concat({Writes{{AX5043_PLLLOOP, 0x09}, {AX5043_PLLCPI, 0x01}, {AX5043_PLLVCODIV, 0x24}, {AX5043_0xF18, 0x02}}, tail});
    QTest::newRow("DBPSK band 0: tail only") << 24 << 0 << tail;
}

void TestAx5043Tables::receive_loop_settings()
{
    QFETCH(int, phy);
    QFETCH(int, psk_band);
    QFETCH(Writes, rx);
    point(phy, uint8_t(psk_band), 0);
    QVERIFY(writes_of(ax5043_set_registers_rx) == rx);
}

void TestAx5043Tables::constants_per_group_data()
{
    QTest::addColumn<int>("phy");
    QTest::addColumn<int>("psk_band");
    QTest::addColumn<uint>("chanfreq");
    QTest::addColumn<int>("maclen");
    QTest::addColumn<int>("preamble_len");
    QTest::addColumn<int>("rnginit");
    QTest::newRow("PSK band 0") << 22 << 0 << 287793783u << 2 << 72 << 9;
    QTest::newRow("PSK band 1") << 25 << 1 << 557519793u << 2 << 72 << 10;
    QTest::newRow("DBPSK") << 26 << 0 << 560600993u << 0 << 0 << 10;
}

void TestAx5043Tables::constants_per_group()
{
    QFETCH(int, phy);
    QFETCH(int, psk_band);
    QFETCH(uint, chanfreq);
    QFETCH(int, maclen);
    QFETCH(int, preamble_len);
    QFETCH(int, rnginit);
    point(phy, uint8_t(psk_band), 0);
    ax5043_set_constants();
    QCOMPARE(uint(radio_phy_chanfreq[0]), chanfreq);
    QCOMPARE(int(radio_framing_maclen), maclen);
    QCOMPARE(int(radio_phy_preamble_len), preamble_len);
    QCOMPARE(int(radio_phy_chanpllrnginit[0]), rnginit);
    // A code without a configuration leaves the constants as they are.
    point(50, uint8_t(psk_band), 0);
    radio_framing_maclen = 77;
    ax5043_set_constants();
    QCOMPARE(int(radio_framing_maclen), 77);
}

void TestAx5043Tables::freq_fromhz_data()
{
    QTest::addColumn<int>("hz");
    QTest::addColumn<qint64>("reg");
    QTest::newRow("868.8 MHz") << 868800000 << qint64(560617091);
    QTest::newRow("864.0 MHz") << 864000000 << qint64(557519759);
    QTest::newRow("446.0 MHz") << 446000000 << qint64(287793764);
    QTest::newRow("negative") << -868800000 << qint64(-560617091);
    QTest::newRow("zero") << 0 << qint64(0);
}

void TestAx5043Tables::freq_fromhz()
{
    QFETCH(int, hz);
    QFETCH(qint64, reg);
    QCOMPARE(qint64(int32_t(radio_conv_freq_fromhz(hz))), reg);
    // Never above the exact quotient, and within a few units of it.
    const double exact = double(hz) * double(1 << 24) / 26e6;
    QVERIFY(std::abs(exact - double(reg)) < 40.0);
}

QTEST_GUILESS_MAIN(TestAx5043Tables)
#include "test_ax5043_tables.moc"
