#include "ModemSimProcess.h"

#include "StationProcess.h"

#include <QDir>
#include <QFile>

ModemSimProcess::ModemSimProcess(const QString& dir) : dir_(dir)
{
    process_.setWorkingDirectory(dir_);
    process_.setProcessChannelMode(QProcess::MergedChannels);
}

ModemSimProcess::~ModemSimProcess()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished(10000);
        }
    }
}

QString ModemSimProcess::binary()
{
    return QStringLiteral(TOLVAR_BINARY_DIR "/sim/tolvar-modem-sim");
}

QString ModemSimProcess::onAirPath() const
{
    return QDir(dir_).filePath(QStringLiteral("modem_air.jsonl"));
}

bool ModemSimProcess::start(const QStringList& args)
{
    const QString portFile = QDir(dir_).filePath(QStringLiteral("modem_port.txt"));
    QFile::remove(portFile);
    process_.start(binary(), QStringList{QStringLiteral("--port-file"), portFile, QStringLiteral("--on-air"), onAirPath()}
                                 + args);
    if (!process_.waitForStarted(10000))
        return false;
    const bool written = waitUntil(
        [&] {
            QFile f(portFile);
            if (!f.open(QIODevice::ReadOnly))
                return false;
            port_ = QString::fromUtf8(f.readAll()).trimmed();
            return !port_.isEmpty();
        },
        20000);
    return written && process_.state() == QProcess::Running;
}

QString ModemSimProcess::iniGroup(bool crc) const
{
    return QStringLiteral("[Comunications]\nPortNum=%1\nBaudeRate=115200\nSLIP_CRC=%2\n")
        .arg(port_, crc ? QStringLiteral("true") : QStringLiteral("false"));
}

QByteArray ModemSimProcess::output()
{
    return process_.readAll();
}
