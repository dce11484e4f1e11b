#pragma once

#include "Base_Pin_Controller.h"
#include "SettingsController.h"
#include "StationClock.h"
#include "interfaces/IVexaTransmitter.h"

#include <functional>
#include <memory>

// The radio back-ends a downlink scheduler can own, in the order it asks them.
enum class DownlinkSlot {
    SerialModem,       // AX8052F143 radio modem on the serial port
    SpiTransceiver,    // AX5043 transceiver on CS1
    DigModulator,      // single FPGA modulator on CS0
    MultiDigModulator, // multi-channel FPGA modulator on CS0
};

// Everything a back-end is built with. The settings controller outlives every back-end.
struct DownlinkBackendContext {
    SettingsController& settings;
    std::shared_ptr<Base_Pin_Controller> pins;
    std::shared_ptr<StationClock> clock;
};

// Makes the back-end of one slot, in the sender thread, with no parent. Null: this build has no
// back-end for the slot; the scheduler logs that once and treats the slot as inactive.
using DownlinkBackendFactory =
    std::function<std::unique_ptr<IVexaTransmitter>(DownlinkSlot slot, const DownlinkBackendContext& context)>;

// The station's own back-ends; the factory a scheduler uses when it is given none.
std::unique_ptr<IVexaTransmitter> makeDefaultDownlinkBackend(DownlinkSlot slot, const DownlinkBackendContext& context);

// Name of a slot for log lines ("serial radio modem", ...).
const char* downlinkSlotName(DownlinkSlot slot);
