#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
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

// Runs this test program again as a child that measures one row: the child finds row in the
// environment variable (its main() runs the measurement instead of the tests) and prints its
// figures. Under AddressSanitizer freed blocks stay resident in its quarantine, which is the
// checker's memory, not the program's: the child runs with the quarantine off. False when the
// child did not end by itself with exit code 0 (its standard error is then in *err).
inline bool runMeasuringChild(const char* variable, const QByteArray& row, QByteArray* out, QByteArray* err,
                              int timeoutMs = 180000)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(variable), QString::fromUtf8(row));
    QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    if (!asan.isEmpty())
        asan += QLatin1Char(':');
    env.insert(QStringLiteral("ASAN_OPTIONS"), asan + QStringLiteral("quarantine_size_mb=0:thread_local_quarantine_size_kb=0"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    const bool finished = child.waitForFinished(timeoutMs);
    if (!finished) {
        child.kill();
        child.waitForFinished(10000);
    }
    *out = child.readAllStandardOutput();
    *err = child.readAllStandardError();
    return finished && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
}
