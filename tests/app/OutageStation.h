#pragma once

// A station that hears uplinks while its broker is away, for the tests that stop it and start
// it again: its INI, its scenario and the wait for every uplink to go down the uplink road.
#include "StationProcess.h"

#include <QList>
#include <QString>

namespace OutageStation {

const int kStationId = 4321;
const QList<int> kIds{0x00B001, 0x00B002, 0x00B003, 0x00B004, 0x00B005};

inline QString ini(const QString& url)
{
    return QStringLiteral("[BASE_STATION]\n"
                          "BS_TYPE=QORM_TYPE\n"
                          "BS_ID=%1\n"
                          "QORM=true\n"
                          "LOG_FILE_PATH=station.log\n"
                          "USE_BINARY=false\n"
                          "SAVE_TO_DISK=true\n"
                          "R_LOGIN=%2\n"
                          "TIME_SYNC=false\n")
        .arg(kStationId)
        .arg(url);
}

inline QString scenario()
{
    QString s = QStringLiteral("set firmware 720\nset fft_word 0x0021019A\nset bitrate_mask 0x00FF0F03\n");
    int at = 1000;
    for (int id : kIds) {
        s += QStringLiteral("at %1 message low type=D id=0x%2 payload=0102030405060708 rate=50 freq=200 rssi=0x200000\n")
                 .arg(at)
                 .arg(id, 6, 16, QLatin1Char('0'));
        at += 700;
    }
    return s;
}

// Every message of kIds went down the uplink road (its text-log line) within 60 s.
inline bool allUplinksRead(const StationProcess& station)
{
    return waitUntil(
        [&] {
            const QByteArray log = station.log();
            for (int id : kIds) {
                if (!log.contains(QStringLiteral("ID=%1").arg(id, 0, 16).toUpper().toLatin1()))
                    return false;
            }
            return true;
        },
        60000);
}

// Runs the station in `dir` while its broker at `url` is away, until every uplink of kIds went
// down the uplink road, then stops it with SIGTERM. Empty when it heard them all and exited
// normally with code 0; otherwise what went wrong, with the end of its output.
inline QString hearUplinksThenStop(const QString& dir, const QString& url)
{
    StationProcess station(dir);
    station.writeIni(ini(url));
    station.writeScenario(scenario());
    if (!station.start())
        return QStringLiteral("tolvar-sim did not start");
    if (!allUplinksRead(station))
        return QStringLiteral("not every uplink was read: ") + QString::fromUtf8(station.output().right(4000));
    if (!station.terminate())
        return QStringLiteral("tolvar-sim did not stop on SIGTERM");
    if (station.exitStatus() != QProcess::NormalExit || station.exitCode() != 0)
        return QStringLiteral("tolvar-sim exited with code %1").arg(station.exitCode());
    return QString();
}

} // namespace OutageStation
