// Decoding of records made by the simulated FPGA's record builder into message fields.
#include "FpgaRecordBuilder.h"
#include "Message_Parser_Protocol_V1_0.h"
#include "Message_Parser_Protocol_V1_1.h"
#include "NoiseLevels.h"
#include "RecordDecoder.h"
#include "message_point.h"

#include <QtTest>
#include <cmath>

using Fifo = RecordDecoder::Fifo;
using Status = RecordDecoder::Status;
Q_DECLARE_METATYPE(Fifo)
Q_DECLARE_METATYPE(Status)

namespace {
constexpr quint32 UL1 = 868800000;
constexpr quint32 UL2 = 868390400;

RecordDecoder::Context qorm()
{
    RecordDecoder::Context c;
    c.station = QORM;
    c.fw_version = 720;
    c.uplink_freq = UL1;
    c.uplink_freq2 = UL2;
    return c;
}

FpgaRecordBuilder::Fields rec_fields(uint8_t type, uint8_t code = FpgaRecordBuilder::CODE_50)
{
    FpgaRecordBuilder::Fields f;
    f.type = type;
    f.id = 0x00009A;
    f.flags = 0x21;
    f.payload = {1, 2, 3, 4, 5, 6, 7, 8};
    f.crc8 = 0x44;
    f.mic = 0x123456;
    f.crypto_iter = 9;
    f.bitrate_code = code;
    f.rssi = 256;
    f.logs2 = 0xA0;
    return f;
}

} // namespace

class TestRecordDecoder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void frequency_data();
    void frequency();
    void fields_data();
    void fields();
    void dropped_data();
    void dropped();
    void rssi_data();
    void rssi();
    void unknownBitrateHasNoNoise();
    void highRateTypeCSkipsCrc();
    void quaboRecord_data();
    void quaboRecord();

private:
    Message_Parser_Protocol_V1_1 v11;
    NoiseLevels noise;
};

void TestRecordDecoder::init()
{
    noise.initNoiseLev();
    std::fill(noise.noise_lev50_band1.noise_lev_aver.begin(), noise.noise_lev50_band1.noise_lev_aver.end(), 820.0f);
    std::fill(noise.noise_lev_aver_400_band1.begin(), noise.noise_lev_aver_400_band1.end(), 6560.0f);
    std::fill(noise.noise_lev_aver_3200_band2.begin(), noise.noise_lev_aver_3200_band2.end(), 100.0f);
}

void TestRecordDecoder::frequency_data()
{
    QTest::addColumn<Fifo>("fifo");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("freqNum");
    QTest::addColumn<int>("logs2");
    QTest::addColumn<int>("rotation");
    QTest::addColumn<bool>("hopping");
    QTest::addColumn<bool>("revLo");
    QTest::addColumn<qint64>("offset");  // FREQ - base
    QTest::addColumn<bool>("band2");
    QTest::addColumn<uint>("rotationOut");

    const Fifo lo = Fifo::LowRate, hi = Fifo::HighRate;
    const int c50 = FpgaRecordBuilder::CODE_50, c3200 = FpgaRecordBuilder::CODE_3200;
    QTest::newRow("bin 200") << lo << c50 << 200 << 0xA0 << 0 << false << false << qint64(10000) << false << 0u;
    QTest::newRow("bin 10") << lo << c50 << 10 << 0xA0 << 0 << false << false << qint64(500) << false << 0u;
    QTest::newRow("bin 1000") << lo << c50 << 1000 << 0xA0 << 0 << false << false << qint64(-1200) << false << 0u;
    QTest::newRow("rotation 4 lowers by 17") << lo << c50 << 10 << 0xA0 << 4 << false << false << qint64(483) << false << 4u;
    QTest::newRow("rotation 5 raises by 17") << lo << c50 << 10 << 0xA0 << 5 << false << false << qint64(517) << false << 5u;
    // -1 as an unsigned 32-bit number is divisible by 3: no correction.
    QTest::newRow("negative rotation") << lo << c50 << 10 << 0xA0 << 0xFF << false << false << qint64(500) << false << 0xFFFFFFFFu;
    QTest::newRow("rotation -2") << lo << c50 << 10 << 0xA0 << 0xFE << false << false << qint64(500 + 17) << false << 0xFFFFFFFEu;
    QTest::newRow("clamped to 1023") << lo << c50 << 1024 << 0xA0 << 0 << false << false << qint64(-50) << false << 0u;
    QTest::newRow("hopping 799 kept") << lo << c50 << 799 << 0xA0 << 0 << true << false << qint64(-225 * 50) << false << 0u;
    QTest::newRow("hopping 800 shifted") << lo << c50 << 800 << 0xA0 << 0 << true << false << qint64(224 * 50) << false << 0u;
    QTest::newRow("hopping 2048 clamped, shifted") << lo << c50 << 2048 << 0xA0 << 0 << true << false << qint64(1471 * 50) << false << 0u;
    QTest::newRow("mirrored") << lo << c50 << 10 << 0xA0 << 0 << false << true << qint64(-500) << false << 0u;
    QTest::newRow("high rate rotation 5: band 2") << hi << c3200 << 10 << 0xA0 << 5 << false << false << qint64(32000 + 1067) << true << 2u;
    QTest::newRow("high rate FFT rule") << hi << c3200 << 10 << 0x42 << 0 << false << false << qint64(3200 * 10 / 4) << false << 0u;
    QTest::newRow("high rate FFT rule upper half") << hi << c3200 << 40 << 0x42 << 0 << false << false << qint64(-(64 - 40) * 3200 / 4) << false << 0u;
}

void TestRecordDecoder::frequency()
{
    QFETCH(Fifo, fifo);
    QFETCH(int, code);
    QFETCH(int, freqNum);
    QFETCH(int, logs2);
    QFETCH(int, rotation);
    QFETCH(bool, hopping);
    QFETCH(bool, revLo);
    QFETCH(qint64, offset);
    QFETCH(bool, band2);
    QFETCH(uint, rotationOut);

    auto ctx = qorm();
    ctx.hopping = hopping;
    ctx.rev_lo = revLo;
    NoiseLevels::Config nc;
    nc.hopping = hopping;
    nc.rev_lo = revLo;
    noise.setConfig(nc);
    RecordDecoder d(&v11, &noise);
    d.setContext(ctx);

    auto f = rec_fields(0x0D, static_cast<uint8_t>(code));
    f.freq_num = static_cast<uint16_t>(freqNum);
    f.logs2 = static_cast<uint8_t>(logs2);
    f.rotation = static_cast<uint8_t>(rotation);
    const QByteArray r = FpgaRecordBuilder::build(f);
    message_point m;
    const auto res = d.decode(r.constData(), fifo, m);
    QCOMPARE(res.status, Status::Accepted);
    QCOMPARE(m.band, band2);
    QCOMPARE(m.rotation, rotationOut);
    const quint32 base = band2 ? UL2 : UL1;
    QCOMPARE(m.FREQ, quint64(quint32(qint64(base) + offset)));
}

void TestRecordDecoder::fields_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<Fifo>("fifo");
    QTest::addColumn<uint>("id");
    QTest::addColumn<int>("crc8");
    QTest::addColumn<uint>("mic");
    QTest::addColumn<int>("iter");
    QTest::addColumn<int>("packetLen");

    QTest::newRow("D low rate") << 0x0D << Fifo::LowRate << 154u << 0x44 << 0u << 0 << 16;
    QTest::newRow("C low rate") << 0x0C << Fifo::LowRate << 154u << 0 << 0u << 0 << 16;
    QTest::newRow("E low rate") << 0x0E << Fifo::LowRate << 154u << 0x56 << 0x123456u << 9 << 17;
    QTest::newRow("E high rate") << 0x0E << Fifo::HighRate << 154u << 0x56 << 0x123456u << 9 << 17;
    QTest::newRow("D Quabo") << 0x0D << Fifo::Quabo << 154u << 0x44 << 0u << 0 << 16;
}

void TestRecordDecoder::fields()
{
    QFETCH(int, type);
    QFETCH(Fifo, fifo);
    QFETCH(uint, id);
    QFETCH(int, crc8);
    QFETCH(uint, mic);
    QFETCH(int, iter);
    QFETCH(int, packetLen);

    RecordDecoder d(&v11, &noise);
    auto ctx = qorm();
    if (fifo == Fifo::Quabo)
        ctx.station = Quabo;
    d.setContext(ctx);
    auto f = rec_fields(static_cast<uint8_t>(type), FpgaRecordBuilder::CODE_400);
    f.demod = 1;
    const QByteArray r = FpgaRecordBuilder::build(f);
    message_point m;
    const QDateTime before = QDateTime::currentDateTime();
    const auto res = d.decode(r.constData(), fifo, m);
    QCOMPARE(res.status, Status::Accepted);
    QCOMPARE(int(m.TYPE), type - 0x0B);
    QCOMPARE(m.ID, id);
    QCOMPARE(int(m.CRC8_D), crc8);
    QCOMPARE(m.CRYPTO_MIC, mic);
    QCOMPARE(int(m.CRYPTO_ITER), iter);
    QCOMPARE(m.FLAGS, quint8(0x21));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(m.PAYLOAD), 8), QByteArray("\1\2\3\4\5\6\7\10", 8));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(m.packet), packetLen), r.mid(5, packetLen));
    QCOMPARE(m.bitrate, 400u);
    QCOMPARE(m.demod_method, Demod_1_2);
    QCOMPARE(m.num_of_copies_1_2, 1u);
    const int back = fifo == Fifo::HighRate ? 90 : 3040;
    QCOMPARE(res.time_offset_ms, back);
    QVERIFY(m.time <= QDateTime::currentDateTime().addMSecs(-back));
    QVERIFY(m.time >= before.addMSecs(-back));
    // 400 bit/s on band 1 reads the 400 table: 10 log10(656) - 210.
    QVERIFY(std::fabs(m.NOISE - (-181.83f)) < 0.01f);
    QCOMPARE(m.SNR, m.RSSI - m.NOISE);
}

void TestRecordDecoder::dropped_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<Status>("status");

    QTest::newRow("empty FIFO") << FpgaRecordBuilder::empty() << Status::Empty;
    QTest::newRow("bad CRC") << FpgaRecordBuilder::build(rec_fields(0x0D), FpgaRecordBuilder::Layout::V1_1, false)
                             << Status::CrcError;
    QTest::newRow("wrong type") << FpgaRecordBuilder::build(rec_fields(0x0B)) << Status::WrongType;
    QTest::newRow("all 0xFF") << QByteArray(37, '\xFF') << Status::WrongType;
    QTest::newRow("all zero") << QByteArray(37, '\0') << Status::WrongType;
    auto f = rec_fields(0x0D);
    f.logs2 = 0x08; // filter length 256 does not fit its byte
    QTest::newRow("filter length 0") << FpgaRecordBuilder::build(f) << Status::Malformed;
    QByteArray zeroCrc(37, '\0');
    zeroCrc[34] = 0x0C;
    QTest::newRow("zeros of type C") << zeroCrc << Status::CrcError;
}

void TestRecordDecoder::dropped()
{
    QFETCH(QByteArray, record);
    QFETCH(Status, status);
    for (Fifo fifo : {Fifo::LowRate, Fifo::HighRate, Fifo::Quabo}) {
        if (fifo == Fifo::HighRate && record.at(34) == 0x0C)
            continue; // the high-rate FIFO takes type C without a CRC
        RecordDecoder d(&v11, &noise);
        d.setContext(qorm());
        message_point m;
        const auto res = d.decode(record.constData(), fifo, m);
        QCOMPARE(res.status, status);
        if (status != Status::Empty)
            QVERIFY(!res.detail.isEmpty());
    }

    // The older layout has no log2 byte: nothing to decode a frequency or noise from.
    Message_Parser_Protocol_V1_0 v10;
    RecordDecoder d(&v10, &noise);
    d.setContext(qorm());
    message_point m;
    QCOMPARE(d.decode(FpgaRecordBuilder::build(rec_fields(0x0D), FpgaRecordBuilder::Layout::V1_0).constData(),
                      Fifo::LowRate, m)
                 .status,
             Status::Malformed);
}

void TestRecordDecoder::rssi_data()
{
    QTest::addColumn<int>("station");
    QTest::addColumn<uint>("bitrate");
    QTest::addColumn<bool>("band");
    QTest::addColumn<qulonglong>("raw");
    QTest::addColumn<float>("expected");

    QTest::newRow("raw 256") << int(QORM) << 50u << false << 256ull << -210.0f;
    QTest::newRow("raw 0") << int(QORM) << 50u << false << 0ull << -210.0f;
    QTest::newRow("raw 2560") << int(QORM) << 400u << false << 2560ull << -190.0f;
    QTest::newRow("QORM 3200") << int(QORM) << 3200u << true << 256ull << -206.0f;
    QTest::newRow("QORM 25600 b1") << int(QORM) << 25600u << false << 256ull << -200.0f;
    QTest::newRow("QORM 25600 b2") << int(QORM) << 25600u << true << 256ull << -204.0f;
    QTest::newRow("LTE 25600 b1") << int(QORM_LTE) << 25600u << false << 256ull << -190.0f;
    QTest::newRow("LTE 25600 b2") << int(QORM_LTE) << 25600u << true << 256ull << -204.0f;
    QTest::newRow("Quabo 50") << int(Quabo) << 50u << false << 256ull << -228.0f;
    QTest::newRow("Quabo 3200") << int(Quabo) << 3200u << true << 256ull << -191.0f;
    QTest::newRow("Quabo 25600") << int(Quabo) << 25600u << false << 256ull << -179.0f;
    QTest::newRow("Quabo 125") << int(Quabo) << 125u << false << 256ull << -210.0f;
    QTest::newRow("TCPBS 3200") << int(TCPBS) << 3200u << false << 256ull << -210.0f;
    QTest::newRow("40-bit maximum") << int(QORM) << 50u << false << 0xFFFFFFFFFFull
                                    << float(20.0 * std::log10(double(0xFFFFFFFFFFull) / 256.0) - 210.0);
}

void TestRecordDecoder::rssi()
{
    QFETCH(int, station);
    QFETCH(uint, bitrate);
    QFETCH(bool, band);
    QFETCH(qulonglong, raw);
    QFETCH(float, expected);
    RecordDecoder d;
    auto c = qorm();
    c.station = static_cast<BS_Type>(station);
    d.setContext(c);
    QVERIFY(std::fabs(d.calcRSSI(raw, bitrate, band) - expected) < 0.001f);
}

void TestRecordDecoder::unknownBitrateHasNoNoise()
{
    RecordDecoder d(&v11, &noise);
    d.setContext(qorm());
    auto f = rec_fields(0x0E, 0x02);
    message_point m;
    const auto res = d.decode(FpgaRecordBuilder::build(f).constData(), Fifo::LowRate, m);
    QCOMPARE(res.status, Status::Accepted);
    QVERIFY(res.noise_undefined);
    QCOMPARE(m.bitrate, 0u);
    QCOMPARE(m.NOISE, 0.0f);
    QCOMPARE(m.SNR, 0.0f);
}

void TestRecordDecoder::highRateTypeCSkipsCrc()
{
    RecordDecoder d(&v11, &noise);
    d.setContext(qorm());
    auto f = rec_fields(0x0C, FpgaRecordBuilder::CODE_3200);
    message_point m;
    const auto res = d.decode(FpgaRecordBuilder::build(f, FpgaRecordBuilder::Layout::V1_1, false).constData(),
                              Fifo::HighRate, m);
    QCOMPARE(res.status, Status::Accepted);
    QCOMPARE(m.TYPE, Protocol_C);
    QCOMPARE(m.P_CRC, 0u);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(m.packet), 35), QByteArray(35, '\0'));
    QCOMPARE(m.ID, 154u);
}

void TestRecordDecoder::quaboRecord_data()
{
    QTest::addColumn<int>("logs2");
    QTest::addColumn<int>("freqNum");
    QTest::addColumn<int>("rotation");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<uint>("rotationOut");

    // Quabo always takes the bin rule and never clamps; the noise index is clamped instead.
    QTest::newRow("logs2 0x52") << 0x52 << 10 << 0 << qint64(500) << 0u;
    QTest::newRow("upper half of 128") << 0x52 << 100 << 0 << qint64(-28 * 50) << 0u;
    QTest::newRow("freq 400 beyond the FFT") << 0xA0 << 400 << 0 << qint64(400 * 50) << 0u;
    QTest::newRow("rotation 0xFF") << 0xA0 << 10 << 0xFF << qint64(500) << 0xFFFFFFFFu;
    QTest::newRow("rotation 0x02") << 0xA0 << 10 << 0x02 << qint64(500 - 17) << 1u;
    QTest::newRow("rotation 0x06") << 0xA0 << 10 << 0x06 << qint64(500) << 3u;
    QTest::newRow("beyond every table") << 0xA0 << 60000 << 0 << qint64(-(1024 - 60000) * 50) << 0u;
}

void TestRecordDecoder::quaboRecord()
{
    QFETCH(int, logs2);
    QFETCH(int, freqNum);
    QFETCH(int, rotation);
    QFETCH(qint64, offset);
    QFETCH(uint, rotationOut);
    RecordDecoder d(&v11, &noise);
    auto c = qorm();
    c.station = Quabo;
    c.rev_lo = false;
    d.setContext(c);
    auto f = rec_fields(0x0D);
    f.logs2 = static_cast<uint8_t>(logs2);
    f.freq_num = static_cast<uint16_t>(freqNum);
    f.rotation = static_cast<uint8_t>(rotation);
    message_point m;
    const auto res = d.decode(FpgaRecordBuilder::build(f).constData(), Fifo::Quabo, m);
    QCOMPARE(res.status, Status::Accepted);
    QCOMPARE(res.time_offset_ms, 3040);
    QCOMPARE(m.rotation, rotationOut);
    QCOMPARE(m.FREQ, quint64(quint32(qint64(UL1) + offset)));
    QVERIFY(std::isfinite(m.NOISE));
}

QTEST_GUILESS_MAIN(TestRecordDecoder)
#include "tst_record_decoder.moc"
