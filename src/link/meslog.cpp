#include "meslog.h"

#include "LogText.h"
#include "QueueClock.h"
#include "dl_message_point.h"
#include "message_point.h"
#include "phy_names.h"

#include <QDebug>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <vector>

namespace {

const char* const kConnection = "meslog database";

const char* const kInsert =
    "INSERT INTO messages (modem_id, time_saved, type, iterator, payload, snr, nsnr, rssi_pwr, "
    "freq, phy, offset) VALUES (?,?,?,?,?,?,?,?,?,?,?) ";

// What a reader hands over is stored as a number the averages can use.
float finiteOrZero(float v)
{
    return std::isfinite(v) ? v : 0.0f;
}

// Stored values and averages become JSON integers: rounded, and never NaN, infinite or out of
// the 64-bit range.
qint64 toInteger(const QVariant& v)
{
    if (v.isNull())
        return 0;
    const double d = v.toDouble();
    if (!std::isfinite(d))
        return 0;
    if (d >= 9.2e18 || d <= -9.2e18)
        return 0;
    return qint64(std::llround(d));
}

} // namespace

meslog::meslog(int ttl, const QueueClock* clock, QObject* parent)
    : QObject(parent), _ttl(ttl), _clock(clock ? clock : QueueClock::system())
{
    _db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(kConnection));
    _db.setDatabaseName(QStringLiteral(":memory:"));
    if (!_db.open())
        qDebug() << "Messages log database open error!\n";
    QSqlQuery q(_db);
    if (!q.exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS 'messages' ('id' INTEGER PRIMARY KEY AUTOINCREMENT,"
            "'modem_id' INTEGER NOT NULL,'time_saved' INTEGER NOT NULL,'type' INTEGER NOT NULL,"
            "'iterator' INTEGER NOT NULL,'payload' BLOB NOT NULL,'snr' INTEGER NOT NULL,"
            "'nsnr' INTEGER NOT NULL,'rssi_pwr' INTEGER NOT NULL,'freq' INTEGER NOT NULL,"
            "'phy' BLOB NOT NULL,'offset' INTEGER NOT NULL)")))
        qDebug() << "Messages log create error!" << q.lastError().text();
    if (!q.exec(QStringLiteral("CREATE INDEX 'mod_idx' ON 'messages' ('time_saved','type')")))
        qDebug() << "Messages log index error!" << q.lastError().text();

    _batch_timer.setSingleShot(true);
    _batch_timer.setInterval(kBatchMs);
    connect(&_batch_timer, &QTimer::timeout, this, &meslog::flush);
    _delete_timer.setInterval(kTimerMs);
    connect(&_delete_timer, &QTimer::timeout, this, &meslog::delete_old);
    _delete_timer.start();
    _stat_timer.setInterval(kTimerMs);
    connect(&_stat_timer, &QTimer::timeout, this, &meslog::make_stats);
    _stat_timer.start();
}

meslog::~meslog()
{
    flush();
    finalizeUplinkInsert();
    _insert.reset();
    _delete_timer.stop();
    _stat_timer.stop();
    _db.close();
    _db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(kConnection));
}

void meslog::set_ttl(int minutes)
{
    _ttl = minutes;
}

float meslog::normalisedSnr(float snr, int phy)
{
    const float base = float(bitrate_from_phy(UL_DBPSK_50_PROT_D));
    const float rate = float(bitrate_from_phy(static_cast<vexa_phy_channel_t>(phy)));
    if (rate <= 0.0f || base <= 0.0f)
        return snr;
    return snr + 10.0f * std::log10(rate / base);
}

QSqlQuery& meslog::insertQuery()
{
    if (!_insert) {
        _insert = std::make_unique<QSqlQuery>(_db);
        _insert->prepare(QLatin1String(kInsert));
    }
    return *_insert;
}

// Rows appended within kBatchMs share one transaction, committed by the timer or before any
// read; the database lives in memory, so nothing waits on a disk for it.
void meslog::beginBatch()
{
    if (_batch_open || !_db.isOpen())
        return;
    _batch_open = _db.transaction();
    if (_batch_open)
        _batch_timer.start();
}

void meslog::flush()
{
    if (!_batch_open)
        return;
    _batch_open = false;
    if (!_db.commit()) {
        qDebug() << "Messages log commit error!" << _db.lastError().text();
        _db.rollback();
    }
}

sqlite3_stmt* meslog::uplinkInsert()
{
    if (_ul_insert || _ul_insert_tried)
        return _ul_insert;
    _ul_insert_tried = true;
    const QVariant handle = _db.isOpen() ? _db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    sqlite3* connection = *static_cast<sqlite3* const*>(handle.constData());
    if (!connection || sqlite3_prepare_v2(connection, kInsert, -1, &_ul_insert, nullptr) != SQLITE_OK) {
        qDebug() << "Messages log prepare error!" << (connection ? sqlite3_errmsg(connection) : "");
        finalizeUplinkInsert();
    }
    return _ul_insert;
}

void meslog::finalizeUplinkInsert()
{
    if (_ul_insert)
        sqlite3_finalize(_ul_insert);
    _ul_insert = nullptr;
}

void meslog::append(const message_point& msg)
{
    const float snr = finiteOrZero(msg.SNR);
    beginBatch();
    sqlite3_stmt* st = uplinkInsert();
    if (!st) {
        QSqlQuery& q = insertQuery();
        q.bindValue(0, uint(msg.ID));
        q.bindValue(1, _clock->utcMsecs());
        q.bindValue(2, 0);
        q.bindValue(3, int(msg.FLAGS & 31));
        q.bindValue(4, QByteArray(reinterpret_cast<const char*>(msg.PAYLOAD), sizeof(msg.PAYLOAD)));
        q.bindValue(5, snr);
        q.bindValue(6, finiteOrZero(normalisedSnr(snr, int(msg.phy))));
        q.bindValue(7, finiteOrZero(msg.RSSI));
        q.bindValue(8, qulonglong(msg.FREQ));
        q.bindValue(9, int(msg.phy));
        q.bindValue(10, int(msg.offset));
        if (!q.exec()) {
            qDebug() << "Messages log ul append error!\n";
            qDebug() << q.lastError().text();
            qDebug() << q.lastQuery();
        }
        return;
    }
    // The values go in as Qt's driver binds them: integers as integers, the payload as a blob
    // and the levels as doubles.
    const auto bindFloat = [st](int column, float value) { sqlite3_bind_double(st, column, double(value)); };
    sqlite3_bind_int64(st, 1, qint64(msg.ID));
    sqlite3_bind_int64(st, 2, _clock->utcMsecs());
    sqlite3_bind_int(st, 3, 0);
    sqlite3_bind_int(st, 4, int(msg.FLAGS & 31));
    sqlite3_bind_blob(st, 5, msg.PAYLOAD, int(sizeof(msg.PAYLOAD)), SQLITE_TRANSIENT);
    bindFloat(6, snr);
    bindFloat(7, finiteOrZero(normalisedSnr(snr, int(msg.phy))));
    bindFloat(8, finiteOrZero(msg.RSSI));
    sqlite3_bind_int64(st, 9, qint64(qulonglong(msg.FREQ)));
    sqlite3_bind_int(st, 10, int(msg.phy));
    sqlite3_bind_int(st, 11, int(msg.offset));
    if (sqlite3_step(st) != SQLITE_DONE) {
        qDebug() << "Messages log ul append error!\n";
        qDebug() << sqlite3_errmsg(sqlite3_db_handle(st));
        qDebug() << kInsert;
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
}

void meslog::append(const dl_message_point& msg)
{
    const int len = qMin(int(msg.payload_len), int(sizeof(msg.payload)));
    beginBatch();
    QSqlQuery& q = insertQuery();
    q.bindValue(0, uint(msg.modem_id));
    q.bindValue(1, _clock->utcMsecs());
    q.bindValue(2, 1);
    q.bindValue(3, int(msg.iterator));
    q.bindValue(4, QByteArray(reinterpret_cast<const char*>(msg.payload), len));
    q.bindValue(5, 0);
    q.bindValue(6, 0);
    // The power byte holds a signed dBm value.
    q.bindValue(7, int(qint8(msg.strength)));
    q.bindValue(8, uint(msg.freq));
    q.bindValue(9, msg.phy.isNull() ? QStringLiteral("") : msg.phy);
    q.bindValue(10, 0);
    if (!q.exec())
        qDebug() << "Messages log dl append error!\n";
}

namespace {

// One row of a query and the keys it is ordered by.
struct SelectedRow {
    qint64 time = 0;
    qint64 id = 0;
    QJsonObject json;
};

// Newest first; rows of the same millisecond, the last logged first.
bool newerRow(const SelectedRow& a, const SelectedRow& b)
{
    return a.time != b.time ? a.time > b.time : a.id > b.id;
}

// Each value once, in ascending order: a repeated id or type selects nothing more. Modem ids
// are 32-bit unsigned; a caller that read them as signed JSON numbers still finds its modems.
template <typename T>
std::vector<T> distinct(const QList<int>& values)
{
    std::vector<T> out;
    out.reserve(size_t(values.size()));
    for (int v : values)
        out.push_back(T(v));
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

} // namespace

QJsonArray meslog::select(const QDateTime& from, const QDateTime& to, const QList<int>& ids,
                          const QList<int>& types, int limit)
{
    const std::vector<quint32> idSet = distinct<quint32>(ids);
    const std::vector<int> typeSet = distinct<int>(types);
    QStringList typeList;
    for (int t : typeSet)
        typeList << QString::number(t);
    const QString typeText = typeList.join(QLatin1Char(','));

    // A request may name a million ids: the line keeps its first part.
    LogText line;
    line.append(QStringLiteral("select from %1 to %2 ids:").arg(from.toSecsSinceEpoch()).arg(to.toSecsSinceEpoch()));
    for (size_t i = 0; i < idSet.size(); ++i)
        line.append((i ? QStringLiteral(",") : QString()) + QString::number(idSet[i]));
    line.append(QStringLiteral(" types:") + typeText);
    qDebug().noquote() << line.text();

    QString head = QStringLiteral("SELECT id, modem_id, time_saved, type, iterator, payload, snr, nsnr, "
                                  "rssi_pwr, freq, phy, offset FROM messages WHERE time_saved >= ? "
                                  "AND time_saved <= ?");
    if (!typeSet.empty())
        head += QStringLiteral(" AND type IN (%1)").arg(typeText);
    const QString tail = QStringLiteral(" ORDER BY time_saved DESC, id DESC LIMIT %1").arg(qMax(0, limit));

    flush();
    // SQLite keeps about 150 bytes for every term of an IN list while it prepares a statement:
    // a long id list is looked up in parts, each part's newest rows merged into the newest of all.
    std::vector<SelectedRow> newest;
    bool failed = false;
    auto run = [&](const QString& sql) {
        QSqlQuery q(_db);
        q.setForwardOnly(true);
        q.prepare(sql);
        q.addBindValue(from.toMSecsSinceEpoch());
        q.addBindValue(to.toMSecsSinceEpoch());
        if (!q.exec()) {
            qDebug() << "Messages log select error!\n";
            failed = true;
            return;
        }
        std::vector<SelectedRow> rows;
        while (q.next()) {
            SelectedRow row;
            row.id = q.value(0).toLongLong();
            row.time = q.value(2).toLongLong();
            row.json.insert(QStringLiteral("modem_id"), q.value(1).toLongLong());
            row.json.insert(QStringLiteral("time_saved"), row.time);
            row.json.insert(QStringLiteral("type"), q.value(3).toInt() != 0 ? QStringLiteral("DL") : QStringLiteral("UL"));
            row.json.insert(QStringLiteral("iterator"), q.value(4).toInt());
            row.json.insert(QStringLiteral("payload"), QString::fromLatin1(q.value(5).toByteArray().toHex().toUpper()));
            row.json.insert(QStringLiteral("snr"), toInteger(q.value(6)));
            row.json.insert(QStringLiteral("nsnr"), toInteger(q.value(7)));
            row.json.insert(QStringLiteral("rssi_or_pwr"), toInteger(q.value(8)));
            row.json.insert(QStringLiteral("freq"), toInteger(q.value(9)));
            row.json.insert(QStringLiteral("phy"), q.value(10).toString());
            row.json.insert(QStringLiteral("offset"), q.value(11).toInt());
            rows.push_back(std::move(row));
        }
        if (newest.empty()) {
            newest = std::move(rows);
            return;
        }
        std::vector<SelectedRow> merged;
        merged.reserve(newest.size() + rows.size());
        std::merge(std::make_move_iterator(newest.begin()), std::make_move_iterator(newest.end()),
                   std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()), std::back_inserter(merged),
                   newerRow);
        if (merged.size() > size_t(qMax(0, limit)))
            merged.resize(size_t(qMax(0, limit)));
        newest = std::move(merged);
    };

    if (idSet.empty()) {
        run(head + tail);
    } else {
        const size_t part = size_t(qMax(1, _ids_per_statement));
        for (size_t first = 0; first < idSet.size() && !failed; first += part) {
            QStringList idList;
            for (size_t i = first; i < idSet.size() && i < first + part; ++i)
                idList << QString::number(idSet[i]);
            run(head + QStringLiteral(" AND modem_id IN (%1)").arg(idList.join(QLatin1Char(','))) + tail);
        }
    }

    QJsonArray result;
    if (failed)
        return result;
    for (const SelectedRow& row : newest)
        result.append(row.json);
    qDebug().noquote() << QStringLiteral("Result: %1 messages").arg(result.size());
    return result;
}

QJsonObject meslog::stats(const QDateTime& from, const QDateTime& to)
{
    qint64 ulTotal = 0, ulModems = 0, ulRssi = 0, noise = 0;
    qint64 dlTotal = 0, dlModems = 0, dlPower = 0;
    flush();
    QSqlQuery q(_db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT type, count(id), count(distinct modem_id), AVG(rssi_pwr), "
                             "AVG(rssi_pwr-nsnr) FROM messages WHERE time_saved >= ? AND "
                             "time_saved <= ? group by type order by type"));
    q.addBindValue(from.toMSecsSinceEpoch());
    q.addBindValue(to.toMSecsSinceEpoch());
    if (!q.exec()) {
        qDebug() << "Messages log select error!";
    } else {
        while (q.next()) {
            const int type = q.value(0).toInt();
            if (type == 0) {
                ulTotal = toInteger(q.value(1));
                ulModems = toInteger(q.value(2));
                ulRssi = toInteger(q.value(3));
                noise = toInteger(q.value(4));
            } else if (type == 1) {
                dlTotal = toInteger(q.value(1));
                dlModems = toInteger(q.value(2));
                dlPower = toInteger(q.value(3));
            }
        }
    }
    QJsonObject o;
    o.insert(QStringLiteral("ts"), to.toSecsSinceEpoch());
    o.insert(QStringLiteral("period"), from.secsTo(to));
    o.insert(QStringLiteral("ul_total"), ulTotal);
    o.insert(QStringLiteral("ul_modems_total"), ulModems);
    o.insert(QStringLiteral("ul_aver_rssi"), ulRssi);
    o.insert(QStringLiteral("aver_noise"), noise);
    o.insert(QStringLiteral("dl_total"), dlTotal);
    o.insert(QStringLiteral("dl_modems_total"), dlModems);
    o.insert(QStringLiteral("dl_aver_power"), dlPower);
    return o;
}

void meslog::make_stats()
{
    const QDateTime now = _clock->now();
    if (_hour_ref.isNull())
        _hour_ref = now;
    if (_total_ref.isNull())
        _total_ref = now;
    _last_min = stats(now.addSecs(-60), now);
    if (_hour_ref.secsTo(now) > 3599) {
        _last_hour = stats(now.addSecs(-3600), now);
        _hour_ref = now;
    }
    const qint64 period = qint64(_ttl) * 60;
    if (_total_ref.secsTo(now) >= period) {
        _last_total = stats(now.addSecs(-period), now);
        _total_ref = now;
    }
}

void meslog::delete_old()
{
    qDebug() << "Delete meslog messages";
    flush();
    QSqlQuery q(_db);
    q.prepare(QStringLiteral("DELETE FROM messages WHERE time_saved <= ?"));
    q.addBindValue(_clock->now().toMSecsSinceEpoch() - qint64(_ttl) * 60000);
    if (!q.exec())
        qDebug() << "Messages log delete error!" << q.lastError().text();
}
