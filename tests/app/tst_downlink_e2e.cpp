// Downlinks end to end: tolvar-sim as a QORM station with the FPGA modulator takes downlink
// requests from a private RabbitMQ and puts their frames on the simulated air, where its
// on-air log shows them. Its serial radio modem is the modem simulator, which these phys leave
// idle: its version stays unknown until an autocorrection reads it. And the example station,
// whose serial modem has no port, left a minute with a request only that modem could send.
#include "ModemSimProcess.h"
#include "StationProcess.h"
#include "TestBroker.h"
#include "downlink_frames.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");
const int kStationId = 1234;

struct Request {
    quint32 id;
    QString phy;
    int priority;
    quint32 ver;
    qint64 deadline; // Unix seconds
};

QByteArray requestBody(const Request& r)
{
    QJsonObject o{{"modem_id", qint64(r.id)},
                  {"payload", "0102030405060708"},
                  {"phy", r.phy},
                  {"vexa_ver", qint64(r.ver)},
                  {"iterator", 3},
                  {"frequency", 446000000},
                  {"signal_strength", 20},
                  {"preambula", qint64(0x0A0B0C0D)},
                  {"crypto_iter", 9},
                  {"crypto_flags", 1},
                  {"crypto_mic", qint64(0x123456)},
                  {"priority", r.priority},
                  {"time_outdate", r.deadline}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// The frame the station must build for a request of requestBody().
QByteArray expectedFrame(const Request& r)
{
    const uint8_t payload[9] = {1, 2, 3, 4, 5, 6, 7, 8, 0};
    uint8_t f[DL_FRAME_SIZE];
    if (r.phy.endsWith("_E"))
        build_prot_e_ver5_frame(r.id, 0x0A0B0C0D, 9, 1, payload, 0x123456, f);
    else if (r.ver == 4)
        build_prot_d_ver4_frame(r.id, 3, payload, 0, f);
    else
        build_prot_d_ver5_frame(0x0A0B0C0D, 9, 1, payload, 0x123456, f);
    return QByteArray(reinterpret_cast<const char*>(f), DL_FRAME_SIZE);
}

double bitrateOf(const QString& phy)
{
    for (int rate : {25600, 3200, 400, 50})
        if (phy.contains(QStringLiteral("_%1_").arg(rate)))
            return rate;
    return 0;
}

QList<QJsonObject> onAirOfKind(const StationProcess& station, const QString& kind)
{
    QList<QJsonObject> out;
    for (const QJsonObject& o : readJsonLines(station.path("onair.jsonl")))
        if (o.value("kind").toString() == kind)
            out.append(o);
    return out;
}

// The frames on the air (the synthesizer's lines left out).
QList<QJsonObject> onAir(const StationProcess& station)
{
    return onAirOfKind(station, QStringLiteral("frame"));
}

// Bytes of the lines the downlink side wrote (scheduler, modulator, serial modem).
qint64 downlinkBytes(const QByteArray& log)
{
    static const char* const kMarks[] = {"DL message", "dig_mod", "ax8052f143", "Vexa ", "Axsem", "Serial port"};
    qint64 n = 0;
    for (const QByteArray& line : log.split('\n')) {
        for (const char* mark : kMarks) {
            if (line.contains(mark)) {
                n += line.size() + 1;
                break;
            }
        }
    }
    return n;
}

QDateTime when(const QJsonObject& line, const char* key)
{
    return QDateTime::fromString(line.value(QLatin1String(key)).toString(), Qt::ISODateWithMs);
}
} // namespace

class TestDownlinkE2E : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void requestsReachTheAir();
    void waitingRequestKeepsTheLogSmall();

private:
    TestBroker broker_;
};

void TestDownlinkE2E::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
}

void TestDownlinkE2E::cleanupTestCase()
{
    broker_.stop();
}

void TestDownlinkE2E::requestsReachTheAir()
{
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "dl_e2e_uplinks", "backend.vexa_uplink"));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ModemSimProcess modem(dir.path());
    QVERIFY(modem.start({QStringLiteral("--crc")}));
    StationProcess station(dir.path());
    station.writeIni(QStringLiteral("[BASE_STATION]\nBS_TYPE=QORM_TYPE\nBS_ID=%1\nQORM=true\nLOG_FILE_PATH=station.log\n"
                                    "ERR_LOG_FILE_PATH=errlog.db3\nUSE_BINARY=false\nSAVE_TO_DISK=false\nR_LOGIN=%2\n"
                                    "R_EXCHANGE=kavro.messages\nR_ROUTING_KEY=backend.vexa_uplink\nMODE=e2e\nTIME_SYNC=false\n"
                                    "[TRANSMITTER]\nSEND_DL=true\nDIG_MOD=true\nAUTO_CORRECTION=false\nDL_FREQS=446000000\n%3")
                         .arg(kStationId)
                         .arg(broker_.url(), modem.iniGroup(true)));
    station.writeScenario(QStringLiteral("set firmware 720\n"));
    QVERIFY(station.start({QStringLiteral("--on-air"), QStringLiteral("onair.jsonl")}));
    // Requests published before the station's queue is bound would go nowhere.
    const QString key = QStringLiteral("station.%1").arg(kStationId);
    QVERIFY2(waitUntil([&] { return broker_.ctl({"list_bindings", "routing_key"}).contains(key); }, 60000),
             station.output().right(3000).constData());

    // A heartbeat's minute statistics count the requests received in the minute before they were
    // made. The requests go out early in such a minute, so that one of them holds all seven
    // however the minutes fall against the test's start.
    Received before;
    qint64 minuteStart = 0;
    QVERIFY2(waitUntil(
                 [&] {
                     drainQueue(broker_, "dl_e2e_uplinks", before);
                     const qint64 now = QDateTime::currentSecsSinceEpoch();
                     for (const QJsonObject& hb : before.heartbeats) {
                         for (const QJsonValue& s : hb.value("stats").toArray()) {
                             const qint64 ts = s.toObject().value("ts").toVariant().toLongLong();
                             if (s.toObject().contains("dl_total") && now - ts <= 25)
                                 minuteStart = std::max(minuteStart, ts);
                         }
                     }
                     before.heartbeats.clear();
                     return minuteStart > 0;
                 },
                 180000),
             station.log().right(3000).constData());

    const qint64 later = QDateTime::currentSecsSinceEpoch() + 3600;
    QMap<quint32, QDateTime> published;
    const auto publish = [&](const Request& r) {
        published.insert(r.id, QDateTime::currentDateTimeUtc());
        return broker_.publish(kExchange, key, requestBody(r));
    };

    // A long frame first, so that the burst behind it waits in the queue together.
    const Request blocker{0x10, "DL_DBPSK_50_PROT_D", 0, 4, later};
    QVERIFY(publish(blocker));
    QVERIFY2(waitUntil([&] { return station.log().contains("Send Zadar4 DL message by dig_mod to ID: 10 "); }, 30000),
             station.log().right(3000).constData());
    const QList<Request> burst{
        {0x11, "DL_DBPSK_3200_PROT_D", 0, 4, later},
        {0x12, "DL_DBPSK_25600_PROT_D", 0, 5, later},
        {0x13, "DL_DBPSK_3200_PROT_D", 2, 4, later},
        {0x14, "DL_DBPSK_3200_PROT_D", 0, 4, later},
        {0x15, "DL_DBPSK_3200_PROT_E", 0, 5, later},
        {0x20, "DL_DBPSK_3200_PROT_D", 3, 4, QDateTime::currentSecsSinceEpoch() - 5}, // already past
    };
    for (const Request& r : burst)
        QVERIFY(publish(r));
    const QList<quint32> order{0x10, 0x13, 0x15, 0x12, 0x11, 0x14};

    QVERIFY2(waitUntil([&] { return onAir(station).size() >= order.size(); }, 60000), station.log().right(4000).constData());
    QVERIFY2(waitUntil([&] { return station.log().contains(" DL message outdated for ID: 20\n"); }, 10000),
             station.log().right(3000).constData());

    QMap<quint32, Request> byId;
    byId.insert(blocker.id, blocker);
    for (const Request& r : burst)
        byId.insert(r.id, r);
    const QList<QJsonObject> lines = onAir(station);
    QCOMPARE(lines.size(), order.size());
    QDateTime previousEnd;
    for (int i = 0; i < lines.size(); ++i) {
        const QJsonObject& l = lines.at(i);
        const Request& r = byId.value(order.at(i));
        QCOMPARE(l.value("kind").toString(), QString("frame"));
        QCOMPARE(l.value("device").toString(), QString("fpga_modulator"));
        QCOMPARE(l.value("bytes").toString(), QString::fromLatin1(expectedFrame(r).toHex()));
        QCOMPARE(l.value("carrier").toDouble(), 446000000.0);
        QVERIFY(std::fabs(l.value("bitrate").toDouble() - bitrateOf(r.phy)) < 0.01 * bitrateOf(r.phy));
        QCOMPARE(l.value("power_level").toInt(), 80); // 20 dBm: 4 dB below full scale
        QVERIFY(std::fabs(l.value("power").toDouble() - 20.0) < 0.1);
        if (!r.phy.endsWith("_E")) {
            QVERIFY(l.value("crc24_ok").toBool());
            QVERIFY(l.value("parity_ok").toBool());
        }
        // Lower bounds only: on the air at least its air time, after its request was
        // published, and never over the frame before.
        const QDateTime start = when(l, "start");
        const QDateTime end = when(l, "end");
        QVERIFY(start.isValid() && end.isValid());
        const double airMs = 36 * 8 * 1000.0 / l.value("bitrate").toDouble();
        QVERIFY2(start.msecsTo(end) >= qint64(std::floor(airMs)), qPrintable(QString::number(start.msecsTo(end))));
        QVERIFY(start >= published.value(r.id).addMSecs(-1));
        if (previousEnd.isValid())
            QVERIFY(start >= previousEnd);
        previousEnd = end;
    }

    // No reply exists for a downlink; the heartbeat shows the transmitter and counts requests.
    Received got;
    QJsonObject heartbeat;
    const bool counted = waitUntil(
        [&] {
            drainQueue(broker_, "dl_e2e_uplinks", got);
            for (const QJsonObject& hb : got.heartbeats) {
                for (const QJsonValue& s : hb.value("stats").toArray()) {
                    if (s.toObject().value("ts").toVariant().toLongLong() > minuteStart && s.toObject().value("dl_total").toInt() >= byId.size()) {
                        heartbeat = hb;
                        return true;
                    }
                }
            }
            return false;
        },
        180000);
    QVERIFY2(counted, station.log().right(3000).constData());
    const QJsonObject tx = heartbeat.value("transmitter").toObject();
    QCOMPARE(tx.value("enabled").toBool(), true);
    const QJsonObject plan0 = tx.value("bands").toArray().at(0).toObject();
    QCOMPARE(plan0.value("dl_freq_plan").toInt(), 0);
    // The modem's four PSK phys (its version unread), then the modulator's.
    QCOMPARE(plan0.value("dl_bitrates").toArray(), (QJsonArray{0, 1, 2, 3, 10, 11, 12, 13, 14, 15, 16, 17}));
    QCOMPARE(heartbeat.value("bs_revisions").toObject().value("ax_rev").toString(), QString("ax.0"));
    int dlTotal = 0;
    for (const QJsonValue& s : heartbeat.value("stats").toArray())
        dlTotal = std::max(dlTotal, s.toObject().value("dl_total").toInt());
    QCOMPARE(dlTotal, byId.size());
    QVERIFY(got.other.isEmpty());
    // Every frame went through the modulator; the modem only got its boot-loader byte.
    QVERIFY(!station.log().contains("ax8052f143"));

    QVERIFY(station.terminate());
    QCOMPARE(station.exitCode(), 0);
    QCOMPARE(onAir(station).size(), order.size());
}

void TestDownlinkE2E::waitingRequestKeepsTheLogSmall()
{
    // The example station: the modulator on, the serial modem without a port. A PSK request
    // (the modem's alone) waits for a deadline years away while a protocol D one goes out.
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "dl_wait_uplinks", "backend.vexa_uplink"));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile example(QStringLiteral(TOLVAR_SOURCE_DIR "/examples/station.ini"));
    QVERIFY(example.open(QIODevice::ReadOnly));
    QString ini = QString::fromUtf8(example.readAll());
    ini.replace(QRegularExpression(QStringLiteral("(?m)^R_LOGIN=.*$")), QStringLiteral("R_LOGIN=") + broker_.url());
    ini.replace(QRegularExpression(QStringLiteral("(?m)^SAVE_TO_DISK=.*$")), QStringLiteral("SAVE_TO_DISK=false"));
    QVERIFY(!ini.contains(QLatin1String("PortNum")));
    StationProcess station(dir.path());
    station.writeIni(ini);
    station.writeScenario(QStringLiteral("set firmware 720\n"));
    QVERIFY(station.start({QStringLiteral("--on-air"), QStringLiteral("onair.jsonl")}));
    const QString key = QStringLiteral("station.%1").arg(kStationId);
    QVERIFY2(waitUntil([&] { return broker_.ctl({"list_bindings", "routing_key"}).contains(key); }, 60000),
             station.output().right(3000).constData());

    const qint64 years = QDateTime::currentSecsSinceEpoch() + 3 * 365 * 86400;
    const Request psk{0x31, "DL_PSK_500", 0, 5, years};
    const Request protD{0x32, "DL_DBPSK_3200_PROT_D", 0, 4, years};
    const qint64 logBefore = downlinkBytes(station.log());
    const qint64 outBefore = downlinkBytes(station.output());
    QVERIFY(broker_.publish(kExchange, key, requestBody(psk)));
    QVERIFY(broker_.publish(kExchange, key, requestBody(protD)));
    QVERIFY2(waitUntil([&] { return station.log().contains(" DL message for 31 must be sent up to: "); }, 30000),
             station.log().right(3000).constData());
    QVERIFY2(waitUntil([&] { return onAir(station).size() >= 1; }, 30000), station.log().right(3000).constData());

    // A minute with the PSK request waiting.
    QElapsedTimer minute;
    minute.start();
    waitUntil([&] { return !station.running(); }, 60000);
    QVERIFY(minute.elapsed() >= 59000);
    QVERIFY(station.running());
    const QByteArray log = station.log();
    const qint64 grown = downlinkBytes(log) - logBefore;
    QVERIFY2(grown < 20000, qPrintable(QStringLiteral("%1 bytes of downlink lines").arg(grown)));
    QVERIFY2(downlinkBytes(station.output()) - outBefore < 20000, station.output().right(3000).constData());
    // Once when offered, and once more when the modem's port, tried again after 10 s, first
    // says why it does not open.
    QVERIFY(log.count(" DL message for 31 must be sent up to: ") <= 2);
    QVERIFY(log.count("Serial port open error!") <= 1);
    QVERIFY(!log.contains(" DL message outdated for ID: 31"));

    const QList<QJsonObject> frames = onAir(station);
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames.at(0).value("bytes").toString(), QString::fromLatin1(expectedFrame(protD).toHex()));
    QVERIFY(frames.at(0).value("crc24_ok").toBool());
    // The synthesizer was switched on for the frame and powered down after it.
    const QList<QJsonObject> synth = onAirOfKind(station, QStringLiteral("synthesizer"));
    QVERIFY(synth.size() >= 2);
    QVERIFY(!synth.last().value("on").toBool());
    QCOMPARE(synth.last().value("frequency").toDouble(), 0.0);

    QVERIFY(station.terminate());
    QCOMPARE(station.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestDownlinkE2E)
#include "tst_downlink_e2e.moc"
