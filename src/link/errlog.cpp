#include "errlog.h"

#include "QueueClock.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

std::unique_ptr<errlog> errlog::s_instance;

namespace {

// SQLite result codes of a file that is not (or no longer) a database.
bool notADatabase(const QSqlError& e)
{
    const QString code = e.nativeErrorCode();
    return code == QLatin1String("26") || code == QLatin1String("11");
}

} // namespace

QString errlog::connectionName()
{
    return QStringLiteral("errlog database");
}

// The instance holds an SQLite connection, which must close while Qt's SQL driver registry
// still exists: a plain static destroyed after the application object crashes the process
// at exit. It therefore goes away together with the application object.
void errlog::ensureReleasedWithApplication()
{
    static bool registered = false;
    if (!registered && QCoreApplication::instance()) {
        qAddPostRoutine([] { s_instance.reset(); });
        registered = true;
    }
}

errlog& errlog::init(const QString& path, const QueueClock* clock)
{
    ensureReleasedWithApplication();
    // The old instance goes first: it owns the named connection the new one opens.
    s_instance.reset();
    s_instance.reset(new errlog(path, clock));
    return *s_instance;
}

errlog& errlog::instance()
{
    if (!s_instance) {
        ensureReleasedWithApplication();
        qWarning() << "Error log used before init: alarms are not recorded";
        s_instance.reset(new errlog(QString(), nullptr));
    }
    return *s_instance;
}

errlog::errlog(const QString& path, const QueueClock* clock)
    : QObject(nullptr), _clock(clock ? clock : QueueClock::system())
{
    _last_update_time = _clock->now();
    _last_update_mono = _clock->monotonicMs();
    if (path.isEmpty())
        return;
    open(path);
    _update_timer.setInterval(kUpdateIntervalMs);
    connect(&_update_timer, &QTimer::timeout, this, &errlog::run_update);
    _update_timer.start();
}

errlog::~errlog()
{
    _update_timer.stop();
    if (_db.isValid()) {
        _db.close();
        _db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName());
    }
}

bool errlog::open(const QString& path)
{
    _db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName());
    _db.setDatabaseName(path);
    if (!_db.open()) {
        qDebug() << "Error log database open error!\n";
        return false;
    }
    if (createSchema())
        return true;
    // A file SQLite cannot read would leave the alarm log dead for good: keep it aside for
    // inspection and start a new one.
    QSqlQuery probe(_db);
    probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"));
    if (!notADatabase(probe.lastError()) || !QFileInfo::exists(path))
        return false;
    _db.close();
    const QString aside = path + QStringLiteral(".unreadable-")
                          + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    if (!QFile::rename(path, aside)) {
        qDebug() << "Error log: cannot move the unreadable file" << path << "aside";
        return false;
    }
    qDebug() << "Error log: unreadable file moved to" << aside;
    if (!_db.open()) {
        qDebug() << "Error log database open error!\n";
        return false;
    }
    return createSchema();
}

bool errlog::createSchema()
{
    static const char* const statements[] = {
        "CREATE TABLE IF NOT EXISTS 'alarms' ('id' INTEGER PRIMARY KEY AUTOINCREMENT,"
        "'alarm_code' INTEGER NOT NULL,'time_saved' INTEGER NOT NULL,'value' REAL,"
        "'alarm_text' BLOB NOT NULL,'odd_time' INTEGER NOT NULL DEFAULT 0)",
        "CREATE INDEX IF NOT EXISTS 'time_idx' ON 'alarms' ('time_saved')",
        "CREATE INDEX IF NOT EXISTS 'odd_idx' ON 'alarms' ('odd_time')",
        "CREATE INDEX IF NOT EXISTS 'code_time_idx' ON 'alarms' ('alarm_code','time_saved')",
    };
    for (const char* sql : statements) {
        QSqlQuery q(_db);
        if (!q.exec(QString::fromLatin1(sql))) {
            qDebug() << "Error log create error!" << q.lastError().text();
            return false;
        }
    }
    return true;
}

QString errlog::toString(EVENT_CODE code)
{
    switch (code) {
    case EVENT_START_APP: return QStringLiteral("Base station powered on");
    case EVENT_STOP_APP: return QStringLiteral("Base station powered off");
    case EVENT_STATE_CHANGED: return QStringLiteral("Gateway state changed");
    case EVENT_DISCONNECTED: return QStringLiteral("Disconnected from server");
    case EVENT_CONNECTED: return QStringLiteral("Connected to server");
    case EVENT_ADMIN_REQUEST: return QStringLiteral("Admin request received from server");
    case EVENT_WRITE_FILE: return QStringLiteral("File is written");
    case EVENT_READ_FILE: return QStringLiteral("File read");
    case EVENT_AUTOCORR_ERR: return QStringLiteral("Autocorrection fault");
    case EVENT_NO_SPACE_ON_DISK:
        return QStringLiteral("No space on disk to save new messages, old messages will be deleted");
    case EVENT_REBOOT_ARTIX: return QStringLiteral("ARTIX reboot and reinit");
    case EVENT_REBOOT_AXSEM: return QStringLiteral("AXSEM reboot");
    case EVENT_CLEAR_LOG: return QStringLiteral("Log data deleted");
    case EVENT_UL_OK: return QStringLiteral("UL channel is OK");
    case EVENT_UL_FAULT: return QStringLiteral("UL channel is not working");
    case EVENT_DL_OK: return QStringLiteral("DL channel is OK");
    case EVENT_DL_FAULT: return QStringLiteral("DL channel is not working");
    case EVENT_NOISE_OK: return QStringLiteral("Receiver noise is normal");
    case EVENT_NOISE_FAULT: return QStringLiteral("Receiver noise is not normal");
    case EVENT_CONF_CHANGED: return QStringLiteral("Base station configuration changed");
    case EVENT_CLOSED: return QStringLiteral("Base station software restarted");
    case EVENT_SYS_REBOOT: return QStringLiteral("Operating system rebooted");
    case EVENT_TIME_SYNC_REMOTE: return QStringLiteral("System time is syncronized remotely");
    case EVENT_ADMIN_PASS_CHANGED: return QStringLiteral("Admin login or password changed");
    case EVENT_GUEST_PASS_CHANGED: return QStringLiteral("Guest login or password changed");
    case EVENT_REBOOT_LATTICE: return QStringLiteral("LATTICE reboot and reinit");
    case EVENT_AUTH_SUCCESS: return QStringLiteral("Authorized successful");
    case EVENT_AUTH_FAIL: return QStringLiteral("Authorized failed");
    case EVENT_DOOR_OPENED: return QStringLiteral("Door opened");
    case EVENT_DOOR_CLOSED: return QStringLiteral("Door closed");
    default: return QString();
    }
}

void errlog::append(EVENT_CODE code, const QDateTime& time, const QString& text, double* value)
{
    QMutexLocker lock(&_mutex);
    QSqlQuery last(_db);
    if (!last.exec(QStringLiteral(
            "SELECT time_saved FROM alarms WHERE alarm_code <> 100 ORDER BY time_saved DESC LIMIT  1"))) {
        qDebug() << "Error log append error!";
        return;
    }
    qint64 newestMs = 0;
    if (last.next()) {
        newestMs = last.value(0).toLongLong();
        qDebug().noquote() << "Last alarm time: "
                           << QDateTime::fromMSecsSinceEpoch(newestMs).toString(
                                  QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"));
    }
    const qint64 timeMs = time.toMSecsSinceEpoch();
    // Whole seconds, cut toward zero: only an event at least a second older than the newest
    // one counts as written while the clock was behind.
    const bool odd = (timeMs - newestMs) / 1000 < 0;

    QSqlQuery q(_db);
    q.prepare(QStringLiteral(
        "INSERT INTO alarms (alarm_code, time_saved, value, alarm_text, odd_time) VALUES (?,?,?,?,?) "));
    q.addBindValue(int(code));
    q.addBindValue(timeMs);
    q.addBindValue(value ? QVariant(*value) : QVariant(QVariant::Double));
    // A code without a standard text stores an empty text, not NULL (the column refuses NULL).
    const QString stored = text.isEmpty() ? toString(code) : text;
    q.addBindValue(stored.isNull() ? QStringLiteral("") : stored);
    q.addBindValue(odd ? 1 : 0);
    if (!q.exec())
        qDebug() << "Error log append error!" << q.lastError().text() << q.lastQuery();
}

QJsonArray errlog::select(const QDateTime& from, const QDateTime& to, int limit)
{
    QMutexLocker lock(&_mutex);
    QJsonArray result;
    QSqlQuery q(_db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT id, alarm_code, time_saved, value, alarm_text FROM alarms "
                             "WHERE time_saved >= ? AND time_saved <= ? AND alarm_code <> 100 "
                             "ORDER BY time_saved DESC  LIMIT  %1")
                  .arg(qMax(0, limit)));
    q.addBindValue(from.toMSecsSinceEpoch());
    q.addBindValue(to.toMSecsSinceEpoch());
    if (!q.exec()) {
        qDebug() << "Error log select error!";
        return result;
    }
    while (q.next()) {
        QJsonObject row;
        row.insert(QStringLiteral("id"), q.value(0).toLongLong());
        row.insert(QStringLiteral("alarm_code"), q.value(1).toInt());
        row.insert(QStringLiteral("time_saved"), q.value(2).toLongLong());
        if (!q.value(3).isNull())
            row.insert(QStringLiteral("value"), q.value(3).toDouble());
        row.insert(QStringLiteral("alarm_text"), q.value(4).toString());
        result.append(row);
    }
    qDebug().noquote() << QStringLiteral("Result: %1 alarms").arg(result.size());
    return result;
}

bool errlog::clear(const QDateTime& from, const QDateTime& to)
{
    bool ok = false;
    {
        QMutexLocker lock(&_mutex);
        qDebug() << "Delete errlog messages";
        QSqlQuery q(_db);
        ok = q.exec(QStringLiteral("DELETE FROM alarms WHERE time_saved >= %1 AND time_saved <= %2 "
                                   "AND alarm_code<>100 ")
                        .arg(from.toMSecsSinceEpoch())
                        .arg(to.toMSecsSinceEpoch()));
        if (!ok)
            qDebug() << "Error log delete error!" << q.lastError().text();
    }
    if (ok) {
        const QString fmt = QStringLiteral("yyyy-MM-dd hh:mm:ss");
        append(EVENT_CLEAR_LOG, _clock->now(),
               QStringLiteral("Log data deleted from %1 to %2").arg(from.toString(fmt), to.toString(fmt)));
    }
    return ok;
}

QDateTime errlog::get_last_running_time()
{
    QMutexLocker lock(&_mutex);
    QSqlQuery q(_db);
    if (!q.exec(QStringLiteral("SELECT time_saved FROM alarms WHERE id=0 AND alarm_code=100")))
        qDebug() << "Get last running time error!";
    if (q.isActive() && q.next()) {
        const QDateTime t = QDateTime::fromMSecsSinceEpoch(q.value(0).toLongLong());
        qDebug().noquote() << "Last running time:" << t.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"));
        return t;
    }
    qDebug() << "Last running time: never";
    return QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
}

bool errlog::run_update()
{
    QMutexLocker lock(&_mutex);
    const QDateTime now = _clock->now();
    const qint64 mono = _clock->monotonicMs();
    // How far the wall clock moved beyond the time that really passed.
    const qint64 offset = (now.toMSecsSinceEpoch() - _last_update_time.toMSecsSinceEpoch())
                          - (mono - _last_update_mono);
    qDebug().noquote() << QStringLiteral("Run update, offset=%1").arg(offset);
    if (offset > kJumpThresholdMs) {
        qDebug().noquote() << QStringLiteral("Time offset detected: %1ms").arg(offset);
        correct_odd_alarms_time(offset);
    }
    _last_update_time = now;
    _last_update_mono = mono;
    QSqlQuery q(_db);
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO alarms (id, alarm_code,time_saved,alarm_text) "
                             "VALUES(0,100,?,'')"));
    q.addBindValue(_last_update_time.toMSecsSinceEpoch());
    if (!q.exec()) {
        qDebug() << "Update running time error!";
        return false;
    }
    return true;
}

bool errlog::correct_odd_alarms_time(qint64 offset)
{
    QSqlQuery q(_db);
    q.prepare(QStringLiteral("UPDATE alarms SET time_saved=time_saved+?,odd_time=0 WHERE odd_time=1"));
    q.addBindValue(offset);
    if (!q.exec()) {
        qDebug() << "Update odd alarms error!";
        return false;
    }
    return true;
}
