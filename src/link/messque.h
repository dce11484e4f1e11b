#pragma once

#include "BackupSalvage.h"
#include "jstring_point.h"
#include "logger.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QString>

#include <functional>
#include <limits>
#include <list>
#include <memory>

class QSqlError;
class QSqlQuery;
class QTimer;
class QueueClock;

// The outgoing queue of one broker link: records wait here, oldest first, until the broker
// confirms them. A record that waits too long goes to the link's SQLite backup file and
// comes back from it, oldest first, when the memory list runs empty.
//
// Backup table: messages (ID int PRIMARY KEY, STATE int, DT datetime, STR text).
// STATE 0: waiting in the file; STATE 1: restored into memory and not yet confirmed (the row
// is deleted when the confirm comes, and turned back to 0 at the next start).
class messque : public QObject, public logger
{
    Q_OBJECT
public:
    static constexpr qint64 kMinFreeSpace = 104857600;  // below this the disk counts as full
    static constexpr qint64 kCheckEmptySize = 10485760; // larger backups are checked at start
    static constexpr int kSaveAgeSec = 600;
    static constexpr int kSaveIntervalMs = 10000;
    static constexpr int kRestoreBatch = 100;
    static constexpr int kWritesPerDiskCheck = 1000;

    messque(const QString& filename, const QString& logpath, bool save_to_disk,
            QObject* parent = nullptr);
    ~messque() override;

    // Start-up checks of the backup file, opening it, the saver timer and the id counter.
    void init();
    void setLogpath(const QString& path);

    // Appends a record; an empty or null text is refused (false) with a log line.
    bool enqueue(const QByteArray& bytes);
    // The oldest record not yet taken by `session`, now marked with it; null when none.
    QByteArray pop_for_publish(quint32 session);
    // The same, also giving the record's id (for unpop).
    QByteArray pop_for_publish(quint32 session, quint32* id);
    // The link's way to take the next record for `session`, in constant time: the record
    // published longest ago if that was before `publishedBeforeMs` (the queue's monotonic clock)
    // and it is still unconfirmed, else the oldest record waiting. Null when there is none.
    static constexpr qint64 kNoRepublish = std::numeric_limits<qint64>::min();
    QByteArray take_next(quint32 session, qint64 publishedBeforeMs, quint32* id);
    // The queue's monotonic clock (ms).
    qint64 now_ms() const { return nowMs(); }
    // The broker confirmed the record: it leaves the queue (and its backup row), whatever
    // session took it. False when no record has that id (already confirmed).
    bool confirm(quint32 id);
    // The same for the records of one basic.ack: their backup rows go in one transaction.
    // Returns how many of them were still in the queue.
    int confirm(const QList<quint32>& ids);
    // A popped record that could not be sent, or that the broker refused, goes back to waiting.
    void unpop(quint32 id);
    // Drops the first record of `session` (confirmed); false when there is none.
    bool clear(quint32 session);
    // Drops every record of `session` (their backup rows in one transaction); the count.
    int clear_session(quint32 session);
    // After a lost connection every published record goes back to waiting.
    void return_to_waiting();

    // Emptiness; an empty memory list first restores up to 100 records from the backup.
    bool isEmpty();
    int size() const { return int(waiting_.size() + inflight_.size()); }
    int waiting_count() const { return int(waiting_.size()); }
    // Records that wait in the backup file (not restored into memory); -1 when there is no
    // open backup. Counts the table: for reports on connection changes, not for each record.
    qint64 backup_count();
    int in_flight_count() const { return int(inflight_.size()); }

    // From the link's first connection on, aged records are written to the backup.
    void set_start_to_save(bool b);
    // The main link keeps aged records in its backup even before it has ever connected.
    void set_save_before_connect(bool b);

    // Orderly shutdown: every record still in memory goes to the backup (when saving is on
    // and the stop does not come from the disk guard). Returns the number written.
    int save_all();

    bool saveMessageToDB(jstring_point* entry);
    bool restoreMessagesFromDB(int n);

    const QString& filename() const { return _filename; }
    bool save_to_disk() const { return _save_to_disk; }
    bool backup_open() const { return db_ok; }

    // Rows restored or salvaged from the backup must be records (BackupSalvage::isRecordText);
    // one that is not is never published and counts as damage of the file. Off, any non-empty
    // text is a record (a queue of other texts).
    void set_check_records(bool on) { check_records_ = on; }

    // Time source (not owned; null puts back the system clock).
    void setClock(QueueClock* clock);

    // Process-wide seam of the disk guard: the free-space probe of the root file system (empty
    // puts back the real one). The stop command goes through HostCommandRunner::defaultRunner().
    static void set_free_space_probe(std::function<qint64()> probe);
    // True once the disk guard has deleted the backups and asked the process to stop.
    static bool stopped_by_disk_guard();
    // Back to a fresh process state (for tests).
    static void reset_disk_guard();

public slots:
    void saveMain();

private:
    void line(const QString& text); // one log line with the time prefix
    void eventLine(const QString& text);
    void noSpaceAlarm();
    void checkBigBackup();
    void openBackup();
    bool probeBackup(QString* error, bool* unreadable);
    void closeBackup();
    bool exec(const QString& sql);
    // Commits with (true: the file's own setting) or without a sync to disk.
    bool setSynchronous(bool on);
    void takeIdCounterFromBackup();
    // Runs a statement with one bound value once per value, logging each failure; false when
    // any run failed.
    bool execEach(const QString& sql, const QList<qint64>& values);
    enum ListStatement { DeleteIds, MarkRowsInFlight, DeleteRowids, kListStatements };
    bool execList(ListStatement which, const QList<qint64>& values);
    bool diskGuardAllows(int rows);
    void tripDiskGuard();
    QList<bool> writeRows(const QList<jstring_point*>& rows);
    bool deleteRows(const QList<jstring_point*>& rows);
    void removeEntries(const QList<jstring_point*>& gone);
    int dropConfirmed(const QList<jstring_point*>& gone);
    void append(jstring_point* entry);
    void detach(jstring_point* entry);
    void markPublished(jstring_point* entry, quint32 session);
    QByteArray takeEntry(jstring_point* entry, quint32 session, quint32* id);
    void insertWaiting(jstring_point* entry);
    QList<jstring_point*> inOrder() const;
    qint64 nowMs() const;
    static qint64 freeSpace();

    QSqlDatabase db;
    std::unique_ptr<QSqlQuery> listQueries_[kListStatements];
    QTimer* save_timer = nullptr;
    // Records never published (or back to waiting) in order of arrival, and records published
    // and not confirmed in the order of their last publish; together they are the queue.
    std::list<jstring_point*> waiting_;
    std::list<jstring_point*> inflight_;
    QHash<quint32, jstring_point*> byId_;
    quint64 nextSeq_ = 0;
    QString _filename;
    bool _save_to_disk;
    bool _start_to_save = false;
    bool _save_before_connect = false;
    QString _db_connection_name;
    bool db_ok = false;
    int sync_mode_ = 2; // the file's synchronous setting (FULL unless SQLite says otherwise)
    QueueClock* clock_;

    // A damaged backup file: every row that can still be read is salvaged, the file is moved
    // aside like an unreadable one and a fresh file takes the salvaged rows and the rows of the
    // records in memory; the operation that met the damage then runs once more on it.
    // Logs an SQL error; true (and remembered until the recovery) when it says the file is damaged.
    bool logSqlError(const QSqlError& error, const QString& prefix = QString());
    // True when damage was met and the file has been replaced: the caller tries once more.
    bool recoverFromDamage();
    void replaceDamagedBackup(const QString& reason);
    bool moveBackupAside(const QString& reason, QString* movedTo = nullptr);
    // Rows whose text is not a record are logged and left out.
    void keepSalvaged(const QList<BackupSalvage::Row>& read);
    bool check_records_ = false;
    QString damage_;          // the error that said the file is damaged, until the recovery
    bool recovering_ = false; // the file is being replaced
    bool retrying_ = false;   // an operation runs again after a recovery (never twice)
};
