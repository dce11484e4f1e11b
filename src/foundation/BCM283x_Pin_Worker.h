#pragma once

#include "BasePinWorker.h"
#include "SystemPaths.h"

#include <mutex>
#include <optional>

// The board's own worker: GPIO and SPI0 through the BCM283x peripheral registers, GPIO
// interrupts through sysfs. The register library is process-wide: one such worker per process.
class BCM283x_Pin_Worker : public BasePinWorker {
public:
    // Uses the device files the register library is set up with (the real ones by default).
    BCM283x_Pin_Worker();
    // Points the register library at these device-tree, device and sysfs paths before mapping.
    explicit BCM283x_Pin_Worker(const SystemPaths& paths);
    ~BCM283x_Pin_Worker() override;

    void setChipSelectPolarity(SPI_ChipSelect cs, bool active_high) override;
    bool init() override;
    void close() override;
    bool read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, uint32_t len) override;
    bool write_spi(char* data, SPI_ChipSelect cs, uint32_t len) override;
    void set_pin_state(uint8_t pin, PIN_State state) override;
    PIN_State get_pin_state(uint8_t pin) override;
    void set_pin_isr(uint8_t pin, PIN_Edge edge, IsrCallback callback) override;

private:
    bool initBCM283x();
    void close_locked();

    std::mutex mut_BCM283x_;
    bool mapped_ = false; // this worker holds the peripheral mapping
    std::optional<SystemPaths> paths_;
};
