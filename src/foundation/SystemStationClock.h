#pragma once

#include "StationClock.h"

#include <QElapsedTimer>

// The machine's clocks: QDateTime for UTC, a steady timer started with the object.
class SystemStationClock : public StationClock
{
public:
    SystemStationClock();

    qint64 utcSeconds() const override;
    qint64 monotonicMs() const override;
    void sleepMs(int ms) override;

private:
    QElapsedTimer timer_;
};
