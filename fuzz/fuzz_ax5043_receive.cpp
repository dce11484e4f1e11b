// Arbitrary FIFO contents through the radio library's receive handler, on host hooks over the
// simulated chip: chunk headers, lengths and payloads as a faulty or hostile chip could give.
#include "SimAx5043Hooks.h"
#include "ax5043.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int32_t phy = 22;
    static Vexa_ax5043_pins_s pins;
    static uint8_t psk_band = 1;
    static uint8_t dbpsk_band = 0;

    static SimAx5043Hooks hooks;
    // The first byte picks the configuration: PSK (MAC bytes in front) or DBPSK.
    phy = size && (data[0] & 1) ? 24 : 22;
    ax5043_set_pointers(&phy, &pins, &psk_band, &dbpsk_band);
    ax5043_set_constants();
    static const bool ready = radio_init() == 0;
    if (!ready || radio_set_mode(RADIO_MODE_OFF) != 0 || radio_set_mode(RADIO_MODE_ASYNC_RECEIVE) != 0)
        return 0;
    std::vector<uint8_t> fifo(data + (size ? 1 : 0), data + size);
    hooks.chip().script_rx_fifo(fifo);
    hooks.run_until([] { return false; }, 5);
    radio_isr();
    swtimer_runcallbacks();
    return 0;
}
