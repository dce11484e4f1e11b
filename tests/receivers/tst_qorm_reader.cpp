// The QORM reader on the simulated receiver FPGA: a scripted scenario from start-up to the
// emitted messages, the liveness check that re-initialises, the status record, and the ways
// start-up can fail.
#include "FpgaRecordBuilder.h"
#include "ReaderStation.h"

#include <QtTest>
#include <cmath>

namespace {
constexpr quint32 UL1 = 868800000;
// Boot, the 3 s settling wait and the configuration.
constexpr int START_MS = 15000;

// Three messages, spaced far from the read loop's pass thresholds: two copies of one type D
// message and a corrupt record in the same moment, a type E message on the high-rate FIFO,
// garbage, a type C message.
const char* const SCENARIO = R"(
# first pass
at 1500 message low type=D id=0x9A payload=0102030405060708 flags=1 crc8=0x44 rate=50 freq=200 rssi=0x100000
at 1500 message low type=D id=0x9A payload=0102030405060708 flags=1 crc8=0x44 rate=50 freq=200 rssi=0x200000 demod=1
at 1500 message low type=D id=0x77 payload=0102030405060708 rate=50 crc=bad
at 2100 message high type=E id=0x12345678 iter=5 flags=2 payload=1112131415161718 mic=0xABCDEF rate=3200 freq=10 rotation=5 rssi=0x100000
at 2700 garbage low 3
at 3300 message low type=C id=0x55 payload=2122232425262728 rate=400 freq=20 rssi=0x10000
)";
} // namespace

class TestQormReader : public QObject
{
    Q_OBJECT

private slots:
    void scriptedScenario();
    void badFlashReinitialisesOnce();
    void unsupportedFirmware();
    void boardWithoutAccess();
    void neverEmptyFifoStillEmits();
    void withoutPinController_data();
    void withoutPinController();
};

void TestQormReader::scriptedScenario()
{
    ReaderStation st(QORM);
    st.fpga.set_bitrate_mask(0x00FF0F03);
    FpgaScenario sc;
    QString err;
    QVERIFY2(FpgaScenario::parse(QString::fromLatin1(SCENARIO), sc, &err), qPrintable(err));
    st.fpga.play(sc);
    st.start();

    QTRY_COMPARE_WITH_TIMEOUT(st.messages.size(), 3, START_MS + 10000);
    QTRY_VERIFY_WITH_TIMEOUT(st.fpga.scenario_done(), 5000);
    QTest::qWait(500);
    QCOMPARE(st.messages.size(), 3);

    // The default configuration puts the local oscillator above the band: frequencies mirror
    // about the band's base.
    const message_point& d = *st.messages[0];
    QCOMPARE(d.TYPE, Protocol_D);
    QCOMPARE(d.ID, 0x9Au);
    QCOMPARE(d.bitrate, 50u);
    QCOMPARE(d.num_of_copies, 2u);
    QCOMPARE(d.num_of_copies_1_2, 1u);
    QCOMPARE(d.CRC8_D, quint8(0x44));
    QCOMPARE(d.FREQ, quint64(UL1 - 200 * 50));
    QVERIFY(std::fabs(d.RSSI - float(20 * std::log10(double(0x200000) / 256) - 210)) < 0.001f);
    // Spectra of magnitude 9 everywhere: 10 log10(82) - 210 on the 50 bit/s table.
    QVERIFY2(std::fabs(d.NOISE - (-190.86f)) < 0.01f, qPrintable(QString::number(d.NOISE)));
    QVERIFY(std::fabs(d.SNR - (d.RSSI - d.NOISE)) < 0.001f);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(d.PAYLOAD), 8), QByteArray::fromHex("0102030405060708"));
    // Records accepted in the pass: the two copies (the corrupt one does not count).
    QCOMPARE(d.total, 2u);

    const message_point& e = *st.messages[1];
    QCOMPARE(e.TYPE, Protocol_E);
    QCOMPARE(e.ID, 0x12345678u);
    QCOMPARE(e.CRYPTO_ITER, quint8(5));
    QCOMPARE(e.CRYPTO_MIC, 0xABCDEFu);
    QCOMPARE(e.bitrate, 3200u);
    QVERIFY(e.band);
    QCOMPARE(e.rotation, 2u);
    // Band 2, bin rule (filter length 1): mirrored about the band-2 base.
    const quint32 ul2 = st.reader->info().band2_offset + UL1;
    QCOMPARE(e.FREQ, quint64(2 * ul2 - (ul2 + 3200 * 10 + 1067)));
    QVERIFY(std::fabs(e.RSSI - float(20 * std::log10(double(0x100000) / 256) - 210 + 4)) < 0.001f);
    QCOMPARE(e.num_of_copies, 1u);

    const message_point& c = *st.messages[2];
    QCOMPARE(c.TYPE, Protocol_C);
    QCOMPARE(c.ID, 0x55u);
    QCOMPARE(c.bitrate, 400u);
    QCOMPARE(c.FREQ, quint64(UL1 - 20 * 400));

    const receiver_info info = st.reader->info();
    QVERIFY(info.active);
    QCOMPARE(info.fpga_info_.firmware_ver, 720u);
    QCOMPARE(info.fpga_info_.hardware_ver, 310u);
    QCOMPARE(info.fpga_info_.fpga_bs_type, QORM);
    QCOMPARE(info.fpga_info_.compilation_dt, QDateTime(QDate(2023, 5, 17), QTime(10, 20, 30)));
    QCOMPARE(info.fpga_info_.bandwidth1, 50u * 1024u);
    QCOMPARE(info.fpga_info_.bandwidth2, 400u * 512u);
    QCOMPARE(info.fpga_info_.supported_ul_bitrates_band1.size(), 10);
    QCOMPARE(info.fpga_info_.supported_ul_bitrates_band2,
             (QList<vexa_phy_channel_t>{UL_DBPSK_50_PROT_E, UL_DBPSK_400_PROT_E, UL_DBPSK_3200_PROT_E, UL_DBPSK_25600_PROT_E}));
    QCOMPARE(info.band2_offset, -409600);
    QVERIFY(info.state & 4);
    QVERIFY(std::fabs(info.fpga_temperature_ - float(2500 * 0.123046875 - 273)) < 0.001f);

    st.stop();
    // The corrupt record and the garbage were counted and dropped.
    QVERIFY(st.reader->crcFailed() >= 1);
    QVERIFY(st.reader->crcFailed() + st.reader->droppedRecords() >= 4);
    // Start-up wrote the configuration after the boot.
    QCOMPARE(st.fpga.boots(), 1);
    QCOMPARE(st.fpga.written(0xE0), QByteArray(1, char(18)));
    QCOMPARE(st.fpga.write_count(0xE0, 1), 2);
    QCOMPARE(st.fpga.written(0x90), QByteArray::fromHex("e903e903"));
    QCOMPARE(st.fpga.written(0x08), QByteArray::fromHex("eb03eb03"));
    QCOMPARE(st.fpga.written(0xD8), QByteArray::fromHex("ec03ec03"));
    QCOMPARE(st.fpga.written(0xE8), QByteArray::fromHex("ed03ed03"));
    QCOMPARE(st.fpga.written(0xB0), QByteArray(1, char(1)));
    QCOMPARE(st.fpga.written(0x10).size(), 25);
    QCOMPARE(st.fpga.written(0xA8), QByteArray::fromHex("00004000"));
}

void TestQormReader::badFlashReinitialisesOnce()
{
    ReaderStation st(QORM);
    st.start();
    QTRY_VERIFY_WITH_TIMEOUT(st.reader->info().active, START_MS);
    QCOMPARE(st.fpga.boots(), 1);
    QVERIFY(st.alarms.isEmpty());

    // One liveness check (two identification reads) sees a bad flash.
    st.fpga.flash_bad(2);
    st.invoke("reboot");
    QTRY_COMPARE_WITH_TIMEOUT(st.fpga.boots(), 2, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(st.fpga.write_count(0xE8, 2) >= 1, 15000);
    QTest::qWait(300);
    // The re-initialisation wrote the whole configuration again after its boot.
    QCOMPARE(st.fpga.write_count(0x10, 2), 2);
    QCOMPARE(st.fpga.written(0xE0), QByteArray(1, char(18)));
    QCOMPARE(st.fpga.written(0xB0), QByteArray(1, char(1)));
    QCOMPARE(st.fpga.written(0x90), QByteArray::fromHex("e903e903"));
    QCOMPARE(st.fpga.written(0xA8), QByteArray::fromHex("00004000"));

    // A second check finds the flash healthy: nothing more.
    st.invoke("reboot");
    QTest::qWait(1000);
    QCOMPARE(st.fpga.boots(), 2);
    QCOMPARE(st.alarms, QStringList{"EVENT_REBOOT_ARTIX"});
    QVERIFY(st.reader->info().active);
}

void TestQormReader::unsupportedFirmware()
{
    ReaderStation st(QORM);
    st.fpga.set_firmware(719, false);
    st.start();
    QTRY_COMPARE_WITH_TIMEOUT(st.wrong_firmware, QList<quint32>{719u}, START_MS);
    QTest::qWait(300);
    QCOMPARE(st.fpga.fifo_reads(SimReceiverFpga::Fifo::LowRate), 0);
    QCOMPARE(st.fpga.write_count(0xE0), 0);
    QVERIFY(!st.reader->info().active);
    QCOMPARE(st.reader->info().fpga_info_.firmware_ver, 719u);
}

void TestQormReader::boardWithoutAccess()
{
    ReaderStation st(QORM, QByteArray(), true);
    st.start();
    QTest::qWait(500);
    QVERIFY(!st.pins->is_inited());
    QVERIFY(!st.reader->info().active);
    QCOMPARE(st.worker->transfer_count(), 0u);
    st.stop();
    QFile log(st.dir.filePath("reader.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().contains("not initialised"));
}

void TestQormReader::neverEmptyFifoStillEmits()
{
    // A FIFO that never runs dry (a stuck FPGA, or steady traffic): each pass is cut short,
    // and its records are still filtered and emitted.
    // The FIFO sticks once the record was read, so that it repeats that record: were it stuck
    // before, it would repeat a record of its own instead.
    ReaderStation st(QORM);
    FpgaScenario sc;
    QVERIFY(FpgaScenario::parse("at 0 message low type=D id=0x31 rate=400\n", sc));
    st.fpga.play(sc);
    st.start();
    QTRY_COMPARE_WITH_TIMEOUT(st.messages.size(), 1, START_MS + 5000);
    QCOMPARE(st.messages[0]->ID, 0x31u);
    st.fpga.stuck(SimReceiverFpga::Fifo::LowRate, 1000000);
    // The window of 400 bit/s passes: the record the FIFO repeats is a new message again, made
    // of the copies of one pass cut short.
    for (int n = 2; n <= 3; ++n) {
        QTRY_VERIFY_WITH_TIMEOUT(st.messages.size() >= n, 10000);
        const message_point& m = *st.messages[n - 1];
        QCOMPARE(m.ID, 0x31u);
        QVERIFY(m.num_of_copies > 1);
        QVERIFY(m.total <= quint32(qorm_reader::PASS_LIMIT_RECORDS));
    }
}

void TestQormReader::withoutPinController_data()
{
    QTest::addColumn<bool>("quabo");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("alarm");

    for (bool quabo : {false, true}) {
        const QByteArray board = quabo ? "quabo " : "qorm ";
        QTest::newRow(board + "double short beep") << quabo << "double_short_beep" << QString();
        QTest::newRow(board + "long and short beep") << quabo << "long_and_short_beep" << QString();
        QTest::newRow(board + "AXSEM reset") << quabo << "rebootAxsemSignal" << "EVENT_REBOOT_AXSEM";
        QTest::newRow(board + "state bit") << quabo << "setNetState_true" << QString();
    }
    QTest::newRow("qorm re-initialisation") << false << "rebootArtixSignal" << "EVENT_REBOOT_ARTIX";
    QTest::newRow("quabo autocorrection error") << true << "EVENT_AUTOCORR_ERR" << "EVENT_REBOOT_LATTICE";
}

void TestQormReader::withoutPinController()
{
    // A reader built without a board: every command is taken, none touches a board, the
    // reader says so once and never claims to be active.
    QFETCH(bool, quabo);
    QFETCH(QString, command);
    QFETCH(QString, alarm);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QDir::setCurrent(dir.path());
    QFile ini(dir.filePath("tolva.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[BASE_STATION]\nBS_TYPE=" + QByteArray(quabo ? "QUABO_TYPE" : "QORM_TYPE")
              + "\nLOG_FILE_PATH=" + dir.filePath("reader.log").toUtf8() + "\n");
    ini.close();
    SettingsController settings;
    QVERIFY(settings.initController(dir.filePath("tolva.ini")));

    std::unique_ptr<qorm_reader> reader;
    if (quabo)
        reader = std::make_unique<Quabo_Reader>(settings, nullptr);
    else
        reader = std::make_unique<qorm_reader>(settings, nullptr);
    QSignalSpy alarms(reader.get(), &IReceiver::alarm_out);
    reader->init();
    reader->start();
    reader->alarm_in(command);
    reader->alarm_in(command);
    reader->check_di();
    QVERIFY(!reader->info().active);
    QCOMPARE(alarms.size(), alarm.isEmpty() ? 0 : 2);
    for (const auto& a : alarms)
        QCOMPARE(a.at(0).toString(), alarm);
    if (command == QLatin1String("setNetState_true"))
        QCOMPARE(reader->info().state & 1, 1);
    reader.reset();

    QFile log(dir.filePath("reader.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll().count("no pin controller"), 1);
}

QTEST_GUILESS_MAIN(TestQormReader)
#include "tst_qorm_reader.moc"
