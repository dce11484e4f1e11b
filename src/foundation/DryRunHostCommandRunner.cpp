#include "DryRunHostCommandRunner.h"

#include "LogText.h"

#include <QDebug>
#include <QTimer>

#include <chrono>
#include <thread>

HostCommandResult DryRunHostCommandRunner::logged(const QString& program, const QStringList& arguments, int timeoutMs)
{
    qInfo().noquote() << QStringLiteral("dry run, not executed: %1 (time limit %2 ms)")
                             .arg(LogText::cut(commandLine(program, arguments)))
                             .arg(timeoutMs);
    HostCommandResult result;
    result.started = true;
    result.exitCode = 0;
    return result;
}

HostCommandResult DryRunHostCommandRunner::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    HostCommandResult result = logged(program, arguments, timeoutMs);
    if (startDelayMs_ <= 0)
        return result;
    // A slow command holds its caller as a real one would, up to its time limit.
    const bool cut = timeoutMs >= 0 && timeoutMs < startDelayMs_;
    std::this_thread::sleep_for(std::chrono::milliseconds(cut ? timeoutMs : startDelayMs_));
    if (cut) {
        result.timedOut = true;
        result.exitCode = -1;
    }
    return result;
}

void DryRunHostCommandRunner::start(const QString& program, const QStringList& arguments, int timeoutMs, Done done)
{
    const HostCommandResult result = logged(program, arguments, timeoutMs);
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
