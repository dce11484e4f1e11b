#pragma once

#include "HostCommandRunner.h"

#include <QHash>
#include <QList>

#include <mutex>

// For tests: runs nothing, records every call and answers with scripted results.
// A result scripted for the whole command line wins over one scripted for the program;
// anything else gets the default result (started, exit code 0, no output).
class RecordingHostCommandRunner : public HostCommandRunner {
public:
    struct Call {
        QString program;
        QStringList arguments;
        int timeoutMs = -1;
        QString commandLine() const { return HostCommandRunner::commandLine(program, arguments); }
    };

    HostCommandResult run(const QString& program, const QStringList& arguments, int timeoutMs) override;
    // Records the call like run(); while holdStarts is on, done waits for completeStart().
    void start(const QString& program, const QStringList& arguments, int timeoutMs, Done done) override;
    void stopStarted() override;

    void setHoldStarts(bool hold);
    int heldStarts() const;
    // Ends the oldest held start with result; false when none is held.
    bool completeStart(const HostCommandResult& result);

    void scriptCommand(const QString& commandLine, const HostCommandResult& result);
    void scriptProgram(const QString& program, const HostCommandResult& result);
    void setDefaultResult(const HostCommandResult& result);

    QList<Call> calls() const;
    QStringList commandLines() const;
    void clear();

private:
    mutable std::mutex mutex_;
    QList<Call> calls_;
    QHash<QString, HostCommandResult> byCommand_;
    QHash<QString, HostCommandResult> byProgram_;
    HostCommandResult default_{true, 0, false, QByteArray()};
    bool hold_ = false;
    QList<Done> held_;
};
