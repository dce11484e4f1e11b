#include "BackupSalvage.h"

#include <QMap>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <limits>

namespace {

const int kSqliteCorrupt = 11;
const int kSqliteNotADatabase = 26;
// A bound on the seeks past unreadable stretches, so a file damaged everywhere still ends.
const int kMaxStretches = 100000;

const qint64 kLowest = std::numeric_limits<qint64>::min();
const qint64 kHighest = std::numeric_limits<qint64>::max();

struct Scan
{
    bool failed = false;
    int rows = 0;
    qint64 last = 0; // rowid of the last row read
};

class Reader
{
public:
    explicit Reader(QSqlDatabase db) : db_(std::move(db)) {}

    // Rows with from <= rowid < before, ascending (or, with `down`, rowid <= from, descending),
    // until the end or the first error.
    Scan scan(qint64 from, qint64 before, bool down)
    {
        QSqlQuery q(db_);
        q.setForwardOnly(true);
        q.prepare(down ? QStringLiteral("SELECT rowid, ID, STATE, DT, STR FROM messages "
                                        "WHERE rowid <= ? ORDER BY rowid DESC")
                       : QStringLiteral("SELECT rowid, ID, STATE, DT, STR FROM messages "
                                        "WHERE rowid >= ? AND rowid < ? ORDER BY rowid"));
        q.bindValue(0, from);
        if (!down)
            q.bindValue(1, before);
        Scan s;
        if (!q.exec()) {
            s.failed = true;
            return s;
        }
        while (q.next()) {
            ++s.rows;
            s.last = q.value(0).toLongLong();
            keep(q);
        }
        s.failed = q.lastError().isValid();
        return s;
    }

    // Whether a seek to `at` (the first rowid at or above it) gets through without an error.
    bool seeks(qint64 at)
    {
        QSqlQuery q(db_);
        q.setForwardOnly(true);
        q.prepare(QStringLiteral("SELECT rowid FROM messages WHERE rowid >= ? ORDER BY rowid LIMIT 1"));
        q.bindValue(0, at);
        if (!q.exec())
            return false;
        q.next();
        return !q.lastError().isValid();
    }

    QMap<qint64, BackupSalvage::Row> rows;
    int unusable = 0;

private:
    void keep(const QSqlQuery& q)
    {
        const qint64 rowid = q.value(0).toLongLong();
        if (rows.contains(rowid))
            return;
        bool idOk = false;
        const qlonglong id = q.value(1).toLongLong(&idOk);
        const QByteArray text = q.value(4).toByteArray();
        if (q.value(1).isNull() || !idOk || id < 0 || id > qlonglong(0xFFFFFFFFu) || text.isEmpty()) {
            ++unusable;
            return;
        }
        BackupSalvage::Row row;
        row.id = quint32(id);
        row.state = q.value(2).toInt();
        row.dt = q.value(3).toString();
        row.text = text;
        rows.insert(rowid, row);
    }

    QSqlDatabase db_;
};

// Reads every reachable row: forward from the start, backward from the end, and in between
// from the first seekable rowid past each unreadable stretch (found by bisection).
void readAll(Reader& reader, int* stretches)
{
    const Scan up = reader.scan(kLowest, kHighest, false);
    if (!up.failed)
        return;
    ++*stretches;
    const Scan down = reader.scan(kHighest, 0, true);
    // Rows from `high` up were read by the backward scan.
    const qint64 high = down.rows > 0 ? down.last : kHighest;
    qint64 cursor = up.rows > 0 ? up.last + 1 : kLowest;
    for (int guard = 0; cursor < high && guard < kMaxStretches; ++guard) {
        const Scan s = reader.scan(cursor, high, false);
        if (s.rows > 0)
            cursor = s.last + 1;
        if (!s.failed)
            break;
        if (s.rows > 0) {
            ++*stretches;
            continue;
        }
        // The seek to `cursor` itself fails: find the nearest rowid past it that can be reached.
        qint64 bad = cursor;
        qint64 good = high;
        // Unsigned: the distance from the lowest rowid to the highest does not fit a qint64.
        while (quint64(good) - quint64(bad) > 1) {
            const qint64 mid = qint64(quint64(bad) + (quint64(good) - quint64(bad)) / 2);
            if (reader.seeks(mid))
                good = mid;
            else
                bad = mid;
        }
        cursor = good;
    }
}

} // namespace

bool BackupSalvage::isDamage(const QSqlError& error)
{
    if (!error.isValid())
        return false;
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    if (ok) {
        // Extended codes (SQLITE_CORRUPT_INDEX and the like) keep the primary code in the low byte.
        return (code & 0xff) == kSqliteCorrupt || (code & 0xff) == kSqliteNotADatabase;
    }
    // Transaction errors come without a code; SQLite's own text still names the damage.
    const QString text = error.databaseText();
    return text.contains(QLatin1String("database disk image is malformed"))
        || text.contains(QLatin1String("file is not a database"));
}

QList<BackupSalvage::Row> BackupSalvage::readRows(const QString& file, QString* note)
{
    const QString name = QStringLiteral("salvage-") + QUuid::createUuid().toString();
    QList<Row> result;
    int unusable = 0;
    int stretches = 0;
    QString openError;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            // A file cut short has fewer pages than its header says; with this SQLite reads the
            // pages that are there instead of refusing the whole file.
            QSqlQuery(db).exec(QStringLiteral("PRAGMA writable_schema = ON"));
            Reader reader(db);
            readAll(reader, &stretches);
            result = reader.rows.values();
            unusable = reader.unusable;
            db.close();
        } else {
            openError = db.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (note) {
        *note = openError.isEmpty()
            ? QStringLiteral("%1 rows read, %2 unusable rows left out, %3 unreadable stretches")
                  .arg(result.size())
                  .arg(unusable)
                  .arg(stretches)
            : QStringLiteral("cannot open it to read what is left: ") + openError;
    }
    return result;
}
