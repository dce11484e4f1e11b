#pragma once

// Radio configurations of the AX5043: register tables per phy code, band- and pin-dependent
// registers, synthesizer loop settings for transmit and receive, the per-phy constants that
// steer the radio library, and conversions between hertz and the frequency register.

#include <cstddef>
#include <cstdint>

// Pin-function and power register values, chosen by the driver for each downlink.
struct Vexa_ax5043_pins_s {
    uint8_t sysclk = 0;
    uint8_t dclk = 0;
    uint8_t data = 0;
    uint8_t antsel = 0;
    uint8_t cfga = 0;
    uint8_t pwramp = 0;
    uint16_t txpwr = 0;
};

enum Vexa_radio_bands_t : uint8_t {
    PSK_446_DBPSK_868 = 0,
    PSK_864_DBPSK_868 = 1,
    PSK_446_DBPSK_458 = 2,
    PSK_902_DBPSK_916 = 3,
};

// One register table: addresses with their values, written in order.
struct ax5043_table {
    const uint16_t* addr;
    const uint8_t* vals;
    size_t count;
};

enum ax5043_table_id { TABLE_PSK_200, TABLE_PSK_500, TABLE_PSK_5000, TABLE_PSK_FASTDL,
    TABLE_DBPSK_50, TABLE_DBPSK_400, TABLE_DBPSK_3200, TABLE_DBPSK_25600, TABLE_COUNT };
ax5043_table ax5043_get_table(ax5043_table_id id);

// The configuration read by the loaders: phy code, pin record and the two band codes.
void ax5043_set_pointers(const int32_t* phy, const Vexa_ax5043_pins_s* pins, const uint8_t* psk_band,
    const uint8_t* dbpsk_band);
// Code whose configuration a phy uses: the protocol E phys share the protocol D configuration
// of their bit rate; other codes are their own.
int32_t ax5043_config_code(int32_t phy);

void ax5043_set_registers();
void ax5043_set_registers_tx();
void ax5043_set_registers_rx();
void ax5043_set_registers_rxcont();
void ax5043_set_constants();

uint32_t radio_conv_freq_fromhz(int32_t hz);
int32_t radio_conv_freq_tohz(int32_t reg);
int32_t radio_conv_freq_fromreg(int32_t value);
uint32_t radio_conv_timeinterval_totimer0(uint32_t ticks);
uint16_t radio_framing_append_crc(uint8_t* buf, uint16_t len);
uint16_t radio_framing_check_crc(const uint8_t* buf, uint16_t len);

// Constants of the current configuration (set by ax5043_set_constants; the driver overwrites
// the channel frequency).
extern uint8_t radio_phy_nrchannels;
extern uint32_t radio_phy_chanfreq[1];
extern uint8_t radio_phy_chanpllrnginit[1];
extern uint8_t radio_phy_chanvcoiinit[1];
extern uint8_t radio_phy_chanpllrng[1];
extern uint8_t radio_phy_chanvcoi[1];
extern uint8_t radio_phy_vcocalib;
extern int32_t radio_phy_maxfreqoffset;
extern int8_t radio_phy_rssioffset;
extern int8_t radio_phy_rssireference;
extern uint8_t radio_phy_channelbusy;
extern uint16_t radio_phy_cs_period;
extern uint8_t radio_phy_cs_enabled;
extern uint8_t radio_phy_lbt_retries;
extern uint8_t radio_phy_lbt_forcetx;
extern uint8_t radio_phy_pn9;
extern uint8_t radio_phy_innerfreqloop;
extern uint16_t radio_phy_preamble_wor_longlen;
extern uint16_t radio_phy_preamble_wor_len;
extern uint16_t radio_phy_preamble_longlen;
extern uint16_t radio_phy_preamble_len;
extern uint8_t radio_phy_preamble_byte;
extern uint8_t radio_phy_preamble_flags;
extern uint8_t radio_phy_preamble_appendbits;
extern uint8_t radio_phy_preamble_appendpattern;
extern uint8_t radio_framing_maclen;
extern uint8_t radio_framing_addrlen;
extern uint8_t radio_framing_destaddrpos;
extern uint8_t radio_framing_sourceaddrpos;
extern uint8_t radio_framing_lenpos;
extern uint8_t radio_framing_lenoffs;
extern uint8_t radio_framing_lenmask;
extern uint8_t radio_framing_swcrclen;
extern uint8_t radio_framing_synclen;
extern uint8_t radio_framing_syncword[4];
extern uint8_t radio_framing_syncflags;
extern uint8_t radio_framing_enable_sfdcallback;
extern uint32_t radio_framing_ack_timeout;
extern uint32_t radio_framing_ack_delay;
extern uint8_t radio_framing_ack_retransmissions;
extern uint8_t radio_framing_ack_seqnrpos;
extern uint8_t radio_framing_minpayloadlen;
extern uint16_t radio_wor_period;
