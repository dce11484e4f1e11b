// The receiver FPGA's register protocol byte for byte, on the simulated FPGA, called directly
// on the test's thread; and init()'s frequencies and synthesizer words.
#include "FpgaRecordBuilder.h"
#include "ReaderStation.h"
#include "adf4350.h"

#include <QtTest>
#include <cmath>

namespace {
QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}
// The reader's noise tables, for a look at their sizes.
class NoiseProbe : public qorm_reader
{
public:
    using qorm_reader::qorm_reader;
    const NoiseLevels& levels() const { return noise; }
    NoiseLevels& levels() { return noise; }
};
} // namespace

class TestFpgaRegisters : public QObject
{
    Q_OBJECT

private slots:
    void writeFrames_data();
    void writeFrames();
    void writeLogKeepsTheLatest();
    void statusRegisters();
    void initFrequenciesAndWords();
    void ncoWords();
    void thresholdsAndHoppingTables();
    void bitrateMasks();
    void fftWordAndSpectrumReads();
    void reportedFftSizesLeaveNoiseTables();
    void statusRecordNoise_data();
    void statusRecordNoise();
    void crcFaultLimit();
    void alarmCommands();
    void doorInput();
};

void TestFpgaRegisters::writeFrames_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("LEDs") << 0 << QByteArray::fromHex("0ac0000009");
    QTest::newRow("stream offset") << 1 << QByteArray::fromHex("0ae000002a");
    QTest::newRow("LO above the band") << 2 << QByteArray::fromHex("0ab0000001");
    QTest::newRow("window off") << 3 << QByteArray::fromHex("0a70000000");
    QTest::newRow("threshold 1024") << 4 << QByteArray::fromHex("0a90000000040004");
    QTest::newRow("synthesizer words") << 5
                                       << QByteArray::fromHex("0a100000" "01000000" "02000000" "03000000"
                                                              "04000000" "05000000" "060000f0" "00");
}

void TestFpgaRegisters::writeFrames()
{
    QFETCH(int, op);
    QFETCH(QByteArray, frame);
    ReaderStation st(QORM);
    qorm_reader& r = *st.reader;
    switch (op) {
    case 0: r.write_LEDs(9); break;
    case 1: r.write_stream_offset(42); break;
    case 2: r.write_rev_lo(true); break;
    case 3: r.on_off_window(false); break;
    case 4: r.writeThresholdInAdress(char(0x90), 1024); break;
    case 5: r.write_sinth_koeff({1, 2, 3, 4, 5, 0xF0000006}); break;
    }
    QCOMPARE(st.fpga.writes().size(), 1);
    QCOMPARE(st.fpga.writes().last().frame, frame);
    // GPIO 16 high selects the FPGA for the transfer.
    QCOMPARE(st.worker->level(16), high);
}

// The reader writes its LEDs with every spectrum read: the simulated FPGA's log of writes
// keeps the latest ones only, so a simulated station does not grow for as long as it runs.
void TestFpgaRegisters::writeLogKeepsTheLatest()
{
    ReaderStation st(QORM);
    qorm_reader& r = *st.reader;
    const int extra = 3;
    for (int i = 0; i < SimReceiverFpga::WRITE_LOG_SIZE + extra; ++i)
        r.write_LEDs(i % 2 ? 9 : 6);
    r.write_stream_offset(42);
    const QList<SimReceiverFpga::Write> w = st.fpga.writes();
    QCOMPARE(w.size(), SimReceiverFpga::WRITE_LOG_SIZE);
    QCOMPARE(w.last().frame, QByteArray::fromHex("0ae000002a"));
    QCOMPARE(st.fpga.write_count(w.first().address), SimReceiverFpga::WRITE_LOG_SIZE - 1);
}

void TestFpgaRegisters::statusRegisters()
{
    ReaderStation st(QORM);
    qorm_reader& r = *st.reader;
    st.fpga.set_firmware(0x0102A3, false);
    QCOMPARE(r.read_firmware_version(), 0x0102A3u);
    QVERIFY(!r.readHoppingSupport());
    st.fpga.set_firmware(720, true);
    QVERIFY(r.readHoppingSupport());

    const QDateTime when(QDate(2024, 2, 29), QTime(23, 59, 58));
    st.fpga.set_compiled(when);
    QCOMPARE(r.read_firmware_DateTime(), when);
    st.fpga.set_register(0x20, le32(0));
    QVERIFY(!r.read_firmware_DateTime().isValid());

    st.fpga.set_temperature_raw(2219);
    QVERIFY(std::fabs(r.read_fpga_temperature() - 0.041f) < 0.001f);
    // A board whose SPI does not answer reads zeros, never stale bytes.
    st.worker->close();
    QCOMPARE(r.read_firmware_version(), 0u);
}

void TestFpgaRegisters::initFrequenciesAndWords()
{
    {
        ReaderStation st(QORM);
        st.reader->init();
        QCOMPARE(st.reader->uplinkFreq2(), 868390400u);
        QCOMPARE(st.reader->adcFreq(), 2500000u);
        QCOMPARE(st.reader->adcFreq2(), 2090400u);
        adf4350_state s;
        adf4350_platform_data pd;
        init_config(&s, &pd);
        QCOMPARE(adf4350_set_freq(&s, 1006300000), int64_t(1006300000));
        QCOMPARE(st.reader->savedKoeff(), (QVector<quint32>{s.regs[0], s.regs[1], s.regs[2], s.regs[3], s.regs[4], s.regs[5]}));
        QCOMPARE(st.reader->info().band2_offset, -409600);
        // The queued word write reaches the FPGA twice once the event loop runs.
        QTRY_COMPARE(st.fpga.write_count(0x10), 2);
    }
    {
        // LO below the band, a configured K3, IF a multiple of 20 MHz.
        ReaderStation st(QORM, "IF_FREQ=140000000\n");
        QFile f(st.dir.filePath("tolva.ini"));
        QVERIFY(f.open(QIODevice::Append));
        f.write("[ADF4350]\nREV_LO=false\nK3=0x123\n");
        f.close();
        QVERIFY(st.settings.initController(st.dir.filePath("tolva.ini")));
        st.reader->init();
        QCOMPARE(st.reader->adcFreq(), 20000000u);
        QCOMPARE(st.reader->uplinkFreq2(), 868800000u + (137909600u - 140000000u));
        adf4350_state s;
        adf4350_platform_data pd;
        init_config(&s, &pd);
        adf4350_set_freq(&s, 868800000u - 140000000u);
        QCOMPARE(st.reader->savedKoeff(), (QVector<quint32>{s.regs[0], s.regs[1], s.regs[2], 0x123, s.regs[4], s.regs[5]}));
        QVERIFY(!st.reader->revLo());
    }
}

void TestFpgaRegisters::ncoWords()
{
    QCOMPARE(qorm_reader::nco_word(2500000), 4194304u);
    QCOMPARE(qorm_reader::nco_word(2090400), 3507110u);
    QCOMPARE(qorm_reader::nco_word(20000000), 33554432u);
    ReaderStation st(QORM);
    st.reader->init();
    st.reader->writeFSCBands();
    const auto w = st.fpga.writes();
    QCOMPARE(w[w.size() - 2].frame, QByteArray::fromHex("0aa80000") + le32(4194304));
    QCOMPARE(w.last().frame, QByteArray::fromHex("0ac80000") + le32(3507110));
}

void TestFpgaRegisters::thresholdsAndHoppingTables()
{
    ReaderStation st(QORM);
    qorm_reader& r = *st.reader;
    r.writeThresholdsToPlis();
    auto w = st.fpga.writes();
    QCOMPARE(w.size(), 4);
    QCOMPARE(w[0].frame, QByteArray::fromHex("0a900000e903e903"));
    QCOMPARE(w[1].frame, QByteArray::fromHex("0a080000eb03eb03"));
    QCOMPARE(w[2].frame, QByteArray::fromHex("0ad80000ec03ec03"));
    QCOMPARE(w[3].frame, QByteArray::fromHex("0ae80000ed03ed03"));

    QFile hop(QDir::current().filePath("tolvahop.set"));
    QVERIFY(hop.open(QIODevice::WriteOnly));
    hop.write("0 10 20\n");
    hop.close();
    st.fpga.set_firmware(720, true);
    r.analyzeHopping();
    QVERIFY(r.hopping());
    w = st.fpga.writes();
    QCOMPARE(w.size(), 6);
    QCOMPARE(w[4].frame, QByteArray::fromHex("0a080000" "5000" "5000" "0000" "0000" "0000" "0000" "0000" "0000"));
    QCOMPARE(w[5].frame, QByteArray::fromHex("0a180000" "2003" "0000" "0000" "0000" "0000" "0000" "0000" "0000"));

    r.writeThresholdsToPlis();
    w = st.fpga.writes();
    QCOMPARE(w.size(), 9);
    QCOMPARE(w[6].frame, QByteArray::fromHex("0a900000ea03ea03"));
    QCOMPARE(w[7].address, uint8_t(0xD8));
    QCOMPARE(w[8].address, uint8_t(0xE8));

    // Without the file: one empty boundary row, written as zeros.
    QVERIFY(QFile::remove(QDir::current().filePath("tolvahop.set")));
    r.analyzeHopping();
    w = st.fpga.writes();
    QCOMPARE(w.size(), 10);
    QCOMPARE(w.last().frame, QByteArray::fromHex("0a080000") + QByteArray(16, '\0'));
}

void TestFpgaRegisters::bitrateMasks()
{
    ReaderStation st(QORM);
    qorm_reader& r = *st.reader;
    st.fpga.set_bitrate_mask(0);
    r.read_supported_ul_bitrates();
    r.alarm_in("publish");
    QVERIFY(r.info().fpga_info_.supported_ul_bitrates_band1.isEmpty());
    QVERIFY(r.info().fpga_info_.supported_ul_bitrates_band2.isEmpty());

    st.fpga.set_bitrate_mask(0xFFFFFFFF);
    r.read_supported_ul_bitrates();
    r.alarm_in("publish");
    const QList<vexa_phy_channel_t> all{UL_DBPSK_50_PROT_C,    UL_DBPSK_400_PROT_C,  UL_DBPSK_50_PROT_D,
                                        UL_DBPSK_400_PROT_D,   UL_DBPSK_3200_PROT_D, UL_DBPSK_25600_PROT_D,
                                        UL_DBPSK_50_PROT_E,    UL_DBPSK_400_PROT_E,  UL_DBPSK_3200_PROT_E,
                                        UL_DBPSK_25600_PROT_E};
    QCOMPARE(r.info().fpga_info_.supported_ul_bitrates_band1, all);
    QCOMPARE(r.info().fpga_info_.supported_ul_bitrates_band2, all);
    // The window flag travels in byte 4 of the read.
    QCOMPARE(st.fpga.frames().last().address, uint8_t(0x70));
    QCOMPARE(st.fpga.frames().last().length, 9);
}

void TestFpgaRegisters::fftWordAndSpectrumReads()
{
    ReaderStation st(QORM);
    qorm_reader& r = *st.reader;
    st.fpga.set_fft_word(10 | (0 << 4) | (2 << 16) | (1 << 20));
    r.read_fft_size_spectrum();
    r.alarm_in("publish");
    QCOMPARE(r.info().fpga_info_.bandwidth1, 400u * 1024u);
    QCOMPARE(r.info().fpga_info_.bandwidth2, 50u * 1u);
    st.fpga.set_fft_word(10 | (9 << 4) | (2 << 16) | (7 << 20)); // mode 7 keeps band 2 as it was
    r.read_fft_size_spectrum();
    r.alarm_in("publish");
    QCOMPARE(r.info().fpga_info_.bandwidth2, 50u * 512u);

    struct Case {
        quint32 fft_word;
        bool hopping;
        QList<QPair<int, int>> reads; // address, length
    };
    const Case cases[] = {
        {0x0001019A, false, {{0x00, 4101}}},
        {0x0021019A, false, {{0x00, 4101}, {0xF8, 2053}}},
        {0x0011019A, false, {{0x00, 4101}, {0x18, 4101}}},
        {0x0021019A, true, {{0x00, 8197}, {0x58, 69}}},
    };
    for (const Case& c : cases) {
        st.fpga.set_fft_word(c.fft_word);
        st.fpga.set_firmware(720, c.hopping);
        r.read_fft_size_spectrum();
        r.analyzeHopping();
        st.fpga.clear_frames();
        r.read_spectr_loop();
        QList<QPair<int, int>> reads;
        const auto frames = st.fpga.frames();
        QCOMPARE(frames.first().command, uint8_t(0x0A)); // the LED write first
        QCOMPARE(frames.first().address, uint8_t(0xC0));
        for (const auto& f : frames)
            if (f.command == 0x0B)
                reads.append({f.address, f.length});
        QCOMPARE(reads, c.reads);
    }
}

void TestFpgaRegisters::reportedFftSizesLeaveNoiseTables()
{
    // The noise passes read spectra of fixed sizes; an FPGA that reports other FFT sizes gets
    // them in its status record, while every table keeps the size of the pass filling it.
    ReaderStation st(QORM);
    NoiseProbe r(st.settings, st.pins);
    r.init();
    st.fpga.set_fft_word(11 | (8 << 4) | (1 << 16) | (1 << 20)); // 2048 and 256 bins, 50 bit/s in both bands
    for (int i = 0; i < 2; ++i) {
        r.read_fft_size_spectrum();
        r.initNoiseLev();
        for (int k = 0; k < 3; ++k)
            r.read_spectr_loop();
    }
    r.alarm_in("publish");
    QCOMPARE(r.info().fpga_info_.bandwidth1, 50u * 2048u);
    QCOMPARE(r.info().fpga_info_.bandwidth2, 50u * 256u);

    const NoiseLevels& n = r.levels();
    const std::pair<const Noise_LevelsSPI*, size_t> tables[] = {
        {&n.noise_lev50_band1, 1024}, {&n.noise_lev50_band2, 1024}, {&n.noise_lev125_band1, 2048},
        {&n.noise_lev3200_band1, 16}, {&n.noise_lev400_band2, 512}};
    for (const auto& t : tables) {
        QCOMPARE(t.first->noise_lev.size(), t.second);
        QCOMPARE(t.first->noise_lev_min.size(), t.second);
        QCOMPARE(t.first->noise_lev_min_prev.size(), t.second);
        QCOMPARE(t.first->noise_lev_aver.size(), t.second);
    }

    // Said once, however often the tables are set up again.
    QFile log(st.dir.filePath("reader.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll().count("FPGA reports FFT sizes 2048 and 256"), 1);
}

void TestFpgaRegisters::statusRecordNoise_data()
{
    QTest::addColumn<int>("mode1"); // FFT mode codes of register 0x30; -1: register not read yet
    QTest::addColumn<int>("mode2");
    QTest::addColumn<bool>("hopping");
    QTest::addColumn<float>("band1");
    QTest::addColumn<float>("band2");
    // Averages planted in the tables: 50 bit/s band 1 and 2, 400 bit/s band 2, hopping 3200 bit/s.
    const float n50b1 = -131.0f, n50b2 = -132.0f, n400b2 = -134.0f, n3200 = -133.0f;
    QTest::newRow("before start") << -1 << -1 << false << 0.0f << 0.0f;
    QTest::newRow("50 / 400") << 1 << 2 << false << n50b1 << n400b2;
    QTest::newRow("400 / 3200") << 2 << 3 << false << 333.0f << 999.0f;
    QTest::newRow("3200 / 25600") << 3 << 4 << false << 999.0f << 999.0f;
    QTest::newRow("25600 / 50") << 4 << 1 << false << 999.0f << n50b2;
    QTest::newRow("unused / unused") << 0 << 0 << false << 0.0f << 0.0f;
    QTest::newRow("hopping, whatever the modes") << 1 << 2 << true << n3200 << 0.0f;
}

void TestFpgaRegisters::statusRecordNoise()
{
    QFETCH(int, mode1);
    QFETCH(int, mode2);
    QFETCH(bool, hopping);
    QFETCH(float, band1);
    QFETCH(float, band2);

    ReaderStation st(QORM);
    NoiseProbe r(st.settings, st.pins);
    r.init();
    NoiseLevels& n = r.levels();
    n.noise_lev50_band1.aver_noise = -131.0f;
    n.noise_lev50_band2.aver_noise = -132.0f;
    n.noise_lev3200_band1.aver_noise = -133.0f;
    n.noise_lev400_band2.aver_noise = -134.0f;
    if (mode1 >= 0) {
        st.fpga.set_fft_word(0x019A | quint32(mode1) << 16 | quint32(mode2) << 20);
        r.read_fft_size_spectrum();
    }
    st.fpga.set_firmware(720, hopping);
    r.analyzeHopping();
    r.alarm_in("publish");

    const receiver_info info = r.info();
    QCOMPARE(info.aver_noiseBand1, band1);
    QCOMPARE(info.aver_noiseBand2, band2);
}

void TestFpgaRegisters::crcFaultLimit()
{
    ReaderStation st(QORM);
    qorm_reader& r = *st.reader;
    r.init();
    r.start(); // on the test's thread: its timers never run here
    r.stopReader();
    QCOMPARE(st.fpga.boots(), 1);

    FpgaRecordBuilder::Fields f;
    st.fpga.queue_record(SimReceiverFpga::Fifo::LowRate, FpgaRecordBuilder::build(f, FpgaRecordBuilder::Layout::V1_1, false));
    message_point m;
    QVERIFY(!r.read_next_message(&m));
    st.fpga.stuck(SimReceiverFpga::Fifo::LowRate, 20000);
    for (int i = 1; i < 10001; ++i)
        QVERIFY(!r.read_next_message(&m));
    // The 10001st failure in a row does not re-initialise; the 10002nd does.
    QCOMPARE(st.fpga.boots(), 1);
    QVERIFY(!r.read_next_message(&m));
    QCOMPARE(st.fpga.boots(), 2);
    QCOMPARE(r.crcFailed(), 10002u);
    QTRY_COMPARE(st.alarms, QStringList{"EVENT_REBOOT_ARTIX"});
    QVERIFY(!(r.state() & 4));
}

void TestFpgaRegisters::alarmCommands()
{
    ReaderStation st(QORM);
    qorm_reader& r = *st.reader;
    r.alarm_in("setNetState_true");
    r.alarm_in("setDLState_true");
    QCOMPARE(int(r.state()), 9);
    r.alarm_in("SETDLSTATE_FALSE"); // case matters
    QCOMPARE(int(r.state()), 9);
    r.alarm_in("rebootAxsemSignal");
    QCOMPARE(int(r.state()), 1);
    QTRY_COMPARE(st.alarms, QStringList{"EVENT_REBOOT_AXSEM"});
    // The QORM board's AXSEM reset: GPIO 6 low, GPIO 5 low, then high.
    QCOMPARE(st.worker->level(5), high);
    QCOMPARE(st.worker->level(6), low);
    r.alarm_in("setNetState_false");
    QCOMPARE(int(r.state()), 0);
    QCOMPARE(r.info().state, 0u);
}

void TestFpgaRegisters::doorInput()
{
    {
        ReaderStation st(QORM_LTE);
        st.pins->di_set_gpio(19);
        for (PIN_State level : {high, low, low, high}) {
            st.worker->set_input(19, level);
            st.reader->check_di();
        }
        QTRY_COMPARE(st.alarms, (QStringList{"EVENT_DOOR_OPENED", "EVENT_DOOR_CLOSED"}));
    }
    {
        // The QORM board has no door input.
        ReaderStation st(QORM);
        for (PIN_State level : {high, low, high}) {
            st.worker->set_input(19, level);
            st.reader->check_di();
        }
        QTest::qWait(50);
        QVERIFY(st.alarms.isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestFpgaRegisters)
#include "tst_fpga_registers.moc"
