#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

class HostCommandRunner;
class QTimer;
class SettingsController;
class errlog;
class logger;
class meslog;
class ntp_sysconf;
class rabbit_man;
struct SystemPaths;

// The view of the station that command handlers work on. The station core implements it; every
// call comes on the main thread.
class ICommandContext {
public:
    virtual ~ICommandContext() = default;

    virtual SettingsController& get_settingsController() = 0;
    // The main link always exists; the secondary and third are null when not configured.
    virtual rabbit_man* get_rab_prim() = 0;
    virtual rabbit_man* get_rab_sec() = 0;
    virtual rabbit_man* get_rab_third() = 0;
    // The last heartbeat built (empty before the first one).
    virtual QJsonObject& get_last_hb() = 0;
    virtual meslog& get_meslog() = 0;
    // Never started by the station itself: the "hb" command makes it the broker watchdog.
    virtual QTimer& get_receive_timer() = 0;
    // Latitude, longitude of the last GPS fix.
    virtual QPair<double, double>& get_last_coords() = 0;

    virtual bool is_time_sync_from_server_enabled() const = 0;
    virtual void set_time_sync_from_server(bool on) = 0;
    virtual void set_ntp_service_on_off(bool on) = 0;

    // Milliseconds since start-up, and the same as "<d>d<h>h<m>m<s>s".
    virtual qint64 get_usec_uptime() const = 0;
    virtual QString get_uptime_str() const = 0;

    // The station's text log (lines and event-log records) and its alarm log.
    virtual logger& station_log() = 0;
    virtual errlog& alarm_log() = 0;
    // Every host program runs through this runner, on the paths given here.
    virtual HostCommandRunner& runner() = 0;
    // Starts a host program whose outcome the reply does not report (a clock set, a service
    // restart) without waiting for it: heartbeats and links go on meanwhile. The reply of the
    // command being started goes out once the program has ended; ended, when set, runs first.
    virtual void start_host(const QString& program, const QStringList& arguments, int timeoutMs,
                            std::function<void()> ended) = 0;
    // Whether the command being started may set the host clock: only one that came on a link with
    // the command right (a bare "hb" comes on any link), and no "hb" while an earlier one's clock
    // set still runs.
    virtual bool may_set_clock() const = 0;
    virtual const SystemPaths& system_paths() const = 0;
    // Wall clock.
    virtual QDateTime now() const = 0;
    // Runs action on the main thread after ms milliseconds, once; the reply of the command that
    // asks for it has gone out by then.
    virtual void run_later(int ms, std::function<void()> action) = 0;

    // The editor of the time service's configuration file.
    virtual ntp_sysconf& ntp_editor() = 0;
    // The spectrum frame for a request text (empty when the request gives none) and how long to
    // hold it back for the pacing of all spectrum readers; false when the station has no
    // spectrum server.
    virtual bool spectrum_frame(const QString& request, QByteArray* frame, int* waitMs) = 0;
    // Set while an eth0 restart is scheduled, so that quick changes share one restart.
    virtual bool& eth0_restart_pending() = 0;

    // System actions; handlers schedule them after their reply has gone out.
    virtual void exit() = 0;
    virtual void reboot() = 0;
    virtual void restarteth0() = 0;
};
