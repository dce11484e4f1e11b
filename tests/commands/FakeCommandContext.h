#pragma once

#include "ICommandContext.h"
#include "ManualQueueClock.h"
#include "RecordingHostCommandRunner.h"
#include "SettingsController.h"
#include "SystemPaths.h"
#include "logger.h"
#include "meslog.h"
#include "ntp_sysconf.h"

#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

class rabbit_man;

// The station as command handlers see it, in a temporary folder: a real settings controller on
// an INI file there, the alarm log on a database there, an in-memory message log, a recording
// host command runner, system paths under "root/", and a clock and a scheduler the test drives.
// The folder is the working directory while the context lives (the event log "bsevent.log" is
// written there).
class FakeCommandContext : public ICommandContext {
public:
    // ini: the text of station.ini.
    explicit FakeCommandContext(const QString& ini = QString());
    ~FakeCommandContext() override;

    SettingsController& get_settingsController() override { return settings; }
    rabbit_man* get_rab_prim() override { return links[0]; }
    rabbit_man* get_rab_sec() override { return links[1]; }
    rabbit_man* get_rab_third() override { return links[2]; }
    QJsonObject& get_last_hb() override { return lastHb; }
    meslog& get_meslog() override { return messages; }
    QTimer& get_receive_timer() override { return receiveTimer; }
    QPair<double, double>& get_last_coords() override { return coords; }
    bool is_time_sync_from_server_enabled() const override { return timeSync; }
    void set_time_sync_from_server(bool on) override { timeSync = on; }
    qint64 get_usec_uptime() const override { return 0; }
    QString get_uptime_str() const override { return QStringLiteral("0d0h0m0s"); }
    logger& station_log() override { return log; }
    errlog& alarm_log() override;
    HostCommandRunner& runner() override { return recorder; }
    // Through the recorder's start(): at once, or held like any other start.
    void start_host(const QString& program, const QStringList& arguments, int timeoutMs, std::function<void()> ended) override;
    bool may_set_clock() const override { return maySetClock; }
    const SystemPaths& system_paths() const override { return paths; }
    QDateTime now() const override { return clock; }
    void run_later(int ms, std::function<void()> action) override;
    bool spectrum_frame(const QString& request, QByteArray* frame, int* waitMs) override
    {
        spectrumRequests.append(request);
        *frame = spectrumFrame;
        *waitMs = spectrumWaitMs;
        return hasSpectrumServer;
    }
    bool& eth0_restart_pending() override { return eth0Pending; }
    ntp_sysconf& ntp_editor() override { return *ntp; }
    void exit() override { ++exits; }
    void reboot() override { ++reboots; }
    void restarteth0() override { ++eth0Restarts; }
    void set_ntp_service_on_off(bool on) override;

    // Fires every action scheduled so far, in order.
    void fireLater();
    // Replaces a link with one that points at no broker (its files in the folder).
    void addLink(int index, bool has_ul, bool has_dl, bool has_cmd, bool save_to_disk);

    QString path(const QString& name) const { return dir.filePath(name); }
    // Texts of the alarm-log events with this code, newest first.
    static QStringList alarmTexts(int code);
    static QByteArray fileText(const QString& path);
    QString iniPath() const { return path(QStringLiteral("station.ini")); }
    QByteArray iniBytes() const;
    QByteArray logText() const;
    void writeIni(const QString& text);

    QTemporaryDir dir;
    QString previousDir;
    SettingsController settings;
    logger log;
    ManualQueueClock queueClock; // stamps of the message log
    meslog messages{1440, &queueClock};
    RecordingHostCommandRunner recorder;
    SystemPaths paths;
    std::unique_ptr<ntp_sysconf> ntp; // on paths.ntpConf
    QDateTime clock;
    QJsonObject lastHb;
    QTimer receiveTimer;
    QPair<double, double> coords{0.0, 0.0};
    bool timeSync = false;
    bool maySetClock = true;
    rabbit_man* links[3] = {nullptr, nullptr, nullptr};
    QList<int> laterDelays;
    QList<std::function<void()>> laterActions;
    bool hasSpectrumServer = false;
    QByteArray spectrumFrame;
    int spectrumWaitMs = 0;
    QStringList spectrumRequests;
    int exits = 0;
    int reboots = 0;
    int eth0Restarts = 0;
    bool eth0Pending = false;
    QList<bool> ntpSwitches;
    // When set, switching the NTP service throws this text (a failure deep inside a command).
    QString ntpThrows;
};
