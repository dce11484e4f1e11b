#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// What became of one host command.
struct HostCommandResult {
    bool started = false;     // the program could be started
    int exitCode = -1;        // exit code of a normal exit; -1 when it crashed, was killed or never ran
    bool timedOut = false;    // still running at the time limit, and then killed
    QByteArray output;        // what it wrote on standard output, at most kOutputLimit bytes
    qint64 outputLeftOut = 0; // bytes of standard output beyond kOutputLimit, read and dropped

    // A command may write without end (a remote shell's "cat /dev/zero"): only this much of its
    // standard output is kept.
    static constexpr int kOutputLimit = 1024 * 1024;

    // Adds output as it is read: kept up to the limit, counted beyond it.
    void keepOutput(const QByteArray& chunk)
    {
        const int room = qMax(0, kOutputLimit - output.size());
        output.append(chunk.constData(), qMin(room, chunk.size()));
        outputLeftOut += qMax(0, chunk.size() - room);
    }
};

// The one way the station runs host programs (sudo, killall, reboot, ifdown/ifup, date, service,
// vcgencmd, /bin/sh ...), so that tests can record the calls and a simulation can leave the
// machine alone. run() blocks the calling thread until the program ends or the time limit passes.
class HostCommandRunner {
public:
    virtual ~HostCommandRunner() = default;

    // timeoutMs < 0: no time limit.
    virtual HostCommandResult run(const QString& program, const QStringList& arguments, int timeoutMs) = 0;

    using Done = std::function<void(const HostCommandResult&)>;
    // Starts the program without blocking; done runs once, on the caller's thread, when it ends or
    // its time limit passes. This default runs it at once and blocks.
    virtual void start(const QString& program, const QStringList& arguments, int timeoutMs, Done done)
    {
        done(run(program, arguments, timeoutMs));
    }
    // Kills whatever start() left running (each with its whole process group) and drops their
    // done calls: for shutdown.
    virtual void stopStarted() {}

    // The runner of code that is not handed one: the real runner unless replaced.
    static std::shared_ptr<HostCommandRunner> defaultRunner();
    static void setDefaultRunner(std::shared_ptr<HostCommandRunner> runner);

    // "program arg1 arg2", for log lines.
    static QString commandLine(const QString& program, const QStringList& arguments);
};
