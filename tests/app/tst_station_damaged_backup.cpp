// A damaged backup loses only what SQLite can no longer read: run end to end with tolvar-sim and
// a private broker, across a restart.
#include "BackupFixture.h"
#include "OutageStation.h"
#include "StationProcess.h"
#include "TestBroker.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {
using namespace OutageStation;

const int kFixtureRows = 24;

// Records a previous run left in the backup, as uplink JSON texts the broker can pass on; a
// few to a page, so a damaged page loses some and keeps the others.
QStringList fixtureTexts()
{
    QStringList texts;
    for (int i = 1; i <= kFixtureRows; ++i) {
        texts << QStringLiteral("{\"fixture\":%1,\"bs_id\":%2,\"pad\":\"%3\"}")
                     .arg(i)
                     .arg(kStationId)
                     .arg(QString(600, QLatin1Char('f')));
    }
    return texts;
}

QSet<int> fixtureNumbers(const QSet<QString>& texts)
{
    QSet<int> numbers;
    for (const QString& t : texts)
        numbers.insert(QJsonDocument::fromJson(t.toUtf8()).object().value(QStringLiteral("fixture")).toInt());
    return numbers;
}

} // namespace

class TestStationDamagedBackup : public QObject {
    Q_OBJECT
private slots:
    void damagedBackupLosesNothingReadable_data();
    void damagedBackupLosesNothingReadable();
};

// The station starts on a damaged backup while the broker is away: the records heard during
// the outage and every row SQLite can still read of the old file reach the broker after a
// restart. A damaged table page is found at start, a damaged index by the first read or write
// that goes through it.
void TestStationDamagedBackup::damagedBackupLosesNothingReadable_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("index") << "index";
    QTest::newRow("table page") << "table page";
    QTest::newRow("header") << "header";
}

void TestStationDamagedBackup::damagedBackupLosesNothingReadable()
{
    QFETCH(QString, damage);
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString backup = dir.filePath(QStringLiteral("backup.db3"));
    QVERIFY(BackupFixture::write(backup, fixtureTexts()));
    if (damage == QLatin1String("index"))
        QVERIFY(BackupFixture::damageIndex(backup));
    else if (damage == QLatin1String("header"))
        QVERIFY(BackupFixture::overwriteHead(backup, 100));
    else
        QVERIFY(BackupFixture::overwritePages(backup, {5}));
    QSet<int> readable = fixtureNumbers(BackupFixture::readableTexts(backup, kFixtureRows));
    if (damage == QLatin1String("header")) {
        // SQLite reads none of them, though every one lies whole in the file.
        QVERIFY(readable.isEmpty());
        const QStringList all = fixtureTexts();
        readable = fixtureNumbers(QSet<QString>(all.begin(), all.end()));
    } else {
        QVERIFY(!readable.isEmpty());
        QVERIFY(damage == QLatin1String("index") ? readable.size() == kFixtureRows : readable.size() < kFixtureRows);
    }

    TestBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    QVERIFY(broker.declareTestQueue("kavro.messages", "topic", "damaged_uplinks", "backend.vexa_uplink"));
    QVERIFY(broker.stopApp());
    const QString failed = hearUplinksThenStop(dir.path(), broker.url());
    QVERIFY2(failed.isEmpty(), qPrintable(failed));
    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("backup.db3.unreadable-*")}).size(), 1);

    QVERIFY(broker.startApp());
    StationProcess again(dir.path());
    again.writeScenario(QStringLiteral("set firmware 720\n"));
    QVERIFY(again.start());
    Received got;
    QSet<int> fixtures;
    QList<int> uplinks;
    const bool delivered = waitUntil(
        [&] {
            drainQueue(broker, "damaged_uplinks", got);
            for (const QJsonObject& r : qAsConst(got.records)) {
                if (r.contains(QStringLiteral("fixture")))
                    fixtures.insert(r.value(QStringLiteral("fixture")).toInt());
                else
                    uplinks << r.value(QStringLiteral("modem_id")).toInt();
            }
            got.records.clear();
            QList<int> missing = kIds;
            for (int id : qAsConst(uplinks))
                missing.removeAll(id);
            return missing.isEmpty() && fixtures.contains(readable);
        },
        120000);
    QVERIFY2(delivered, qPrintable(QStringLiteral("%1 of %2 readable rows, %3 uplinks; %4")
                                       .arg(fixtures.size())
                                       .arg(readable.size())
                                       .arg(uplinks.size())
                                       .arg(QString::fromUtf8(again.output().right(2000)))));
    QCOMPARE(fixtures - readable, QSet<int>());
    QVERIFY(again.terminate());
    QCOMPARE(again.exitCode(), 0);
    broker.stop();
}

QTEST_GUILESS_MAIN(TestStationDamagedBackup)
#include "tst_station_damaged_backup.moc"
