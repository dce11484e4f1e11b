#pragma once

#include "StationClock.h"

#include <atomic>

// A clock that moves only when told to: tests set the UTC second and advance the monotonic
// count. A sleep advances the monotonic count by its length and returns at once. Safe to read
// and advance from any thread.
class ManualStationClock : public StationClock
{
public:
    explicit ManualStationClock(qint64 utcSeconds = 1700000000, qint64 monotonicMs = 0);

    qint64 utcSeconds() const override;
    qint64 monotonicMs() const override;
    void sleepMs(int ms) override;

    void setUtcSeconds(qint64 seconds);
    // Moves the monotonic count and the UTC time (by whole seconds passed) together.
    void advanceMs(qint64 ms);
    // Sum of all sleeps so far.
    qint64 sleptMs() const;

private:
    std::atomic<qint64> utc_ms_;
    std::atomic<qint64> mono_ms_;
    std::atomic<qint64> slept_ms_{0};
};
