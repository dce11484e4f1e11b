// Scenario files of the simulated receiver FPGA: the shipped examples parse, the demo station's
// spectrum gives a realistic noise floor, every line kind lands as its event, and bad lines are
// refused with their line number.
#include "FpgaRecordBuilder.h"
#include "FpgaScenario.h"
#include "Message_Parser_Protocol_V1_1.h"
#include "NoiseLevels.h"
#include "RecordDecoder.h"
#include "SimReceiverFpga.h"
#include "message_point.h"

#include <QtTest>
#include <cmath>

class TestFpgaScenario : public QObject
{
    Q_OBJECT

private slots:
    void example();
    void demoStation();
    void lines();
    void badLines_data();
    void badLines();
    void playedByTime();
};

void TestFpgaScenario::example()
{
    FpgaScenario s;
    QString err;
    QVERIFY2(FpgaScenario::load(QStringLiteral(TOLVAR_SOURCE_DIR "/sim/scenarios/receiver_qorm.scn"), s, &err),
             qPrintable(err));
    QCOMPARE(*s.firmware, 720u);
    QCOMPARE(*s.hopping, false);
    QCOMPARE(*s.fft_word, 0x0021019Au);
    QCOMPARE(s.events.size(), 7);
    QCOMPARE(s.events[5].bytes.size(), 37);
}

void TestFpgaScenario::demoStation()
{
    // The demo's station replayed the way its reader runs: a spectrum tick every 100 ms from
    // the start (band 1 at 50 bit/s, band 2 at 400 bit/s), each message decoded when it is due.
    FpgaScenario s;
    QString err;
    QVERIFY2(FpgaScenario::load(QStringLiteral(TOLVAR_SOURCE_DIR "/examples/station.scn"), s, &err), qPrintable(err));
    SimReceiverFpga fpga;
    fpga.play(s);
    auto spectrum = [&fpga](uint8_t address, size_t bytes) {
        std::vector<uint8_t> tx(bytes + 5, 0), rx(bytes + 5, 0);
        tx[0] = 0x0B;
        tx[1] = address;
        sim_spi_transfer(&fpga, tx.data(), rx.data(), tx.size());
        return std::vector<uint8_t>(rx.begin() + 5, rx.end());
    };

    NoiseLevels noise;
    NoiseLevels::Config nc;
    nc.rev_lo = true; // as examples/station.ini
    nc.station = QORM;
    noise.setConfig(nc);
    noise.initNoiseLev();
    QList<bool> normal;
    noise.on_noise_state = [&](bool ok) { normal.append(ok); };
    qint64 ticks = 0;
    auto run_until = [&](qint64 ms) {
        for (; ticks * 100 < ms; ++ticks) {
            noise.calc_noise_levels(spectrum(0x00, 4096), Band1);
            noise.calc_noise_levels(spectrum(0xF8, 2048), Band2);
        }
    };

    Message_Parser_Protocol_V1_1 parser;
    RecordDecoder decoder(&parser, &noise);
    RecordDecoder::Context ctx;
    ctx.station = QORM;
    ctx.fw_version = *s.firmware;
    ctx.rev_lo = true;
    ctx.uplink_freq = 868800000;
    ctx.uplink_freq2 = 868390400;
    decoder.setContext(ctx);
    int accepted = 0;
    for (const FpgaScenario::Event& e : s.events) {
        QCOMPARE(e.kind, FpgaScenario::Kind::Record);
        run_until(e.at_ms);
        message_point m;
        const auto fifo = e.fifo == FpgaScenario::Fifo::LowRate ? RecordDecoder::Fifo::LowRate
                                                                 : RecordDecoder::Fifo::HighRate;
        const RecordDecoder::Result r = decoder.decode(e.bytes.constData(), fifo, m);
        if (r.status == RecordDecoder::Status::CrcError)
            continue;
        QCOMPARE(r.status, RecordDecoder::Status::Accepted);
        // A noise table still empty at that moment would give no noise (minus infinity) and an
        // SNR the reader can only report as 0.
        const QString what = QStringLiteral("at %1 ms, %2 bit/s: NOISE %3, SNR %4")
                                 .arg(e.at_ms).arg(m.bitrate).arg(double(m.NOISE)).arg(double(m.SNR));
        QVERIFY2(!r.noise_undefined && std::isfinite(m.NOISE), qPrintable(what));
        QVERIFY2(m.SNR > 0.0f && m.SNR < 30.0f, qPrintable(what));
        ++accepted;
    }
    QCOMPARE(accepted, 7);

    // Two 40 s averages per band: the first has nothing folded up yet, the second is measured
    // and lies in the normal window of its band.
    run_until(80000);
    QCOMPARE(normal, (QList<bool>{false, false, true, true}));
    const float band1 = noise.getAverNoise50Band1();
    const float band2 = noise.getAverNoise400Band2();
    QVERIFY2(std::fabs(band1 - (-140.0f)) < 0.5f, qPrintable(QString::number(double(band1))));
    QVERIFY2(std::fabs(band2 - (-135.9f)) < 0.5f, qPrintable(QString::number(double(band2))));
}

void TestFpgaScenario::lines()
{
    FpgaScenario s;
    QString err;
    QVERIFY2(FpgaScenario::parse("at 10 message high type=E id=0x01020304 iter=9 flags=3 payload=0001020304050607 "
                                 "mic=0x112233 rate=3200 freq=300 rotation=0x85 rssi=4096 logs2=0x42 demod=1\n"
                                 "at 20 message low type=D id=7 layout=1.0 crc=bad code=0x02\n"
                                 "at 30 register 0xA0 d0020001\n"
                                 "at 40 stuck high 5\n"
                                 "at 50 garbage low 6\n"
                                 "at 60 flash_bad 2 # comment\n"
                                 "set spectrum 0xFFFFFF\n",
                                 s, &err),
             qPrintable(err));
    QCOMPARE(s.events.size(), 6);
    QCOMPARE(*s.spectrum_magnitude, 0xFFFFFFu);
    FpgaRecordBuilder::Fields f;
    f.type = 0x0E;
    f.id = 0x01020304;
    f.crypto_iter = 9;
    f.flags = 3;
    f.payload = {0, 1, 2, 3, 4, 5, 6, 7};
    f.mic = 0x112233;
    f.bitrate_code = 0x20;
    f.freq_num = 300;
    f.rotation = 0x85;
    f.rssi = 4096;
    f.logs2 = 0x42;
    f.demod = 1;
    QCOMPARE(s.events[0].bytes, FpgaRecordBuilder::build(f));
    QCOMPARE(s.events[0].fifo, FpgaScenario::Fifo::HighRate);
    Message_Parser_Protocol_V1_1 p;
    QVERIFY(p.is_crc32_of_packet_ok(s.events[0].bytes.constData()));
    QCOMPARE(uint8_t(s.events[1].bytes[33]), uint8_t(0x02));
    QCOMPARE(s.events[2].kind, FpgaScenario::Kind::Register);
    QCOMPARE(s.events[2].address, uint8_t(0xA0));
    QCOMPARE(s.events[2].bytes, QByteArray::fromHex("d0020001"));
    QCOMPARE(s.events[3].kind, FpgaScenario::Kind::Stuck);
    QCOMPARE(s.events[3].count, 5);
    QCOMPARE(s.events[4].kind, FpgaScenario::Kind::Garbage);
    QCOMPARE(s.events[5].kind, FpgaScenario::Kind::FlashBad);
    QCOMPARE(s.events[5].at_ms, qint64(60));
}

void TestFpgaScenario::badLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("unknown word") << "whenever 10 message low";
    QTest::newRow("time not a number") << "at soon flash_bad 1";
    QTest::newRow("no FIFO") << "at 1 message type=D";
    QTest::newRow("bad FIFO") << "at 1 message middle type=D";
    QTest::newRow("bad type") << "at 1 message low type=X";
    QTest::newRow("short payload") << "at 1 message low payload=0102";
    QTest::newRow("unknown field") << "at 1 message low colour=red";
    QTest::newRow("id too large") << "at 1 message low id=0x100000000";
    QTest::newRow("rate without code") << "at 1 message low rate=25600";
    QTest::newRow("short record") << "at 1 record low 0102";
    QTest::newRow("odd hex") << "at 1 register 0xA0 123";
    QTest::newRow("unknown setting") << "set colour red";
    QTest::newRow("bad hopping") << "set hopping maybe";
    QTest::newRow("bad date") << "set date yesterday";
    QTest::newRow("spectrum beyond its 24 bits") << "set spectrum 0x1000000";
    QTest::newRow("stuck without count") << "at 1 stuck low";
    QTest::newRow("unknown event") << "at 1 explode";
}

void TestFpgaScenario::badLines()
{
    QFETCH(QString, line);
    FpgaScenario s;
    QString err;
    QVERIFY(!FpgaScenario::parse("set firmware 720\n\n" + line + "\n", s, &err));
    QVERIFY2(err.startsWith("line 3:"), qPrintable(err));
    QVERIFY(s.events.isEmpty());
}

void TestFpgaScenario::playedByTime()
{
    // The model on its own: events wait for their time counted from the first FIFO read.
    SimReceiverFpga fpga;
    FpgaScenario s;
    QVERIFY(FpgaScenario::parse("at 0 message low type=D id=1\nat 300 message low type=D id=2\n", s));
    fpga.play(s);
    auto read = [&fpga] {
        uint8_t tx[37] = {0x0B, 0x80};
        uint8_t rx[37];
        sim_spi_transfer(&fpga, tx, rx, 37);
        return QByteArray(reinterpret_cast<const char*>(rx), 37);
    };
    QCOMPARE(uint8_t(read()[7]), uint8_t(1));
    QCOMPARE(read().mid(9, 12), QByteArray(12, 'o'));
    QVERIFY(!fpga.scenario_done());
    QElapsedTimer t;
    t.start();
    int id = 0;
    while (id != 2 && t.elapsed() < 5000) {
        QTest::qWait(20);
        id = uint8_t(read()[7]);
    }
    QCOMPARE(id, 2);
    QVERIFY(t.elapsed() >= 250);
    QVERIFY(fpga.scenario_done());
}

QTEST_GUILESS_MAIN(TestFpgaScenario)
#include "tst_fpga_scenario.moc"
