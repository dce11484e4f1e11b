// Several downlinks at once end to end: tolvar-sim as a QORM LTE station with the multi-channel
// FPGA modulator takes a burst of downlink requests from a private RabbitMQ and puts them on
// the simulated air, four channels at a time, inside the shared synthesizer's on periods.
#include "StationProcess.h"
#include "TestBroker.h"
#include "downlink_frames.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");
const int kStationId = 1234;
constexpr int kChannels = 4;
constexpr int kRequests = 8;
constexpr qint64 kSynthesizer = 446100000; // the next 100 kHz step above every carrier below

quint32 carrierOf(int i)
{
    return 446010000u + quint32(i) * 5000u; // 5000 Hz apart, all within [S - 100000, S]
}

QByteArray requestBody(quint32 id, quint32 freq, qint64 deadline)
{
    QJsonObject o{{"modem_id", qint64(id)},
                  {"payload", "0102030405060708"},
                  {"phy", "DL_DBPSK_3200_PROT_D"},
                  {"vexa_ver", 4},
                  {"iterator", 3},
                  {"frequency", qint64(freq)},
                  {"signal_strength", 18},
                  {"priority", 0},
                  {"time_outdate", deadline}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray expectedFrame(quint32 id)
{
    const uint8_t payload[9] = {1, 2, 3, 4, 5, 6, 7, 8, 0};
    uint8_t f[DL_FRAME_SIZE];
    build_prot_d_ver4_frame(id, 3, payload, 0, f);
    return QByteArray(reinterpret_cast<const char*>(f), DL_FRAME_SIZE);
}

QDateTime when(const QJsonObject& line, const char* key)
{
    return QDateTime::fromString(line.value(QLatin1String(key)).toString(), Qt::ISODateWithMs);
}

QList<QJsonObject> linesOfKind(const StationProcess& station, const char* kind)
{
    QList<QJsonObject> out;
    for (const QJsonObject& l : readJsonLines(station.path("onair.jsonl")))
        if (l.value("kind").toString() == QLatin1String(kind))
            out.append(l);
    return out;
}

// Publishes every body as its own message through one amqp-publish, so they reach the broker
// together rather than one process start apart.
bool publishBurst(const TestBroker& broker, const QString& key, const QList<QByteArray>& bodies)
{
    QProcess p;
    p.start(QStringLiteral("amqp-publish"),
            {QStringLiteral("-u"), broker.url(), QStringLiteral("-e"), kExchange, QStringLiteral("-r"), key,
             QStringLiteral("-l")});
    if (!p.waitForStarted(30000))
        return false;
    for (const QByteArray& b : bodies)
        p.write(b + '\n');
    p.closeWriteChannel();
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(5000);
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}
} // namespace

class TestMultiDigE2E : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void burstFillsTheChannels();

private:
    TestBroker broker_;
};

void TestMultiDigE2E::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
}

void TestMultiDigE2E::cleanupTestCase()
{
    broker_.stop();
}

void TestMultiDigE2E::burstFillsTheChannels()
{
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "multidig_e2e_uplinks", "backend.vexa_uplink"));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StationProcess station(dir.path());
    station.writeIni(QStringLiteral("[BASE_STATION]\nBS_TYPE=QORM_LTE_TYPE\nBS_ID=%1\nQORM=true\nLOG_FILE_PATH=station.log\n"
                                    "ERR_LOG_FILE_PATH=errlog.db3\nUSE_BINARY=false\nSAVE_TO_DISK=false\nR_LOGIN=%2\n"
                                    "R_EXCHANGE=kavro.messages\nR_ROUTING_KEY=backend.vexa_uplink\nMODE=e2e\nTIME_SYNC=false\n"
                                    "[TRANSMITTER]\nSEND_DL=true\nDIG_MOD=true\nAUTO_CORRECTION=false\nDL_FREQS=446000000\n")
                             .arg(kStationId)
                             .arg(broker_.url()) +
                         QStringLiteral("DL_CH_COUNT=%1\n").arg(kChannels));
    station.writeScenario(QStringLiteral("set firmware 720\n"));
    QVERIFY(station.start({QStringLiteral("--on-air"), QStringLiteral("onair.jsonl")}));
    const QString key = QStringLiteral("station.%1").arg(kStationId);
    QVERIFY2(waitUntil([&] { return broker_.ctl({"list_bindings", "routing_key"}).contains(key); }, 60000),
             station.output().right(3000).constData());

    const qint64 later = QDateTime::currentSecsSinceEpoch() + 3600;
    QList<QByteArray> bodies;
    for (int i = 0; i < kRequests; ++i)
        bodies.append(requestBody(quint32(0x10 + i), carrierOf(i), later));
    QVERIFY(publishBurst(broker_, key, bodies));

    const auto frames = [&station] { return linesOfKind(station, "frame"); };
    QVERIFY2(waitUntil([&] { return frames().size() >= kRequests; }, 60000), station.log().right(4000).constData());
    // The last release switches the synthesizer off.
    const auto synthesizerLines = [&station] { return linesOfKind(station, "synthesizer"); };
    QVERIFY2(waitUntil([&] { return !synthesizerLines().isEmpty() && !synthesizerLines().last().value("on").toBool(); },
                       30000),
             station.log().right(3000).constData());

    QList<QJsonObject> sent = frames();
    QByteArray dump;
    for (const QJsonObject& l : readJsonLines(station.path("onair.jsonl")))
        dump += QJsonDocument(l).toJson(QJsonDocument::Compact) + '\n';
    QCOMPARE(sent.size(), kRequests);
    std::stable_sort(sent.begin(), sent.end(),
                     [](const QJsonObject& a, const QJsonObject& b) { return when(a, "start") < when(b, "start"); });
    QSet<qint64> ids;
    for (const QJsonObject& l : sent) {
        QCOMPARE(l.value("device").toString(), QString("fpga_multi_modulator"));
        QVERIFY(l.value("crc24_ok").toBool());
        QVERIFY(l.value("parity_ok").toBool());
        QVERIFY(std::fabs(l.value("bitrate").toDouble() - 3200.0) < 32.0);
        QCOMPARE(l.value("synthesizer").toDouble(), double(kSynthesizer));
        // Which request it is, by its bytes; its carrier is that request's.
        int which = -1;
        for (int i = 0; i < kRequests; ++i)
            if (l.value("bytes").toString() == QString::fromLatin1(expectedFrame(quint32(0x10 + i)).toHex()))
                which = i;
        QVERIFY2(which >= 0, qPrintable(l.value("bytes").toString()));
        ids.insert(which);
        QCOMPARE(l.value("carrier").toDouble(), double(carrierOf(which)));
        QCOMPARE(l.value("nco_offset").toDouble(), double(qint64(carrierOf(which)) - kSynthesizer));
        QVERIFY(when(l, "start").isValid() && when(l, "end").isValid());
    }
    QCOMPARE(ids.size(), kRequests);

    // The first four on the air at once, on channels 0 to 3.
    QSet<int> channels;
    QDateTime firstEnd;
    QDateTime lastStart;
    for (int i = 0; i < kChannels; ++i) {
        channels.insert(sent.at(i).value("channel").toInt());
        const QDateTime end = when(sent.at(i), "end");
        if (!firstEnd.isValid() || end < firstEnd)
            firstEnd = end;
        lastStart = std::max(lastStart, when(sent.at(i), "start"));
    }
    QVERIFY2(channels == (QSet<int>{0, 1, 2, 3}), dump.constData());
    QVERIFY2(lastStart < firstEnd, dump.constData());
    // The others only once a channel was free again: lower bounds on the model's times.
    for (int i = kChannels; i < kRequests; ++i)
        QVERIFY2(when(sent.at(i), "start") >= firstEnd, qPrintable(sent.at(i).value("start").toString()));

    // Every frame inside a period the synthesizer was on at S.
    const QList<QJsonObject> synth = synthesizerLines();
    for (const QJsonObject& f : sent) {
        const QDateTime start = when(f, "start");
        const QDateTime end = when(f, "end");
        bool on = false;
        QDateTime onSince;
        bool inside = false;
        for (const QJsonObject& s : synth) {
            const QDateTime t = when(s, "time");
            const bool nowOn = s.value("on").toBool();
            if (nowOn && !on)
                onSince = t;
            if (on && !nowOn && onSince <= start && t >= end)
                inside = true;
            if (nowOn)
                QCOMPARE(s.value("frequency").toDouble(), double(kSynthesizer));
            on = nowOn;
        }
        QVERIFY2(inside, qPrintable(f.value("start").toString()));
    }
    QVERIFY(!synth.last().value("on").toBool());
    QVERIFY(when(synth.last(), "time") >= when(sent.last(), "end"));

    // The heartbeat's plan 0 carries the modulator's phys.
    Received got;
    QJsonObject heartbeat;
    const bool counted = waitUntil(
        [&] {
            drainQueue(broker_, "multidig_e2e_uplinks", got);
            for (const QJsonObject& hb : got.heartbeats) {
                for (const QJsonValue& s : hb.value("stats").toArray()) {
                    if (s.toObject().value("dl_total").toInt() >= kRequests) {
                        heartbeat = hb;
                        return true;
                    }
                }
            }
            return false;
        },
        180000);
    QVERIFY2(counted, station.log().right(3000).constData());
    const QJsonObject plan0 = heartbeat.value("transmitter").toObject().value("bands").toArray().at(0).toObject();
    QCOMPARE(plan0.value("dl_freq_plan").toInt(), 0);
    const QJsonArray rates = plan0.value("dl_bitrates").toArray();
    for (int code = 10; code <= 17; ++code)
        QVERIFY2(rates.contains(code), qPrintable(QString::number(code)));
    QCOMPARE(station.log().count(" Successfully sent DL message by dig_mod to ID: "), kRequests);

    QVERIFY(station.terminate());
    QCOMPARE(station.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestMultiDigE2E)
#include "tst_multidig_e2e.moc"
