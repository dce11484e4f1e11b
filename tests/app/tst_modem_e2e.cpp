// Downlinks through the serial radio modem end to end: tolvar-sim as a QORM station without
// the FPGA modulator, its serial port on tolvar-modem-sim's pseudo-terminal, requests from a
// private RabbitMQ. What the modem puts on the air shows in the simulator's on-air log; the
// modem's ID and version show in the heartbeat and in the station's echo test; a modem that
// stops answering is rebooted and the alarm reaches the alarm log.
#include "ModemSimProcess.h"
#include "StationProcess.h"
#include "TestBroker.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");
const int kStationId = 1234;
const quint32 kModemId = 0xABCDEF;

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
                  {"frequency", 446000000},
                  {"signal_strength", 20},
                  {"preambula", qint64(0x0A0B0C0D)},
                  {"crypto_iter", 9},
                  {"crypto_flags", 1},
                  {"crypto_mic", qint64(0x123456)},
                  {"priority", 0},
                  {"time_outdate", QDateTime::currentSecsSinceEpoch() + 600}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// What the modem is handed: the 17-byte protocol D body, or the header byte and the payload.
QString expectedBytes(const Request& r)
{
    if (r.phy.contains("_PROT_D"))
        return QStringLiteral("0a0b0c0d09010102030405060708123456");
    return QStringLiteral("030102030405060708");
}

QString iniFor(const QString& url, const QString& comunications, bool autocorrection)
{
    return QStringLiteral("[BASE_STATION]\nBS_TYPE=QORM_TYPE\nBS_ID=%1\nQORM=true\nLOG_FILE_PATH=station.log\n"
                          "ERR_LOG_FILE_PATH=errlog.db3\nUSE_BINARY=false\nSAVE_TO_DISK=false\nR_LOGIN=%2\n"
                          "R_EXCHANGE=kavro.messages\nR_ROUTING_KEY=backend.vexa_uplink\nMODE=e2e\nTIME_SYNC=false\n"
                          "[TRANSMITTER]\nSEND_DL=true\nDIG_MOD=false\nAUTO_CORRECTION=%3\nDL_FREQS=446000000\n%4")
        .arg(kStationId)
        .arg(url, autocorrection ? QStringLiteral("true") : QStringLiteral("false"), comunications);
}

QList<QJsonObject> framesOf(const ModemSimProcess& modem, const QString& command)
{
    QList<QJsonObject> out;
    for (const QJsonObject& l : readJsonLines(modem.onAirPath()))
        if (l.value("kind").toString() == "frame" && l.value("command").toString() == command)
            out << l;
    return out;
}

int rebootsOf(const ModemSimProcess& modem)
{
    int n = 0;
    for (const QJsonObject& l : readJsonLines(modem.onAirPath()))
        n += l.value("kind").toString() == "reboot" ? 1 : 0;
    return n;
}

QDateTime when(const QJsonObject& line, const char* key)
{
    return QDateTime::fromString(line.value(QLatin1String(key)).toString(), Qt::ISODateWithMs);
}

QString revisionOf(const QJsonObject& heartbeat)
{
    return heartbeat.value("bs_revisions").toObject().value("ax_rev").toString();
}

QJsonArray plan0Of(const QJsonObject& heartbeat)
{
    return heartbeat.value("transmitter").toObject().value("bands").toArray().at(0).toObject().value("dl_bitrates").toArray();
}

bool hasRecordFrom(const Received& got, quint32 id)
{
    for (const QJsonObject& r : got.records)
        if (quint32(r.value("modem_id").toInt()) == id)
            return true;
    return false;
}
} // namespace

Q_DECLARE_METATYPE(Request)

class TestModemE2E : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void downlinksReachTheAir_data();
    void downlinksReachTheAir();
    void autocorrectionReadsTheModem();
    void silentModemIsRebooted();

private:
    bool startStation(StationProcess& station, ModemSimProcess& modem, bool crc, bool autocorrection,
                      const QString& scenario = QStringLiteral("set firmware 720\n"));
    TestBroker broker_;
};

void TestModemE2E::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY2(QFile::exists(ModemSimProcess::binary()), "tolvar-modem-sim is not built");
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
    // The exchange the stations publish to, and a queue that sees their uplinks and heartbeats.
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "modem_e2e_uplinks", "backend.vexa_uplink"));
}

void TestModemE2E::cleanupTestCase()
{
    broker_.stop();
}

bool TestModemE2E::startStation(StationProcess& station, ModemSimProcess& modem, bool crc, bool autocorrection,
                                const QString& scenario)
{
    station.writeIni(iniFor(broker_.url(), modem.iniGroup(crc), autocorrection));
    station.writeScenario(scenario);
    if (!station.start())
        return false;
    // Requests published before the station's queue is bound would go nowhere.
    const QString key = QStringLiteral("station.%1").arg(kStationId);
    return waitUntil([&] { return broker_.ctl({"list_bindings", "routing_key"}).contains(key); }, 60000);
}

void TestModemE2E::downlinksReachTheAir_data()
{
    QTest::addColumn<bool>("crc");
    QTest::addColumn<QList<Request>>("requests");
    QTest::newRow("check byte on: PSK, D v5, PSK version 0")
        << true << QList<Request>{{0x123456, "DL_PSK_500", 1}, {0x654321, "DL_DBPSK_400_PROT_D", 5}, {0x4321, "DL_PSK_200", 0}};
    QTest::newRow("check byte off: two downlinks in a row")
        << false << QList<Request>{{0x123456, "DL_PSK_500", 1}, {0x222222, "DL_PSK_500", 1}};
}

void TestModemE2E::downlinksReachTheAir()
{
    QFETCH(bool, crc);
    QFETCH(QList<Request>, requests);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ModemSimProcess modem(dir.path());
    QStringList args{QStringLiteral("--air-ms"), QStringLiteral("400")};
    if (crc)
        args << QStringLiteral("--crc");
    QVERIFY(modem.start(args));
    StationProcess station(dir.path());
    QVERIFY2(startStation(station, modem, crc, false), station.output().right(3000).constData());

    const QString key = QStringLiteral("station.%1").arg(kStationId);
    for (const Request& r : requests)
        QVERIFY(broker_.publish(kExchange, key, requestBody(r)));
    QVERIFY2(waitUntil([&] { return framesOf(modem, "dl").size() >= requests.size(); }, 60000),
             station.log().right(4000).constData());

    const QList<QJsonObject> lines = framesOf(modem, "dl");
    QCOMPARE(lines.size(), requests.size());
    for (const Request& r : requests) {
        const QString bytes = expectedBytes(r);
        const QString address = QString::number(r.ver == 0 ? (r.id & 0xFFFF) : r.id, 16).rightJustified(6, '0');
        bool found = false;
        for (const QJsonObject& l : lines) {
            const bool protD = r.phy.contains("_PROT_D");
            if (l.value("bytes").toString() != bytes || (!protD && l.value("address").toString() != address))
                continue;
            found = true;
            QCOMPARE(l.value("device").toString(), QString("ax8052f143"));
            QCOMPARE(l.value("carrier").toDouble(), 446000000.0);
            QCOMPARE(l.value("mode").toInt(), 3);
            QCOMPARE(l.value("antenna").toInt(), r.ver == 0 ? 0xFF : 0); // below 600 MHz: PCB
            // Version 0 sends with UL_PSK_200 at -1 dBm; the others with the request's phy and power.
            const int phy = r.ver == 0 ? 22 : (protD ? 11 : 25);
            QCOMPARE(l.value("phy").toInt(), phy);
            QCOMPARE(l.value("power").toDouble(), r.ver == 0 ? -1.0 : 20.0);
        }
        QVERIFY2(found, qPrintable(r.phy + " " + bytes + "\n" + QString::fromUtf8(station.log().right(3000))));
    }
    // Lower bound: with the queue polled, no frame reaches the modem before the one ahead left the air.
    if (crc) {
        for (int i = 1; i < lines.size(); ++i)
            QVERIFY2(when(lines.at(i), "received") >= when(lines.at(i - 1), "end"),
                     qPrintable(QJsonDocument(lines.at(i)).toJson() + QJsonDocument(lines.at(i - 1)).toJson()));
    }
    QVERIFY(!station.log().contains("Reboot Axsem"));
    QVERIFY(station.terminate());
    QCOMPARE(station.exitCode(), 0);
}

// The modem answers neither its ID nor its records for the first 35 s (the first two attempts,
// 10 and 20 s after the sender started): the first heartbeat (30 s) shows
// the version unknown; the autocorrection after that reads the ID and the version, the next
// heartbeat shows them, and from then on the modem's own uplinks are echoes, not published.
void TestModemE2E::autocorrectionReadsTheModem()
{
    Received earlier; // what stations of the other cases published
    drainQueue(broker_, "modem_e2e_uplinks", earlier);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ModemSimProcess modem(dir.path());
    QVERIFY(modem.start({QStringLiteral("--crc"), QStringLiteral("--id"), QString::number(kModemId, 16),
                         QStringLiteral("--version"), QStringLiteral("5,1,2,60,7,1"), QStringLiteral("--silent"),
                         QStringLiteral("09,40"), QStringLiteral("--silent-ms"), QStringLiteral("35000")}));
    StationProcess station(dir.path());
    const QString scenario = QStringLiteral(
        "set firmware 720\n"
        "at 3000 message low type=D id=0xABCDEF payload=0102030405060708 rate=50 freq=200 rssi=0x100000\n"
        "at 70000 message low type=D id=0xABCDEF payload=1112131415161718 rate=50 freq=200 rssi=0x100000\n"
        "at 71000 message low type=D id=0x77 payload=2122232425262728 rate=50 freq=200 rssi=0x100000\n");
    QVERIFY2(startStation(station, modem, true, true, scenario), station.output().right(3000).constData());

    Received got;
    const auto drain = [&] { drainQueue(broker_, "modem_e2e_uplinks", got); };
    // Before the ID is known the modem's uplink is an uplink like any other.
    QVERIFY2(waitUntil([&] { drain(); return hasRecordFrom(got, kModemId); }, 60000), station.log().right(3000).constData());

    QVERIFY2(waitUntil([&] { return station.log().contains("\nAXSEM ID = abcdef\n"); }, 150000),
             station.log().right(4000).constData());
    drain();
    QVERIFY2(!hasRecordFrom(got, 0x77), "the scenario's later records came before the modem's ID was read");
    QVERIFY(station.log().contains("\nAXSEM HARDWARE_REV = 7\n"));
    QVERIFY(!framesOf(modem, "corr").isEmpty());
    // Heartbeats so far show no version; the next one shows the modem's.
    QVERIFY2(!got.heartbeats.isEmpty(), "no heartbeat before the ID was read");
    for (const QJsonObject& hb : got.heartbeats) {
        QCOMPARE(revisionOf(hb), QString("ax.0"));
        QCOMPARE(plan0Of(hb), (QJsonArray{0, 1, 2, 3}));
    }
    const int before = got.heartbeats.size();
    QVERIFY2(waitUntil([&] { drain(); return got.heartbeats.size() > before; }, 90000), "no heartbeat after the ID was read");
    QCOMPARE(revisionOf(got.heartbeats.last()), QString("ax.7"));
    QCOMPARE(plan0Of(got.heartbeats.last()), (QJsonArray{0, 1, 2, 3, 10, 11, 12, 13}));

    // The modem's own uplink after that is its echo: not published; the record after it is.
    QVERIFY2(waitUntil([&] { drain(); return hasRecordFrom(got, 0x77); }, 90000), station.log().right(3000).constData());
    int fromModem = 0;
    for (const QJsonObject& r : got.records)
        fromModem += quint32(r.value("modem_id").toInt()) == kModemId ? 1 : 0;
    QCOMPARE(fromModem, 1);
    QVERIFY(station.terminate());
    QCOMPARE(station.exitCode(), 0);
}

void TestModemE2E::silentModemIsRebooted()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ModemSimProcess modem(dir.path());
    QVERIFY(modem.start({QStringLiteral("--crc"), QStringLiteral("--silent"), QStringLiteral("40")}));
    StationProcess station(dir.path());
    QVERIFY2(startStation(station, modem, true, false), station.output().right(3000).constData());
    QVERIFY(waitUntil([&] { return rebootsOf(modem) >= 1; }, 30000)); // the boot-loader byte after opening
    const int opened = rebootsOf(modem);

    QVERIFY(broker_.publish(kExchange, QStringLiteral("station.%1").arg(kStationId),
                            requestBody({0x123456, "DL_PSK_500", 1})));
    QVERIFY2(waitUntil([&] { return rebootsOf(modem) > opened; }, 60000), station.log().right(3000).constData());
    QVERIFY(station.log().contains(" Vexa set mode error! ID = 123456\n"));
    QVERIFY(station.log().contains(" Reboot Axsem! \n"));
    const auto alarmCodes = [&] {
        QProcess sql;
        sql.start(QStringLiteral("sqlite3"), {station.path("errlog.db3"), QStringLiteral("select alarm_code from alarms")});
        sql.waitForFinished(10000);
        return QString::fromUtf8(sql.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    };
    QVERIFY2(waitUntil([&] { return alarmCodes().contains(QStringLiteral("12")); }, 60000),
             qPrintable(alarmCodes().join(',') + "\n" + QString::fromUtf8(station.log().right(3000))));
    QVERIFY(framesOf(modem, "dl").isEmpty());
    QVERIFY(station.terminate());
    QCOMPARE(station.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestModemE2E)
#include "tst_modem_e2e.moc"
