// The alarm log on real SQLite files, read back with the sqlite3 tool; clock jumps driven by a
// manual clock.
#include "ManualQueueClock.h"
#include "errlog.h"

#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QDateTime kT0(QDate(2026, 3, 1), QTime(12, 0, 5), Qt::UTC);

// Rows as sqlite3 prints them, "|" between columns, one line per row.
QString sqlite(const QString& file, const QString& sql)
{
    QProcess p;
    p.start("sqlite3", {file, sql});
    p.waitForFinished(-1);
    if (p.exitCode() != 0)
        return "sqlite3 failed: " + QString::fromUtf8(p.readAllStandardError());
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString ms(const QDateTime& t)
{
    return QString::number(t.toMSecsSinceEpoch());
}

} // namespace

class TestErrlog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void instanceBeforeInit(); // must run before any errlog::init()
    void init();
    void cleanup();

    void standardTexts();
    void appendStoresRow_data();
    void appendStoresRow();
    void oddTime_data();
    void oddTime();
    void clockJumps_data();
    void clockJumps();
    void selectNewestFirstWithinLimit();
    void clearKeepsMarkAndRecords();
    void lastRunningTimeSurvivesRestart();
    void badFiles_data();
    void badFiles();

private:
    QString path() const { return dir_.filePath("errlog.db3"); }

    QTemporaryDir dir_;
    ManualQueueClock* clock_ = nullptr;
};

void TestErrlog::initTestCase()
{
    if (QStandardPaths::findExecutable("sqlite3").isEmpty())
        QSKIP("sqlite3 is not installed");
    QVERIFY(dir_.isValid());
}

void TestErrlog::instanceBeforeInit()
{
    errlog& log = errlog::instance();
    double v = 1.0;
    log.append(errlog::EVENT_CONNECTED, kT0, QString(), &v);
    QCOMPARE(log.select(kT0.addDays(-1), kT0.addDays(1), 10), QJsonArray());
    QVERIFY(!log.clear(kT0.addDays(-1), kT0));
    QCOMPARE(log.get_last_running_time().toMSecsSinceEpoch(), qint64(0));
    QVERIFY(!log.run_update());
    QCOMPARE(&errlog::instance(), &log);
}

void TestErrlog::init()
{
    if (QTest::currentTestFunction() == QByteArray("instanceBeforeInit"))
        return;
    QFile::remove(path());
    clock_ = new ManualQueueClock(kT0);
    errlog::init(path(), clock_);
}

void TestErrlog::cleanup()
{
    // A fresh inert log releases the file and the clock before the next case.
    errlog::init(QString(), nullptr);
    delete clock_;
    clock_ = nullptr;
}

void TestErrlog::standardTexts()
{
    QCOMPARE(errlog::toString(errlog::EVENT_START_APP), QString("Base station powered on"));
    QCOMPARE(errlog::toString(errlog::EVENT_NO_SPACE_ON_DISK),
             QString("No space on disk to save new messages, old messages will be deleted"));
    QCOMPARE(errlog::toString(errlog::EVENT_TIME_SYNC_REMOTE), QString("System time is syncronized remotely"));
    QCOMPARE(errlog::toString(errlog::EVENT_DOOR_CLOSED), QString("Door closed"));
    for (int code = 1; code <= 30; ++code)
        QVERIFY2(!errlog::toString(errlog::EVENT_CODE(code)).isEmpty(), qPrintable(QString::number(code)));
    for (int code : {0, 31, 99, 100, -1})
        QCOMPARE(errlog::toString(errlog::EVENT_CODE(code)), QString());
}

void TestErrlog::appendStoresRow_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("hasValue");
    QTest::addColumn<QString>("row");
    QTest::newRow("standard text, no value") << 5 << QString() << false
                                             << "5|" + ms(kT0) + "|null||Connected to server|0";
    QTest::newRow("own text and value") << 9 << "delta 1200 Hz" << true
                                        << "9|" + ms(kT0) + "|real|-2.5|delta 1200 Hz|0";
    QTest::newRow("quotes kept") << 20 << "key 'R_HOST' = \"x\"" << false
                                 << "20|" + ms(kT0) + "|null||key 'R_HOST' = \"x\"|0";
    QTest::newRow("code without text") << 77 << QString() << false << "77|" + ms(kT0) + "|null|||0";
}

void TestErrlog::appendStoresRow()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(bool, hasValue);
    QFETCH(QString, row);
    double v = -2.5;
    errlog::instance().append(errlog::EVENT_CODE(code), kT0, text, hasValue ? &v : nullptr);
    QCOMPARE(sqlite(path(), "SELECT alarm_code, time_saved, typeof(value), value, alarm_text, odd_time FROM alarms"),
             row);
}

void TestErrlog::oddTime_data()
{
    QTest::addColumn<qint64>("deltaMs");
    QTest::addColumn<int>("odd");
    QTest::newRow("half a second older") << qint64(-500) << 0;
    QTest::newRow("one second older") << qint64(-1000) << 1;
    QTest::newRow("an hour older") << qint64(-3600000) << 1;
    QTest::newRow("same time") << qint64(0) << 0;
    QTest::newRow("newer") << qint64(2000) << 0;
}

void TestErrlog::oddTime()
{
    QFETCH(qint64, deltaMs);
    QFETCH(int, odd);
    errlog& log = errlog::instance();
    log.append(errlog::EVENT_UL_OK, kT0);
    log.append(errlog::EVENT_UL_FAULT, kT0.addMSecs(deltaMs));
    QCOMPARE(sqlite(path(), "SELECT odd_time FROM alarms WHERE alarm_code = 15"), QString::number(odd));
}

void TestErrlog::clockJumps_data()
{
    // The log was running with the wall clock behind by `behind`; the station then sees the
    // wall clock move by `wall` while `mono` really passes.
    QTest::addColumn<qint64>("wall");
    QTest::addColumn<qint64>("mono");
    QTest::addColumn<qint64>("shift");
    const qint64 min = 60000, hour = 3600000;
    const qint64 years = qint64(10) * 365 * 24 * hour;
    QTest::newRow("forward 2 h") << 2 * hour + min << min << 2 * hour;
    QTest::newRow("forward 10 years") << years + min << min << years;
    QTest::newRow("forward 8 s") << 8000 + min << min << qint64(0);
    QTest::newRow("back 1 h") << min - hour << min << qint64(0);
    QTest::newRow("event loop stalled 90 s") << 90000 + min << 90000 + min << qint64(0);
    QTest::newRow("stall and 20 s jump") << qint64(20000 + 150000) << qint64(150000) << qint64(20000);
}

void TestErrlog::clockJumps()
{
    QFETCH(qint64, wall);
    QFETCH(qint64, mono);
    QFETCH(qint64, shift);
    errlog& log = errlog::instance();
    // Newest event written with the right time, then the clock goes back (a board without
    // its real-time clock): the next event is older, hence flagged.
    log.append(errlog::EVENT_CONNECTED, kT0);
    QVERIFY(log.run_update());
    clock_->setWallClock(kT0.addSecs(-3 * 3600));
    QVERIFY(log.run_update()); // a backward step changes nothing
    const QDateTime behindTime = clock_->now();
    log.append(errlog::EVENT_DISCONNECTED, behindTime);
    QCOMPARE(sqlite(path(), "SELECT odd_time FROM alarms WHERE alarm_code = 4"), QString("1"));

    clock_->advance(mono);
    clock_->setWallClock(behindTime.addMSecs(wall));
    QVERIFY(log.run_update());

    const QString flagged = sqlite(path(), "SELECT time_saved, odd_time FROM alarms WHERE alarm_code = 4");
    QCOMPARE(flagged, ms(behindTime.addMSecs(shift)) + (shift > 0 ? "|0" : "|1"));
    QCOMPARE(sqlite(path(), "SELECT time_saved, odd_time FROM alarms WHERE alarm_code = 5"), ms(kT0) + "|0");
    QCOMPARE(sqlite(path(), "SELECT id, time_saved, alarm_text FROM alarms WHERE alarm_code = 100"),
             "0|" + ms(clock_->now()) + "|");
}

void TestErrlog::selectNewestFirstWithinLimit()
{
    errlog& log = errlog::instance();
    double v = 7.25;
    for (int i = 0; i < 5; ++i)
        log.append(errlog::EVENT_CODE(errlog::EVENT_UL_OK + i), kT0.addSecs(i), QString(), i == 4 ? &v : nullptr);
    QVERIFY(log.run_update()); // the mark lies inside the window

    const QJsonArray three = log.select(kT0, kT0.addSecs(3600), 3);
    QCOMPARE(three.size(), 3);
    const QJsonObject first = three.at(0).toObject();
    QCOMPARE(first.value("alarm_code").toInt(), 18);
    QCOMPARE(first.value("time_saved").toDouble(), double(kT0.addSecs(4).toMSecsSinceEpoch()));
    QCOMPARE(first.value("value").toDouble(), 7.25);
    QCOMPARE(first.value("alarm_text").toString(), QString("Receiver noise is normal"));
    QCOMPARE(first.value("id").toInt(), 5);
    QVERIFY(!three.at(1).toObject().contains("value"));
    QCOMPARE(three.at(2).toObject().value("alarm_code").toInt(), 16);
    QVERIFY(!three.at(0).toObject().contains("odd_time"));

    // Both bounds are inside; the running-time mark never shows.
    const QJsonArray window = log.select(kT0.addSecs(1), kT0.addSecs(3), 100);
    QCOMPARE(window.size(), 3);
    for (const QJsonValue& v : log.select(kT0.addDays(-1), kT0.addDays(1), 100))
        QVERIFY(v.toObject().value("alarm_code").toInt() != 100);

    QCOMPARE(log.select(kT0, kT0.addSecs(10), 0).size(), 0);
    QCOMPARE(log.select(kT0, kT0.addSecs(10), -1).size(), 0);
}

void TestErrlog::clearKeepsMarkAndRecords()
{
    errlog& log = errlog::instance();
    const QDateTime past = kT0.addDays(-2);
    for (int i = 0; i < 4; ++i)
        log.append(errlog::EVENT_DOOR_OPENED, past.addSecs(i * 60));
    log.append(errlog::EVENT_DOOR_CLOSED, kT0.addDays(-1));
    QVERIFY(log.run_update());
    clock_->advance(1000);

    QVERIFY(log.clear(past, past.addSecs(120)));
    QCOMPARE(sqlite(path(), "SELECT count(*) FROM alarms WHERE alarm_code = 29"), QString("1"));
    QCOMPARE(sqlite(path(), "SELECT count(*) FROM alarms WHERE alarm_code = 30"), QString("1"));
    QCOMPARE(sqlite(path(), "SELECT count(*) FROM alarms WHERE id = 0 AND alarm_code = 100"), QString("1"));
    QCOMPARE(sqlite(path(), "SELECT time_saved, alarm_text FROM alarms WHERE alarm_code = 13"),
             ms(clock_->now()) + "|Log data deleted from " + past.toString("yyyy-MM-dd hh:mm:ss") + " to "
                 + past.addSecs(120).toString("yyyy-MM-dd hh:mm:ss"));
}

void TestErrlog::lastRunningTimeSurvivesRestart()
{
    QCOMPARE(errlog::instance().get_last_running_time(), QDateTime::fromMSecsSinceEpoch(0, Qt::UTC));
    clock_->advance(60000);
    QVERIFY(errlog::instance().run_update());
    const QDateTime mark = clock_->now();
    clock_->advance(60000);
    QVERIFY(errlog::instance().run_update());
    const QDateTime last = clock_->now();
    QVERIFY(last != mark);

    // Restart on the same file.
    errlog& again = errlog::init(path(), clock_);
    QCOMPARE(&errlog::instance(), &again);
    QCOMPARE(again.get_last_running_time().toMSecsSinceEpoch(), last.toMSecsSinceEpoch());
    QCOMPARE(sqlite(path(), "SELECT count(*) FROM alarms WHERE alarm_code = 100"), QString("1"));
}

void TestErrlog::badFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("movedAside");
    QTest::newRow("empty file") << QByteArray() << false;
    QTest::newRow("text file") << QByteArray("this is not a database, it only holds some words.\n").repeated(100)
                               << true;
}

void TestErrlog::badFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, movedAside);
    errlog::init(QString(), nullptr);
    const QString file = dir_.filePath("bad.db3");
    for (const QString& f : QDir(dir_.path()).entryList({"bad.db3*"}))
        QFile::remove(dir_.filePath(f));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();

    errlog& log = errlog::init(file, clock_);
    log.append(errlog::EVENT_START_APP, kT0);
    QCOMPARE(log.select(kT0, kT0, 10).size(), 1);
    const QStringList aside = QDir(dir_.path()).entryList({"bad.db3.unreadable-*"});
    QCOMPARE(aside.size(), movedAside ? 1 : 0);
    if (movedAside) {
        QFile kept(dir_.filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
    }
    // A folder that does not exist: every operation fails quietly.
    errlog& none = errlog::init(dir_.filePath("no/such/dir/errlog.db3"), clock_);
    none.append(errlog::EVENT_START_APP, kT0);
    QCOMPARE(none.select(kT0, kT0, 10).size(), 0);
    QVERIFY(!none.run_update());
}

QTEST_GUILESS_MAIN(TestErrlog)
#include "tst_errlog.moc"
