// The AX5043 driver on the simulated chip: what each frame kind puts on the air, the pin
// registers after a send, band, antenna and power choices, the failures of initialisation and
// transmission, and the interrupt poller's lifecycle.

#include "Ax5043Station.h"
#include "downlink_frames.h"

#include <QtTest>

#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace {

// A chip select with a device that answers every byte with 0.
class SilentDevice : public SimSpiDevice {
public:
    uint8_t exchange(uint8_t) override { return 0; }
};

Bytes padded(const Bytes& frame)
{
    Bytes out;
    for (uint8_t b : frame)
        for (int shift = 6; shift >= 0; shift -= 2) {
            const int pair = (b >> shift) & 3;
            out.push_back(uint8_t(0x77 | (pair & 2 ? 0x80 : 0) | (pair & 1 ? 0x08 : 0)));
        }
    return out;
}

Bytes frame36(uint8_t seed)
{
    Bytes f(36);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = uint8_t(seed + i * 29);
    return f;
}

uint32_t word_for(uint32_t hz)
{
    return radio_conv_freq_fromhz(int32_t(hz)) + (hz <= 800000000u ? 18 : 34);
}

} // namespace

class TestRfAx5043 : public QObject {
    Q_OBJECT

private slots:
    void dbpsk_frames_on_air_data();
    void dbpsk_frames_on_air();
    void psk_frames_on_air_data();
    void psk_frames_on_air();
    void band_and_antenna_data();
    void band_and_antenna();
    void power_codes_data();
    void power_codes();
    void set_freq_offsets_data();
    void set_freq_offsets();
    void init_refusals_data();
    void init_refusals();
    void no_chip_on_cs1();
    void reentrant_init_is_busy();
    void unknown_phy_goes_out_from_receive();
    void stuck_modem_supply_fails_after_100_ms();
    void never_ending_packet_times_out_then_next_is_sent();
    void power_pulse_fails_that_send_only();
    void one_poller_per_process();
};

void TestRfAx5043::dbpsk_frames_on_air_data()
{
    QTest::addColumn<int>("kind"); // 0 autocorrection, 1 D v4, 2 D v5, 3 E v5, 4 any 36 bytes
    QTest::addColumn<int>("phy");
    QTest::addColumn<uint>("freq");
    QTest::newRow("autocorrection, 50 bit/s") << 0 << int(UL_DBPSK_50_PROT_D) << 868800000u;
    QTest::newRow("autocorrection, 400 bit/s at 458 MHz") << 0 << int(UL_DBPSK_400_PROT_D) << 458000000u;
    QTest::newRow("D v4, 3200 bit/s at 916 MHz") << 1 << int(UL_DBPSK_3200_PROT_D) << 916000000u;
    QTest::newRow("D v5, 25600 bit/s") << 2 << int(UL_DBPSK_25600_PROT_D) << 868800000u;
    QTest::newRow("E v5, 400 bit/s") << 3 << int(UL_DBPSK_400_PROT_E) << 868800000u;
    QTest::newRow("E v5, 25600 bit/s") << 3 << int(UL_DBPSK_25600_PROT_E) << 864000000u;
}

void TestRfAx5043::dbpsk_frames_on_air()
{
    QFETCH(int, kind);
    QFETCH(int, phy);
    QFETCH(uint, freq);
    Ax5043Station st;
    const uint8_t payload[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    Bytes frame(DL_FRAME_SIZE);
    bool sent = false;
    const auto code = vexa_phy_channel_t(phy);
    switch (kind) {
    case 0:
        build_autocorrection_frame(0x6E0C22, frame.data());
        sent = st.rf->sendDL_DBPSK_ProtD_autocorrection(0x6E0C22, freq, 10, code);
        break;
    case 1:
        build_prot_d_ver4_frame(0x123456, 0x45, payload, payload[8], frame.data());
        sent = st.rf->sendDL_DBPSK_ProtD_ver4(0x123456, 0x45, payload, payload[8], freq, 10, code);
        break;
    case 2:
        build_prot_d_ver5_frame(0xA1B2C3D4, 7, 3, payload, 0xABCDEF, frame.data());
        sent = st.rf->sendDL_DBPSK_ProtD_ver5(0xA1B2C3D4, 7, 3, payload, 0xABCDEF, freq, 10, code);
        break;
    case 3:
        build_prot_e_ver5_frame(0x11223344, 0xA1B2C3D4, 7, 3, payload, 0xABCDEF, frame.data());
        sent = st.rf->sendDL_DBPSK_ProtE_ver5(0x11223344, 0xA1B2C3D4, 7, 3, payload, 0xABCDEF, freq, 10, code);
        break;
    }
    QVERIFY(sent);
    const auto packets = st.chip->packets();
    QCOMPARE(packets.size(), size_t(1));
    const auto& p = packets[0];
    QCOMPARE(p.sync, Bytes{0xFF});
    QVERIFY(p.preamble.empty());
    QCOMPARE(p.data, padded(frame));
    QCOMPARE(p.recovered, frame);
    QCOMPARE(p.freq_word, word_for(freq));
    for (uint16_t reg : {AX5043_PINFUNCPWRAMP, AX5043_PINFUNCDATA, AX5043_PINFUNCDCLK})
        QCOMPARE(int(st.chip->reg(reg)), 0);
    QVERIFY(!st.rf->rf_busy());
    QVERIFY(!st.rf->transmitting());
    QCOMPARE(st.rf->state(), STATE_TX);
}

void TestRfAx5043::psk_frames_on_air_data()
{
    QTest::addColumn<int>("phy");
    QTest::addColumn<int>("len");
    QTest::addColumn<uint>("freq");
    QTest::addColumn<uint>("carrier");
    QTest::newRow("PSK 200, full payload") << int(UL_PSK_200) << 128 << 868800000u << 868800000u;
    QTest::newRow("PSK 5000 at 864 MHz, short") << int(UL_PSK_5000) << 5 << 864000000u << 864000000u;
    QTest::newRow("PSK 500 at 446 MHz, empty") << int(UL_PSK_500) << 0 << 446000000u << 446000000u;
    QTest::newRow("FASTDL: 1 MHz up") << int(UL_PSK_FASTDL) << 20 << 868800000u << 869800000u;
}

void TestRfAx5043::psk_frames_on_air()
{
    QFETCH(int, phy);
    QFETCH(int, len);
    QFETCH(uint, freq);
    QFETCH(uint, carrier);
    Ax5043Station st;
    Bytes payload(static_cast<size_t>(len));
    for (int i = 0; i < len; ++i)
        payload[size_t(i)] = uint8_t(i * 7 + 3);
    QVERIFY(st.rf->sendDL_PSK(0x12345678u, 0xA1, payload.data(), uint8_t(len), freq, 0, vexa_phy_channel_t(phy)));
    const auto packets = st.chip->packets();
    QCOMPARE(packets.size(), size_t(1));
    Bytes expected{uint8_t(len + 6), 0x6F, 0x34, 0x56, 0x78, 0xA1};
    expected.insert(expected.end(), payload.begin(), payload.end());
    QCOMPARE(packets[0].data, expected);
    QCOMPARE(packets[0].preamble, Bytes(41, 0x7E));
    QCOMPARE(packets[0].freq_word, word_for(carrier));
    for (uint16_t reg : {AX5043_PINFUNCPWRAMP, AX5043_PINFUNCDATA, AX5043_PINFUNCDCLK})
        QCOMPARE(int(st.chip->reg(reg)), 0);
}

void TestRfAx5043::band_and_antenna_data()
{
    QTest::addColumn<uint>("freq");
    QTest::addColumn<int>("psk");
    QTest::addColumn<int>("dbpsk");
    QTest::addColumn<int>("antenna");
    QTest::newRow("915 MHz") << 915000000u << 3 << 3 << int(SMA);
    QTest::newRow("900000001") << 900000001u << 3 << 3 << int(SMA);
    QTest::newRow("900000000") << 900000000u << 1 << 0 << int(SMA);
    QTest::newRow("868.8 MHz") << 868800000u << 1 << 0 << int(SMA);
    QTest::newRow("865000000") << 865000000u << 1 << 0 << int(SMA);
    QTest::newRow("864999999") << 864999999u << 1 << 0 << int(FILT);
    QTest::newRow("864.0 MHz") << 864000000u << 1 << 0 << int(FILT);
    QTest::newRow("863000001") << 863000001u << 1 << 0 << int(FILT);
    QTest::newRow("863000000") << 863000000u << 1 << 0 << int(SMA);
    QTest::newRow("600000001") << 600000001u << 1 << 0 << int(SMA);
    QTest::newRow("600000000") << 600000000u << 0 << 0 << int(SMA);
    QTest::newRow("599999999") << 599999999u << 0 << 0 << int(PCB);
    QTest::newRow("499999999") << 499999999u << 0 << 2 << int(PCB);
    QTest::newRow("458 MHz") << 458000000u << 0 << 2 << int(PCB);
    QTest::newRow("450000001") << 450000001u << 0 << 2 << int(PCB);
    QTest::newRow("450000000") << 450000000u << 0 << 0 << int(PCB);
    QTest::newRow("446 MHz") << 446000000u << 0 << 0 << int(PCB);
}

void TestRfAx5043::band_and_antenna()
{
    QFETCH(uint, freq);
    QFETCH(int, psk);
    QFETCH(int, dbpsk);
    QFETCH(int, antenna);
    const auto b = rf_ax5043::band_rules(freq);
    QCOMPARE(int(b.psk_band), psk);
    QCOMPARE(int(b.dbpsk_band), dbpsk);
    QCOMPARE(int(b.antenna), antenna);
}

void TestRfAx5043::power_codes_data()
{
    QTest::addColumn<int>("power");
    QTest::addColumn<int>("antenna");
    QTest::addColumn<int>("txpwr");
    QTest::addColumn<int>("dclk");
    QTest::addColumn<int>("cfga");
    QTest::newRow("0 dBm on SMA") << 0 << int(SMA) << 110 << 0 << 1;
    QTest::newRow("-20 dBm on SMA") << -20 << int(SMA) << 21 << 0 << 1;
    QTest::newRow("-19 dBm on SMA") << -19 << int(SMA) << 21 << 0 << 1;
    QTest::newRow("0 dBm on PCB") << 0 << int(PCB) << 57 << 1 << 2;
    QTest::newRow("-13 dBm on PCB") << -13 << int(PCB) << 21 << 1 << 2;
    QTest::newRow("26 dBm on FILT") << 26 << int(FILT) << 2400 << 0 << 1;
    QTest::newRow("29 dBm wraps on SMA") << 29 << int(SMA) << 21 << 0 << 1;
}

void TestRfAx5043::power_codes()
{
    QFETCH(int, power);
    QFETCH(int, antenna);
    QFETCH(int, txpwr);
    QFETCH(int, dclk);
    QFETCH(int, cfga);
    Ax5043Station st;
    st.rf->SetModeAndPower(int8_t(power), TX, rf_antenna_t(antenna), true);
    QCOMPARE(int(st.rf->pins().txpwr), txpwr);
    QCOMPARE(int(st.rf->pins().dclk), dclk);
    QCOMPARE(int(st.rf->pins().cfga), cfga);
    QCOMPARE(int(st.rf->pins().data), 1);
    QCOMPARE(int(st.rf->pins().pwramp), 1);
    QCOMPARE(int(st.rf->pins().sysclk), 0);
    QCOMPARE(int(st.rf->pins().antsel), 0);
    st.rf->SetModeAndPower(int8_t(power), RX, SMA, true);
    QCOMPARE(int(st.rf->pins().txpwr), txpwr);
    QCOMPARE(int(st.rf->pins().data), 0);
    QCOMPARE(int(st.rf->pins().pwramp), 0);
    QCOMPARE(int(st.rf->pins().cfga), 1);
}

void TestRfAx5043::set_freq_offsets_data()
{
    QTest::addColumn<uint>("freq");
    QTest::addColumn<int>("offset");
    QTest::newRow("800000000") << 800000000u << 18;
    QTest::newRow("800000001") << 800000001u << 34;
    QTest::newRow("446 MHz") << 446000000u << 18;
    QTest::newRow("868.8 MHz") << 868800000u << 34;
}

void TestRfAx5043::set_freq_offsets()
{
    QFETCH(uint, freq);
    QFETCH(int, offset);
    Ax5043Station st;
    st.rf->SetFreq(freq);
    QCOMPARE(radio_phy_chanfreq[0], radio_conv_freq_fromhz(int32_t(freq)) + uint32_t(offset));
}

void TestRfAx5043::init_refusals_data()
{
    QTest::addColumn<int>("phy");
    QTest::newRow("UL_DBPSK_50_PROT_C") << int(UL_DBPSK_50_PROT_C);
    QTest::newRow("UL_DBPSK_400_PROT_C") << int(UL_DBPSK_400_PROT_C);
    QTest::newRow("UL_CARRIER") << int(UL_CARRIER);
    QTest::newRow("DL_DBPSK_100H_PROT_D") << int(DL_DBPSK_100H_PROT_D);
    QTest::newRow("OSC_CAL") << int(OSC_CAL);
    QTest::newRow("not a phy") << 77;
}

void TestRfAx5043::init_refusals()
{
    QFETCH(int, phy);
    Ax5043Station st;
    QCOMPARE(st.rf->Init(vexa_phy_channel_t(phy), 0, 868800000u, true), ERR);
    QCOMPARE(QString(rf_ax5043::err_to_str(ERR)), QString("some error"));
    QVERIFY(!st.rf->rf_busy());
    const Bytes frame = frame36(1);
    QVERIFY(!st.rf->sendDL_DBPSK_frame(frame.data(), 868800000u, 0, vexa_phy_channel_t(phy)));
    QVERIFY(st.chip->packets().empty());
    // The chip's power was switched on (GPIO 5 low) for the attempt.
    QCOMPARE(st.worker->level(5), low);
}

void TestRfAx5043::no_chip_on_cs1()
{
    Ax5043Station st(50, false);
    SilentDevice silent;
    st.worker->attach_device(CS1, &silent);
    QCOMPARE(st.rf->Init(UL_DBPSK_400_PROT_D, 0, 868800000u, true), ERR);
    QVERIFY(!st.rf->rf_busy());
    st.worker->detach_device(&silent);
}

void TestRfAx5043::reentrant_init_is_busy()
{
    FastDriverClock clock;
    Ax5043Station st;
    st.chip->set_xtal_held_off(true);
    vexa_status_t inner = OK;
    int calls = 0;
    rf_ax5043* rf = st.rf.get();
    st.chip->set_access_hook([&](bool write, uint16_t address, uint8_t) {
        if (write && address == AX5043_IRQMASK1 && calls++ == 0)
            inner = rf->Init(UL_DBPSK_400_PROT_D, 0, 868800000u, true);
    });
    st.rf->Init(UL_DBPSK_400_PROT_D, 0, 868800000u, true);
    st.chip->set_access_hook({});
    QCOMPARE(inner, ERR_RF_BUSY);
    QCOMPARE(QString(rf_ax5043::err_to_str(inner)), QString("rf busy"));
    QVERIFY(!st.rf->rf_busy());
}

void TestRfAx5043::unknown_phy_goes_out_from_receive()
{
    Ax5043Station st;
    const uint8_t payload[3] = {1, 2, 3};
    // Code 0 is a receive configuration: the chip receives until the frame goes out.
    QVERIFY(st.rf->sendDL_PSK(0xABCDEF, 0x20, payload, 3, 868800000u, 0, vexa_phy_channel_t(0)));
    const auto packets = st.chip->packets();
    QCOMPARE(packets.size(), size_t(1));
    QCOMPARE(packets[0].data, (Bytes{9, 0x6F, 0xAB, 0xCD, 0xEF, 0x20, 1, 2, 3}));
    QCOMPARE(int(st.chip->power_mode() & 0x0F), 0x09);
    QCOMPARE(st.rf->state(), STATE_RX);
}

void TestRfAx5043::stuck_modem_supply_fails_after_100_ms()
{
    FastDriverClock clock;
    Ax5043Station st;
    st.chip->set_powstat_stuck(true);
    QCOMPARE(st.rf->Init(vexa_phy_channel_t(0), 0, 868800000u, true), OK);
    const uint8_t frame[4] = {0, 0, 1, 0};
    const uint32_t before = FastDriverClock::ms();
    QCOMPARE(st.rf->Transmit(frame, 4, NO_PADDING, BLOCKING), ERR_RF_BUSY);
    const uint32_t waited = FastDriverClock::ms() - before;
    QVERIFY2(waited >= 100 && waited < 200, qPrintable(QString::number(waited)));
    QVERIFY(!st.rf->rf_busy());
    QVERIFY(!st.rf->transmitting());
    QVERIFY(st.chip->packets().empty());
}

void TestRfAx5043::never_ending_packet_times_out_then_next_is_sent()
{
    FastDriverClock clock;
    Ax5043Station st;
    st.chip->set_never_end_packet(true);
    const Bytes frame = frame36(9);
    QVERIFY(!st.rf->sendDL_DBPSK_frame(frame.data(), 868800000u, 0, UL_DBPSK_3200_PROT_D));
    QVERIFY(!st.rf->transmitting());
    QVERIFY(!st.rf->rf_busy());
    QCOMPARE(int(st.chip->power_mode() & 0x0F), 0);
    QCOMPARE(st.chip->aborted_packets(), 1u);
    st.chip->set_never_end_packet(false);
    QVERIFY(st.rf->sendDL_DBPSK_frame(frame.data(), 868800000u, 0, UL_DBPSK_3200_PROT_D));
    QCOMPARE(st.chip->packets().size(), size_t(1));
}

void TestRfAx5043::power_pulse_fails_that_send_only()
{
    FastDriverClock clock;
    Ax5043Station st(1); // real-time air: 5.8 s for this packet
    const Bytes frame = frame36(3);
    bool first = true;
    std::thread sender([&] { first = st.rf->sendDL_DBPSK_frame(frame.data(), 868800000u, 0, UL_DBPSK_50_PROT_D); });
    QTRY_VERIFY_WITH_TIMEOUT(st.chip->transmitting(), 10000);
    // What the station's transceiver initialiser does: power off for 20 ms, then on.
    st.pins->set_pin_state(5, high);
    QTest::qWait(20);
    st.pins->set_pin_state(5, low);
    sender.join();
    QVERIFY(!first);
    QVERIFY(st.chip->packets().empty());
    st.chip.get()->set_never_end_packet(false);
    QVERIFY(st.rf->sendDL_DBPSK_frame(frame.data(), 868800000u, 0, UL_DBPSK_25600_PROT_D));
    QCOMPARE(st.chip->packets().size(), size_t(1));
}

void TestRfAx5043::one_poller_per_process()
{
    QCOMPARE(rf_ax5043::pollers_running(), 0);
    {
        Ax5043Station a;
        QTRY_COMPARE(rf_ax5043::pollers_running(), 1);
        {
            // A second driver (a restarted sender) shares the running poller.
            rf_ax5043 second(a.pins);
            QCOMPARE(rf_ax5043::pollers_running(), 1);
        }
        QCOMPARE(rf_ax5043::pollers_running(), 1);
        const Bytes frame = frame36(4);
        QVERIFY(a.rf->sendDL_DBPSK_frame(frame.data(), 868800000u, 0, UL_DBPSK_25600_PROT_D));
    }
    QCOMPARE(rf_ax5043::pollers_running(), 0);
    Ax5043Station again;
    QTRY_COMPARE(rf_ax5043::pollers_running(), 1);
}

QTEST_GUILESS_MAIN(TestRfAx5043)
#include "test_rf_ax5043.moc"
