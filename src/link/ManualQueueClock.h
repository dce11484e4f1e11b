#pragma once

#include "QueueClock.h"

// A clock that moves only when told to; both readings move together.
class ManualQueueClock : public QueueClock
{
public:
    explicit ManualQueueClock(const QDateTime& start = QDateTime::currentDateTime());

    QDateTime now() const override;
    qint64 localMsecs() const override;
    qint64 utcMsecs() const override;
    qint64 monotonicMs() const override;

    void advance(qint64 ms);                 // both clocks move forward
    void setWallClock(const QDateTime& now); // the wall clock jumps, the monotonic one stays

private:
    QDateTime wall_;
    qint64 mono_ = 0;
};
