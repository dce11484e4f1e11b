#pragma once

#include <QByteArray>
#include <QFile>
#include <QtGlobal>

// A kB figure of this process from /proc/self/status ("VmRSS:" resident now, "VmHWM:" the peak
// resident size); -1 when the file or the field cannot be read. Memory checks read the kernel's
// own figures rather than time anything, so they hold on a loaded machine.
inline qint64 processStatusKb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
