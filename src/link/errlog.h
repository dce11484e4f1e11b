#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QTimer>

#include <memory>

class QueueClock;

// The station's alarm log: numbered events with a time, a text and an optional value in an
// SQLite file, plus a running-time mark (row 0, code 100) renewed every minute so that after a
// restart the station can say when it stopped.
//
// Events written while the system clock was behind the newest stored event are flagged
// (odd_time = 1); when a forward clock jump is later measured, they move forward by its size.
// A jump is the wall-clock change minus the monotonic change between two updates, so an event
// loop that was merely blocked for a while is not taken for one.
class errlog : public QObject
{
    Q_OBJECT
public:
    enum EVENT_CODE : qint32 {
        EVENT_START_APP = 1,
        EVENT_STOP_APP = 2,
        EVENT_STATE_CHANGED = 3,
        EVENT_DISCONNECTED = 4,
        EVENT_CONNECTED = 5,
        EVENT_ADMIN_REQUEST = 6,
        EVENT_WRITE_FILE = 7,
        EVENT_READ_FILE = 8,
        EVENT_AUTOCORR_ERR = 9,
        EVENT_NO_SPACE_ON_DISK = 10,
        EVENT_REBOOT_ARTIX = 11,
        EVENT_REBOOT_AXSEM = 12,
        EVENT_CLEAR_LOG = 13,
        EVENT_UL_OK = 14,
        EVENT_UL_FAULT = 15,
        EVENT_DL_OK = 16,
        EVENT_DL_FAULT = 17,
        EVENT_NOISE_OK = 18,
        EVENT_NOISE_FAULT = 19,
        EVENT_CONF_CHANGED = 20,
        EVENT_CLOSED = 21,
        EVENT_SYS_REBOOT = 22,
        EVENT_TIME_SYNC_REMOTE = 23,
        EVENT_ADMIN_PASS_CHANGED = 24,
        EVENT_GUEST_PASS_CHANGED = 25,
        EVENT_REBOOT_LATTICE = 26,
        EVENT_AUTH_SUCCESS = 27,
        EVENT_AUTH_FAIL = 28,
        EVENT_DOOR_OPENED = 29,
        EVENT_DOOR_CLOSED = 30,
        EVENT_RUN_UPDATE = 100
    };
    Q_ENUM(EVENT_CODE)

    static constexpr int kUpdateIntervalMs = 60000;
    // A measured clock jump below this is taken for timer jitter.
    static constexpr qint64 kJumpThresholdMs = 10000;

    // Opens (or creates) the log at path and makes it the process-wide instance, replacing and
    // destroying any previous one. clock: the time source (null: the system clock); it must
    // outlive the instance.
    static errlog& init(const QString& path, const QueueClock* clock = nullptr);
    // The current instance. Before init() it is a log without a database, whose every
    // operation fails with a debug line: an early caller cannot crash the station.
    static errlog& instance();

    static QString toString(EVENT_CODE code);

    ~errlog() override;

    // value: null for none. An empty text stores the code's standard text.
    void append(EVENT_CODE code, const QDateTime& time, const QString& text = QString(),
                double* value = nullptr);
    // Events of [from, to], newest first, at most limit (a negative limit counts as 0).
    QJsonArray select(const QDateTime& from, const QDateTime& to, int limit);
    // Deletes the events of [from, to] (the running-time mark stays) and records that.
    bool clear(const QDateTime& from, const QDateTime& to);
    // The running-time mark, or the epoch (1970-01-01 00:00:00 UTC) when there is none.
    QDateTime get_last_running_time();

public slots:
    bool run_update();

public:
    // Shifts the flagged events forward by offset ms and clears their flags; called with the
    // mutex held.
    bool correct_odd_alarms_time(qint64 offset);

private:
    errlog(const QString& path, const QueueClock* clock);
    bool open(const QString& path);
    bool createSchema();

    static QString connectionName();
    static void ensureReleasedWithApplication();

    QSqlDatabase _db;
    QTimer _update_timer;
    QDateTime _last_update_time;
    qint64 _last_update_mono = 0;
    QMutex _mutex;
    const QueueClock* _clock;

    static std::unique_ptr<errlog> s_instance;
};
