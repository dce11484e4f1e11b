#pragma once

#include "SimSpiDevice.h"

#include "station_types.h"

#include <cstdint>
#include <functional>
#include <vector>

// Which device answers on a chip select. A device can be wired to a chip select alone, or to a
// chip select together with the level of a select GPIO (the QORM LTE and Quabo boards put two
// devices on CS0 and tell them apart by GPIO 16). A route whose select pin matches wins over a
// plain route on the same chip select.
class SimSpiBus {
public:
    void attach(int cs, SimSpiDevice* device);
    void attach(int cs, uint8_t select_pin, PIN_State select_level, SimSpiDevice* device);
    void detach(SimSpiDevice* device);
    void clear();

    // The device selected by chip select cs, given the current pin levels; null when none.
    SimSpiDevice* route(int cs, const std::function<PIN_State(uint8_t)>& level_of) const;

private:
    struct Route {
        int cs;
        bool has_select;
        uint8_t select_pin;
        PIN_State select_level;
        SimSpiDevice* device;
    };
    std::vector<Route> routes_;
};
