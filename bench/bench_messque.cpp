// Throughput of the outgoing queue's SQLite backup.
//   bench_messque [records]   (default 100000)
// Queues the records, ages them past the save age with a test clock, lets the saver write
// them, then restores them 100 at a time and confirms each batch (which deletes the rows).
// For comparison the sqlite3 tool inserts the same rows in one transaction.
// The restore is held against the save. Restore with confirm is printed beside it: each
// confirm is one synced commit, as it must be for a confirmed record never to come back after
// a power cut, so its rate is bound by the disk's sync time, not by the code.
#include "ManualQueueClock.h"
#include "messque.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace {

QByteArray record(int i)
{
    return QStringLiteral("{\"msg_type\":\"ul\",\"modem_id\":%1,\"payload\":\"0102030405060708\","
                          "\"rssi\":-120.5,\"snr\":12.25,\"freq\":868800123,\"seq\":%2}")
        .arg(0x100000 + i % 5000)
        .arg(i)
        .toUtf8();
}

double report(const char* what, int rows, qint64 ns)
{
    const double sec = double(ns) / 1e9;
    const double rate = sec > 0 ? rows / sec : 0.0;
    std::printf("%-44s %8d rows %9.3f s %12.0f rows/s\n", what, rows, sec, rate);
    return rate;
}

const char* verdict(bool met)
{
    return met ? "met" : "missed";
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    if (count <= 0) {
        std::fprintf(stderr, "usage: bench_messque [records]\n");
        return 2;
    }
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    QDir::setCurrent(dir.path());
    ManualQueueClock clock;

    const QString file = dir.filePath(QStringLiteral("backup.db3"));
    qint64 saveNs = 0;
    {
        messque q(file, dir.filePath(QStringLiteral("bench.log")), true);
        q.logoff(true);
        q.setClock(&clock);
        q.init();
        q.set_start_to_save(true);
        for (int i = 0; i < count; ++i)
            q.enqueue(record(i));
        clock.advance(qint64(messque::kSaveAgeSec) * 1000);
        QElapsedTimer t;
        t.start();
        q.saveMain();
        saveNs = t.nsecsElapsed();
        if (q.size() != 0) {
            std::fprintf(stderr, "saver left %d records in memory\n", q.size());
            return 1;
        }
    }
    const double saveRate = report("saver run (one transaction)", count, saveNs);

    int restored = 0;
    qint64 restoreNs = 0;
    qint64 confirmNs = 0;
    {
        messque q(file, dir.filePath(QStringLiteral("bench.log")), true);
        q.logoff(true);
        q.setClock(&clock);
        // As a broker link's queue restores: each row's text checked to be a record.
        q.set_check_records(true);
        q.init();
        quint32 session = 0;
        QElapsedTimer t;
        for (;;) {
            t.start();
            const bool more = !q.isEmpty();
            restoreNs += t.nsecsElapsed();
            if (!more)
                break;
            ++session;
            while (!q.pop_for_publish(session).isNull())
                ++restored;
            t.start();
            q.clear_session(session);
            confirmNs += t.nsecsElapsed();
        }
    }
    const double restoreRate = report("restore, 100 per batch (marked in flight)", restored, restoreNs);
    report("confirm, 100 per batch (rows deleted)", restored, confirmNs);
    const double bothRate = report("restore + confirm", restored, restoreNs + confirmNs);
    if (restored != count) {
        std::fprintf(stderr, "restored %d of %d records\n", restored, count);
        return 1;
    }

    // The same rows through the sqlite3 tool, in one transaction.
    const QString sqlFile = dir.filePath(QStringLiteral("rows.sql"));
    {
        QFile out(sqlFile);
        if (!out.open(QIODevice::WriteOnly))
            return 1;
        QTextStream s(&out);
        // The backup's own settings: journal in memory, SQLite's default synchronous mode.
        s << "PRAGMA journal_mode = MEMORY;\n"
             "PRAGMA synchronous = FULL;\n"
             "CREATE TABLE messages (ID int PRIMARY KEY, STATE int, DT datetime, STR text);\n"
             "BEGIN;\n";
        const QString dt = clock.now().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
        for (int i = 0; i < count; ++i)
            s << "INSERT INTO messages VALUES(" << (i + 1) << ",0,'" << dt << "','"
              << QString::fromUtf8(record(i)) << "');\n";
        s << "COMMIT;\n";
    }
    QProcess sqlite;
    sqlite.setStandardInputFile(sqlFile);
    QElapsedTimer t;
    t.start();
    sqlite.start(QStringLiteral("sqlite3"), {dir.filePath(QStringLiteral("reference.db3"))});
    if (!sqlite.waitForFinished(600000) || sqlite.exitCode() != 0) {
        std::fprintf(stderr, "sqlite3 failed: %s\n", sqlite.readAllStandardError().constData());
        return 1;
    }
    const double toolRate = report("sqlite3 tool, one transaction", count, t.nsecsElapsed());
    std::printf("\nsave vs sqlite3           %6.2f x   target >= 0.5: %s\n", toolRate > 0 ? saveRate / toolRate : 0.0,
                verdict(toolRate > 0 && saveRate >= 0.5 * toolRate));
    std::printf("restore vs save           %6.2f x   target >= 0.5: %s\n", saveRate > 0 ? restoreRate / saveRate : 0.0,
                verdict(saveRate > 0 && restoreRate >= 0.5 * saveRate));
    std::printf("restore + confirm vs save %6.2f x   (one synced commit per confirm)\n",
                saveRate > 0 ? bothRate / saveRate : 0.0);
    return 0;
}
