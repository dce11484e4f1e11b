// Nothing received while the broker is away is lost across a station restart: SIGTERM saves the
// unconfirmed records of a link that saves to disk, and the next start publishes them.
#include "StationProcess.h"
#include "TestBroker.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const int kStationId = 4321;

QString ini(const QString& url)
{
    return QStringLiteral("[BASE_STATION]\n"
                          "BS_TYPE=QORM_TYPE\n"
                          "BS_ID=%1\n"
                          "QORM=true\n"
                          "LOG_FILE_PATH=station.log\n"
                          "USE_BINARY=false\n"
                          "SAVE_TO_DISK=true\n"
                          "R_LOGIN=%2\n"
                          "TIME_SYNC=false\n")
        .arg(kStationId)
        .arg(url);
}

const QList<int> kIds{0x00B001, 0x00B002, 0x00B003, 0x00B004, 0x00B005};

QString scenario()
{
    QString s = QStringLiteral("set firmware 720\nset fft_word 0x0021019A\nset bitrate_mask 0x00FF0F03\n");
    int at = 1000;
    for (int id : kIds) {
        s += QStringLiteral("at %1 message low type=D id=0x%2 payload=0102030405060708 rate=50 freq=200 rssi=0x200000\n")
                 .arg(at)
                 .arg(id, 6, 16, QLatin1Char('0'));
        at += 700;
    }
    return s;
}

int sqliteCount(const QString& db)
{
    QProcess p;
    p.start(QStringLiteral("sqlite3"), {db, QStringLiteral("SELECT count(*) FROM messages;")});
    if (!p.waitForFinished(30000))
        return -1;
    bool ok = false;
    const int n = p.readAllStandardOutput().trimmed().toInt(&ok);
    return ok ? n : -1;
}
} // namespace

class TestStationRestart : public QObject {
    Q_OBJECT
private slots:
    void recordsSurviveARestartWhileTheBrokerIsDown();
};

void TestStationRestart::recordsSurviveARestartWhileTheBrokerIsDown()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    TestBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    // The exchange and a durable, non-auto-delete queue exist before the station starts.
    QVERIFY(broker.declareTestQueue("kavro.messages", "topic", "restart_uplinks", "backend.vexa_uplink"));
    QVERIFY(broker.stopApp());

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    {
        StationProcess station(dir.path());
        station.writeIni(ini(broker.url()));
        station.writeScenario(scenario());
        QVERIFY(station.start());
        // Every message went down the uplink road (its text-log line) while no broker listens.
        const bool allRead = waitUntil(
            [&] {
                const QByteArray log = station.log();
                for (int id : kIds) {
                    if (!log.contains(QStringLiteral("ID=%1").arg(id, 0, 16).toUpper().toLatin1()))
                        return false;
                }
                return true;
            },
            60000);
        QVERIFY2(allRead, station.output().right(4000).constData());
        QVERIFY(station.terminate());
        QCOMPARE(station.exitStatus(), QProcess::NormalExit);
        QCOMPARE(station.exitCode(), 0);
        QVERIFY2(station.log().contains("unconfirmed records saved to disk"), station.log().right(2000).constData());
    }
    QVERIFY2(sqliteCount(dir.filePath("backup.db3")) >= kIds.size(), qPrintable(dir.filePath("backup.db3")));

    QVERIFY(broker.startApp());
    StationProcess again(dir.path());
    // The second run hears nothing new: what arrives comes from the backup.
    again.writeScenario(QStringLiteral("set firmware 720\n"));
    QVERIFY(again.start());
    Received got;
    auto missing = [&] {
        QList<int> left = kIds;
        for (const QJsonObject& r : got.records)
            left.removeAll(r.value("modem_id").toInt());
        return left;
    };
    const bool delivered = waitUntil(
        [&] {
            drainQueue(broker, "restart_uplinks", got);
            return missing().isEmpty();
        },
        90000);
    QVERIFY2(delivered, again.output().right(4000).constData());
    for (const QJsonObject& r : got.records) {
        QCOMPARE(r.value("bs_id").toInt(), kStationId);
        QCOMPARE(r.value("payload").toString(), QString("0102030405060708"));
    }
    QVERIFY(again.terminate());
    QCOMPARE(again.exitCode(), 0);
    broker.stop();
}

QTEST_GUILESS_MAIN(TestStationRestart)
#include "tst_station_restart.moc"
