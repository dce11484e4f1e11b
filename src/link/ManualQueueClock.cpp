#include "ManualQueueClock.h"

ManualQueueClock::ManualQueueClock(const QDateTime& start) : wall_(start) {}

QDateTime ManualQueueClock::now() const
{
    return wall_;
}

qint64 ManualQueueClock::localMsecs() const
{
    return wall_.toMSecsSinceEpoch() + qint64(wall_.offsetFromUtc()) * 1000;
}

qint64 ManualQueueClock::utcMsecs() const
{
    return wall_.toMSecsSinceEpoch();
}

qint64 ManualQueueClock::monotonicMs() const
{
    return mono_;
}

void ManualQueueClock::advance(qint64 ms)
{
    wall_ = wall_.addMSecs(ms);
    mono_ += ms;
}

void ManualQueueClock::setWallClock(const QDateTime& now)
{
    wall_ = now;
}
