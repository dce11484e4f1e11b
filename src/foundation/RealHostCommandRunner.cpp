#include "RealHostCommandRunner.h"

#include <QProcess>

HostCommandResult RealHostCommandRunner::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    HostCommandResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(-1))
        return result;
    result.started = true;
    // A child that reads its input gets end-of-file instead of waiting for the time limit.
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs < 0 ? -1 : timeoutMs)) {
        result.timedOut = process.state() != QProcess::NotRunning;
        process.kill();
        process.waitForFinished(-1);
    }
    result.output = process.readAllStandardOutput();
    if (!result.timedOut && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}
