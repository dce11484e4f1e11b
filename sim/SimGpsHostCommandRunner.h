#pragma once

#include "HostCommandRunner.h"

#include <memory>
#include <mutex>

// Host commands of the simulated station: the GPS client "gpxlogger" answers with one GPX track
// point at a configurable position (or with no fix); every other command goes to the runner
// given (the dry-run runner in tolvar-sim).
class SimGpsHostCommandRunner : public HostCommandRunner {
public:
    SimGpsHostCommandRunner(std::shared_ptr<HostCommandRunner> others, double latitude, double longitude);

    HostCommandResult run(const QString& program, const QStringList& arguments, int timeoutMs) override;

    void set_position(double latitude, double longitude);
    void set_fix(bool fix);  // without a fix the client prints the GPX header only

    // The text the client prints for a position.
    static QByteArray gpx(double latitude, double longitude, bool fix);

private:
    std::shared_ptr<HostCommandRunner> others_;
    std::mutex mutex_;
    double latitude_;
    double longitude_;
    bool fix_ = true;
};
