// Outgoing queue: session, save, restore and clear rules, start-up checks of the backup file,
// the shared id counter, the disk guard and the shutdown save. Backup fixtures are made and
// checked with the sqlite3 command-line tool, independently of the queue's own SQL.
#include "BackupFixture.h"
#include "BackupSalvage.h"
#include "BinaryConverter.h"
#include "ManualQueueClock.h"
#include "RecordingHostCommandRunner.h"
#include "errlog.h"
#include "messque.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const qint64 kAge = qint64(messque::kSaveAgeSec) * 1000;
// A record text with both kinds of quote, stored and read back unchanged.
const char* const kQuoted = "{\"seq\":1,\"text\":\"it's \\\"quoted\\\"\"}";

// Runs SQL through the sqlite3 tool; returns its output (rows '|'-separated, one per line).
QString sqlite(const QString& file, const QString& sql)
{
    return BackupFixture::sqlite(file, sql);
}

QStringList rows(const QString& file, const QString& select)
{
    const QString out = sqlite(file, select + QStringLiteral(";\n"));
    return out.isEmpty() ? QStringList() : out.split(QLatin1Char('\n'));
}

const int kDamagedRows = 600;

// kDamagedRows waiting records, spread over some 25 pages of table and index.
QStringList largeBackupTexts()
{
    QStringList texts;
    for (int i = 1; i <= kDamagedRows; ++i)
        texts << QStringLiteral("{\"seq\":%1,\"pad\":\"%2\"}").arg(i).arg(QString(60, QLatin1Char('0')));
    return texts;
}

} // namespace

class tst_messque : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::shared_ptr<RecordingHostCommandRunner> runner = std::make_shared<RecordingHostCommandRunner>();
    ManualQueueClock clock{QDateTime(QDate(2024, 5, 1), QTime(12, 0))};

    QString path(const QString& name) const { return dir.filePath(name); }

    std::unique_ptr<messque> makeQueue(const QString& file, bool save, bool init = true)
    {
        auto q = std::make_unique<messque>(path(file), path(QStringLiteral("link.log")), save);
        q->setClock(&clock);
        if (init)
            q->init();
        return q;
    }

    // Takes every record the queue gives, backup included, confirming each batch.
    static QStringList drain(messque& q)
    {
        QStringList got;
        quint32 session = 1;
        for (int batch = 0; batch < 100 && !q.isEmpty(); ++batch, ++session) {
            for (QByteArray t; !(t = q.pop_for_publish(session)).isNull();)
                got << QString::fromUtf8(t);
            q.clear_session(session);
        }
        return got;
    }

    QStringList eventLines() const
    {
        QFile f(QDir::current().filePath(QStringLiteral("bsevent.log")));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // Alarm rows with the no-space code (10).
    int noSpaceAlarms() const
    {
        return rows(path(QStringLiteral("alarms.db3")),
                    QStringLiteral("SELECT count(*) FROM alarms WHERE alarm_code = 10"))
            .value(0)
            .toInt();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir::setCurrent(dir.path())); // bsevent.log lands in the working directory
        QVERIFY2(!sqlite(QStringLiteral(":memory:"), QStringLiteral("SELECT 1;")).isEmpty(),
                 "sqlite3 tool is needed");
        errlog::init(path(QStringLiteral("alarms.db3")), &clock);
        // Nothing in this test may stop a real process.
        HostCommandRunner::setDefaultRunner(runner);
    }

    void cleanupTestCase()
    {
        errlog::init(QString(), nullptr); // a log without a database outlives the test
    }


    void init()
    {
        messque::reset_disk_guard();
        messque::set_free_space_probe({});
        clock.setWallClock(QDateTime(QDate(2024, 5, 1), QTime(12, 0)));
    }

    // Scripted operations on the memory list. Tokens: e<name> enqueue, p<s>=<name|-> pop for
    // session s and expect that record (or none), u unpop the last popped record, c<s>=<0|1> clear one, C<s>=<n> clear a
    // session, w (connection lost), L=<n> expect the list size; k<name> the broker confirms that
    // record, t<s>=<name|-> the link takes the next waiting record, r<s>=<name|-> the same or
    // one in flight for 1000 ms or more, +<ms> the clock moves.
    void sessions_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("pop takes the oldest entry not yet in the session")
            << "ea eb ec p5=a p5=b p5=c p5=- L=3";
        QTest::newRow("clear drops the session's entries front first")
            << "ea eb ec p5=a p5=b c5=1 c5=1 c5=0 L=1 p5=c";
        QTest::newRow("a later session republishes older ones")
            << "ea eb ec p1=a p2=a p2=b C1=0 C2=2 L=1 p3=c";
        QTest::newRow("lost connection returns published entries to waiting")
            << "ea eb p1=a p1=b w p2=a C2=1 L=1 p3=b";
        QTest::newRow("a confirm on the new connection clears only what it carried")
            << "ea eb ec p1=a p1=b p1=c w p2=a C2=1 C1=0 L=2";
        QTest::newRow("a refused record waits while the rest of its session is cleared")
            << "ea eb ec p1=a p1=b p1=c u C1=2 L=1 p2=c";
        QTest::newRow("empty and null texts are refused")
            << "e e- ea p1=a p1=- L=1";
        QTest::newRow("clear on an empty list") << "c1=0 C1=0 p1=- L=0";
        QTest::newRow("a record that could not be sent goes back to waiting")
            << "ea eb p1=a u p1=a p1=b C1=2";
        QTest::newRow("a confirm drops its record whatever its session")
            << "ea eb ec t1=a t2=b kb L=2 ka L=1 kb ka L=1 t3=c";
        QTest::newRow("the link takes waiting records in order of arrival")
            << "ea eb t1=a t1=b t1=- ec t1=c";
        QTest::newRow("republish takes only records in flight a whole interval")
            << "ea eb t1=a +500 t1=b r2=- +500 r2=a r2=- +500 r2=b r3=- +500 r3=a";
        QTest::newRow("a refused record goes back to its place of arrival")
            << "ea eb ec ed t1=a t1=b t1=c u t1=c t1=d";
        QTest::newRow("after a lost connection records wait in order of arrival")
            << "ea eb ec t1=a t1=b +1000 r2=a w t3=a t3=b t3=c t3=-";
    }
    void sessions()
    {
        QFETCH(QString, script);
        auto q = makeQueue(QStringLiteral("sessions.db3"), false);
        quint32 lastPopped = 0;
        QHash<QString, quint32> ids; // record text -> id, from the pops
        for (const QString& token : script.split(QLatin1Char(' '))) {
            const QChar op = token.at(0);
            const QString arg = token.mid(1).section(QLatin1Char('='), 0, 0);
            const QString want = token.section(QLatin1Char('='), 1);
            if (op == QLatin1Char('e')) {
                // "e" enqueues an empty text, "e-" a null one; both must be refused.
                const QByteArray text = arg == QLatin1String("-") ? QByteArray()
                    : arg.isEmpty()                              ? QByteArray("")
                                                                 : arg.toUtf8();
                QCOMPARE(q->enqueue(text), !text.isEmpty());
            } else if (op == QLatin1Char('u')) {
                q->unpop(lastPopped);
            } else if (op == QLatin1Char('p')) {
                const QByteArray got = q->pop_for_publish(arg.toUInt(), &lastPopped);
                if (want == QLatin1String("-"))
                    QVERIFY2(got.isNull(), qPrintable(token + " got " + got));
                else
                    QCOMPARE(QString::fromUtf8(got), want);
                if (!got.isNull())
                    ids.insert(QString::fromUtf8(got), lastPopped);
            } else if (op == QLatin1Char('c')) {
                QCOMPARE(q->clear(arg.toUInt()), want == QLatin1String("1"));
            } else if (op == QLatin1Char('C')) {
                QCOMPARE(q->clear_session(arg.toUInt()), want.toInt());
            } else if (op == QLatin1Char('w')) {
                q->return_to_waiting();
            } else if (op == QLatin1Char('k')) {
                q->confirm(ids.value(arg));
            } else if (op == QLatin1Char('t') || op == QLatin1Char('r')) {
                // r: a record published 1000 ms ago or more may go again.
                const qint64 before = op == QLatin1Char('r') ? clock.monotonicMs() - 999 : messque::kNoRepublish;
                const QByteArray got = q->take_next(arg.toUInt(), before, &lastPopped);
                if (want == QLatin1String("-"))
                    QVERIFY2(got.isNull(), qPrintable(token + " got " + got));
                else
                    QCOMPARE(QString::fromUtf8(got), want);
                if (!got.isNull())
                    ids.insert(QString::fromUtf8(got), lastPopped);
            } else if (op == QLatin1Char('+')) {
                clock.advance(arg.toLongLong());
            } else if (op == QLatin1Char('L')) {
                QCOMPARE(q->size(), want.toInt());
            } else {
                QFAIL(qPrintable("bad token " + token));
            }
        }
    }

    // Which aged records the saver writes, drops or keeps.
    void saver_data()
    {
        QTest::addColumn<bool>("saveToDisk");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<bool>("mainLink");
        QTest::addColumn<bool>("published");
        QTest::addColumn<int>("ageSec");
        QTest::addColumn<int>("rowsInFile");
        QTest::addColumn<int>("leftInMemory");

        QTest::newRow("waiting, saving on, connected, at the save age") << true << true << false << false << 600 << 1 << 0;
        QTest::newRow("waiting, one second short of the save age") << true << true << false << false << 599 << 0 << 1;
        QTest::newRow("extra link never connected drops it") << true << false << false << false << 600 << 0 << 0;
        QTest::newRow("main link never connected keeps it") << true << false << true << false << 600 << 1 << 0;
        QTest::newRow("backup off drops it") << false << true << false << false << 900 << 0 << 0;
        QTest::newRow("published, unconfirmed, saving on: backed up") << true << true << false << true << 600 << 1 << 0;
        QTest::newRow("published, extra link never connected: kept") << true << false << false << true << 700 << 0 << 1;
        QTest::newRow("published, backup off: kept") << false << true << false << true << 700 << 0 << 1;
    }
    void saver()
    {
        QFETCH(bool, saveToDisk);
        QFETCH(bool, connected);
        QFETCH(bool, mainLink);
        QFETCH(bool, published);
        QFETCH(int, ageSec);
        QFETCH(int, rowsInFile);
        QFETCH(int, leftInMemory);

        const QString file = QStringLiteral("saver-%1.db3").arg(QTest::currentDataTag()).replace(' ', '_');
        QFile::remove(path(file));
        auto q = makeQueue(file, saveToDisk);
        q->set_save_before_connect(mainLink);
        q->set_start_to_save(connected);
        const QDateTime stamped = clock.now();
        QVERIFY(q->enqueue(kQuoted));
        if (published)
            QVERIFY(!q->pop_for_publish(1).isNull());
        clock.advance(qint64(ageSec) * 1000);
        q->saveMain();
        QCOMPARE(q->size(), leftInMemory);
        if (!saveToDisk) {
            QVERIFY(!QFile::exists(path(file)));
            return;
        }
        const QStringList got = rows(path(file), QStringLiteral("SELECT ID, STATE, DT, STR FROM messages"));
        QCOMPARE(got.size(), rowsInFile);
        if (rowsInFile == 1) {
            const QStringList cols = got.first().split(QLatin1Char('|'));
            QCOMPARE(cols.value(1), QStringLiteral("0"));
            QCOMPARE(cols.value(2), stamped.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")));
            QCOMPARE(cols.mid(3).join(QLatin1Char('|')), QString::fromUtf8(kQuoted));
        }
    }

    // Only the aged records leave memory; they keep their order in the file.
    void saverKeepsOrderAndYoungRecords()
    {
        auto q = makeQueue(QStringLiteral("order.db3"), true);
        q->set_start_to_save(true);
        for (int i = 0; i < 5; ++i)
            QVERIFY(q->enqueue(QByteArray("old") + QByteArray::number(i)));
        clock.advance(300 * 1000);
        for (int i = 0; i < 3; ++i)
            QVERIFY(q->enqueue(QByteArray("new") + QByteArray::number(i)));
        clock.advance(300 * 1000);
        q->saveMain();
        QCOMPARE(q->size(), 3);
        QCOMPARE(rows(path(QStringLiteral("order.db3")), QStringLiteral("SELECT STR FROM messages ORDER BY ID")),
                 QStringList({"old0", "old1", "old2", "old3", "old4"}));
        QCOMPARE(q->pop_for_publish(1), QByteArray("new0"));
    }

    // A jump of the wall clock neither ages records nor keeps them young; the stamp stays.
    void ageingFollowsTheMonotonicClock()
    {
        auto q = makeQueue(QStringLiteral("jump.db3"), true);
        q->set_start_to_save(true);
        QVERIFY(q->enqueue("a"));
        clock.setWallClock(clock.now().addYears(3));
        q->saveMain();
        QCOMPARE(q->size(), 1);
        clock.setWallClock(clock.now().addYears(-6));
        clock.advance(kAge);
        q->saveMain();
        QCOMPARE(q->size(), 0);
        QCOMPARE(rows(path(QStringLiteral("jump.db3")), QStringLiteral("SELECT count(*) FROM messages")),
                 QStringList({"1"}));
    }

    // Restoring from fixtures written by sqlite3.
    void restore_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QStringList>("restored");       // texts now in memory, in order
        QTest::addColumn<QString>("fileAfter");          // "STATE:count,..." of the rows left
        QTest::addColumn<bool>("emptyAfter");

        const QString table = QStringLiteral(
            "CREATE TABLE messages (ID int PRIMARY KEY, STATE int, DT datetime, STR text);");
        QTest::newRow("250 rows: 100 come back, marked in flight")
            << table + "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 250) "
                       "INSERT INTO messages SELECT i, 0, '2024-04-30 10:00:00.000', 'r' || i FROM n;"
            << QStringList() << "0:150,1:100" << false;
        QTest::newRow("rows by ID, not by insertion")
            << table + "INSERT INTO messages VALUES(30,0,'2024-04-30 10:00:00.000','c');"
                       "INSERT INTO messages VALUES(10,0,'2024-04-30 10:00:00.000','a');"
                       "INSERT INTO messages VALUES(20,0,'2024-04-30 10:00:00.000','b');"
            << QStringList({"a", "b", "c"}) << "1:3" << false;
        QTest::newRow("rows left in flight by a previous run come back")
            << table + "INSERT INTO messages VALUES(1,1,'2024-04-30 10:00:00.000','a');"
                       "INSERT INTO messages VALUES(2,0,'2024-04-30 10:00:00.000','b');"
            << QStringList({"a", "b"}) << "1:2" << false;
        QTest::newRow("unreadable rows are skipped and removed")
            << table + "INSERT INTO messages VALUES(NULL,0,'2024-04-30 10:00:00.000','no id');"
                       "INSERT INTO messages VALUES(1,0,'2024-04-30 10:00:00.000',NULL);"
                       "INSERT INTO messages VALUES(2,0,'2024-04-30 10:00:00.000','');"
                       "INSERT INTO messages VALUES(3,0,'2024-04-30 10:00:00.000','good');"
                       "INSERT INTO messages VALUES('x',0,'2024-04-30 10:00:00.000','text id');"
            << QStringList({"good"}) << "1:1" << false;
        QTest::newRow("a full batch of bad rows does not hide good ones")
            << table + "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 120) "
                       "INSERT INTO messages SELECT i, 0, '2024-04-30 10:00:00.000', NULL FROM n;"
                       "INSERT INTO messages VALUES(500,0,'2024-04-30 10:00:00.000','late');"
            << QStringList({"late"}) << "1:1" << false;
        QTest::newRow("unreadable DT still restores the text")
            << table + "INSERT INTO messages VALUES(1,0,'yesterday','a');"
            << QStringList({"a"}) << "1:1" << false;
        QTest::newRow("quotes and non-ASCII text unchanged")
            << table + "INSERT INTO messages VALUES(1,0,'2024-04-30 10:00:00.000','{\"t\":\"it''s é\"}');"
            << QStringList({"{\"t\":\"it's é\"}"}) << "1:1" << false;
        QTest::newRow("empty table") << table << QStringList() << "" << true;
        QTest::newRow("database without the table") << "CREATE TABLE other (x int);" << QStringList() << "" << true;
        QTest::newRow("empty file") << "" << QStringList() << "" << true;
    }
    void restore()
    {
        QFETCH(QString, fixture);
        QFETCH(QStringList, restored);
        QFETCH(QString, fileAfter);
        QFETCH(bool, emptyAfter);

        const QString file = path(QStringLiteral("restore.db3"));
        QFile::remove(file);
        if (fixture.isEmpty()) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else {
            sqlite(file, fixture);
        }
        auto q = makeQueue(QStringLiteral("restore.db3"), true);
        QVERIFY(q->backup_open());
        QCOMPARE(q->isEmpty(), emptyAfter);
        if (!restored.isEmpty()) {
            QStringList got;
            for (QByteArray t; !(t = q->pop_for_publish(1)).isNull();)
                got << QString::fromUtf8(t);
            QCOMPARE(got, restored);
        } else if (!emptyAfter) {
            QCOMPARE(q->size(), 100);
            QCOMPARE(q->pop_for_publish(1), QByteArray("r1"));
        }
        QCOMPARE(rows(file, QStringLiteral("SELECT STATE || ':' || count(*) FROM messages GROUP BY STATE ORDER BY STATE"))
                     .join(QLatin1Char(',')),
                 fileAfter);
    }

    // A backup holding rows 1, 2, 3 ("a", "b", "c"), all waiting.
    static void writeThreeWaitingRows(const QString& file)
    {
        sqlite(file, QStringLiteral(
            "CREATE TABLE messages (ID int PRIMARY KEY, STATE int, DT datetime, STR text);"
            "INSERT INTO messages VALUES(1,0,'2024-04-30 10:00:00.000','a');"
            "INSERT INTO messages VALUES(2,0,'2024-04-30 10:00:00.000','b');"
            "INSERT INTO messages VALUES(3,0,'2024-04-30 10:00:00.000','c');"));
    }

    // Restored rows leave the file only when their confirm arrives; anything else puts them
    // back to waiting at the next start.
    void restoredRowsLeaveOnConfirm()
    {
        const QString file = path(QStringLiteral("confirm.db3"));
        QFile::remove(file);
        writeThreeWaitingRows(file);
        {
            auto q = makeQueue(QStringLiteral("confirm.db3"), true);
            QVERIFY(!q->isEmpty());
            QCOMPARE(q->pop_for_publish(7), QByteArray("a"));
            QCOMPARE(q->pop_for_publish(7), QByteArray("b"));
            QCOMPARE(q->clear_session(7), 2);
            QCOMPARE(rows(file, QStringLiteral("SELECT ID, STATE FROM messages")), QStringList({"3|1"}));
            QCOMPARE(q->pop_for_publish(8), QByteArray("c"));
            q->return_to_waiting(); // the connection dropped before the confirm
            QCOMPARE(rows(file, QStringLiteral("SELECT ID, STATE FROM messages")), QStringList({"3|1"}));
        } // the process stops without a shutdown save
        auto again = makeQueue(QStringLiteral("confirm.db3"), true);
        QCOMPARE(rows(file, QStringLiteral("SELECT ID, STATE FROM messages")), QStringList({"3|0"}));
        QVERIFY(!again->isEmpty());
        QCOMPARE(again->pop_for_publish(1), QByteArray("c"));
        QVERIFY(again->clear(1));
        QCOMPARE(rows(file, QStringLiteral("SELECT count(*) FROM messages")), QStringList({"0"}));
    }

    // The records of one ack leave together: their rows in one go, an id given twice or
    // already gone counts once or not at all.
    void restoredRowsLeaveOnOneAck()
    {
        const QString file = path(QStringLiteral("ack.db3"));
        QFile::remove(file);
        writeThreeWaitingRows(file);
        auto q = makeQueue(QStringLiteral("ack.db3"), true);
        QVERIFY(!q->isEmpty());
        quint32 a = 0, b = 0, c = 0;
        QCOMPARE(q->pop_for_publish(7, &a), QByteArray("a"));
        QCOMPARE(q->pop_for_publish(7, &b), QByteArray("b"));
        QCOMPARE(q->pop_for_publish(7, &c), QByteArray("c"));
        QVERIFY(q->enqueue("fresh"));
        quint32 fresh = 0;
        QCOMPARE(q->pop_for_publish(7, &fresh), QByteArray("fresh"));
        QCOMPARE(q->confirm(QList<quint32>{a, c, a, fresh, 999999}), 3);
        QCOMPARE(q->size(), 1);
        QCOMPARE(rows(file, QStringLiteral("SELECT ID, STATE FROM messages")), QStringList({"2|1"}));
        QCOMPARE(q->confirm(QList<quint32>{a, c}), 0);
        QCOMPARE(q->confirm(QList<quint32>{b}), 1);
        QCOMPARE(rows(file, QStringLiteral("SELECT count(*) FROM messages")), QStringList({"0"}));
    }

    // A restored record that waits past the save age goes back to its own row.
    void restoredRecordSavedBackToItsRow()
    {
        const QString file = path(QStringLiteral("back.db3"));
        QFile::remove(file);
        sqlite(file, QStringLiteral(
            "CREATE TABLE messages (ID int PRIMARY KEY, STATE int, DT datetime, STR text);"
            "INSERT INTO messages VALUES(42,0,'2024-04-30 10:00:00.000','a');"));
        auto q = makeQueue(QStringLiteral("back.db3"), true);
        q->set_start_to_save(true);
        QVERIFY(!q->isEmpty());
        QVERIFY(!q->pop_for_publish(3).isNull());
        q->saveMain(); // stamped a day ago: old enough at once
        QCOMPARE(q->size(), 0);
        QCOMPARE(rows(file, QStringLiteral("SELECT ID, STATE, DT, STR FROM messages")),
                 QStringList({"42|0|2024-04-30 10:00:00.000|a"}));
    }

    // The DT text of a row survives a restore and a save back unchanged; a DT that is not
    // exactly "yyyy-MM-dd hh:mm:ss.zzz" with a real date and time is taken as now.
    void restoredStampWrittenBack_data()
    {
        QTest::addColumn<QString>("dt");
        QTest::addColumn<bool>("readable");
        QTest::newRow("ordinary") << "2024-04-30 10:00:00.000" << true;
        QTest::newRow("leap day, last millisecond") << "2024-02-29 23:59:59.999" << true;
        QTest::newRow("before 2000") << "1999-12-31 00:00:00.001" << true;
        QTest::newRow("far future") << "9999-12-31 23:59:59.999" << true;
        QTest::newRow("no leap day") << "2023-02-29 10:00:00.000" << false;
        QTest::newRow("month 13") << "2024-13-01 10:00:00.000" << false;
        QTest::newRow("hour 24") << "2024-04-30 24:00:00.000" << false;
        QTest::newRow("no milliseconds") << "2024-04-30 10:00:00" << false;
        QTest::newRow("T separator") << "2024-04-30T10:00:00.000" << false;
        QTest::newRow("letters") << "2024-04-3x 10:00:00.000" << false;
    }
    void restoredStampWrittenBack()
    {
        QFETCH(QString, dt);
        QFETCH(bool, readable);
        const QString file = path(QStringLiteral("stamp.db3"));
        QFile::remove(file);
        sqlite(file, QStringLiteral("CREATE TABLE messages (ID int PRIMARY KEY, STATE int, DT datetime, STR text);"
                                    "INSERT INTO messages VALUES(7,0,'%1','a');").arg(dt));
        auto q = makeQueue(QStringLiteral("stamp.db3"), true);
        q->set_start_to_save(true);
        const QString restoredAt = clock.now().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
        QVERIFY(!q->isEmpty());
        // Only a stamp far enough back is old enough to go straight back to the file.
        if (!readable || QDateTime::fromString(dt, QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")) > clock.now())
            clock.advance(kAge);
        const QString expected = readable ? dt : restoredAt;
        q->saveMain();
        QCOMPARE(q->size(), 0);
        QCOMPARE(rows(file, QStringLiteral("SELECT ID, STATE, DT FROM messages")),
                 QStringList({QStringLiteral("7|0|") + expected}));
    }

    // A file that is not a database is kept aside and replaced.
    void unreadableFileMovedAside()
    {
        const QString file = path(QStringLiteral("garbage.db3"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(8192, 'x'));
        f.close();
        auto q = makeQueue(QStringLiteral("garbage.db3"), true);
        QVERIFY(q->backup_open());
        const QStringList aside = QDir(dir.path()).entryList({QStringLiteral("garbage.db3.unreadable-*")});
        QCOMPARE(aside.size(), 1);
        QFile kept(path(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray(8192, 'x'));
        q->set_start_to_save(true);
        QVERIFY(q->enqueue("a"));
        clock.advance(kAge);
        q->saveMain();
        QCOMPARE(rows(file, QStringLiteral("SELECT STR FROM messages")), QStringList({"a"}));
    }

    // A backup damaged in place: whatever detects it (the start, the saver, the shutdown save,
    // a restore), every row SQLite can still read and every record queued in memory during the
    // outage is delivered after a restart, each once; the damaged file is kept aside.
    // Plan tokens: r restore a batch first, s the saver writes the outage records, x shutdown save.
    void damagedBackup_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("plan");
        for (const char* damage : {"random pages", "index", "truncated", "header"}) {
            for (const char* plan : {"sx", "x", "rx"})
                QTest::addRow("%s, %s", damage, plan) << damage << plan;
        }
    }
    void damagedBackup()
    {
        QFETCH(QString, damage);
        QFETCH(QString, plan);
        const QString name = QStringLiteral("damaged.db3");
        const QString file = path(name);
        for (const QString& old : QDir(dir.path()).entryList({name + QStringLiteral("*")}))
            QVERIFY(QFile::remove(path(old)));
        QVERIFY(BackupFixture::write(file, largeBackupTexts()));
        if (damage == QLatin1String("random pages"))
            QVERIFY(BackupFixture::overwritePages(file, {8, 9, 20}));
        else if (damage == QLatin1String("index"))
            QVERIFY(BackupFixture::damageIndex(file));
        else if (damage == QLatin1String("header"))
            QVERIFY(BackupFixture::overwriteHead(file, 100));
        else
            QVERIFY(BackupFixture::truncateMidPage(file));
        const QSet<QString> readable = BackupFixture::readableTexts(file, kDamagedRows);
        QSet<QString> expected = readable;
        if (damage == QLatin1String("header")) {
            // SQLite reads nothing, though every record lies whole in the file.
            QVERIFY(readable.isEmpty());
            const QStringList all = largeBackupTexts();
            expected = QSet<QString>(all.begin(), all.end());
        } else {
            QVERIFY(!readable.isEmpty());
            QVERIFY(readable.size() < kDamagedRows || damage == QLatin1String("index"));
        }

        {
            auto q = makeQueue(name, true);
            q->set_start_to_save(true);
            QVERIFY(q->backup_open());
            if (plan.contains(QLatin1Char('r')))
                QVERIFY(!q->isEmpty());
            for (int i = 0; i < 20; ++i) {
                const QString text = QStringLiteral("{\"outage\":%1}").arg(i);
                QVERIFY(q->enqueue(text.toUtf8()));
                expected.insert(text);
            }
            if (plan.contains(QLatin1Char('s'))) {
                clock.advance(kAge);
                q->saveMain();
                QCOMPARE(q->size(), 0);
            }
            if (plan.contains(QLatin1Char('x'))) {
                q->save_all();
                QCOMPARE(q->size(), 0);
            }
        }
        QCOMPARE(QDir(dir.path()).entryList({name + QStringLiteral(".unreadable-*")}).size(), 1);
        QVERIFY(eventLines().last().contains(QStringLiteral("Unreadable backup file ")));

        auto again = makeQueue(name, true);
        const QStringList got = drain(*again);
        QVERIFY2(again->isEmpty(), "the backup never ran empty");
        const QSet<QString> delivered(got.begin(), got.end());
        QCOMPARE(got.size(), delivered.size()); // each once
        QCOMPARE(delivered - expected, QSet<QString>());
        QCOMPARE(expected - delivered, QSet<QString>());
        QCOMPARE(QDir(dir.path()).entryList({name + QStringLiteral(".unreadable-*")}).size(), 1);
    }

    // What the queue of a link takes as a record from its backup.
    void recordText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("record");
        QTest::newRow("JSON object") << QByteArray(kQuoted) << true;
        QTest::newRow("JSON object, line end after") << QByteArray("{\"seq\":1}\n") << true;
        QTest::newRow("NUL byte in a string") << QByteArray("{\"a\":\"x\0y\"}", 11) << false;
        QTest::newRow("cut short") << QByteArray("{\"seq\":1,\"pad\":\"00") << false;
        QTest::newRow("bytes after the object") << QByteArray("{\"seq\":1}x") << false;
        QTest::newRow("repeated key") << QByteArray("{\"a\":[1],\"a\":2}") << false;
        QTest::newRow("array") << QByteArray("[1,2]") << false;
        QTest::newRow("plain text") << QByteArray("r1") << false;
        QTest::newRow("random bytes") << QByteArray("\x08\xff\xff\x12", 4) << false;
        BinaryConverter conv;
        QByteArray envelope;
        QVERIFY(conv.Json2Binary<HeartBeatMsg>(QJsonDocument::fromJson(R"({"version": 1, "latitude": 0.5})"), envelope));
        QTest::newRow("binary envelope") << envelope << true;
        QTest::newRow("binary envelope cut short") << envelope.left(envelope.size() - 3) << false;
    }
    void recordText()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, record);
        QCOMPARE(BackupSalvage::isRecordText(text), record);
    }

    // A row whose text is not a record (damaged where SQLite does not look) is never published:
    // it is logged and stays in the unreadable copy; every record around it goes out once.
    void rowsThatAreNotRecordsStayInTheCopy_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("readable file") << "none";
        QTest::newRow("damaged page as well") << "page";
        QTest::newRow("damaged header as well") << "header";
    }
    void rowsThatAreNotRecordsStayInTheCopy()
    {
        QFETCH(QString, damage);
        const QString name = QStringLiteral("texts.db3");
        const QString file = path(name);
        for (const QString& old : QDir(dir.path()).entryList({name + QStringLiteral("*")}))
            QVERIFY(QFile::remove(path(old)));
        QStringList texts = largeBackupTexts();
        QVERIFY(BackupFixture::write(file, texts));
        // Rows 3 and 400 damaged in place: a NUL byte, and a text cut short.
        sqlite(file, QStringLiteral("UPDATE messages SET STR = CAST(X'7B22736571223A00337D' AS TEXT) WHERE ID = 3;"
                                    "UPDATE messages SET STR = '{\"seq\":400,\"pad\":\"00' WHERE ID = 400;"));
        // Rows 100 to 109 were confirmed: their bytes may stay in the file, they must not come back.
        sqlite(file, QStringLiteral("PRAGMA secure_delete = OFF; DELETE FROM messages WHERE ID BETWEEN 100 AND 109;"));
        {
            QFile raw(file);
            QVERIFY(raw.open(QIODevice::ReadOnly));
            QVERIFY(raw.readAll().contains("{\"seq\":105,"));
        }
        QStringList records = texts;
        records.removeAt(399);
        records.erase(records.begin() + 99, records.begin() + 109);
        records.removeAt(2);
        QSet<QString> expected(records.begin(), records.end());
        if (damage == QLatin1String("page")) {
            QVERIFY(BackupFixture::overwritePages(file, {8}));
            expected &= BackupFixture::readableTexts(file, kDamagedRows);
        } else if (damage == QLatin1String("header")) {
            QVERIFY(BackupFixture::overwriteHead(file, 100));
        }
        QVERIFY(expected.size() > kDamagedRows / 2);

        const int logBefore = int(QFileInfo(path(QStringLiteral("link.log"))).size());
        auto q = makeQueue(name, true, false);
        q->set_check_records(true);
        q->init();
        const QStringList got = drain(*q);
        QVERIFY2(q->isEmpty(), "the backup never ran empty");
        const QSet<QString> delivered(got.begin(), got.end());
        QCOMPARE(got.size(), delivered.size());
        QCOMPARE(delivered - expected, QSet<QString>());
        QCOMPARE(expected - delivered, QSet<QString>());

        const QStringList aside = QDir(dir.path()).entryList({name + QStringLiteral(".unreadable-*")});
        QCOMPARE(aside.size(), 1);
        if (damage == QLatin1String("none")) {
            // Both rows are in the copy as they were, and the log names them.
            QCOMPARE(rows(path(aside.first()), QStringLiteral("SELECT ID, hex(STR) FROM messages WHERE ID IN (3, 400) ORDER BY ID")),
                     QStringList({"3|7B22736571223A00337D", "400|" + QString::fromLatin1(QByteArray("{\"seq\":400,\"pad\":\"00").toHex().toUpper())}));
            QFile log(path(QStringLiteral("link.log")));
            QVERIFY(log.open(QIODevice::ReadOnly));
            log.seek(logBefore);
            const QByteArray lines = log.readAll();
            QVERIFY2(lines.contains("Backup row id = 3 is not a record (10 bytes, first 7b 22 73 65 71 22 3a 00 33 7d)"),
                     lines.right(3000).constData());
            QVERIFY(lines.contains("Backup row id = 400 is not a record (20 bytes, first "));
        }
    }

    // Failures that do not mean damage keep the file where it is and the records in memory.
    void otherFailuresKeepTheFile_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::newRow("file locked by another connection") << "locked";
        QTest::newRow("id already in the file") << "duplicate";
    }
    void otherFailuresKeepTheFile()
    {
        QFETCH(QString, failure);
        const QString name = QStringLiteral("healthy.db3");
        const QString file = path(name);
        for (const QString& old : QDir(dir.path()).entryList({name + QStringLiteral("*")}))
            QVERIFY(QFile::remove(path(old)));
        auto q = makeQueue(name, true);
        q->set_start_to_save(true);
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(file);
        QVERIFY(other.open());
        QSqlQuery hold(other);
        if (failure == QLatin1String("locked")) {
            QVERIFY(hold.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        } else {
            QVERIFY(hold.exec(QStringLiteral("INSERT INTO messages VALUES(%1, 0, '2024-04-30 10:00:00.000', 'other')")
                                  .arg(jstring_point::peek_id_counter())));
        }
        QVERIFY(q->enqueue("kept"));
        clock.advance(kAge);
        q->saveMain();
        QCOMPARE(q->size(), 1);
        if (failure == QLatin1String("locked"))
            QVERIFY(hold.exec(QStringLiteral("ROLLBACK")));
        hold.finish();
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
        QVERIFY(QDir(dir.path()).entryList({name + QStringLiteral(".unreadable-*")}).isEmpty());
        QVERIFY(q->backup_open());
        if (failure == QLatin1String("locked")) {
            q->saveMain();
            QCOMPARE(q->size(), 0);
            QCOMPARE(rows(file, QStringLiteral("SELECT STR FROM messages")), QStringList({"kept"}));
        } else {
            QCOMPARE(rows(file, QStringLiteral("SELECT STR FROM messages")), QStringList({"other"}));
        }
    }

    // Start-up checks of an existing backup file.
    void startup_data()
    {
        QTest::addColumn<bool>("saveToDisk");
        QTest::addColumn<int>("sizeMiB");    // file size reached by rows deleted afterwards
        QTest::addColumn<int>("rowsKept");
        QTest::addColumn<qint64>("freeSpace");
        QTest::addColumn<int>("rowsAfter");  // -1: the old file was deleted (a new one may exist)
        QTest::addColumn<QString>("event");

        const qint64 plenty = qint64(10) << 30;
        QTest::newRow("5 MiB without rows is kept unchecked") << true << 5 << 0 << plenty << 0 << "";
        QTest::newRow("20 MiB without rows is deleted") << true << 20 << 0 << plenty << -1 << "Empty backup file has deleted";
        QTest::newRow("20 MiB with rows is kept") << true << 20 << 3 << plenty << 3 << "Backup has 3 messages on start";
        QTest::newRow("backup off deletes it") << false << 1 << 3 << plenty << -1
                                               << "Backup functionality disabled, all messages will be deleted";
        QTest::newRow("full disk deletes it") << true << 1 << 3 << messque::kMinFreeSpace - 1 << -1
                                              << "No space on disk to save new messages, all messages will be deleted";
    }
    void startup()
    {
        QFETCH(bool, saveToDisk);
        QFETCH(int, sizeMiB);
        QFETCH(int, rowsKept);
        QFETCH(qint64, freeSpace);
        QFETCH(int, rowsAfter);
        QFETCH(QString, event);

        const QString file = path(QStringLiteral("start.db3"));
        QFile::remove(file);
        QFile::remove(QStringLiteral("bsevent.log"));
        sqlite(file, QStringLiteral(
            "CREATE TABLE messages (ID int PRIMARY KEY, STATE int, DT datetime, STR text);"
            "CREATE TABLE filler (b blob);"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < %1) "
            "INSERT INTO filler SELECT randomblob(1048576) FROM n;"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < %2) "
            "INSERT INTO messages SELECT i, 0, '2024-04-30 10:00:00.000', 'r' || i FROM n;"
            "DELETE FROM filler;")
            .arg(sizeMiB).arg(qMax(rowsKept, 0)));
        if (rowsKept == 0)
            sqlite(file, QStringLiteral("DELETE FROM messages;"));
        QVERIFY(QFileInfo(file).size() >= qint64(sizeMiB) << 20);

        messque::set_free_space_probe([freeSpace] { return freeSpace; });
        const int alarmsBefore = noSpaceAlarms();
        auto q = makeQueue(QStringLiteral("start.db3"), saveToDisk);
        // Deleting a backup at start is always an alarm (code 10), whatever the reason.
        QCOMPARE(noSpaceAlarms() - alarmsBefore, rowsAfter < 0 && event != QLatin1String("Empty backup file has deleted") ? 1 : 0);
        if (rowsAfter < 0) {
            QVERIFY(!QFile::exists(file)
                    || QFileInfo(file).size() < (qint64(sizeMiB) << 20));
        } else {
            QCOMPARE(rows(file, QStringLiteral("SELECT count(*) FROM messages")).value(0).toInt(), rowsAfter);
        }
        const QStringList events = eventLines();
        if (event.isEmpty()) {
            QVERIFY2(events.isEmpty(), qPrintable(events.join('\n')));
        } else {
            QCOMPARE(events.size(), 1);
            QVERIFY2(events.first().endsWith(QStringLiteral(":    ") + event), qPrintable(events.first()));
        }
    }

    // The id counter starts above the largest id of every backup and never goes down.
    void idCounterAboveEveryBackup_data()
    {
        QTest::addColumn<bool>("bigFirst");
        QTest::newRow("500 then 10") << true;
        QTest::newRow("10 then 500") << false;
    }
    void idCounterAboveEveryBackup()
    {
        QFETCH(bool, bigFirst);
        const QString a = path(QStringLiteral("ids-a.db3"));
        const QString b = path(QStringLiteral("ids-b.db3"));
        QFile::remove(a);
        QFile::remove(b);
        const QString table = QStringLiteral(
            "CREATE TABLE messages (ID int PRIMARY KEY, STATE int, DT datetime, STR text);");
        sqlite(a, table + QStringLiteral("INSERT INTO messages VALUES(500,0,'2024-04-30 10:00:00.000','x');"));
        sqlite(b, table + QStringLiteral("INSERT INTO messages VALUES(10,0,'2024-04-30 10:00:00.000','y');"));
        auto first = makeQueue(bigFirst ? QStringLiteral("ids-a.db3") : QStringLiteral("ids-b.db3"), true);
        auto second = makeQueue(bigFirst ? QStringLiteral("ids-b.db3") : QStringLiteral("ids-a.db3"), true);
        QVERIFY(jstring_point::peek_id_counter() >= 501);
        // Both queues save a fresh record: no insert collides with a row already there.
        for (messque* q : {first.get(), second.get()}) {
            q->set_start_to_save(true);
            QVERIFY(q->enqueue("new"));
        }
        clock.advance(kAge);
        first->saveMain();
        second->saveMain();
        QCOMPARE(first->size(), 0);
        QCOMPARE(second->size(), 0);
        QCOMPARE(rows(a, QStringLiteral("SELECT count(*) FROM messages")), QStringList({"2"}));
        QCOMPARE(rows(b, QStringLiteral("SELECT count(*) FROM messages")), QStringList({"2"}));
    }

    // Orderly shutdown: everything not yet confirmed reaches the file and comes back.
    void shutdownSave()
    {
        const QString file = path(QStringLiteral("shutdown.db3"));
        QFile::remove(file);
        {
            auto q = makeQueue(QStringLiteral("shutdown.db3"), true);
            for (const char* t : {"a", "b", "c"})
                QVERIFY(q->enqueue(t));
            QCOMPARE(q->pop_for_publish(4), QByteArray("a")); // in flight, never confirmed
            QCOMPARE(q->save_all(), 3);
            QCOMPARE(q->size(), 0);
        }
        QCOMPARE(rows(file, QStringLiteral("SELECT STATE, STR FROM messages ORDER BY ID")),
                 QStringList({"0|a", "0|b", "0|c"}));
        auto q = makeQueue(QStringLiteral("shutdown.db3"), true);
        QVERIFY(!q->isEmpty());
        QCOMPARE(q->size(), 3);

        auto off = makeQueue(QStringLiteral("off.db3"), false);
        QVERIFY(off->enqueue("x"));
        QCOMPARE(off->save_all(), 0);
        QVERIFY(!QFile::exists(path(QStringLiteral("off.db3"))));
    }

    // A full disk found while writing: every configured backup goes, the station is asked to
    // stop, the write is skipped and so is the shutdown save.
    void diskGuard()
    {
        QFile::remove(path(QStringLiteral("guard-a.db3")));
        QFile::remove(path(QStringLiteral("guard-b.db3")));
        auto a = makeQueue(QStringLiteral("guard-a.db3"), true);
        auto b = makeQueue(QStringLiteral("guard-b.db3"), true);
        a->set_start_to_save(true);
        b->set_start_to_save(true);
        QVERIFY(QFile::exists(path(QStringLiteral("guard-b.db3"))));

        runner->clear();
        bool full = false;
        messque::set_free_space_probe([&full] { return full ? qint64(1024) : qint64(10) << 30; });
        for (int i = 0; i < 1000; ++i)
            QVERIFY(a->enqueue(QByteArray::number(i)));
        clock.advance(kAge);
        a->saveMain(); // 1000 writes: no check yet
        QCOMPARE(rows(path(QStringLiteral("guard-a.db3")), QStringLiteral("SELECT count(*) FROM messages")),
                 QStringList({"1000"}));
        QVERIFY(!messque::stopped_by_disk_guard());
        QVERIFY(runner->calls().isEmpty());

        full = true;
        const int alarmsBefore = noSpaceAlarms();
        QVERIFY(a->enqueue("one more"));
        clock.advance(kAge);
        a->saveMain(); // the 1001st write finds the disk full
        QVERIFY(messque::stopped_by_disk_guard());
        QVERIFY(!QFile::exists(path(QStringLiteral("guard-a.db3"))));
        QVERIFY(!QFile::exists(path(QStringLiteral("guard-b.db3"))));
        QVERIFY(eventLines().last().endsWith(
            QStringLiteral("No space on disk to save new messages, all messages will be deleted")));
        QCOMPARE(noSpaceAlarms() - alarmsBefore, 1);
        QCOMPARE(runner->commandLines(), QStringList({"sudo killall TOLVAR"}));
        QCOMPARE(runner->calls().first().timeoutMs, 30000);
        QCOMPARE(a->size(), 1); // the write it could not do was skipped, not half done
        QCOMPARE(a->save_all(), 0);
        QVERIFY(!QFile::exists(path(QStringLiteral("guard-a.db3"))));
    }
};

QTEST_GUILESS_MAIN(tst_messque)
#include "tst_messque.moc"
