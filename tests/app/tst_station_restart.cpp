// Nothing received while the broker is away is lost across a station restart: SIGTERM saves the
// unconfirmed records of a link that saves to disk, and the next start publishes them.
#include "OutageStation.h"
#include "StationProcess.h"
#include "TestBroker.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
using namespace OutageStation;

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
        // Every message goes down the uplink road while no broker listens.
        const QString failed = hearUplinksThenStop(dir.path(), broker.url());
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        const StationProcess station(dir.path());
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
