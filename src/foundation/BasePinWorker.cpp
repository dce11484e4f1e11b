#include "BasePinWorker.h"

BasePinWorker::~BasePinWorker() = default;

void BasePinWorker::setChipSelectPolarity(SPI_ChipSelect, bool) {}

bool BasePinWorker::write_spi(char*, SPI_ChipSelect, uint32_t)
{
    return false;
}

void BasePinWorker::set_pin_state(uint8_t, PIN_State) {}

PIN_State BasePinWorker::get_pin_state(uint8_t)
{
    return fault;
}

void BasePinWorker::set_pin_isr(uint8_t, PIN_Edge, IsrCallback) {}
