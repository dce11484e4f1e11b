#pragma once

#include <QString>

// The absolute system paths the station reads or edits. Defaults are the real paths; tests and
// the simulation use under() to move the same layout into a folder of their own.
struct SystemPaths {
    QString ntpConf = QStringLiteral("/etc/ntp.conf");
    QString networkInterfaces = QStringLiteral("/etc/network/interfaces");
    QString modemScriptsDir = QStringLiteral("/usr/bin/modem_scripts/");
    QString socRanges = QStringLiteral("/proc/device-tree/soc/ranges");
    QString devMem = QStringLiteral("/dev/mem");
    QString devGpiomem = QStringLiteral("/dev/gpiomem");
    QString sysClassGpio = QStringLiteral("/sys/class/gpio");
    // Folder that every file named in a "file" command is kept inside, absolute names taken
    // relative to it; empty: names are used as given (the real station).
    QString fileRoot;

    // Every path with root put in front ("/etc/ntp.conf" -> root + "/etc/ntp.conf").
    static SystemPaths under(const QString& root);
};
