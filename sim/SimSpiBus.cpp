#include "SimSpiBus.h"

#include <algorithm>

void sim_spi_transfer(SimSpiDevice* device, const uint8_t* tx, uint8_t* rx, size_t len)
{
    if (!device) {
        for (size_t i = 0; i < len; ++i)
            rx[i] = 0xFF;
        return;
    }
    device->select();
    for (size_t i = 0; i < len; ++i)
        rx[i] = device->exchange(tx[i]);
    device->deselect();
}

void SimSpiBus::attach(int cs, SimSpiDevice* device)
{
    routes_.push_back({cs, false, 0, low, device});
}

void SimSpiBus::attach(int cs, uint8_t select_pin, PIN_State select_level, SimSpiDevice* device)
{
    routes_.push_back({cs, true, select_pin, select_level, device});
}

void SimSpiBus::detach(SimSpiDevice* device)
{
    routes_.erase(std::remove_if(routes_.begin(), routes_.end(),
                      [device](const Route& r) { return r.device == device; }),
        routes_.end());
}

void SimSpiBus::clear()
{
    routes_.clear();
}

SimSpiDevice* SimSpiBus::route(int cs, const std::function<PIN_State(uint8_t)>& level_of) const
{
    SimSpiDevice* plain = nullptr;
    for (const Route& r : routes_) {
        if (r.cs != cs)
            continue;
        if (!r.has_select) {
            if (!plain)
                plain = r.device;
            continue;
        }
        if (level_of(r.select_pin) == r.select_level)
            return r.device;
    }
    return plain;
}
