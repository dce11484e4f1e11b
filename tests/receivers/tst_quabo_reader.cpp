// The Quabo reader on the simulated receiver FPGA: a scripted scenario, the status record,
// the LED, and the autocorrection alarm that re-initialises once and writes the configuration
// again after the core's board reset.
#include "NoiseLevels.h"
#include "ReaderStation.h"

#include <QtTest>
#include <cmath>

namespace {
constexpr quint32 UL1 = 868800000;
constexpr int START_MS = 10000;

const char* const SCENARIO = R"(
set firmware 10043
set fft_word 0x0021119A     # board type 1 (Quabo)
at 1500 message low type=D id=0x0A0B0C payload=0102030405060708 rate=50 freq=10 logs2=0x52 rssi=0x100000
at 1500 message low type=D id=0x0A0B0C payload=0102030405060708 rate=50 freq=10 logs2=0x52 rssi=0x080000
at 1500 message low type=E id=0x01020304 payload=0102030405060708 rate=50 crc=bad
at 2100 message low type=E id=0x01020304 payload=1112131415161718 mic=0x010203 rate=3200 freq=5000 logs2=0x52 rssi=0x100000
)";
} // namespace

class TestQuaboReader : public QObject
{
    Q_OBJECT

private slots:
    void scriptedScenario();
    void autocorrectionErrorReinitialisesOnce();
    void unsupportedFirmware();
};

void TestQuaboReader::scriptedScenario()
{
    ReaderStation st(Quabo);
    st.fpga.set_bitrate_mask(0x00070301);
    FpgaScenario sc;
    QString err;
    QVERIFY2(FpgaScenario::parse(QString::fromLatin1(SCENARIO), sc, &err), qPrintable(err));
    st.fpga.play(sc);
    st.start();

    QTRY_COMPARE_WITH_TIMEOUT(st.messages.size(), 2, START_MS + 10000);
    QTRY_VERIFY_WITH_TIMEOUT(st.fpga.scenario_done(), 5000);
    QTest::qWait(500);
    QCOMPARE(st.messages.size(), 2);

    // The Quabo always mirrors (rev_lo) and always takes the bin rule.
    const message_point& d = *st.messages[0];
    QCOMPARE(d.TYPE, Protocol_D);
    QCOMPARE(d.ID, 0x0A0B0Cu);
    QCOMPARE(d.num_of_copies, 2u);
    QCOMPARE(d.bitrate, 50u);
    QCOMPARE(d.FREQ, quint64(UL1 - 10 * 50));
    QVERIFY(std::fabs(d.RSSI - float(20 * std::log10(double(0x100000) / 256) - 210 - 18)) < 0.001f);
    // The board's 50 bit/s spectrum words arrive byte-swapped.
    const double a = NoiseLevels::reverse_bytes(9u << 8) >> 11;
    QVERIFY2(std::fabs(d.NOISE - float(10 * std::log10(1 + a * a) - 210)) < 0.01f, qPrintable(QString::number(d.NOISE)));

    const message_point& e = *st.messages[1];
    QCOMPARE(e.TYPE, Protocol_E);
    QCOMPARE(e.CRYPTO_MIC, 0x010203u);
    QCOMPARE(e.bitrate, 3200u);
    // Frequency number 5000 lies beyond every noise table: read at the table's end.
    QVERIFY(!std::isnan(e.NOISE));
    QVERIFY(std::fabs(e.RSSI - float(20 * std::log10(double(0x100000) / 256) - 210 + 19)) < 0.001f);

    const receiver_info info = st.reader->info();
    QVERIFY(info.active);
    QCOMPARE(info.fpga_info_.firmware_ver, 10043u);
    QCOMPARE(info.fpga_info_.fpga_bs_type, Quabo);
    QCOMPARE(info.fpga_info_.bandwidth1, 51200u);
    QCOMPARE(info.fpga_info_.bandwidth2, 50u * 1024u);
    QCOMPARE(info.fpga_temperature_, -1000.0f);
    QCOMPARE(info.fpga_info_.supported_ul_bitrates_band1,
             (QList<vexa_phy_channel_t>{UL_DBPSK_50_PROT_C, UL_DBPSK_50_PROT_D, UL_DBPSK_400_PROT_D,
                                        UL_DBPSK_50_PROT_E, UL_DBPSK_400_PROT_E, UL_DBPSK_3200_PROT_E}));
    QCOMPARE(info.fpga_info_.supported_ul_bitrates_band2,
             (QList<vexa_phy_channel_t>{UL_DBPSK_400_PROT_D, UL_DBPSK_400_PROT_E, UL_DBPSK_3200_PROT_E}));

    // LED red after start-up (default pins: green 17, red 3).
    QCOMPARE(st.worker->level(3), high);
    QCOMPARE(st.worker->level(17), low);

    st.stop();
    QVERIFY(st.reader->crcFailed() >= 1);
    // No boot pulse from the reader: the Lattice is booted by its pin controller.
    QCOMPARE(st.fpga.boots(), 0);
    // NCO word of 868.8 MHz: (868800000 - 40000) mod 25000 + 40000 = 50000 -> 53687091.
    QCOMPARE(st.fpga.written(0xA8), QByteArray::fromHex("33333303"));
    QCOMPARE(st.fpga.write_count(0xC8), 0);
    QCOMPARE(st.fpga.write_count(0x10), 0);
}

void TestQuaboReader::autocorrectionErrorReinitialisesOnce()
{
    ReaderStation st(Quabo);
    st.fpga.set_firmware(10043, false);
    // What the core does on "EVENT_REBOOT_LATTICE": it resets the board.
    connect(st.reader.get(), &IReceiver::alarm_out, &st,
            [&st](const QString& a) {
                if (a == "EVENT_REBOOT_LATTICE")
                    st.pins->bootArtix();
            },
            Qt::QueuedConnection);
    st.start();
    QTRY_VERIFY_WITH_TIMEOUT(st.reader->info().active, START_MS);
    QCOMPARE(st.fpga.boots(), 0);

    st.alarm("EVENT_AUTOCORR_ERR");
    QTRY_COMPARE_WITH_TIMEOUT(st.fpga.boots(), 1, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(st.fpga.write_count(0xE8, 1) >= 1, 5000);
    QTest::qWait(300);
    QCOMPARE(st.fpga.written(0xE0), QByteArray(1, char(18)));
    QCOMPARE(st.fpga.written(0xB0), QByteArray(1, char(1)));
    QCOMPARE(st.fpga.written(0x70), QByteArray(1, char(0)));
    QCOMPARE(st.fpga.written(0xA8), QByteArray::fromHex("33333303"));
    QCOMPARE(st.fpga.written(0x90), QByteArray::fromHex("e903e903"));
    QCOMPARE(st.fpga.written(0x08), QByteArray::fromHex("eb03eb03"));
    QCOMPARE(st.fpga.written(0xD8), QByteArray::fromHex("ec03ec03"));
    QCOMPARE(st.alarms, QStringList{"EVENT_REBOOT_LATTICE"});
    QVERIFY(st.reader->info().active);

    // The reader's own re-initialisation command runs the Quabo sequence too.
    st.alarm("rebootArtixSignal");
    QTRY_COMPARE_WITH_TIMEOUT(st.alarms.size(), 2, 5000);
    QCOMPARE(st.alarms.last(), QString("EVENT_REBOOT_LATTICE"));
    // LED yellow: not every state bit is set.
    QTRY_COMPARE_WITH_TIMEOUT(st.worker->level(3), high, 3000);
    QCOMPARE(st.worker->level(17), high);
}

void TestQuaboReader::unsupportedFirmware()
{
    ReaderStation st(Quabo);
    st.fpga.set_firmware(10042, false);
    st.start();
    QTRY_COMPARE_WITH_TIMEOUT(st.wrong_firmware, QList<quint32>{10042u}, START_MS);
    QTest::qWait(300);
    QCOMPARE(st.fpga.fifo_reads(SimReceiverFpga::Fifo::LowRate), 0);
    QVERIFY(!st.reader->info().active);
    QCOMPARE(st.worker->level(3), low);
    QCOMPARE(st.worker->level(17), low);
}

QTEST_GUILESS_MAIN(TestQuaboReader)
#include "tst_quabo_reader.moc"
