#pragma once

#include "HostCommandRunner.h"

// Runs the program as a child process (QProcess) and waits for it without an event loop.
// Standard input is closed at once; standard error is discarded.
class RealHostCommandRunner : public HostCommandRunner {
public:
    HostCommandResult run(const QString& program, const QStringList& arguments, int timeoutMs) override;
};
