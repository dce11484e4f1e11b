#include "DownlinkBackendFactory.h"

#include "AX5043Transmitter.h"
#include "AX8052f143Transmitter.h"
#include "DigTransmitter.h"
#include "MultiDigTransmitter.h"

std::unique_ptr<IVexaTransmitter> makeDefaultDownlinkBackend(DownlinkSlot slot, const DownlinkBackendContext& context)
{
    switch (slot) {
    case DownlinkSlot::DigModulator:
        return std::make_unique<DigTransmitter>(context.settings, context.pins, nullptr, context.clock);
    case DownlinkSlot::SpiTransceiver:
        return std::make_unique<AX5043Transmitter>(context.settings, context.pins);
    case DownlinkSlot::SerialModem:
        return std::make_unique<AX8052f143Transmitter>(context.settings, context.pins, nullptr, context.clock);
    case DownlinkSlot::MultiDigModulator:
        return std::make_unique<MultiDigTransmitter>(context.settings, context.pins, nullptr, context.clock);
    }
    return nullptr;
}

const char* downlinkSlotName(DownlinkSlot slot)
{
    switch (slot) {
    case DownlinkSlot::SerialModem:
        return "serial radio modem";
    case DownlinkSlot::SpiTransceiver:
        return "SPI transceiver";
    case DownlinkSlot::DigModulator:
        return "single FPGA modulator";
    case DownlinkSlot::MultiDigModulator:
        return "multi-channel FPGA modulator";
    }
    return "?";
}
