#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QTimer>

#include <memory>

class QSqlQuery;
struct sqlite3_stmt;

struct message_point;
struct dl_message_point;
class QueueClock;

// A short history of every uplink received and every downlink request accepted, in an SQLite
// database held in memory, and the traffic statistics the heartbeat reports from it (last
// minute, last hour, whole retention period). Main thread only.
class meslog : public QObject
{
    Q_OBJECT
public:
    static constexpr int kTimerMs = 60000;
    static constexpr int kBatchMs = 200; // appends committed together at most this late

    // ttl: retention in minutes. clock: time source (null: the system clock); it must
    // outlive the log.
    explicit meslog(int ttl, const QueueClock* clock = nullptr, QObject* parent = nullptr);
    ~meslog() override;

    void set_ttl(int minutes);
    int ttl() const { return _ttl; }

    // One received uplink; its phy and offset must be set.
    void append(const message_point& msg);
    // One accepted downlink request.
    void append(const dl_message_point& msg);

    // Rows of [from, to], only of the given modem ids and types (0 uplink, 1 downlink) when
    // those lists are not empty, newest first (rows of one millisecond: the last logged first),
    // at most limit (a negative limit counts as 0). A repeated id or type counts once; a long id
    // list is looked up kIdsPerStatement ids at a time, with the same rows as a whole.
    QJsonArray select(const QDateTime& from, const QDateTime& to, const QList<int>& ids,
                      const QList<int>& types, int limit);
    static constexpr int kIdsPerStatement = 20000;
    // How many ids one statement of select() takes (tests compare parts with a whole).
    void set_ids_per_statement(int n) { _ids_per_statement = n; }
    // Counters and averages of [from, to]; every value is a finite integer.
    QJsonObject stats(const QDateTime& from, const QDateTime& to);

    QJsonObject last_minute_stats() const { return _last_min; }
    QJsonObject last_hour_stats() const { return _last_hour; }
    QJsonObject last_total_stats() const { return _last_total; }

    // SNR normalised to 50 bit/s; a phy without a known bit rate is not normalised.
    static float normalisedSnr(float snr, int phy);

    // Starts the minute statistics' period anew, from now.
    void restart_stats_timer() { _stat_timer.start(); }

    // Commits the rows appended since the last commit (appends of up to kBatchMs are
    // committed together; every read commits first).
    void flush();

public slots:
    void delete_old();
    void make_stats();

private:
    QSqlQuery& insertQuery();
    // The uplink insert as SQLite's own prepared statement: an uplink row per record costs
    // no QVariant per value. Null when the driver gives no handle (then insertQuery is used).
    sqlite3_stmt* uplinkInsert();
    void finalizeUplinkInsert();
    void beginBatch();

    QSqlDatabase _db;
    QTimer _delete_timer;
    int _ttl;
    QTimer _stat_timer;
    QJsonObject _last_min;
    QJsonObject _last_hour;
    QJsonObject _last_total;
    // Times of the last hour and retention-period snapshots; null before the first make_stats.
    QDateTime _hour_ref;
    QDateTime _total_ref;
    const QueueClock* _clock;
    std::unique_ptr<QSqlQuery> _insert; // prepared once
    sqlite3_stmt* _ul_insert = nullptr;
    bool _ul_insert_tried = false;
    bool _batch_open = false;
    int _ids_per_statement = kIdsPerStatement;
    QTimer _batch_timer;
};
