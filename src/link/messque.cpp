#include "messque.h"

#include "LocalTime.h"
#include "QueueClock.h"
#include "HostCommandRunner.h"
#include "errlog.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <QSqlError>
#include <QSet>
#include <QSqlQuery>
#include <QStorageInfo>
#include <QStringBuilder>
#include <QTime>
#include <QTimer>
#include <QUuid>
#include <QVariant>

#include <algorithm>
#include <utility>

namespace {

const char* const kDriver = "QSQLITE";
const char* const kDtFormat = "yyyy-MM-dd hh:mm:ss.zzz";
const char* const kNoSpaceText =
    "No space on disk to save new messages, all messages will be deleted";

// Shared by the queues of every link: writes since the last disk check, the live queues (the
// disk guard closes and deletes all their backups) and the seams of the guard.
int g_writeCounter = 0;
bool g_diskGuardTripped = false;
QList<messque*>& liveQueues()
{
    static QList<messque*> queues;
    return queues;
}
std::function<qint64()>& freeSpaceProbe()
{
    static std::function<qint64()> probe;
    return probe;
}
const int kStopCommandTimeoutMs = 30000;

QString timePrefix()
{
    return LocalTime::stamp();
}

// DT of the backup rows: local time as "yyyy-MM-dd hh:mm:ss.zzz". Records keep it as local
// milliseconds (QueueClock::localMsecs), so neither writing nor reading a row asks the C
// library about the time zone.
const qint64 kDayMs = 86400000;
const qint64 kUnixEpochJulianDay = 2440588;

QString stampText(qint64 localMs)
{
    qint64 day = localMs / kDayMs;
    qint64 ms = localMs % kDayMs;
    if (ms < 0) {
        ms += kDayMs;
        --day;
    }
    int y = 0, mo = 0, d = 0;
    QDate::fromJulianDay(day + kUnixEpochJulianDay).getDate(&y, &mo, &d);
    if (y < 0 || y > 9999)
        return QDateTime::fromMSecsSinceEpoch(localMs, Qt::UTC).toString(QString::fromLatin1(kDtFormat));
    const int h = int(ms / 3600000), mi = int(ms / 60000 % 60), s = int(ms / 1000 % 60), z = int(ms % 1000);
    const char text[23] = {char('0' + y / 1000), char('0' + y / 100 % 10), char('0' + y / 10 % 10),
                           char('0' + y % 10), '-', char('0' + mo / 10), char('0' + mo % 10), '-',
                           char('0' + d / 10), char('0' + d % 10), ' ', char('0' + h / 10),
                           char('0' + h % 10), ':', char('0' + mi / 10), char('0' + mi % 10), ':',
                           char('0' + s / 10), char('0' + s % 10), '.', char('0' + z / 100),
                           char('0' + z / 10 % 10), char('0' + z % 10)};
    return QString::fromLatin1(text, 23);
}

// False for anything but a valid date and time in exactly that form.
bool parseStamp(const QString& text, qint64* localMs)
{
    if (text.size() != 23)
        return false;
    int v[7] = {};
    const int start[7] = {0, 5, 8, 11, 14, 17, 20};
    const int len[7] = {4, 2, 2, 2, 2, 2, 3};
    const char sep[6] = {'-', '-', ' ', ':', ':', '.'};
    for (int f = 0; f < 7; ++f) {
        if (f > 0 && text.at(start[f] - 1) != QLatin1Char(sep[f - 1]))
            return false;
        for (int i = 0; i < len[f]; ++i) {
            const ushort c = text.at(start[f] + i).unicode();
            if (c < '0' || c > '9')
                return false;
            v[f] = v[f] * 10 + (c - '0');
        }
    }
    const QDate date(v[0], v[1], v[2]);
    if (!date.isValid() || v[3] > 23 || v[4] > 59 || v[5] > 59)
        return false;
    *localMs = (date.toJulianDay() - kUnixEpochJulianDay) * kDayMs + v[3] * 3600000LL + v[4] * 60000LL
        + v[5] * 1000LL + v[6];
    return true;
}

// Record texts are JSON (UTF-8) and are stored as TEXT; anything else is kept byte for byte
// as a BLOB, which reads back the same.
QVariant textValue(const QByteArray& bytes)
{
    if (std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return uchar(c) < 0x80; }))
        return QString::fromLatin1(bytes);
    const QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() == bytes)
        return text;
    return bytes;
}

} // namespace

messque::messque(const QString& filename, const QString& logpath, bool save_to_disk,
                 QObject* parent)
    : QObject(parent), logger(logpath), _filename(filename), _save_to_disk(save_to_disk),
      clock_(QueueClock::system())
{
    liveQueues().append(this);
}

messque::~messque()
{
    liveQueues().removeAll(this);
    if (save_timer) {
        save_timer->stop();
        delete save_timer;
    }
    closeBackup();
    qDeleteAll(waiting_);
    qDeleteAll(inflight_);
    waiting_.clear();
    inflight_.clear();
    byId_.clear();
}

void messque::setLogpath(const QString& path)
{
    logger::setLogpath(path);
}

void messque::setClock(QueueClock* clock)
{
    clock_ = clock ? clock : QueueClock::system();
}

qint64 messque::nowMs() const
{
    return clock_->monotonicMs();
}

void messque::line(const QString& text)
{
    *this << (timePrefix() % text);
}

void messque::eventLine(const QString& text)
{
    *this << levent(text, QString::fromLatin1(fnameEventLog));
}

void messque::noSpaceAlarm()
{
    errlog::instance().append(errlog::EVENT_NO_SPACE_ON_DISK, clock_->now(), QString(), nullptr);
}

qint64 messque::freeSpace()
{
    if (freeSpaceProbe())
        return freeSpaceProbe()();
    QStorageInfo root = QStorageInfo::root();
    root.refresh();
    return root.bytesAvailable();
}

void messque::set_free_space_probe(std::function<qint64()> probe)
{
    freeSpaceProbe() = std::move(probe);
}

bool messque::stopped_by_disk_guard()
{
    return g_diskGuardTripped;
}

void messque::reset_disk_guard()
{
    g_diskGuardTripped = false;
    g_writeCounter = 0;
}

// ---------------------------------------------------------------------------------------------
// Start-up

void messque::init()
{
    const QFileInfo info(_filename);
    if (info.exists()) {
        *this << QStringLiteral("Backup file size is %1 bytes\n").arg(info.size());
        if (freeSpace() < kMinFreeSpace) {
            eventLine(QString::fromLatin1(kNoSpaceText));
            noSpaceAlarm();
            QFile::remove(_filename);
        } else if (_save_to_disk) {
            if (info.size() > kCheckEmptySize)
                checkBigBackup();
        } else {
            eventLine(QStringLiteral("Backup functionality disabled, all messages will be deleted"));
            noSpaceAlarm();
            QFile::remove(_filename);
        }
    }

    if (_save_to_disk)
        openBackup();

    save_timer = new QTimer();
    save_timer->setInterval(kSaveIntervalMs);
    connect(save_timer, &QTimer::timeout, this, &messque::saveMain);
    save_timer->start();

    if (_save_to_disk && db_ok)
        takeIdCounterFromBackup();
}

void messque::takeIdCounterFromBackup()
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT ID FROM messages WHERE typeof(ID) = 'integer' "
                               "ORDER BY ID DESC LIMIT 1"))) {
        logSqlError(q.lastError(), QStringLiteral("SQL Error: "));
        q.finish();
        if (recoverFromDamage()) {
            const QScopedValueRollback<bool> once(retrying_, true);
            takeIdCounterFromBackup();
        }
    } else if (q.next()) {
        const qint64 last = q.value(0).toLongLong();
        if (last >= 0 && last < qint64(0xFFFFFFFFu))
            jstring_point::set_id_counter(quint32(last + 1));
    }
}

// A large backup that holds no row is only wasted space: drop it before opening.
void messque::checkBigBackup()
{
    const QString name = QUuid::createUuid().toString();
    bool empty = false;
    {
        QSqlDatabase check = QSqlDatabase::addDatabase(QString::fromLatin1(kDriver), name);
        check.setDatabaseName(_filename);
        if (!check.open()) {
            *this << "Backup database open error!\n";
        } else {
            QSqlQuery q(check);
            q.exec(QStringLiteral("PRAGMA journal_mode = MEMORY"));
            if (q.exec(QStringLiteral("SELECT count(*) FROM messages")) && q.next()) {
                const qint64 count = q.value(0).toLongLong();
                if (count == 0)
                    empty = true;
                else
                    eventLine(QStringLiteral("Backup has %1 messages on start").arg(count));
            }
            q.finish();
            check.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (empty) {
        QFile::remove(_filename);
        eventLine(QStringLiteral("Empty backup file has deleted"));
    }
}

qint64 messque::backup_count()
{
    if (!db_ok)
        return -1;
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT count(*) FROM messages WHERE STATE = 0")) || !q.next())
        return -1;
    return q.value(0).toLongLong();
}

bool messque::probeBackup(QString* error, bool* unreadable)
{
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")))
        return true;
    const QSqlError e = q.lastError();
    *error = e.text();
    *unreadable = BackupSalvage::isDamage(e);
    return false;
}

void messque::openBackup()
{
    _db_connection_name = QUuid::createUuid().toString();
    db = QSqlDatabase::addDatabase(QString::fromLatin1(kDriver), _db_connection_name);
    db.setDatabaseName(_filename);
    if (!db.open()) {
        *this << "Backup database open error!\n";
        return;
    }

    QString error;
    bool unreadable = false;
    if (!probeBackup(&error, &unreadable)) {
        if (!unreadable || recovering_) {
            *this << (QStringLiteral("Backup database open error! ") + error + QLatin1Char('\n'));
            return;
        }
        // Keep the unreadable file for inspection and start a new one in its place.
        replaceDamagedBackup(error);
        return;
    }

    if (!exec(QStringLiteral("PRAGMA journal_mode = MEMORY"))
        || !exec(QStringLiteral("CREATE TABLE IF NOT EXISTS messages "
                                "(ID int PRIMARY KEY, STATE int, DT datetime, STR text)"))) {
        if (recoverFromDamage())
            return;
        *this << "Backup database open error!\n";
        db.close();
        return;
    }
    {
        QSqlQuery q(db);
        if (q.exec(QStringLiteral("PRAGMA synchronous")) && q.next())
            sync_mode_ = q.value(0).toInt();
    }
    // Rows restored by the previous run and never confirmed go back to waiting.
    if (!exec(QStringLiteral("UPDATE messages SET STATE = 0 WHERE STATE IS NOT 0"))
        && recoverFromDamage())
        return;
    db_ok = true;
}

void messque::closeBackup()
{
    db_ok = false;
    for (std::unique_ptr<QSqlQuery>& q : listQueries_)
        q.reset();
    if (_db_connection_name.isEmpty())
        return;
    if (db.isOpen())
        db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(_db_connection_name);
    _db_connection_name.clear();
}

bool messque::setSynchronous(bool on)
{
    QSqlQuery q(db);
    return q.exec(QStringLiteral("PRAGMA synchronous = %1").arg(on ? sync_mode_ : 0));
}

bool messque::exec(const QString& sql)
{
    QSqlQuery q(db);
    if (q.exec(sql))
        return true;
    logSqlError(q.lastError());
    return false;
}

// ---------------------------------------------------------------------------------------------
// The memory list

bool messque::enqueue(const QByteArray& bytes)
{
    if (bytes.isEmpty()) {
        line(QStringLiteral(" Enqueue refused: empty record\n"));
        return false;
    }
    auto* entry = new jstring_point(bytes, clock_->localMsecs(), nowMs());
    append(entry);
    if (logging())
        line(QLatin1String(" Enqueue: id = ") % QString::number(entry->id) % QLatin1Char('\n'));
    return true;
}

void messque::append(jstring_point* entry)
{
    entry->seq = ++nextSeq_;
    entry->in_flight_list = false;
    entry->pos = waiting_.insert(waiting_.end(), entry);
    byId_.insert(entry->id, entry);
}

void messque::detach(jstring_point* entry)
{
    (entry->in_flight_list ? inflight_ : waiting_).erase(entry->pos);
    const auto it = byId_.find(entry->id);
    if (it != byId_.end() && it.value() == entry)
        byId_.erase(it);
}

// The record goes to the back of the in-flight list: that list stays ordered by publish time.
void messque::markPublished(jstring_point* entry, quint32 session)
{
    entry->session_id = session;
    entry->status = jstring_point::PUBLISHED;
    entry->published_ms = nowMs();
    std::list<jstring_point*>& from = entry->in_flight_list ? inflight_ : waiting_;
    inflight_.splice(inflight_.end(), from, entry->pos);
    entry->in_flight_list = true;
    if (logging())
        line(QLatin1String(" Pop_for_publish: id = ") % QString::number(entry->id) % QLatin1String(" session_id = ")
             % QString::number(session) % QLatin1Char('\n'));
}

// Back to waiting in its place of arrival. Returned records are usually older than anything
// waiting, so the walk from the front is short.
void messque::insertWaiting(jstring_point* entry)
{
    std::list<jstring_point*>& from = entry->in_flight_list ? inflight_ : waiting_;
    auto at = waiting_.begin();
    while (at != waiting_.end() && (*at)->seq < entry->seq)
        ++at;
    waiting_.splice(at, from, entry->pos);
    entry->in_flight_list = false;
    entry->status = jstring_point::CREATED;
    entry->session_id = 0;
}

QList<jstring_point*> messque::inOrder() const
{
    QList<jstring_point*> all;
    all.reserve(int(waiting_.size() + inflight_.size()));
    for (jstring_point* entry : waiting_)
        all.append(entry);
    for (jstring_point* entry : inflight_)
        all.append(entry);
    std::sort(all.begin(), all.end(),
              [](const jstring_point* a, const jstring_point* b) { return a->seq < b->seq; });
    return all;
}

QByteArray messque::pop_for_publish(quint32 session)
{
    return pop_for_publish(session, nullptr);
}

QByteArray messque::pop_for_publish(quint32 session, quint32* id)
{
    jstring_point* found = nullptr;
    for (jstring_point* entry : inflight_) {
        if (entry->session_id != session && (!found || entry->seq < found->seq))
            found = entry;
    }
    if (!waiting_.empty() && (!found || waiting_.front()->seq < found->seq))
        found = waiting_.front();
    return takeEntry(found, session, id);
}

QByteArray messque::take_next(quint32 session, qint64 publishedBeforeMs, quint32* id)
{
    jstring_point* found = nullptr;
    if (!inflight_.empty()) {
        jstring_point* oldest = inflight_.front();
        if (oldest->session_id != session && oldest->published_ms < publishedBeforeMs)
            found = oldest;
    }
    if (!found && !waiting_.empty())
        found = waiting_.front();
    return takeEntry(found, session, id);
}

QByteArray messque::takeEntry(jstring_point* entry, quint32 session, quint32* id)
{
    if (!entry)
        return QByteArray();
    markPublished(entry, session);
    if (id)
        *id = entry->id;
    return entry->string;
}

bool messque::confirm(quint32 id)
{
    jstring_point* entry = byId_.value(id);
    if (!entry)
        return false;
    if (entry->in_backup)
        deleteRows({entry});
    detach(entry);
    delete entry;
    return true;
}

int messque::confirm(const QList<quint32>& ids)
{
    QList<jstring_point*> gone;
    QSet<quint32> seen;
    for (quint32 id : ids) {
        jstring_point* entry = byId_.value(id);
        if (!entry || seen.contains(id))
            continue;
        seen.insert(id);
        gone.append(entry);
    }
    return dropConfirmed(gone);
}

// Confirmed records leave memory, and their backup rows the file in one transaction.
int messque::dropConfirmed(const QList<jstring_point*>& gone)
{
    QList<jstring_point*> backed;
    for (jstring_point* entry : gone) {
        if (entry->in_backup)
            backed.append(entry);
    }
    if (!backed.isEmpty())
        deleteRows(backed);
    removeEntries(gone);
    return gone.size();
}

void messque::unpop(quint32 id)
{
    jstring_point* entry = byId_.value(id);
    if (entry && entry->in_flight_list)
        insertWaiting(entry);
}

bool messque::clear(quint32 session)
{
    for (jstring_point* entry : inOrder()) {
        if (entry->session_id != session)
            continue;
        if (entry->in_backup)
            deleteRows({entry});
        detach(entry);
        delete entry;
        return true;
    }
    return false;
}

int messque::clear_session(quint32 session)
{
    QList<jstring_point*> gone;
    for (jstring_point* entry : inflight_) {
        if (entry->session_id == session)
            gone.append(entry);
    }
    return dropConfirmed(gone);
}

void messque::return_to_waiting()
{
    if (inflight_.empty())
        return;
    std::list<jstring_point*> back;
    back.splice(back.end(), inflight_);
    back.sort([](const jstring_point* a, const jstring_point* b) { return a->seq < b->seq; });
    for (jstring_point* entry : back) {
        entry->in_flight_list = false;
        entry->status = jstring_point::CREATED;
        entry->session_id = 0;
    }
    // Splicing keeps the nodes, so each record's stored position stays valid.
    waiting_.merge(back, [](const jstring_point* a, const jstring_point* b) { return a->seq < b->seq; });
}

bool messque::isEmpty()
{
    if (!waiting_.empty() || !inflight_.empty())
        return false;
    if (!_save_to_disk)
        return true;
    return !restoreMessagesFromDB(kRestoreBatch);
}

void messque::set_start_to_save(bool b)
{
    if (_save_to_disk)
        _start_to_save = b;
}

void messque::set_save_before_connect(bool b)
{
    _save_before_connect = b;
}

void messque::removeEntries(const QList<jstring_point*>& gone)
{
    for (jstring_point* entry : gone) {
        detach(entry);
        delete entry;
    }
}

// ---------------------------------------------------------------------------------------------
// Saver and backup

void messque::saveMain()
{
    const qint64 now = nowMs();
    const bool canSave = _save_to_disk && (_start_to_save || _save_before_connect);
    QList<jstring_point*> aged;
    for (jstring_point* entry : inOrder()) {
        if ((now - entry->born_ms) / 1000 < kSaveAgeSec)
            continue;
        // Published records wait for their confirm in memory unless they can go to the
        // backup; records that never went out leave memory in any case.
        if (entry->status == jstring_point::CREATED || canSave)
            aged.append(entry);
    }
    if (aged.isEmpty())
        return;

    if (!canSave) {
        line(QStringLiteral(" %1 messages older than %2 s dropped (%3)\n")
                 .arg(aged.size())
                 .arg(kSaveAgeSec)
                 .arg(_save_to_disk ? QStringLiteral("not connected yet")
                                    : QStringLiteral("backup off")));
        removeEntries(aged);
        return;
    }

    const QList<bool> saved = writeRows(aged);
    QList<jstring_point*> gone;
    for (int i = 0; i < aged.size(); ++i) {
        if (saved.value(i))
            gone.append(aged.at(i));
    }
    // What could not be written stays in memory and is tried again at the next run.
    removeEntries(gone);
}

bool messque::saveMessageToDB(jstring_point* entry)
{
    return entry && writeRows({entry}).value(0);
}

int messque::save_all()
{
    if (!_save_to_disk || g_diskGuardTripped || size() == 0)
        return 0;
    const QList<jstring_point*> all = inOrder();
    const QList<bool> saved = writeRows(all);
    QList<jstring_point*> gone;
    for (int i = 0; i < all.size(); ++i) {
        if (saved.value(i))
            gone.append(all.at(i));
    }
    removeEntries(gone);
    line(QStringLiteral(" Saved %1 of %2 messages to the backup before stopping\n")
             .arg(gone.size())
             .arg(all.size()));
    return gone.size();
}

// Writes the records in one transaction (STATE 0, waiting). A record restored from the file
// rewrites its own row; every other one is a new row. One result per record.
QList<bool> messque::writeRows(const QList<jstring_point*>& rows)
{
    QList<bool> result;
    for (int i = 0; i < rows.size(); ++i)
        result.append(false);
    if (rows.isEmpty() || !diskGuardAllows(rows.size()))
        return result;
    if (!db_ok) {
        *this << (QStringLiteral("Backup not open, %1 messages kept in memory\n").arg(rows.size()));
        return result;
    }
    if (!db.transaction()) {
        if (logSqlError(db.lastError()) && recoverFromDamage()) {
            const QScopedValueRollback<bool> once(retrying_, true);
            return writeRows(rows);
        }
        return result;
    }
    bool damaged = false;
    QSqlQuery insert(db);
    QSqlQuery replace(db);
    insert.prepare(QStringLiteral("INSERT INTO messages (ID, STATE, DT, STR) VALUES (?, ?, ?, ?)"));
    replace.prepare(
        QStringLiteral("INSERT OR REPLACE INTO messages (ID, STATE, DT, STR) VALUES (?, ?, ?, ?)"));
    for (int i = 0; i < rows.size(); ++i) {
        jstring_point* entry = rows.at(i);
        QSqlQuery& q = entry->in_backup ? replace : insert;
        q.bindValue(0, qint64(entry->id));
        q.bindValue(1, int(jstring_point::CREATED));
        q.bindValue(2, stampText(entry->stamp_ms));
        q.bindValue(3, textValue(entry->string));
        if (!q.exec()) {
            // A damaged file fails the rest as well: nothing of this batch is kept in it.
            if (logSqlError(q.lastError())) {
                damaged = true;
                break;
            }
            continue;
        }
        result[i] = true;
    }
    insert.finish();
    replace.finish();
    if (damaged || !db.commit()) {
        if (!damaged)
            damaged = logSqlError(db.lastError());
        db.rollback();
        for (int i = 0; i < result.size(); ++i)
            result[i] = false;
        if (damaged && recoverFromDamage()) {
            const QScopedValueRollback<bool> once(retrying_, true);
            return writeRows(rows);
        }
        return result;
    }
    for (int i = 0; logging() && i < rows.size(); ++i) {
        if (result.at(i))
            line(QStringLiteral(" Message saved to DB: id = %1\n").arg(rows.at(i)->id));
    }
    return result;
}

bool messque::execEach(const QString& sql, const QList<qint64>& values)
{
    QSqlQuery q(db);
    q.prepare(sql);
    bool ok = true;
    for (qint64 value : values) {
        q.bindValue(0, value);
        if (!q.exec()) {
            logSqlError(q.lastError());
            ok = false;
        }
    }
    q.finish();
    return ok;
}

// One statement per kind of batch, prepared once while the file is open; the batch's values
// go in as one JSON array.
bool messque::execList(ListStatement which, const QList<qint64>& values)
{
    static const char* const kSql[kListStatements] = {
        "DELETE FROM messages WHERE ID IN (SELECT value FROM json_each(?))",
        "UPDATE messages SET STATE = 1 WHERE rowid IN (SELECT value FROM json_each(?))",
        "DELETE FROM messages WHERE rowid IN (SELECT value FROM json_each(?))",
    };
    std::unique_ptr<QSqlQuery>& q = listQueries_[which];
    if (!q) {
        q = std::make_unique<QSqlQuery>(db);
        if (!q->prepare(QLatin1String(kSql[which]))) {
            logSqlError(q->lastError());
            q.reset();
            return false;
        }
    }
    QByteArray list;
    list.reserve(values.size() * 11 + 2);
    list += '[';
    for (int i = 0; i < values.size(); ++i) {
        if (i > 0)
            list += ',';
        list += QByteArray::number(values.at(i));
    }
    list += ']';
    q->bindValue(0, QString::fromLatin1(list));
    if (q->exec())
        return true;
    logSqlError(q->lastError());
    return false;
}

bool messque::deleteRows(const QList<jstring_point*>& rows)
{
    if (!db_ok || rows.isEmpty())
        return false;
    const bool batch = rows.size() > 1 && db.transaction();
    QList<qint64> ids;
    for (jstring_point* entry : rows)
        ids.append(qint64(entry->id));
    bool ok = execList(DeleteIds, ids);
    if (batch && (!damage_.isEmpty() || !db.commit())) {
        if (damage_.isEmpty())
            logSqlError(db.lastError());
        db.rollback();
        ok = false;
    }
    if (!ok && recoverFromDamage()) {
        const QScopedValueRollback<bool> once(retrying_, true);
        return deleteRows(rows);
    }
    return ok;
}

bool messque::restoreMessagesFromDB(int n)
{
    if (!db_ok || n <= 0)
        return false;
    for (;;) {
        // Marking rows in flight needs no sync of its own: a mark that never reaches the disk
        // only leaves its rows waiting, as the next start leaves every row, and the mark
        // rewrites one byte of each row in place, so a write cut short cannot tear a row or
        // the tree. The next save or confirm commits it with a sync. (SQLite takes the
        // setting only outside a transaction.)
        const bool quick = setSynchronous(false);
        auto syncAgain = qScopeGuard([this, quick] {
            if (quick)
                setSynchronous(true);
        });
        if (!db.transaction()) {
            if (logSqlError(db.lastError()) && recoverFromDamage()) {
                const QScopedValueRollback<bool> once(retrying_, true);
                return restoreMessagesFromDB(n);
            }
            return false;
        }
        QSqlQuery select(db);
        select.prepare(QStringLiteral("SELECT rowid, ID, STATE, DT, STR FROM messages "
                                      "WHERE STATE = 0 ORDER BY ID LIMIT ?"));
        select.bindValue(0, n);
        if (!select.exec()) {
            logSqlError(select.lastError());
            select.finish();
            db.rollback();
            if (recoverFromDamage()) {
                const QScopedValueRollback<bool> once(retrying_, true);
                return restoreMessagesFromDB(n);
            }
            return false;
        }
        QList<qint64> restoredRows;
        QList<qint64> badRows;
        QList<jstring_point*> restored;
        int rowsSeen = 0;
        const qint64 wallNow = clock_->localMsecs();
        const qint64 monoNow = nowMs();
        while (select.next()) {
            ++rowsSeen;
            const qint64 rowid = select.value(0).toLongLong();
            bool idOk = false;
            const qlonglong id = select.value(1).toLongLong(&idOk);
            const QByteArray text = select.value(4).toByteArray();
            if (select.value(1).isNull() || !idOk || id < 0 || id > qlonglong(0xFFFFFFFFu)
                || text.isEmpty()) {
                line(QStringLiteral(" Skipped unreadable backup row: rowid = %1 ID = %2\n")
                         .arg(rowid)
                         .arg(select.value(1).toString()));
                badRows.append(rowid);
                continue;
            }
            if (check_records_ && !BackupSalvage::isRecordText(text)) {
                // A row SQLite reads but whose text is not a record: the file is damaged where
                // SQLite does not look. The recovery leaves the row in the unreadable copy.
                if (damage_.isEmpty())
                    damage_ = QStringLiteral("row id = %1 holds no record").arg(id);
                continue;
            }
            auto* entry = new jstring_point();
            entry->id = quint32(id);
            entry->status = jstring_point::CREATED;
            entry->session_id = 0;
            entry->string = text;
            if (!parseStamp(select.value(3).toString(), &entry->stamp_ms)) {
                line(QStringLiteral(" Backup row id = %1 has no readable DT, taken as now\n").arg(id));
                entry->stamp_ms = wallNow;
            }
            // It has been waiting since it was stamped (a stamp in the future counts as now).
            entry->born_ms = monoNow - qMax<qint64>(0, wallNow - entry->stamp_ms);
            entry->in_backup = true;
            restored.append(entry);
            restoredRows.append(rowid);
        }
        // Rows behind a damaged page end the walk with an error, not with the last row.
        if (select.lastError().isValid())
            logSqlError(select.lastError());
        select.finish();

        if (damage_.isEmpty() && !restoredRows.isEmpty())
            execList(MarkRowsInFlight, restoredRows);
        if (!damage_.isEmpty() || !db.commit()) {
            if (damage_.isEmpty())
                logSqlError(db.lastError());
            db.rollback();
            qDeleteAll(restored);
            if (recoverFromDamage()) {
                const QScopedValueRollback<bool> once(retrying_, true);
                return restoreMessagesFromDB(n);
            }
            return false;
        }
        syncAgain.dismiss();
        if (quick)
            setSynchronous(true);
        // Deleting unreadable rows changes the tree: its own transaction, with the sync. Rows
        // it cannot delete are only skipped again next time (and damage it meets is mended
        // by the next operation, once the restored records are in memory).
        if (!badRows.isEmpty() && db.transaction()) {
            if (!execList(DeleteRowids, badRows) || !db.commit())
                db.rollback();
        }

        for (jstring_point* entry : qAsConst(restored)) {
            append(entry);
            if (logging())
                line(QStringLiteral(" Restored: id = %1 DT = %2\n")
                         .arg(entry->id)
                         .arg(stampText(entry->stamp_ms)));
        }
        if (!restored.isEmpty()) {
            line(QStringLiteral(" %1 messages restored, last id = %2\n")
                     .arg(restored.size())
                     .arg(restored.last()->id));
            return true;
        }
        // A batch made only of unreadable rows (now deleted) must not hide the rows behind it.
        if (badRows.isEmpty() || rowsSeen < n)
            return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Disk guard

bool messque::diskGuardAllows(int rows)
{
    if (g_diskGuardTripped)
        return false;
    g_writeCounter += rows;
    if (g_writeCounter <= kWritesPerDiskCheck)
        return true;
    g_writeCounter = 0;
    if (freeSpace() >= kMinFreeSpace)
        return true;
    tripDiskGuard();
    return false;
}

void messque::tripDiskGuard()
{
    g_diskGuardTripped = true;
    eventLine(QString::fromLatin1(kNoSpaceText));
    noSpaceAlarm();
    QStringList files;
    for (messque* q : qAsConst(liveQueues())) {
        q->closeBackup();
        if (!files.contains(q->_filename))
            files.append(q->_filename);
    }
    for (const QString& file : qAsConst(files)) {
        if (QFile::exists(file) && !QFile::remove(file))
            line(QStringLiteral(" Cannot delete backup %1\n").arg(file));
    }
    line(QStringLiteral(" Disk full: backups deleted, stopping the station\n"));
    // The station's own restart policy: stop, and let the supervisor start it again.
    const std::shared_ptr<HostCommandRunner> runner = HostCommandRunner::defaultRunner();
    if (runner) {
        const HostCommandResult r = runner->run(QStringLiteral("sudo"),
                                                {QStringLiteral("killall"), QStringLiteral("TOLVAR")},
                                                kStopCommandTimeoutMs);
        if (!r.started || r.exitCode != 0)
            line(QStringLiteral(" sudo killall TOLVAR failed (exit code %1)\n").arg(r.exitCode));
    }
}

// ---------------------------------------------------------------------------------------------
// Damaged backup file

bool messque::logSqlError(const QSqlError& error, const QString& prefix)
{
    *this << (prefix + error.text() + QLatin1Char('\n'));
    if (!BackupSalvage::isDamage(error))
        return false;
    if (damage_.isEmpty())
        damage_ = error.text();
    return true;
}

bool messque::recoverFromDamage()
{
    if (damage_.isEmpty() || recovering_ || retrying_)
        return false;
    const QString reason = damage_;
    replaceDamagedBackup(reason);
    return true;
}

void messque::replaceDamagedBackup(const QString& reason)
{
    const QScopedValueRollback<bool> busy(recovering_, true);
    if (db.isOpen())
        db.rollback(); // whatever was half written goes; its records are still in memory
    closeBackup();
    QString note;
    bool readable = false;
    QList<BackupSalvage::Row> salvaged = BackupSalvage::readRows(_filename, &note, &readable);
    line(QStringLiteral(" Backup file is damaged (%1): %2\n").arg(reason, note));
    QString aside;
    const bool moved = moveBackupAside(reason, &aside);
    if (!readable) {
        // A damaged header or schema hides every row from SQLite, though their texts may
        // still lie whole in the file.
        salvaged = BackupSalvage::scanRecords(moved ? aside : _filename, &note);
        line(QStringLiteral(" Backup file cannot be read by SQLite: %1\n").arg(note));
    }
    if (moved)
        openBackup();
    keepSalvaged(salvaged);
    damage_.clear();
}

bool messque::moveBackupAside(const QString& reason, QString* movedTo)
{
    const QString aside = _filename + QStringLiteral(".unreadable-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss-zzz"));
    const bool moved = QFile::rename(_filename, aside);
    if (moved && movedTo)
        *movedTo = aside;
    line(QStringLiteral(" Backup file is not readable (%1), %2\n")
             .arg(reason, moved ? QStringLiteral("moved to ") + aside
                                : QStringLiteral("and could not be moved aside")));
    if (moved)
        eventLine(QStringLiteral("Unreadable backup file %1 moved to %2").arg(_filename, aside));
    return moved;
}

// The salvaged rows go to the fresh file, as do the rows of records in memory that had one in
// the damaged file (still in flight). What the fresh file cannot take stays in memory.
void messque::keepSalvaged(const QList<BackupSalvage::Row>& read)
{
    // A row whose text is not a record is never published: it stays in the unreadable copy.
    const int kLoggedRows = 10;
    QList<BackupSalvage::Row> rows;
    int invalid = 0;
    for (const BackupSalvage::Row& row : read) {
        if (!check_records_ || BackupSalvage::isRecordText(row.text)) {
            rows.append(row);
            continue;
        }
        if (++invalid <= kLoggedRows)
            line(QStringLiteral(" Backup row id = %1 is not a record (%2): not published, left in the unreadable copy\n")
                     .arg(row.id)
                     .arg(BackupSalvage::describe(row.text)));
    }
    if (invalid > kLoggedRows)
        line(QStringLiteral(" %1 more backup rows are not records: not published\n").arg(invalid - kLoggedRows));

    QHash<quint32, jstring_point*> inMemory;
    QList<jstring_point*> backed;
    for (jstring_point* entry : inOrder()) {
        inMemory.insert(entry->id, entry);
        if (entry->in_backup)
            backed.append(entry);
    }
    quint32 highest = 0;
    for (const BackupSalvage::Row& row : rows)
        highest = qMax(highest, row.id);
    if (highest > 0 && highest < 0xFFFFFFFFu)
        jstring_point::set_id_counter(highest + 1);

    // A row whose record is in memory already is that record; an id taken by another record
    // (a damaged index lets two rows share one) gets a new id rather than losing either.
    QList<BackupSalvage::Row> fresh;
    QSet<quint32> taken;
    for (BackupSalvage::Row row : rows) {
        jstring_point* same = inMemory.value(row.id);
        if (same && same->in_backup)
            continue;
        if (same || taken.contains(row.id))
            row.id = jstring_point::get_next_id();
        taken.insert(row.id);
        fresh.append(row);
    }

    bool written = false;
    if (db_ok && db.transaction()) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT OR REPLACE INTO messages (ID, STATE, DT, STR) VALUES (?, ?, ?, ?)"));
        written = true;
        for (jstring_point* entry : qAsConst(backed)) {
            q.bindValue(0, qint64(entry->id));
            q.bindValue(1, int(jstring_point::PUBLISHED));
            q.bindValue(2, stampText(entry->stamp_ms));
            q.bindValue(3, textValue(entry->string));
            written = written && q.exec();
        }
        for (const BackupSalvage::Row& row : qAsConst(fresh)) {
            q.bindValue(0, qint64(row.id));
            q.bindValue(1, int(jstring_point::CREATED));
            q.bindValue(2, row.dt);
            q.bindValue(3, textValue(row.text));
            written = written && q.exec();
        }
        if (!written)
            logSqlError(q.lastError());
        q.finish();
        if (written && !db.commit()) {
            logSqlError(db.lastError());
            written = false;
        }
        if (!written)
            db.rollback();
    }
    if (written) {
        line(QStringLiteral(" %1 salvaged records and %2 in flight written to the new backup\n")
                 .arg(fresh.size())
                 .arg(backed.size()));
        return;
    }

    for (jstring_point* entry : qAsConst(backed))
        entry->in_backup = false;
    const qint64 wallNow = clock_->localMsecs();
    const qint64 monoNow = nowMs();
    for (const BackupSalvage::Row& row : qAsConst(fresh)) {
        auto* entry = new jstring_point();
        entry->id = row.id;
        entry->string = row.text;
        if (!parseStamp(row.dt, &entry->stamp_ms))
            entry->stamp_ms = wallNow;
        entry->born_ms = monoNow - qMax<qint64>(0, wallNow - entry->stamp_ms);
        append(entry);
    }
    line(QStringLiteral(" No new backup: %1 salvaged records kept in memory\n").arg(fresh.size()));
}
