// The in-memory message log: rows, queries and statistics on fixtures written through a manual
// clock.
#include "ManualQueueClock.h"
#include "dl_message_point.h"
#include "meslog.h"
#include "message_point.h"

#include <QtTest>

#include <cmath>
#include <limits>
#include <memory>

namespace {

const QDateTime kT0(QDate(2026, 3, 1), QTime(12, 0, 0), Qt::UTC);

message_point uplink(quint32 id, float snr, float rssi, vexa_phy_channel_t phy = UL_DBPSK_50_PROT_D)
{
    message_point m;
    m.ID = id;
    m.SNR = snr;
    m.RSSI = rssi;
    m.phy = phy;
    m.FLAGS = 0xE5; // iterator 5
    m.FREQ = 868801234;
    m.offset = -150;
    const unsigned char payload[8] = {0x0A, 0xFF, 0x00, 0x10, 0x20, 0x30, 0x40, 0x5B};
    memcpy(m.PAYLOAD, payload, 8);
    return m;
}

dl_message_point downlink(quint32 id, qint8 power, const QString& phy = "DL_DBPSK_400_PROT_D")
{
    dl_message_point d;
    d.modem_id = id;
    d.strength = quint8(power);
    d.phy = phy;
    d.freq = 869100000;
    d.iterator = 9;
    d.payload_len = 3;
    d.payload[0] = 0x01;
    d.payload[1] = 0xAB;
    d.payload[2] = 0xCD;
    return d;
}

} // namespace

class TestMeslog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void normalisedSnr_data();
    void normalisedSnr();
    void rowsComeBackAsJson();
    void selectFilters_data();
    void selectFilters();
    void idListInParts_data();
    void idListInParts();
    void statsOnFixtures_data();
    void statsOnFixtures();
    void statsStayFinite();
    void snapshotsFollowTheirPeriods();
    void deleteOldFollowsTtl();

private:
    std::unique_ptr<ManualQueueClock> clock_;
    std::unique_ptr<meslog> log_;
};

void TestMeslog::init()
{
    clock_.reset(new ManualQueueClock(kT0));
    log_.reset(new meslog(1440, clock_.get()));
}

void TestMeslog::cleanup()
{
    log_.reset();
    clock_.reset();
}

void TestMeslog::normalisedSnr_data()
{
    QTest::addColumn<int>("phy");
    QTest::addColumn<double>("gain");
    QTest::newRow("50 bit/s") << int(UL_DBPSK_50_PROT_D) << 0.0;
    QTest::newRow("400 bit/s") << int(UL_DBPSK_400_PROT_D) << 9.0309;
    QTest::newRow("3200 bit/s") << int(UL_DBPSK_3200_PROT_E) << 18.0618;
    QTest::newRow("25600 bit/s") << int(UL_DBPSK_25600_PROT_D) << 27.0927;
    // No known bit rate: no normalisation rather than log10(0).
    QTest::newRow("100H D") << int(UL_DBPSK_100H_PROT_D) << 0.0;
    QTest::newRow("100H E") << int(UL_DBPSK_100H_PROT_E) << 0.0;
    QTest::newRow("carrier") << int(UL_CARRIER) << 0.0;
    QTest::newRow("unnamed code 5") << 5 << 0.0;
    QTest::newRow("negative code") << -3 << 0.0;
}

void TestMeslog::normalisedSnr()
{
    QFETCH(int, phy);
    QFETCH(double, gain);
    const float n = meslog::normalisedSnr(12.5f, phy);
    QVERIFY(std::isfinite(n));
    QVERIFY2(std::fabs(n - (12.5 + gain)) < 1e-3, qPrintable(QString::number(n)));
}

void TestMeslog::rowsComeBackAsJson()
{
    log_->append(uplink(0xABCDEF01u, 10.4f, -120.6f, UL_DBPSK_400_PROT_D));
    clock_->advance(1000);
    log_->append(downlink(77, -3));

    const QJsonArray rows = log_->select(kT0, clock_->now(), {}, {}, 100);
    QCOMPARE(rows.size(), 2);
    const QJsonObject dl = rows.at(0).toObject();
    QCOMPARE(dl.value("type").toString(), QString("DL"));
    QCOMPARE(dl.value("modem_id").toInt(), 77);
    QCOMPARE(dl.value("time_saved").toDouble(), double(kT0.addSecs(1).toMSecsSinceEpoch()));
    QCOMPARE(dl.value("iterator").toInt(), 9);
    QCOMPARE(dl.value("payload").toString(), QString("01ABCD"));
    QCOMPARE(dl.value("snr").toInt(-1), 0);
    QCOMPARE(dl.value("nsnr").toInt(-1), 0);
    QCOMPARE(dl.value("rssi_or_pwr").toInt(), -3);
    QCOMPARE(dl.value("freq").toDouble(), 869100000.0);
    QCOMPARE(dl.value("phy").toString(), QString("DL_DBPSK_400_PROT_D"));
    QCOMPARE(dl.value("offset").toInt(-1), 0);

    const QJsonObject ul = rows.at(1).toObject();
    QCOMPARE(ul.value("type").toString(), QString("UL"));
    QCOMPARE(ul.value("modem_id").toDouble(), double(0xABCDEF01u));
    QCOMPARE(ul.value("iterator").toInt(), 5);
    QCOMPARE(ul.value("payload").toString(), QString("0AFF00102030405B"));
    QCOMPARE(ul.value("snr").toInt(), 10);
    QCOMPARE(ul.value("nsnr").toInt(), 19); // 10.4 + 9.03
    QCOMPARE(ul.value("rssi_or_pwr").toInt(), -121);
    QCOMPARE(ul.value("freq").toDouble(), 868801234.0);
    QCOMPARE(ul.value("phy").toString(), QString("24"));
    QCOMPARE(ul.value("offset").toInt(), -150);
}

void TestMeslog::selectFilters_data()
{
    QTest::addColumn<QList<int>>("ids");
    QTest::addColumn<QList<int>>("types");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QList<int>>("expected"); // modem ids, newest first
    // Fixture, oldest first: UL 5, UL 7, DL 5, UL 9, DL 7, UL 4000000000
    QTest::newRow("everything") << QList<int>{} << QList<int>{} << 100
                                << QList<int>{int(4000000000u), 7, 9, 5, 7, 5};
    QTest::newRow("ids 5 and 7") << QList<int>{5, 7} << QList<int>{} << 100 << QList<int>{7, 5, 7, 5};
    QTest::newRow("downlink only") << QList<int>{} << QList<int>{1} << 100 << QList<int>{7, 5};
    QTest::newRow("uplink of 5 and 9") << QList<int>{5, 9} << QList<int>{0} << 100 << QList<int>{9, 5};
    QTest::newRow("limit 2") << QList<int>{} << QList<int>{} << 2 << QList<int>{int(4000000000u), 7};
    QTest::newRow("limit 0") << QList<int>{} << QList<int>{} << 0 << QList<int>{};
    QTest::newRow("negative limit") << QList<int>{} << QList<int>{} << -1 << QList<int>{};
    QTest::newRow("id above 2^31 as signed") << QList<int>{int(4000000000u)} << QList<int>{} << 100
                                             << QList<int>{int(4000000000u)};
    QTest::newRow("unknown id") << QList<int>{12345} << QList<int>{} << 100 << QList<int>{};
}

void TestMeslog::selectFilters()
{
    QFETCH(QList<int>, ids);
    QFETCH(QList<int>, types);
    QFETCH(int, limit);
    QFETCH(QList<int>, expected);
    log_->append(uplink(5, 1, -100));
    clock_->advance(1000);
    log_->append(uplink(7, 1, -100));
    clock_->advance(1000);
    log_->append(downlink(5, 10));
    clock_->advance(1000);
    log_->append(uplink(9, 1, -100));
    clock_->advance(1000);
    log_->append(downlink(7, 10));
    clock_->advance(1000);
    log_->append(uplink(4000000000u, 1, -100));
    // A row outside the window.
    clock_->advance(60000);
    log_->append(uplink(5, 1, -100));

    QList<int> got;
    for (const QJsonValue& v : log_->select(kT0, kT0.addSecs(5), ids, types, limit))
        got << int(quint32(v.toObject().value("modem_id").toDouble()));
    QCOMPARE(got, expected);
}

// A long id list is looked up in parts: the same rows, in the same order and number, as one
// statement over the whole list.
void TestMeslog::idListInParts_data()
{
    QTest::addColumn<QList<int>>("ids");
    QTest::addColumn<QList<int>>("types");
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("rows");
    QList<int> logged;
    QList<int> many;
    for (int i = 0; i < 24; ++i)
        logged << int(100u + 97u * quint32(i));
    for (int id = 1; id <= 3000; ++id)
        many << id;
    // Repeated ids and one above 2^31 given as signed.
    QList<int> repeated = logged + logged;
    repeated << int(4000000000u) << int(4000000000u);
    QTest::newRow("logged ids, all rows") << logged << QList<int>{} << 1000 << 70;
    QTest::newRow("logged ids, limit 10") << logged << QList<int>{} << 10 << 10;
    QTest::newRow("logged ids, limit 0") << logged << QList<int>{} << 0 << 0;
    QTest::newRow("3000 ids, limit 50") << many << QList<int>{} << 50 << 50;
    QTest::newRow("repeated ids, downlink, types repeated") << repeated << QList<int>{1, 1} << 1000 << 15;
    QTest::newRow("repeated ids, uplink, limit 7") << repeated << QList<int>{0} << 7 << 7;
}

void TestMeslog::idListInParts()
{
    QFETCH(QList<int>, ids);
    QFETCH(QList<int>, types);
    QFETCH(int, limit);
    QFETCH(int, rows);
    // 72 rows of 25 modems, three of them logged in each millisecond: the order within one
    // millisecond counts as well.
    for (int i = 0; i < 72; ++i) {
        const quint32 id = i % 25 == 24 ? 4000000000u : 100u + 97u * quint32(i % 25);
        if (i % 5 == 0)
            log_->append(downlink(id, 10));
        else
            log_->append(uplink(id, 1, -100));
        if (i % 3 == 2)
            clock_->advance(1);
    }
    log_->set_ids_per_statement(1 << 30);
    const QJsonArray whole = log_->select(kT0, clock_->now(), ids, types, limit);
    QCOMPARE(whole.size(), rows);
    for (int part : {1, 3, 7, 1000}) {
        log_->set_ids_per_statement(part);
        QCOMPARE(log_->select(kT0, clock_->now(), ids, types, limit), whole);
    }
}

void TestMeslog::statsOnFixtures_data()
{
    // Each fixture row: type (0 UL, 1 DL), modem id, SNR or power, RSSI, phy code.
    QTest::addColumn<QVector<QVector<double>>>("rows");
    QTest::addColumn<QVector<qint64>>("expected"); // ul_total, ul_modems, ul_rssi, noise, dl_total, dl_modems, dl_power
    QTest::newRow("empty") << QVector<QVector<double>>{} << QVector<qint64>{0, 0, 0, 0, 0, 0, 0};
    QTest::newRow("uplink at 50 bit/s")
        << QVector<QVector<double>>{{0, 1, 10, -120, 21}, {0, 1, 20, -110, 21}, {0, 2, 15, -130, 21}}
        << QVector<qint64>{3, 2, -120, -135, 0, 0, 0};
    QTest::newRow("400 bit/s noise is normalised")
        << QVector<QVector<double>>{{0, 1, 10, -120, 24}} << QVector<qint64>{1, 1, -120, -139, 0, 0, 0};
    QTest::newRow("only downlink")
        << QVector<QVector<double>>{{1, 3, 14, 0, 0}, {1, 3, 20, 0, 0}, {1, 4, 26, 0, 0}}
        << QVector<qint64>{0, 0, 0, 0, 3, 2, 20};
    QTest::newRow("both, averages rounded")
        << QVector<QVector<double>>{{0, 1, 10, -120.4, 21}, {0, 2, 10, -121, 21}, {1, 1, -3, 0, 0}, {1, 1, 0, 0, 0}}
        << QVector<qint64>{2, 2, -121, -131, 2, 1, -2};
}

void TestMeslog::statsOnFixtures()
{
    QFETCH(QVector<QVector<double>>, rows);
    QFETCH(QVector<qint64>, expected);
    for (const QVector<double>& r : rows) {
        if (r[0] == 0)
            log_->append(uplink(quint32(r[1]), float(r[2]), float(r[3]), vexa_phy_channel_t(int(r[4]))));
        else
            log_->append(downlink(quint32(r[1]), qint8(r[2])));
        clock_->advance(500);
    }
    const QJsonObject s = log_->stats(kT0, kT0.addSecs(60));
    QCOMPARE(s.value("ts").toDouble(), double(kT0.addSecs(60).toSecsSinceEpoch()));
    QCOMPARE(s.value("period").toInt(), 60);
    const char* keys[] = {"ul_total", "ul_modems_total", "ul_aver_rssi", "aver_noise",
                          "dl_total", "dl_modems_total", "dl_aver_power"};
    for (int i = 0; i < 7; ++i) {
        QVERIFY2(s.value(keys[i]).isDouble(), keys[i]);
        QCOMPARE(qint64(s.value(keys[i]).toDouble()), expected[i]);
    }
}

void TestMeslog::statsStayFinite()
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    log_->append(uplink(1, nan, -120, UL_DBPSK_50_PROT_D));
    log_->append(uplink(2, inf, -inf, UL_DBPSK_25600_PROT_D));
    log_->append(uplink(3, 10, -110, UL_DBPSK_100H_PROT_E));
    log_->append(uplink(4, 3e38f, -3e38f, UL_DBPSK_25600_PROT_D));
    const QJsonObject s = log_->stats(kT0, kT0);
    QCOMPARE(s.value("ul_total").toInt(), 4); // every row was kept
    for (auto it = s.begin(); it != s.end(); ++it)
        QVERIFY2(std::isfinite(it.value().toDouble()), qPrintable(it.key()));
    for (const QJsonValue& row : log_->select(kT0, kT0, {}, {}, 10))
        for (const char* key : {"snr", "nsnr", "rssi_or_pwr"})
            QVERIFY(std::isfinite(row.toObject().value(key).toDouble()));
    QVERIFY(QJsonDocument(s).toJson().indexOf("inf") < 0);
}

void TestMeslog::snapshotsFollowTheirPeriods()
{
    log_->set_ttl(120);
    log_->append(uplink(1, 10, -120));
    clock_->advance(60000);
    log_->make_stats(); // t = 60 s: reference times start here
    QCOMPARE(log_->last_minute_stats().value("ul_total").toInt(), 1);
    QVERIFY(log_->last_hour_stats().isEmpty());
    QVERIFY(log_->last_total_stats().isEmpty());

    for (int minute = 1; minute < 60; ++minute) {
        clock_->advance(60000);
        log_->make_stats();
        QVERIFY(log_->last_hour_stats().isEmpty());
    }
    QCOMPARE(log_->last_minute_stats().value("ul_total").toInt(), 0);
    clock_->advance(60000); // one hour after the first run
    log_->make_stats();
    QCOMPARE(log_->last_hour_stats().value("period").toInt(), 3600);
    QCOMPARE(log_->last_hour_stats().value("ul_total").toInt(), 0);
    QVERIFY(log_->last_total_stats().isEmpty());
    log_->append(uplink(2, 10, -120));
    for (int minute = 0; minute < 60; ++minute) {
        clock_->advance(60000);
        log_->make_stats();
    }
    QCOMPARE(log_->last_total_stats().value("period").toInt(), 7200);
    QCOMPARE(log_->last_total_stats().value("ul_total").toInt(), 1);

    // A new log starts its own periods.
    log_.reset();
    log_.reset(new meslog(120, clock_.get()));
    log_->make_stats();
    QVERIFY(!log_->last_minute_stats().isEmpty());
    QVERIFY(log_->last_hour_stats().isEmpty());
    QVERIFY(log_->last_total_stats().isEmpty());
}

void TestMeslog::deleteOldFollowsTtl()
{
    log_->append(uplink(1, 1, -100));            // t0
    clock_->advance(30 * 60000);
    log_->append(uplink(2, 1, -100));            // t0 + 30 min
    clock_->advance(30 * 60000);
    log_->append(downlink(3, 1));                // t0 + 60 min
    clock_->advance(60 * 60000);                 // now t0 + 120 min

    log_->delete_old(); // 1440 minutes: nothing is that old
    QCOMPARE(log_->select(kT0, clock_->now(), {}, {}, 100).size(), 3);
    log_->set_ttl(90);
    log_->delete_old(); // rows at or before t0 + 30 min go
    QList<int> left;
    for (const QJsonValue& v : log_->select(kT0, clock_->now(), {}, {}, 100))
        left << v.toObject().value("modem_id").toInt();
    QCOMPARE(left, QList<int>{3});
}

QTEST_GUILESS_MAIN(TestMeslog)
#include "tst_meslog.moc"
