#include "BackupSalvage.h"

#include "BinaryConverter.h"
#include "JsonKeyScanner.h"

#include <QFile>
#include <QJsonDocument>
#include <QMap>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <algorithm>
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
        queried = true;
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
    bool queried = false; // some query on the table ran at all

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

QList<BackupSalvage::Row> BackupSalvage::readRows(const QString& file, QString* note, bool* readable)
{
    bool queried = false;
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
            queried = reader.queried;
            db.close();
        } else {
            openError = db.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (readable)
        *readable = queried;
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

// ---------------------------------------------------------------------------------------------
// Rows found in the bytes of a file SQLite cannot read

namespace {

const qint64 kMinPageSize = 512;
const qint64 kMaxPageSize = 65536;
const uchar kTableLeafPage = 0x0D;

// The longest DT and record header taken as a row's; the station writes 23-character stamps.
const quint64 kMaxStampBytes = 64;
const quint64 kMaxHeaderBytes = 40;

// SQLite's variable-length integer at p (at most 9 bytes); false when it runs past end.
bool varint(const uchar* p, const uchar* end, quint64* value, int* length)
{
    quint64 v = 0;
    for (int i = 0; i < 9; ++i) {
        if (p + i >= end)
            return false;
        const uchar b = p[i];
        if (i == 8) {
            v = (v << 8) | b;
            *value = v;
            *length = 9;
            return true;
        }
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) {
            *value = v;
            *length = i + 1;
            return true;
        }
    }
    return false;
}

// Bytes a value of this serial type takes in the record body; -1 for types a row of the
// messages table never holds (and the reserved ones).
qint64 serialSize(quint64 type)
{
    static const int intSizes[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0};
    if (type <= 9 && type != 7)
        return intSizes[type];
    if (type >= 12)
        return qint64((type - (type & 1 ? 13 : 12)) / 2);
    return -1;
}

bool isInteger(quint64 type)
{
    return (type >= 1 && type <= 6) || type == 8 || type == 9;
}

qint64 integerAt(const uchar* p, quint64 type)
{
    if (type == 8)
        return 0;
    if (type == 9)
        return 1;
    const qint64 n = serialSize(type);
    qint64 v = (p[0] & 0x80) ? -1 : 0; // big-endian two's complement
    for (qint64 i = 0; i < n; ++i)
        v = qint64(quint64(v) << 8 | p[i]);
    return v;
}

// The row whose record header starts at p, if the bytes there have that shape and its text is
// a record; *next is the first byte after it.
bool rowAt(const uchar* p, const uchar* end, BackupSalvage::Row* row, const uchar** next)
{
    quint64 headerSize = 0;
    int n = 0;
    if (!varint(p, end, &headerSize, &n) || headerSize < 5 || headerSize > kMaxHeaderBytes
        || quint64(end - p) < headerSize)
        return false;
    quint64 types[4];
    const uchar* at = p + n;
    for (quint64& type : types) {
        if (at >= p + headerSize || !varint(at, p + headerSize, &type, &n))
            return false;
        at += n;
    }
    if (at != p + headerSize)
        return false;
    // ID an integer; STATE an integer or NULL; DT text or NULL; STR text or a blob, not empty.
    const bool dtText = types[2] == 0 || (types[2] >= 13 && (types[2] & 1));
    if (!isInteger(types[0]) || !(types[1] == 0 || isInteger(types[1])) || !dtText || types[3] < 14)
        return false;
    qint64 sizes[4];
    quint64 body = 0;
    for (int i = 0; i < 4; ++i) {
        sizes[i] = serialSize(types[i]);
        if (sizes[i] < 0 || quint64(sizes[i]) > quint64(end - p))
            return false;
        body += quint64(sizes[i]);
    }
    if (quint64(sizes[2]) > kMaxStampBytes || quint64(end - p) - headerSize < body)
        return false;
    const uchar* v = p + headerSize;
    const qint64 id = integerAt(v, types[0]);
    if (id < 0 || id > qint64(0xFFFFFFFFu))
        return false;
    v += sizes[0] + sizes[1];
    const QByteArray dt(reinterpret_cast<const char*>(v), int(sizes[2]));
    v += sizes[2];
    const QByteArray text = QByteArray::fromRawData(reinterpret_cast<const char*>(v), int(sizes[3]));
    if (!BackupSalvage::isRecordText(text))
        return false;
    row->id = quint32(id);
    row->state = 0;
    row->dt = QString::fromLatin1(dt);
    row->text = QByteArray(text.constData(), text.size());
    *next = v + sizes[3];
    return true;
}

// A cell of a table leaf page: payload size, rowid, then the record, whole on this page (a
// record that goes on in overflow pages is not whole here).
bool cellAt(const uchar* cell, const uchar* pageEnd, BackupSalvage::Row* row)
{
    quint64 payload = 0;
    quint64 rowid = 0;
    int n1 = 0;
    int n2 = 0;
    if (!varint(cell, pageEnd, &payload, &n1) || !varint(cell + n1, pageEnd, &rowid, &n2))
        return false;
    const uchar* record = cell + n1 + n2;
    const uchar* next = nullptr;
    return rowAt(record, pageEnd, row, &next) && quint64(next - record) == payload;
}

} // namespace

QList<BackupSalvage::Row> BackupSalvage::scanRecords(const QString& file, QString* note)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        if (note)
            *note = QStringLiteral("cannot read it: ") + f.errorString();
        return {};
    }
    // Mapped, not read: a large file costs address space, not memory.
    const uchar* data = f.size() > 0 && f.size() <= std::numeric_limits<int>::max() ? f.map(0, f.size()) : nullptr;
    if (!data) {
        if (note)
            *note = QStringLiteral("cannot map it (%1 bytes): %2").arg(f.size()).arg(f.errorString());
        return {};
    }
    int copies = 0;
    const QList<Row> found = scanRecords(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(f.size())), &copies);
    f.unmap(const_cast<uchar*>(data));
    if (note)
        *note = QStringLiteral("%1 whole records found in its pages, %2 stored copies of them left out")
                    .arg(found.size())
                    .arg(copies);
    return found;
}

QList<BackupSalvage::Row> BackupSalvage::scanRecords(const QByteArray& bytes, int* copies)
{
    QList<Row> found;
    const uchar* data = reinterpret_cast<const uchar*>(bytes.constData());
    const uchar* end = data + bytes.size();
    // Every page starts at a multiple of the smallest page size, whatever size the lost header
    // named. Only cells a table leaf page still points to are taken: a deleted row's bytes stay
    // in the page's free space and must not come back.
    QSet<QPair<quint32, QByteArray>> seen;
    for (qint64 start = kMinPageSize; start + 8 <= bytes.size(); start += kMinPageSize) {
        const uchar* page = data + start;
        if (page[0] != kTableLeafPage)
            continue;
        const int cells = page[3] << 8 | page[4];
        if (cells == 0 || 8 + 2 * cells > kMaxPageSize || page + 8 + 2 * cells > end)
            continue;
        const uchar* pageEnd = page + qMin<qint64>(kMaxPageSize, end - page);
        for (int i = 0; i < cells; ++i) {
            const int offset = page[8 + 2 * i] << 8 | page[9 + 2 * i];
            if (offset < 8 + 2 * cells || page + offset >= pageEnd)
                continue;
            Row row;
            if (!cellAt(page + offset, pageEnd, &row))
                continue;
            if (seen.contains({row.id, row.text})) {
                // A page the tree left behind when it moved its cells.
                if (copies)
                    ++*copies;
            } else {
                seen.insert({row.id, row.text});
                found.append(row);
            }
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
    return found;
}

bool BackupSalvage::isRecordText(const QByteArray& text)
{
    if (text.isEmpty())
        return false;
    const auto first = std::find_if(text.cbegin(), text.cend(), [](char c) { return c != ' ' && c != '\t' && c != '\n' && c != '\r'; });
    if (first != text.cend() && *first == '{') {
        // Control bytes are never part of JSON text; Qt's parser lets some through.
        const bool control = std::any_of(text.cbegin(), text.cend(), [](char c) {
            return uchar(c) < 0x20 && c != '\t' && c != '\n' && c != '\r';
        });
        if (control || JsonKeyScanner::check(text) != JsonKeyScanner::Verdict::Clean)
            return false;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
        return error.error == QJsonParseError::NoError && doc.isObject();
    }
    BinaryConverter converter;
    QJsonDocument doc;
    return converter.AnyBinary2Json(text, doc);
}

QString BackupSalvage::describe(const QByteArray& text)
{
    const int shown = 16;
    return QStringLiteral("%1 bytes, first %2")
        .arg(text.size())
        .arg(QString::fromLatin1(text.left(shown).toHex(' ')) + (text.size() > shown ? QStringLiteral(" ...") : QString()));
}
