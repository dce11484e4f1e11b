#include "DryRunHostCommandRunner.h"

#include <QDebug>
#include <QTimer>

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

void DryRunHostCommandRunner::start(const QString& program, const QStringList& arguments, int timeoutMs, Done done)
{
    const HostCommandResult result = run(program, arguments, timeoutMs);
    if (startDelayMs_ <= 0) {
        done(result);
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    QTimer::singleShot(startDelayMs_, [alive, done, result] {
        if (alive.lock())
            done(result);
    });
}

void DryRunHostCommandRunner::stopStarted()
{
    alive_ = std::make_shared<bool>(true);
}
