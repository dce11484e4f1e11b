// The simulated air link from the AX5043 to the station's own receiver: an autocorrection frame
// comes back as a protocol D uplink of its ID and rate whose decoded frequency is the carrier
// minus the link's offset; other frames are not heard.

#include "FpgaRecordBuilder.h"
#include "Message_Parser_Protocol_V1_1.h"
#include "NoiseLevels.h"
#include "RecordDecoder.h"
#include "SimAx5043AirLink.h"
#include "SimAx5043Scenario.h"
#include "SimReceiverFpga.h"
#include "message_point.h"

#include <QtTest>

#include <cstdlib>

namespace {

std::vector<uint8_t> autocorrection_frame(uint32_t id)
{
    std::vector<uint8_t> f(36, 0);
    f[0] = 0x97;
    f[1] = 0x15;
    f[2] = 0x7A;
    f[3] = 0x6F;
    f[4] = uint8_t(id >> 16);
    f[5] = uint8_t(id >> 8);
    f[6] = uint8_t(id);
    for (size_t i = 17; i < 36; ++i)
        f[i] = uint8_t(0x3A + i); // CRC and parity: not looked at by the link
    return f;
}

} // namespace

class TestAx5043AirLink : public QObject {
    Q_OBJECT

private slots:
    void echo_round_trip_data();
    void echo_round_trip();
    void other_frames_are_not_heard();
    void scenario_statements_data();
    void scenario_statements();
};

void TestAx5043AirLink::echo_round_trip_data()
{
    QTest::addColumn<int>("station");
    QTest::addColumn<double>("chip_rate");
    QTest::addColumn<uint>("base");
    QTest::addColumn<bool>("rev_lo");
    QTest::addColumn<uint>("carrier");
    QTest::addColumn<int>("offset");
    QTest::addColumn<uint>("bitrate");
    QTest::newRow("50 bit/s, 600 Hz low") << int(QORM_LTE) << 200.0 << 868800000u << false << 868810000u << 600 << 50u;
    QTest::newRow("50 bit/s, a third of a bin") << int(QORM_LTE) << 200.0 << 868800000u << false << 868810000u << 617 << 50u;
    QTest::newRow("50 bit/s, below the base") << int(QORM_LTE) << 200.0 << 868800000u << false << 868790000u << -350 << 50u;
    QTest::newRow("50 bit/s, mirrored receiver") << int(QORM_LTE) << 200.0 << 868800000u << true << 868810000u << 600 << 50u;
    QTest::newRow("400 bit/s on Quabo") << int(Quabo) << 1600.0 << 868800000u << false << 868812000u << 600 << 400u;
    QTest::newRow("400 bit/s, high") << int(Quabo) << 1600.0 << 868800000u << false << 868812000u << -1000 << 400u;
}

void TestAx5043AirLink::echo_round_trip()
{
    QFETCH(int, station);
    QFETCH(double, chip_rate);
    QFETCH(uint, base);
    QFETCH(bool, rev_lo);
    QFETCH(uint, carrier);
    QFETCH(int, offset);
    QFETCH(uint, bitrate);
    SimReceiverFpga fpga;
    SimAx5043AirLink link(fpga, {base, rev_lo, offset});
    SimAx5043::Packet p;
    p.recovered = autocorrection_frame(0x6E0C22);
    p.carrier_hz = carrier;
    p.bitrate = chip_rate;
    const QByteArray record = link.echo_record(p);
    QCOMPARE(record.size(), FpgaRecordBuilder::SIZE);

    Message_Parser_Protocol_V1_1 parser;
    NoiseLevels noise;
    NoiseLevels::Config nc;
    nc.rev_lo = rev_lo;
    noise.setConfig(nc);
    RecordDecoder decoder(&parser, &noise);
    RecordDecoder::Context ctx;
    ctx.station = BS_Type(station);
    ctx.fw_version = 720;
    ctx.rev_lo = rev_lo;
    ctx.uplink_freq = base;
    ctx.uplink_freq2 = base;
    decoder.setContext(ctx);
    message_point m;
    const auto res = decoder.decode(record.constData(), RecordDecoder::Fifo::LowRate, m);
    QCOMPARE(res.status, RecordDecoder::Status::Accepted);
    QCOMPARE(m.TYPE, Protocol_D);
    QCOMPARE(m.ID, 0x6E0C22u);
    QCOMPARE(m.bitrate, bitrate);
    const qint64 target = qint64(carrier) - offset;
    // On the receiver's grid: a bin is the bit rate, a rotation a third of it.
    const qint64 half_step = qint64(bitrate) / 6 + 1;
    QVERIFY2(std::llabs(qint64(m.FREQ) - target) <= half_step,
        qPrintable(QStringLiteral("%1 for %2").arg(m.FREQ).arg(target)));
    if ((target - qint64(base)) % qint64(bitrate) == 0)
        QCOMPARE(qint64(m.FREQ), target);
    QVERIFY(link.on_packet(p));
}

void TestAx5043AirLink::other_frames_are_not_heard()
{
    SimReceiverFpga fpga;
    SimAx5043AirLink link(fpga, {868800000u, false, 0});
    SimAx5043::Packet p;
    p.carrier_hz = 868800000u;
    p.bitrate = 200.0;
    // A v4 downlink: payload in bytes 8..15.
    p.recovered = autocorrection_frame(0x123456);
    p.recovered[9] = 0x55;
    QVERIFY(!link.on_packet(p));
    // A PSK packet has nothing under padding.
    p.recovered.clear();
    QVERIFY(!link.on_packet(p));
    // Out of the receiver's window (50 bit/s x 512 bins = 25.6 kHz).
    p.recovered = autocorrection_frame(0x123456);
    p.carrier_hz = 868800000u + 30000u;
    QVERIFY(!link.on_packet(p));
    // A rate the receiver has no code for.
    p.carrier_hz = 868800000u;
    p.bitrate = 102400.0;
    QVERIFY(!link.on_packet(p));
}

void TestAx5043AirLink::scenario_statements_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("never_end");
    QTest::addColumn<int>("revision");
    QTest::addColumn<int>("irq_stuck");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QString>("rest");
    QTest::newRow("none") << "set firmware 700\nat 0 message low D 1 x" << true << 0 << -1 << -1 << 0
                          << "set firmware 700\nat 0 message low D 1 x";
    QTest::newRow("all, lines kept") << "ax5043 never_end 2\nset firmware 700\n  ax5043 air_offset -600 # low\n"
                                        "ax5043 revision 0x50\nax5043 irq_stuck high\nax5043 ranging_fails"
                                     << true << 2 << 0x50 << 1 << -600 << "\nset firmware 700\n\n\n\n";
    QTest::newRow("unknown word") << "ax5043 explode" << false << 0 << -1 << -1 << 0 << "";
    QTest::newRow("count missing") << "ax5043 never_end" << false << 0 << -1 << -1 << 0 << "";
    QTest::newRow("revision too big") << "ax5043 revision 300" << false << 0 << -1 << -1 << 0 << "";
    QTest::newRow("stuck sideways") << "ax5043 irq_stuck maybe" << false << 0 << -1 << -1 << 0 << "";
    QTest::newRow("offset too far") << "ax5043 air_offset 2000000" << false << 0 << -1 << -1 << 0 << "";
}

void TestAx5043AirLink::scenario_statements()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(int, never_end);
    QFETCH(int, revision);
    QFETCH(int, irq_stuck);
    QFETCH(int, offset);
    QFETCH(QString, rest);
    SimAx5043Scenario s;
    QString left;
    QString error;
    QCOMPARE(SimAx5043Scenario::extract(text, s, &left, &error), ok);
    if (!ok) {
        QVERIFY(error.startsWith("line 1: "));
        return;
    }
    QCOMPARE(int(s.never_end), never_end);
    QCOMPARE(s.revision, revision);
    QCOMPARE(s.irq_stuck, irq_stuck);
    QCOMPARE(int(s.air_offset_hz), offset);
    QCOMPARE(left, rest);
    // Applied to a chip: the revision knob shows in what the station reads.
    SimAx5043 chip;
    s.apply(chip);
    uint8_t tx[2] = {0x00, 0x00};
    uint8_t rx[2] = {0, 0};
    sim_spi_transfer(&chip, tx, rx, 2);
    QCOMPARE(int(rx[1]), revision >= 0 ? revision : 0x51);
}

QTEST_GUILESS_MAIN(TestAx5043AirLink)
#include "test_ax5043_air_link.moc"
