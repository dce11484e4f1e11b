#pragma once

#include "HostCommandRunner.h"

// For the simulation: logs each command (Qt info output) and runs nothing. Every command counts
// as started and ended with exit code 0 and no output.
class DryRunHostCommandRunner : public HostCommandRunner {
public:
    HostCommandResult run(const QString& program, const QStringList& arguments, int timeoutMs) override;
};
