#pragma once

#include <QtGlobal>

#include <functional>
#include <mutex>

// Spaces spectrum frames: a frame is delivered only when at least one frame period has passed
// since the previous delivery. One delivery order is shared by every TCP client and by the
// "spectrum" command, whatever thread asks; it starts at the first request, so the very first
// frame also waits a full period. Nobody waits under the lock.
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

    // Takes the next delivery slot, `periodMs` after the previous one (or after start()), and
    // returns the microseconds until it comes; the caller delivers then without blocking its
    // thread (the spectrum server arms a timer). Concurrent callers get consecutive slots.
    qint64 reserve(qint64 periodMs);

    // Blocks the caller until its frame may go, at most one period: when the slots already taken
    // lie further out than that, the frame goes one period from now without taking a slot, so a
    // queue of TCP clients cannot hold up the thread that asks.
    void pace(qint64 periodMs);
    // The same wait, returned instead of slept, for a caller that waits on a timer.
    qint64 reserveWithinOnePeriod(qint64 periodMs) { return take(periodMs, true); }

private:
    qint64 take(qint64 periodMs, bool withinOnePeriod);

    Clock clock_;
    Sleeper sleeper_;
    std::mutex mut_;
    bool started_ = false;
    qint64 last_ = 0;
};
