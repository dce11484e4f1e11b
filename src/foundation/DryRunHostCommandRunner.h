#pragma once

#include "HostCommandRunner.h"

// For the simulation: logs each command (Qt info output) and runs nothing. Every command counts
// as started and ended with exit code 0 and no output.
// Given a delay, every command stands for a slow one: start() ends after it without blocking,
// run() blocks for it, or for the command's time limit when that is shorter (then it timed out).
class DryRunHostCommandRunner : public HostCommandRunner {
public:
    explicit DryRunHostCommandRunner(int startDelayMs = 0) : startDelayMs_(startDelayMs) {}

    HostCommandResult run(const QString& program, const QStringList& arguments, int timeoutMs) override;
    void start(const QString& program, const QStringList& arguments, int timeoutMs, Done done) override;
    void stopStarted() override;

private:
    // Logs the command; the result of one that ended well.
    static HostCommandResult logged(const QString& program, const QStringList& arguments, int timeoutMs);

    int startDelayMs_;
    // Replaced by stopStarted(), so that pending starts see they were dropped.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
