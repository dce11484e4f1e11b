#include "StationClock.h"

#include "SystemStationClock.h"

StationClock::~StationClock() = default;

std::shared_ptr<StationClock> StationClock::system()
{
    static const std::shared_ptr<StationClock> clock = std::make_shared<SystemStationClock>();
    return clock;
}
