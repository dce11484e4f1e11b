#include "HeartbeatRecord.h"

#include "BinaryConverter.h"
#include "NoiseLevels.h"

#include <QJsonDocument>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {
receiver_info twoBandReader()
{
    receiver_info r;
    r.active = true;
    r.state = 0x10E;
    r.aver_noiseBand1 = -131.5f;
    r.aver_noiseBand2 = std::numeric_limits<float>::quiet_NaN();
    r.band1_offset = 0;
    r.band2_offset = -204800;
    r.fpga_info_.firmware_ver = 812;
    r.fpga_info_.hardware_ver = 102;
    r.fpga_info_.fpga_bs_type = QORM;
    r.fpga_info_.bandwidth1 = 51200;
    r.fpga_info_.bandwidth2 = 102400;
    r.fpga_info_.supported_ul_bitrates_band1 = {UL_DBPSK_50_PROT_D, UL_DBPSK_400_PROT_D};
    r.fpga_info_.supported_ul_bitrates_band2 = {UL_DBPSK_3200_PROT_E};
    r.fpga_temperature_ = 51.25f;
    return r;
}

transmitter_info radioModem()
{
    transmitter_info t;
    t.type = "AX8052F143 modem";
    t.hardware_ver = 7;
    t.active = true;
    t.state = 8;
    t.busyness = 0.25f;
    t.aver_busyness = 0.125f;
    t.max_power = 26;
    t.max_duty_cycle = 10;
    t.lbt = true;
    t.base_freqs = {446000000u, 446500000u};
    t.freq_plans = {1, 2};
    t.dl_bitrates = {{DL_DBPSK_50_PROT_D, DL_DBPSK_400_PROT_D}};
    return t;
}

QJsonObject stat(qint64 ts)
{
    return QJsonObject{{"ts", ts}, {"period", 60}, {"ul_total", 3}, {"ul_modems_total", 2}, {"ul_aver_rssi", -120},
                       {"aver_noise", -131}, {"dl_total", 0}, {"dl_modems_total", 0}, {"dl_aver_power", 0}};
}
} // namespace

class TestHeartbeatRecord : public QObject {
    Q_OBJECT
private slots:
    void plan_data();
    void plan();
    void receiver();
    void receiverNotActiveIsNotEnabled();
    void bandNoiseThroughFirstAverages_data();
    void bandNoiseThroughFirstAverages();
    void transmitter_data();
    void transmitter();
    void transmitterBands();
    void disabledForm();
    void revisions();
    void temperature_data();
    void temperature();
    void stats();
    void textAndBinary();
};

void TestHeartbeatRecord::plan_data()
{
    QTest::addColumn<quint32>("bandwidth");
    QTest::addColumn<qint32>("offset");
    QTest::addColumn<int>("code");
    QTest::newRow("51200, 0") << 51200u << 0 << 384;
    QTest::newRow("102400, -204800") << 102400u << -204800 << 578;
    QTest::newRow("6400, +6400") << 6400u << 6400 << 1;
    QTest::newRow("204800, +409600") << 204800u << 409600 << 642;
    QTest::newRow("12800, -1") << 12800u << -1 << 192;
    QTest::newRow("below one class") << 3200u << 0 << 0;
    QTest::newRow("bandwidth 0 has no plan") << 0u << 12345 << 0;
}

void TestHeartbeatRecord::plan()
{
    QFETCH(quint32, bandwidth);
    QFETCH(qint32, offset);
    QFETCH(int, code);
    QCOMPARE(HeartbeatRecord::ul_freq_plan(bandwidth, offset), code);
}

void TestHeartbeatRecord::receiver()
{
    const QJsonObject r = HeartbeatRecord::receiver(twoBandReader(), 868800000u);
    QCOMPARE(r.value("enabled").toBool(), true);
    QCOMPARE(r.value("ul_base_freqs").toArray(), QJsonArray{868800000});
    const QJsonArray bands = r.value("bands").toArray();
    QCOMPARE(bands.size(), 2);
    const QJsonObject b1 = bands.at(0).toObject();
    QCOMPARE(b1.value("ul_freq_plan").toInt(), 384);
    QCOMPARE(b1.value("ul_bitrates").toArray(), (QJsonArray{21, 24}));
    QCOMPARE(b1.value("noise").toDouble(), -131.5);
    const QJsonObject b2 = bands.at(1).toObject();
    QCOMPARE(b2.value("ul_freq_plan").toInt(), 578);
    QCOMPARE(b2.value("ul_bitrates").toArray(), QJsonArray{32});
    QVERIFY(!b2.contains("noise")); // NaN: only the noise is left out

    receiver_info one = twoBandReader();
    one.fpga_info_.supported_ul_bitrates_band1.clear();
    one.aver_noiseBand2 = std::numeric_limits<float>::infinity();
    const QJsonArray only = HeartbeatRecord::receiver(one, 868800000u).value("bands").toArray();
    QCOMPARE(only.size(), 1);
    QCOMPARE(only.at(0).toObject().value("ul_freq_plan").toInt(), 578);
    QVERIFY(!only.at(0).toObject().contains("noise"));
}

void TestHeartbeatRecord::bandNoiseThroughFirstAverages_data()
{
    QTest::addColumn<int>("spectra");
    QTest::addColumn<bool>("present");
    QTest::addColumn<double>("band1");
    QTest::addColumn<double>("band2");
    // The noise each band carries in the heartbeat while the reader's averages start up, with
    // a flat spectrum of magnitude 3162 on both bands (band 2 read at 400 bit/s).
    QTest::newRow("before the first average") << 399 << true << 0.0 << 0.0;
    // The first 40 s average comes from tables the warm-up has not folded up yet: minus
    // infinity, which the heartbeat leaves out.
    QTest::newRow("first average") << 400 << false << 0.0 << 0.0;
    QTest::newRow("second average") << 800 << true << -140.0 << -135.9;
}

void TestHeartbeatRecord::bandNoiseThroughFirstAverages()
{
    QFETCH(int, spectra);
    QFETCH(bool, present);
    QFETCH(double, band1);
    QFETCH(double, band2);
    auto flat = [](size_t bins) {
        std::vector<uint8_t> s(bins * 4);
        const uint32_t w = 3162u << 8;
        for (size_t i = 0; i < s.size(); ++i)
            s[i] = uint8_t(w >> (8 * (i % 4)));
        return s;
    };
    NoiseLevels n;
    n.initNoiseLev();
    for (int i = 0; i < spectra; ++i) {
        n.calc_noise_levels(flat(1024), Band1);
        n.calc_noise_levels(flat(512), Band2);
    }
    receiver_info r = twoBandReader();
    r.aver_noiseBand1 = n.getAverNoise50Band1();
    r.aver_noiseBand2 = n.getAverNoise400Band2();
    const QJsonObject receiver = HeartbeatRecord::receiver(r, 868800000u);
    const QJsonArray bands = receiver.value("bands").toArray();
    QCOMPARE(bands.size(), 2);
    const double expected[] = {band1, band2};
    for (int b = 0; b < 2; ++b) {
        const QJsonObject band = bands.at(b).toObject();
        QCOMPARE(band.contains("noise"), present);
        QCOMPARE(band.value("ul_bitrates").toArray().isEmpty(), false);
        if (present)
            QVERIFY2(std::fabs(band.value("noise").toDouble() - expected[b]) < 0.1,
                     qPrintable(QString::number(band.value("noise").toDouble())));
    }
    const QByteArray text = HeartbeatRecord::text(QJsonObject{{"receiver", receiver}});
    for (const char* word : {"inf", "nan", "null"})
        QVERIFY2(!text.contains(word), text.constData());
}

void TestHeartbeatRecord::receiverNotActiveIsNotEnabled()
{
    receiver_info r = twoBandReader();
    r.active = false;
    QCOMPARE(HeartbeatRecord::receiver(r, 1u).value("enabled").toBool(), false);
}

void TestHeartbeatRecord::transmitter_data()
{
    QTest::addColumn<bool>("active");
    QTest::addColumn<quint32>("state");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("active, DL bit") << true << 8u << true;
    QTest::newRow("active, other bits") << true << 0xF7u << false;
    QTest::newRow("inactive, DL bit") << false << 8u << false;
}

void TestHeartbeatRecord::transmitter()
{
    QFETCH(bool, active);
    QFETCH(quint32, state);
    QFETCH(bool, enabled);
    transmitter_info t = radioModem();
    t.active = active;
    t.state = state;
    QCOMPARE(HeartbeatRecord::transmitter(t).value("enabled").toBool(), enabled);
}

void TestHeartbeatRecord::transmitterBands()
{
    const QJsonObject t = HeartbeatRecord::transmitter(radioModem());
    QCOMPARE(t.value("dl_base_freqs").toArray(), (QJsonArray{446000000, 446500000}));
    QCOMPARE(t.value("busyness").toDouble(), 0.25);
    QCOMPARE(t.value("busyness_aver").toDouble(), 0.125);
    QCOMPARE(t.value("max_power").toInt(), 26);
    QCOMPARE(t.value("max_duty_cycle").toInt(), 10);
    QCOMPARE(t.value("lbt").toBool(), true);
    // Two plans, one bit-rate list: the second band gets an empty list.
    const QJsonArray bands = t.value("bands").toArray();
    QCOMPARE(bands.size(), 2);
    QCOMPARE(bands.at(0).toObject(), (QJsonObject{{"dl_freq_plan", 1}, {"dl_bitrates", QJsonArray{10, 11}}}));
    QCOMPARE(bands.at(1).toObject(), (QJsonObject{{"dl_freq_plan", 2}, {"dl_bitrates", QJsonArray()}}));
}

void TestHeartbeatRecord::disabledForm()
{
    const QJsonObject full = HeartbeatRecord::transmitter(radioModem());
    QJsonObject off = HeartbeatRecord::transmitter_disabled(full);
    QCOMPARE(off.value("enabled").toBool(), false);
    off.insert("enabled", true);
    QCOMPARE(off, full);
    QCOMPARE(HeartbeatRecord::transmitter_disabled(QJsonObject()), (QJsonObject{{"enabled", false}}));
}

void TestHeartbeatRecord::revisions()
{
    const receiver_info r = twoBandReader();
    const transmitter_info t = radioModem();
    QCOMPARE(HeartbeatRecord::revisions(&r, &t, "3.5.1"),
             (QJsonObject{{"fpga_rev", 812}, {"tolva_rev", "3.5.1"}, {"hw_rev", "1.02"}, {"ax_rev", "ax.7"}}));
    transmitter_info other = t;
    other.type = "ax8052f143"; // the type test is case-sensitive
    QCOMPARE(HeartbeatRecord::revisions(nullptr, &other, "3.5.1"), QJsonObject());
    QCOMPARE(HeartbeatRecord::revisions(nullptr, &t, "3.5.1"), (QJsonObject{{"ax_rev", "ax.7"}}));
    receiver_info round = r;
    round.fpga_info_.hardware_ver = 200;
    QCOMPARE(HeartbeatRecord::revisions(&round, nullptr, "3.5.1").value("hw_rev").toString(), QString("2"));
}

void TestHeartbeatRecord::temperature_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("celsius");
    QTest::newRow("48.3") << QByteArray("temp=48.3'C\n") << 48;
    QTest::newRow("7.5 needs the 3-character try") << QByteArray("temp=7.5'C\n") << 7;
    QTest::newRow("100.0") << QByteArray("temp=100.0'C\n") << 100;
    QTest::newRow("negative truncates toward zero") << QByteArray("temp=-5.7'C") << -5;
    QTest::newRow("empty") << QByteArray() << -100;
    QTest::newRow("no temp=") << QByteArray("error: VCHI") << -100;
    QTest::newRow("no number") << QByteArray("temp=hot") << -100;
}

void TestHeartbeatRecord::temperature()
{
    QFETCH(QByteArray, output);
    QFETCH(int, celsius);
    QCOMPARE(HeartbeatRecord::parse_temperature(output), celsius);
}

void TestHeartbeatRecord::stats()
{
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1700000000);
    const QJsonArray out = HeartbeatRecord::fresh_stats(
        {stat(1700000000 - 29), stat(1700000000 - 30), QJsonObject(), stat(1700000000)}, now);
    QCOMPARE(out.size(), 2);
    QCOMPARE(out.at(0).toObject().value("ts").toInt(), 1700000000 - 29);
    QCOMPARE(out.at(1).toObject().value("ts").toInt(), 1700000000);
}

void TestHeartbeatRecord::textAndBinary()
{
    // A heartbeat as the station assembles it, full and without downlink.
    const receiver_info r = twoBandReader();
    const transmitter_info t = radioModem();
    QJsonObject hb{{"version", 1}, {"msg_type", "beat_vexa_e"}, {"bs_id", 1234}, {"mode", "test"},
                   {"temperature", 48}, {"latitude", 55.75}, {"longitude", 37.5}, {"bs_type", "QORM"},
                   {"bs_state", 14}, {"fpga_temperature", 51.25}, {"time_published", 1700000000}};
    hb.insert("bs_revisions", HeartbeatRecord::revisions(&r, &t, "3.5.1"));
    hb.insert("receiver", HeartbeatRecord::receiver(r, 868800000u));
    const QJsonObject tx = HeartbeatRecord::transmitter(t);
    hb.insert("transmitter", tx);
    hb.insert("gsm_data", HeartbeatRecord::gsm_data("+79001234567", "12.50", -71.5f));
    hb.insert("stats", QJsonArray{stat(1700000000)});
    QJsonObject noDl = hb;
    noDl.insert("transmitter", HeartbeatRecord::transmitter_disabled(tx));

    const QByteArray text = HeartbeatRecord::text(hb);
    QVERIFY(text.startsWith("{\n    \"bs_id\": 1234,\n    \"bs_revisions\": {\n        \"ax_rev\": \"ax.7\",\n"));
    QCOMPARE(QJsonDocument::fromJson(text).object(), hb);

    for (const QJsonObject& form : {hb, noDl}) {
        BinaryConverter conv;
        QByteArray bin;
        QVERIFY2(conv.Json2Binary<HeartBeatMsg>(QJsonDocument::fromJson(HeartbeatRecord::text(form)), bin),
                 qPrintable(conv.GetError()));
        QJsonDocument back;
        QVERIFY2(conv.Binary2Json<HeartBeatMsg>(bin, back), qPrintable(conv.GetError()));
        const QJsonObject b = back.object();
        QCOMPARE(b.value("bs_id").toInt(), 1234);
        QCOMPARE(b.value("transmitter").toObject().value("enabled").toBool(), form == hb);
        QCOMPARE(b.value("receiver").toObject().value("bands").toArray().size(), 2);
        QCOMPARE(b.value("gsm_data").toObject().value("rssi").toString(), QString("-71.5"));
        QCOMPARE(b.value("latitude").toDouble(), 55.75);
    }

    // Without reader and sender: empty receiver and transmitter objects still convert.
    QJsonObject bare{{"version", 1}, {"msg_type", "beat_vexa_e"}, {"bs_id", 5}, {"mode", ""}, {"temperature", -100},
                     {"time_published", 1700000000}, {"bs_revisions", QJsonObject()}, {"receiver", QJsonObject()},
                     {"transmitter", QJsonObject()}, {"stats", QJsonArray()}};
    BinaryConverter conv;
    QByteArray bin;
    QVERIFY2(conv.Json2Binary<HeartBeatMsg>(QJsonDocument(bare), bin), qPrintable(conv.GetError()));
    bare.insert("transmitter", HeartbeatRecord::transmitter_disabled(QJsonObject()));
    QVERIFY2(conv.Json2Binary<HeartBeatMsg>(QJsonDocument(bare), bin), qPrintable(conv.GetError()));
}

QTEST_GUILESS_MAIN(TestHeartbeatRecord)
#include "tst_heartbeat_record.moc"
