#pragma once

#include <QtGlobal>

#include <memory>

// Time as the downlink side needs it: UTC seconds for request deadlines (wall clock), and a
// monotonic millisecond count for air time, busyness windows and intervals, so a wall clock
// set by the server neither stretches nor shrinks them. Sleeping goes through the clock too, so
// a test's manual clock can stand in for the hardware waits.
class StationClock
{
public:
    virtual ~StationClock();

    virtual qint64 utcSeconds() const = 0;
    virtual qint64 monotonicMs() const = 0;
    virtual void sleepMs(int ms) = 0;

    // The process-wide real clock.
    static std::shared_ptr<StationClock> system();
};
