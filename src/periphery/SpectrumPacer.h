#pragma once

#include <QtGlobal>

#include <functional>
#include <mutex>

// Spaces spectrum frames: a frame is delivered only when at least one frame period has passed
// since the previous delivery. One delivery time is shared by every TCP client and by the
// "spectrum" command, whatever thread asks; it starts at the first request, so the very first
// frame also waits a full period.
class SpectrumPacer {
public:
    using Clock = std::function<qint64()>;        // monotonic microseconds
    using Sleeper = std::function<void(qint64)>;  // blocks the caller for that many microseconds

    SpectrumPacer();                      // steady clock, thread sleep
    SpectrumPacer(Clock clock, Sleeper sleeper);

    // The pacer of the whole process.
    static SpectrumPacer& instance();

    // Marks the start of pacing on the first call; later calls do nothing.
    void start();

    // Waits until `periodMs` have passed since the previous delivery (or since start()), then
    // records the delivery. Concurrent callers get consecutive slots; nobody sleeps under a lock.
    void pace(qint64 periodMs);

private:
    Clock clock_;
    Sleeper sleeper_;
    std::mutex mut_;
    bool started_ = false;
    qint64 last_ = 0;
};
