#pragma once

#include <cstddef>
#include <cstdint>

// A device on the simulated SPI bus (receiver FPGA, modulator, AX5043, AT86 transceiver, flash,
// ...). The bus shifts one byte at a time, as the wires do: a device answers each byte it
// receives with the byte it shifts out at the same time, so its answer may depend only on the
// bytes already received in this frame. select() and deselect() bound one frame (chip select
// asserted and released).
//
// Calls come from whatever thread runs the transfer, one frame at a time per bus; a device
// that a test also scripts from another thread guards its own state.
class SimSpiDevice {
public:
    virtual ~SimSpiDevice() = default;
    virtual void select() {}
    virtual uint8_t exchange(uint8_t mosi) = 0;
    virtual void deselect() {}
};

// One whole frame: select, len bytes exchanged, deselect. tx and rx may be the same buffer.
// A null device answers 0xFF (an idle MISO line).
void sim_spi_transfer(SimSpiDevice* device, const uint8_t* tx, uint8_t* rx, size_t len);
