#include "ManualStationClock.h"

ManualStationClock::ManualStationClock(qint64 utcSeconds, qint64 monotonicMs)
    : utc_ms_(utcSeconds * 1000), mono_ms_(monotonicMs)
{
}

qint64 ManualStationClock::utcSeconds() const
{
    return utc_ms_.load() / 1000;
}

qint64 ManualStationClock::monotonicMs() const
{
    return mono_ms_.load();
}

void ManualStationClock::sleepMs(int ms)
{
    if (ms <= 0)
        return;
    slept_ms_ += ms;
    advanceMs(ms);
}

void ManualStationClock::setUtcSeconds(qint64 seconds)
{
    utc_ms_ = seconds * 1000;
}

void ManualStationClock::advanceMs(qint64 ms)
{
    mono_ms_ += ms;
    utc_ms_ += ms;
}

qint64 ManualStationClock::sleptMs() const
{
    return slept_ms_.load();
}
