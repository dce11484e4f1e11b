#include "meslog.h"

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

#include <cmath>
#include <limits>

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

QJsonArray meslog::select(const QDateTime& from, const QDateTime& to, const QList<int>& ids,
                          const QList<int>& types, int limit)
{
    // Modem ids are 32-bit unsigned; a caller that read them as signed JSON numbers still
    // finds its modems.
    QStringList idList;
    for (int id : ids)
        idList << QString::number(quint32(id));
    QStringList typeList;
    for (int t : types)
        typeList << QString::number(t);
    const QString idText = idList.join(QLatin1Char(','));
    const QString typeText = typeList.join(QLatin1Char(','));
    qDebug().noquote() << QStringLiteral("select from %1 to %2 ids:%3 types:%4")
                              .arg(from.toSecsSinceEpoch())
                              .arg(to.toSecsSinceEpoch())
                              .arg(idText, typeText);

    QString sql = QStringLiteral("SELECT modem_id, time_saved, type, iterator, payload, snr, nsnr, "
                                 "rssi_pwr, freq, phy, offset FROM messages WHERE time_saved >= ? "
                                 "AND time_saved <= ?");
    if (!types.isEmpty())
        sql += QStringLiteral(" AND type IN (%1)").arg(typeText);
    if (!ids.isEmpty())
        sql += QStringLiteral(" AND modem_id IN (%1)").arg(idText);
    sql += QStringLiteral(" ORDER BY time_saved DESC  LIMIT  %1").arg(qMax(0, limit));

    flush();
    QJsonArray result;
    QSqlQuery q(_db);
    q.setForwardOnly(true);
    q.prepare(sql);
    q.addBindValue(from.toMSecsSinceEpoch());
    q.addBindValue(to.toMSecsSinceEpoch());
    if (!q.exec()) {
        qDebug() << "Messages log select error!\n";
        return result;
    }
    while (q.next()) {
        QJsonObject row;
        row.insert(QStringLiteral("modem_id"), q.value(0).toLongLong());
        row.insert(QStringLiteral("time_saved"), q.value(1).toLongLong());
        row.insert(QStringLiteral("type"), q.value(2).toInt() != 0 ? QStringLiteral("DL") : QStringLiteral("UL"));
        row.insert(QStringLiteral("iterator"), q.value(3).toInt());
        row.insert(QStringLiteral("payload"), QString::fromLatin1(q.value(4).toByteArray().toHex().toUpper()));
        row.insert(QStringLiteral("snr"), toInteger(q.value(5)));
        row.insert(QStringLiteral("nsnr"), toInteger(q.value(6)));
        row.insert(QStringLiteral("rssi_or_pwr"), toInteger(q.value(7)));
        row.insert(QStringLiteral("freq"), toInteger(q.value(8)));
        row.insert(QStringLiteral("phy"), q.value(9).toString());
        row.insert(QStringLiteral("offset"), q.value(10).toInt());
        result.append(row);
    }
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
