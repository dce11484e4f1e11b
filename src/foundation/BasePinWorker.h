#pragma once

#include "station_types.h"

#include <cstdint>
#include <functional>

// GPIO and SPI access of the board, below the pin controller. The controller serialises the
// calls; a worker is used by one controller at a time.
class BasePinWorker {
public:
    using IsrCallback = std::function<void(int gpio, int level, uint32_t tick)>;

    BasePinWorker() = default;
    virtual ~BasePinWorker();
    BasePinWorker(const BasePinWorker&) = delete;
    BasePinWorker& operator=(const BasePinWorker&) = delete;

    virtual void setChipSelectPolarity(SPI_ChipSelect cs, bool active_high);
    virtual bool init() = 0;
    virtual void close() = 0;
    // Full-duplex transfer of len bytes on chip select cs. False when the worker is not
    // initialised or the transfer could not run; rx then holds zeros.
    virtual bool read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, uint32_t len) = 0;
    // Write-only transfer; false as above.
    virtual bool write_spi(char* data, SPI_ChipSelect cs, uint32_t len);
    virtual void set_pin_state(uint8_t pin, PIN_State state);
    virtual PIN_State get_pin_state(uint8_t pin);
    virtual void set_pin_isr(uint8_t pin, PIN_Edge edge, IsrCallback callback);

    bool is_inited() const { return is_inited_; }

protected:
    bool is_inited_ = false;
};
