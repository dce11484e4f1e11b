#include "RecordingHostCommandRunner.h"

HostCommandResult RecordingHostCommandRunner::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.append(Call{program, arguments, timeoutMs});
    const QString line = commandLine(program, arguments);
    if (byCommand_.contains(line))
        return byCommand_.value(line);
    if (byProgram_.contains(program))
        return byProgram_.value(program);
    return default_;
}

void RecordingHostCommandRunner::scriptCommand(const QString& commandLine, const HostCommandResult& result)
{
    std::lock_guard<std::mutex> lock(mutex_);
    byCommand_.insert(commandLine, result);
}

void RecordingHostCommandRunner::scriptProgram(const QString& program, const HostCommandResult& result)
{
    std::lock_guard<std::mutex> lock(mutex_);
    byProgram_.insert(program, result);
}

void RecordingHostCommandRunner::setDefaultResult(const HostCommandResult& result)
{
    std::lock_guard<std::mutex> lock(mutex_);
    default_ = result;
}

QList<RecordingHostCommandRunner::Call> RecordingHostCommandRunner::calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

QStringList RecordingHostCommandRunner::commandLines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    QStringList lines;
    for (const Call& call : calls_)
        lines << call.commandLine();
    return lines;
}

void RecordingHostCommandRunner::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

void RecordingHostCommandRunner::start(const QString& program, const QStringList& arguments, int timeoutMs, Done done)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (hold_) {
            calls_.append(Call{program, arguments, timeoutMs});
            held_.append(std::move(done));
            return;
        }
    }
    done(run(program, arguments, timeoutMs));
}

void RecordingHostCommandRunner::stopStarted()
{
    std::lock_guard<std::mutex> lock(mutex_);
    held_.clear();
}

void RecordingHostCommandRunner::setHoldStarts(bool hold)
{
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
}

int RecordingHostCommandRunner::heldStarts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
}

bool RecordingHostCommandRunner::completeStart(const HostCommandResult& result)
{
    Done done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (held_.isEmpty())
            return false;
        done = held_.takeFirst();
    }
    done(result);
    return true;
}
