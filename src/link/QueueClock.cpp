#include "QueueClock.h"

#include "LocalTime.h"

#include <QElapsedTimer>

QueueClock::~QueueClock() = default;

QDateTime QueueClock::now() const
{
    return QDateTime::currentDateTime();
}

qint64 QueueClock::localMsecs() const
{
    return LocalTime::localMsecs();
}

qint64 QueueClock::utcMsecs() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

qint64 QueueClock::monotonicMs() const
{
    static QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer.elapsed();
}

QueueClock* QueueClock::system()
{
    static QueueClock clock;
    return &clock;
}
