#include "RealHostCommandRunner.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTimer>

#include <algorithm>

#include <signal.h>
#include <unistd.h>

namespace {

// A child that leads a new process group, so that the whole group can be killed.
class GroupProcess : public QProcess {
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

// Standard error is never read: the child writes it straight to the null device, so nothing of
// it is buffered here, however much it writes.
void prepare(QProcess& process)
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardErrorFile(QProcess::nullDevice());
}

void killGroup(QProcess& process)
{
    const qint64 pid = process.processId();
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    process.kill();
}

} // namespace

struct RealHostCommandRunner::Started {
    GroupProcess process;
    QTimer limit;
    HostCommandRunner::Done done;
    HostCommandResult result; // output and time-out so far
};

RealHostCommandRunner::~RealHostCommandRunner()
{
    stopStarted();
}

HostCommandResult RealHostCommandRunner::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    HostCommandResult result;
    GroupProcess process;
    prepare(process);
    process.start(program, arguments);
    if (!process.waitForStarted(-1))
        return result;
    result.started = true;
    // A child that reads its input gets end-of-file instead of waiting for the time limit.
    process.closeWriteChannel();
    // Output is taken as it comes, so that a child is never blocked on a full pipe and no more
    // than one pipe's worth waits in the process object.
    const QDeadlineTimer deadline(timeoutMs < 0 ? qint64(-1) : qint64(timeoutMs));
    for (;;) {
        result.keepOutput(process.readAllStandardOutput());
        if (process.state() == QProcess::NotRunning)
            break;
        if (deadline.hasExpired()) {
            result.timedOut = true;
            break;
        }
        // False at the end of output or of the time: then wait for the end within what is left.
        if (!process.waitForReadyRead(int(deadline.remainingTime())) && process.state() != QProcess::NotRunning)
            process.waitForFinished(int(deadline.remainingTime()));
    }
    if (result.timedOut) {
        killGroup(process);
        process.waitForFinished(-1);
        result.keepOutput(process.readAllStandardOutput());
    }
    if (!result.timedOut && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

void RealHostCommandRunner::start(const QString& program, const QStringList& arguments, int timeoutMs, Done done)
{
    auto* started = new Started;
    started->done = std::move(done);
    started_.push_back(started);
    QProcess& process = started->process;
    prepare(process);
    connect(&process, &QProcess::readyReadStandardOutput, this,
            [started] { started->result.keepOutput(started->process.readAllStandardOutput()); });
    connect(&process, &QProcess::errorOccurred, this, [this, started](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish(started);
    });
    connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, started](int, QProcess::ExitStatus) { finish(started); });
    if (timeoutMs >= 0) {
        started->limit.setSingleShot(true);
        connect(&started->limit, &QTimer::timeout, this, [started] {
            started->result.timedOut = true;
            killGroup(started->process);
        });
        started->limit.start(timeoutMs);
    }
    process.start(program, arguments);
    process.closeWriteChannel();
}

void RealHostCommandRunner::finish(Started* started)
{
    auto it = std::find(started_.begin(), started_.end(), started);
    if (it == started_.end())
        return;
    started_.erase(it);
    started->limit.stop();
    HostCommandResult result = std::move(started->result);
    QProcess& process = started->process;
    result.started = process.error() != QProcess::FailedToStart;
    result.keepOutput(process.readAllStandardOutput());
    if (result.started && !result.timedOut && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    const Done done = std::move(started->done);
    process.disconnect(this);
    started->limit.disconnect(this);
    // The process object may still be inside its own signal; delete it from the event loop.
    QTimer::singleShot(0, [started] { delete started; });
    if (done)
        done(result);
}

void RealHostCommandRunner::stopStarted()
{
    std::list<Started*> started;
    started.swap(started_);
    for (Started* s : started) {
        s->process.disconnect(this);
        s->limit.disconnect(this);
        s->limit.stop();
        killGroup(s->process);
        s->process.waitForFinished(5000);
        delete s;
    }
}
