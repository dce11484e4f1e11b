#pragma once

#include "HostCommandRunner.h"

#include <QObject>
#include <QPointer>

#include <list>

class QProcess;

// Runs the program as a child process (QProcess). run() waits for it without an event loop;
// start() reports through the caller's event loop. Standard input is closed at once; standard
// error goes to the null device; standard output is read as it comes, the first
// HostCommandResult::kOutputLimit bytes kept and the rest counted and dropped. A started child
// leads its own process group, so that a time limit or shutdown kills what it started too.
class RealHostCommandRunner : public QObject, public HostCommandRunner {
    Q_OBJECT
public:
    RealHostCommandRunner() = default;
    ~RealHostCommandRunner() override;

    HostCommandResult run(const QString& program, const QStringList& arguments, int timeoutMs) override;
    void start(const QString& program, const QStringList& arguments, int timeoutMs, Done done) override;
    void stopStarted() override;

private:
    struct Started;
    void finish(Started* started);
    std::list<Started*> started_;
};
