#pragma once

#include "Base_Pin_Controller.h"
#include "ax5043.h"
#include "station_types.h"
#include "vexa_status.h"

#include <atomic>
#include <cstdint>
#include <memory>

enum rf_direction_t { RX = 0, TX = 1, IDLE = 2 };
enum rf_antenna_t { PCB = 0, SMA = 1, FILT = 2 };
enum rf_padding_t { NO_PADDING = 0, PADDING_4TO1 = 1 };
enum rf_blocking_t { NONBLOCKING = 0, BLOCKING = 1 };
enum vexa_rf_state_s { STATE_OFF = 0, STATE_RX = 1, STATE_TX = 2, STATE_CHANGED = 3 };

// Driver of the AX5043 transceiver on chip select CS1 (power switch GPIO 5, low = on; interrupt
// line GPIO 6). For each downlink it configures the chip for one phy, band, power and carrier,
// hands the frame to the radio library and waits until it is on the air.
//
// It supplies the library's host hooks through the station's pin controller, and one process-
// wide poller thread that watches the interrupt line every 500 us and runs the library's
// interrupt handler. The library's critical sections and the handler exclude each other through
// one recursive mutex. The poller starts with the first driver object and is stopped and joined
// when the last one goes.
//
// One driver in use at a time: the library's state is process-wide.
class rf_ax5043 {
public:
    // Transmit power codes of the power amplifier, by dBm offset.
    static const uint16_t power_table_864[48];
    static const uint8_t fastdladdress[4];

    struct BandChoice {
        uint8_t psk_band;
        uint8_t dbpsk_band;
        rf_antenna_t antenna;
    };

    explicit rf_ax5043(std::shared_ptr<Base_Pin_Controller> pins);
    ~rf_ax5043();
    rf_ax5043(const rf_ax5043&) = delete;
    rf_ax5043& operator=(const rf_ax5043&) = delete;

    vexa_status_t Init(vexa_phy_channel_t phy, int8_t power, uint32_t freq, bool pwramp);
    void SetFreq(uint32_t freq);
    void SetModeAndPower(int8_t power, rf_direction_t direction, rf_antenna_t antenna, bool pwramp);
    void SetLocalAddress(const uint8_t* addr);
    vexa_status_t Transmit(const uint8_t* frame, uint8_t len, rf_padding_t padding, rf_blocking_t blocking);
    static const char* err_to_str(vexa_status_t status);

    // Frame senders: true when the frame went out.
    bool sendDL_PSK(uint32_t id, uint8_t header, const uint8_t* payload, uint8_t len, uint32_t freq, int8_t power,
        vexa_phy_channel_t phy);
    bool sendDL_DBPSK_ProtD_autocorrection(uint32_t id, uint32_t freq, int8_t power, vexa_phy_channel_t phy);
    bool sendDL_DBPSK_ProtD_ver4(uint32_t id, uint8_t header, const uint8_t* payload, uint8_t payload9, uint32_t freq,
        int8_t power, vexa_phy_channel_t phy);
    bool sendDL_DBPSK_ProtD_ver5(uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
        const uint8_t* payload, uint32_t crypto_mic, uint32_t freq, int8_t power, vexa_phy_channel_t phy);
    bool sendDL_DBPSK_ProtE_ver5(uint32_t modem_id, uint32_t preambula, uint32_t crypto_iter, uint32_t crypto_flags,
        const uint8_t* payload, uint32_t crypto_mic, uint32_t freq, int8_t power, vexa_phy_channel_t phy);
    // A 36-byte DBPSK frame with 4-to-1 padding: the common steps of the DBPSK senders.
    bool sendDL_DBPSK_frame(const uint8_t* frame36, uint32_t freq, int8_t power, vexa_phy_channel_t phy);

    static BandChoice band_rules(uint32_t freq);

    bool rf_busy() const { return rf_busy_; }
    bool transmitting() const { return transmit_; }
    const Vexa_ax5043_pins_s& pins() const { return vexa_ax5043_pins; }
    uint8_t psk_band() const { return PSK_BAND; }
    uint8_t dbpsk_band() const { return DBPSK_BAND; }
    vexa_rf_state_s state() const { return rf_state; }

    // Where the driver and library take their milliseconds and 1 ms sleeps: the system clock by
    // default; a test may give its own (process-wide).
    static void set_clock(uint32_t (*get_time)(), void (*sleep_ms)(uint32_t));
    static void reset_clock();
    // Number of poller threads running (0 or 1).
    static int pollers_running();

private:
    // Points the hooks at this driver's pin controller and flags.
    void serve();
    vexa_status_t transmit_result(uint8_t library_result);
    bool finish_send(uint8_t len, const uint8_t* frame, rf_padding_t padding);

    std::shared_ptr<Base_Pin_Controller> _bcm283x_worker;
    radio_address rf_destination{{0, 0, 0, 0}};
    vexa_rf_state_s rf_state = STATE_OFF;
    int32_t vexa_phy_channel = 0; // a vexa_phy_channel_t, read by the library's loaders
    Vexa_ax5043_pins_s vexa_ax5043_pins;
    uint8_t PSK_BAND = 0;
    uint8_t DBPSK_BAND = 0;
    std::atomic<bool> rf_busy_{false};
    std::atomic<bool> transmit_{false};
    uint32_t tempreg = 0;
};
