#include "SystemStationClock.h"

#include <QDateTime>
#include <QThread>

SystemStationClock::SystemStationClock()
{
    timer_.start();
}

qint64 SystemStationClock::utcSeconds() const
{
    return QDateTime::currentSecsSinceEpoch();
}

qint64 SystemStationClock::monotonicMs() const
{
    return timer_.elapsed();
}

void SystemStationClock::sleepMs(int ms)
{
    if (ms > 0)
        QThread::msleep(ulong(ms));
}
