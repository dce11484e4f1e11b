#include "DryRunHostCommandRunner.h"

#include <QDebug>

HostCommandResult DryRunHostCommandRunner::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    qInfo().noquote() << QStringLiteral("dry run, not executed: %1 (time limit %2 ms)")
                             .arg(commandLine(program, arguments))
                             .arg(timeoutMs);
    HostCommandResult result;
    result.started = true;
    result.exitCode = 0;
    return result;
}
