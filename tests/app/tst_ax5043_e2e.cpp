// The AX5043 back-end end to end: tolvar-sim as a Quabo station puts every frame kind on the
// simulated air through the register-level AX5043 model (one scripted packet that never ends
// included), and as a QORM_LTE station closes its autocorrection loop through the simulated
// air link, so that its later downlinks go out corrected.
#include "StationProcess.h"
#include "TestBroker.h"
#include "ax5043_config.h"
#include "downlink_frames.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");
const int kStationId = 1234;
const quint32 kOwnId = 0x6E0C22; // the autocorrection ID of station 1234
const quint32 kFreq = 868800000;

struct Request {
    quint32 id;
    QString phy;
    quint32 ver;
};

QByteArray requestBody(const Request& r)
{
    QJsonObject o{{"modem_id", qint64(r.id)},
                  {"payload", "0102030405060708"},
                  {"phy", r.phy},
                  {"vexa_ver", qint64(r.ver)},
                  {"iterator", 3},
                  {"frequency", qint64(kFreq)},
                  {"signal_strength", 20},
                  {"preambula", qint64(0x0A0B0C0D)},
                  {"crypto_iter", 9},
                  {"crypto_flags", 1},
                  {"crypto_mic", qint64(0x123456)},
                  {"priority", 0},
                  {"time_outdate", QDateTime::currentSecsSinceEpoch() + 3600}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// What the station puts on the air for a request of requestBody(): the 36 bytes under the
// padding, or the PSK packet (length, destination 0x6F, id, header, payload).
QByteArray expectedBytes(const Request& r)
{
    const uint8_t payload[9] = {1, 2, 3, 4, 5, 6, 7, 8, 0};
    uint8_t f[DL_FRAME_SIZE];
    if (r.phy.startsWith("DL_PSK")) {
        QByteArray b;
        b.append(char(8 + 6)).append(char(0x6F));
        b.append(char(r.id >> 16)).append(char(r.id >> 8)).append(char(r.id)).append(char(3));
        b.append(reinterpret_cast<const char*>(payload), 8);
        return b;
    }
    if (r.phy.endsWith("_E"))
        build_prot_e_ver5_frame(r.id, 0x0A0B0C0D, 9, 1, payload, 0x123456, f);
    else if (r.ver == 4)
        build_prot_d_ver4_frame(r.id, 3, payload, 0, f);
    else
        build_prot_d_ver5_frame(0x0A0B0C0D, 9, 1, payload, 0x123456, f);
    return QByteArray(reinterpret_cast<const char*>(f), DL_FRAME_SIZE);
}

QString hexOf(const QByteArray& b)
{
    return QString::fromLatin1(b.toHex());
}

QString autocorrectionHex()
{
    uint8_t f[DL_FRAME_SIZE];
    build_autocorrection_frame(kOwnId, f);
    return hexOf(QByteArray(reinterpret_cast<const char*>(f), DL_FRAME_SIZE));
}

double wordFor(quint32 hz)
{
    return double(radio_conv_freq_fromhz(qint32(hz)) + (hz <= 800000000u ? 18u : 34u));
}

QList<QJsonObject> onAir(const StationProcess& station)
{
    return readJsonLines(station.path("onair.jsonl"));
}

const QJsonObject* lineWithBytes(const QList<QJsonObject>& lines, const QString& hex)
{
    for (const QJsonObject& l : lines)
        if (l.value("bytes").toString() == hex)
            return &l;
    return nullptr;
}

QDateTime when(const QJsonObject& line, const char* key)
{
    return QDateTime::fromString(line.value(QLatin1String(key)).toString(), Qt::ISODateWithMs);
}

QString iniFor(const QString& type, const QString& url, const QString& extra)
{
    return QStringLiteral("[BASE_STATION]\nBS_TYPE=%1\nBS_ID=%2\nQORM=true\nLOG_FILE_PATH=station.log\n"
                          "ERR_LOG_FILE_PATH=errlog.db3\nUSE_BINARY=false\nSAVE_TO_DISK=false\nR_LOGIN=%3\n"
                          "R_EXCHANGE=kavro.messages\nR_ROUTING_KEY=backend.vexa_uplink\nMODE=e2e\nTIME_SYNC=false\n"
                          "[TRANSMITTER]\nSEND_DL=true\nDL_FREQS=868800000\n%4")
        .arg(type)
        .arg(kStationId)
        .arg(url, extra);
}
} // namespace

class TestAx5043E2E : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void quaboFramesReachTheAir();
    void qormLteClosesItsAutocorrectionLoop();

private:
    bool waitForBinding(const StationProcess& station);
    TestBroker broker_;
};

void TestAx5043E2E::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
}

void TestAx5043E2E::cleanupTestCase()
{
    broker_.stop();
}

bool TestAx5043E2E::waitForBinding(const StationProcess&)
{
    const QString key = QStringLiteral("station.%1").arg(kStationId);
    return waitUntil([&] { return broker_.ctl({"list_bindings", "routing_key"}).contains(key); }, 60000);
}

void TestAx5043E2E::quaboFramesReachTheAir()
{
    // Declares the exchange the station binds its queue to.
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "ax_e2e_quabo", "backend.vexa_uplink"));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StationProcess station(dir.path());
    station.writeIni(iniFor("QUABO_TYPE", broker_.url(), "AUTO_CORRECTION=true\n"));
    // The first packet on the air never ends; the next one must go out normally.
    station.writeScenario(QStringLiteral("set firmware 720\nax5043 never_end 1\n"));
    QVERIFY(station.start({QStringLiteral("--on-air"), QStringLiteral("onair.jsonl")}));
    QVERIFY2(waitForBinding(station), station.output().right(3000).constData());

    const QString key = QStringLiteral("station.%1").arg(kStationId);
    const QList<Request> requests{
        {0x31, "DL_PSK_5000", 5},
        {0x32, "DL_PSK_FASTDL", 5},
        {0x33, "DL_DBPSK_3200_PROT_D", 4},
        {0x34, "DL_DBPSK_25600_PROT_D", 5},
        {0x35, "DL_DBPSK_3200_PROT_E", 5},
    };
    for (const Request& r : requests)
        QVERIFY(broker_.publish(kExchange, key, requestBody(r)));

    const auto allThere = [&] {
        const QList<QJsonObject> lines = onAir(station);
        if (!lineWithBytes(lines, autocorrectionHex()))
            return false;
        for (const Request& r : requests)
            if (!lineWithBytes(lines, hexOf(expectedBytes(r))))
                return false;
        return true;
    };
    QVERIFY2(waitUntil(allThere, 180000), (station.log().right(3000) + station.output().right(2000)).constData());
    // The hung packet was given up after the transmit wait, and sending went on.
    QVERIFY((station.log() + station.output()).contains("transmitt timeout"));

    QList<QJsonObject> lines = onAir(station);
    for (const Request& r : requests) {
        const QJsonObject& l = *lineWithBytes(lines, hexOf(expectedBytes(r)));
        QCOMPARE(l.value("device").toString(), QString("ax5043"));
        const quint32 carrier = r.phy == "DL_PSK_FASTDL" ? kFreq + 1000000u : kFreq;
        QCOMPARE(l.value("freq_word").toDouble(), wordFor(carrier));
        if (r.phy.contains("_PROT_D")) {
            QVERIFY(l.value("crc24_ok").toBool());
            QVERIFY(l.value("parity_ok").toBool());
        }
    }
    const QJsonObject& autocorr = *lineWithBytes(lines, autocorrectionHex());
    QVERIFY(autocorr.value("crc24_ok").toBool() && autocorr.value("parity_ok").toBool());
    QVERIFY(std::fabs(autocorr.value("bitrate").toDouble() - 400.0) < 4.0);

    // Lower bounds only: each packet lasts at least its bits at its rate, and none overlaps
    // the one before.
    std::sort(lines.begin(), lines.end(),
              [](const QJsonObject& a, const QJsonObject& b) { return when(a, "start") < when(b, "start"); });
    QDateTime previousEnd;
    for (const QJsonObject& l : lines) {
        const QDateTime start = when(l, "start");
        const QDateTime end = when(l, "end");
        QVERIFY(start.isValid() && end.isValid());
        const double bits = l.value("bytes").toString().size() / 2 * 8.0;
        const double airMs = bits * 1000.0 / l.value("bitrate").toDouble();
        QVERIFY2(start.msecsTo(end) >= qint64(std::floor(airMs)), qPrintable(QString::number(start.msecsTo(end))));
        if (previousEnd.isValid())
            QVERIFY(start >= previousEnd);
        previousEnd = end;
    }

    QVERIFY(station.terminate());
    QCOMPARE(station.exitCode(), 0);
}

void TestAx5043E2E::qormLteClosesItsAutocorrectionLoop()
{
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "ax_e2e_uplinks", "backend.vexa_uplink"));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StationProcess station(dir.path());
    station.writeIni(iniFor("QORM_LTE_TYPE", broker_.url(), "DIG_MOD=false\nAUTO_CORRECTION=true\n"));
    // The station's transmitter is 600 Hz low: its echoes are heard 600 Hz below the carrier.
    station.writeScenario(QStringLiteral("set firmware 720\nax5043 air_offset 600\n"));
    QVERIFY(station.start({QStringLiteral("--on-air"), QStringLiteral("onair.jsonl")}));
    QVERIFY2(waitForBinding(station), station.output().right(3000).constData());

    // The heartbeat's transmitter turns enabled once an echo is accepted.
    Received got;
    QJsonObject tx;
    const bool enabled = waitUntil(
        [&] {
            drainQueue(broker_, "ax_e2e_uplinks", got);
            for (const QJsonObject& hb : got.heartbeats)
                if (hb.value("transmitter").toObject().value("enabled").toBool()) {
                    tx = hb.value("transmitter").toObject();
                    return true;
                }
            return false;
        },
        180000);
    QVERIFY2(enabled, (station.log().right(3000) + station.output().right(2000)).constData());
    // Plan 0 carries the transceiver's 12 downlink codes.
    QCOMPARE(tx.value("bands").toArray().at(0).toObject().value("dl_bitrates").toArray(),
             (QJsonArray{0, 1, 2, 3, 10, 11, 12, 13, 14, 15, 16, 17}));
    QVERIFY(lineWithBytes(onAir(station), autocorrectionHex()));
    QVERIFY(station.log().contains("Autocorrection result: delta = 600 "));
    // The echo itself is not published as an uplink.
    for (const QJsonObject& r : got.records)
        QVERIFY(quint32(r.value("modem_id").toInt()) != kOwnId);

    // A later 868.8 MHz downlink goes out 600 Hz up.
    const Request r{0x41, "DL_DBPSK_3200_PROT_D", 5};
    QVERIFY(broker_.publish(kExchange, QStringLiteral("station.%1").arg(kStationId), requestBody(r)));
    QVERIFY2(waitUntil([&] { return lineWithBytes(onAir(station), hexOf(expectedBytes(r))) != nullptr; }, 60000),
             station.log().right(3000).constData());
    const QList<QJsonObject> lines = onAir(station);
    QCOMPARE(lineWithBytes(lines, hexOf(expectedBytes(r)))->value("freq_word").toDouble(), wordFor(kFreq + 600));

    QVERIFY(station.terminate());
    QCOMPARE(station.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestAx5043E2E)
#include "tst_ax5043_e2e.moc"
