#pragma once

// AX5043 radio library: register and FIFO access, chip reset and detection, synthesizer
// ranging, the off / asynchronous transmit / continuous receive modes, packet building, the
// interrupt-driven transmit and receive state machines and the events they raise.
//
// It reaches the board only through the host hooks registered with ax5043_reg_func() and the
// clock registered with swtimer_reg_func(). Its state is process-wide: one transceiver per
// process. radio_isr() runs on the host's interrupt thread, everything else on the caller's.

#include "ax5043_config.h"
#include "ax5043_regs.h"
#include "swtimer.h"

#include <cstdint>

// What an event carries to the host's radio_statuschange hook.
struct radio_status {
    uint8_t status;   // 0 receive, 1 receive start of frame, 2 channel state, 3 transmit start,
                      // 4 transmit end, 5 transmit data
    uint8_t error;    // 0 none, 3 timeout, 8 retransmission
    uint32_t time;
    union {
        struct {
            int16_t rssi;
            int32_t offset;      // frequency offset in Hz
            int16_t timeoffset;
            int16_t period;
            const uint8_t* mac;  // MAC bytes of the packet
            const uint8_t* pkt;  // payload after the MAC bytes
            uint16_t maclen;
            uint16_t pktlen;
        } rx;
        struct {
            int16_t rssi;
            uint8_t busy;
        } cs;
    } u;
};

// Host hooks, in table order.
struct radio_fn_t {
    void (*ax5043_enable_global_irq)();
    void (*ax5043_disable_global_irq)();
    void (*ax5043_enable_pin_irq)();
    void (*ax5043_disable_pin_irq)();
    bool (*ax5043_get_irq_pin_state)();
    void (*spi_rx)(uint8_t* buffer, uint16_t n);
    void (*spi_tx)(const uint8_t* buffer, uint16_t n);
    void (*spi_tx_rx)(const uint8_t* tx, uint8_t* rx, uint16_t n);
    void (*spi_cs_set)(uint8_t level);
    void (*radio_statuschange)(const radio_status* status);
    void (*ax5043_on_off_pwr)(bool on);
};

struct radio_address {
    uint8_t addr[4];
};

struct radio_address_mask {
    uint8_t addr[4];
    uint8_t mask[4];
};

// Modes the program enters.
enum : uint8_t {
    RADIO_MODE_UNINIT = 0,
    RADIO_MODE_OFF = 1,
    RADIO_MODE_ASYNC_TRANSMIT = 16,
    RADIO_MODE_ASYNC_RECEIVE = 32,
};

// Result codes.
enum : uint8_t {
    RADIO_ERR_NOERROR = 0,
    RADIO_ERR_NOTSUPPORTED = 1,
    RADIO_ERR_BUSY = 2,
    RADIO_ERR_INVALID = 4,
    RADIO_ERR_NOCHIP = 5,
    RADIO_ERR_RANGING = 6,
};

enum : uint8_t {
    RADIO_STAT_RECEIVE = 0,
    RADIO_STAT_RECEIVESFD = 1,
    RADIO_STAT_CHANNELSTATE = 2,
    RADIO_STAT_TRANSMITSTART = 3,
    RADIO_STAT_TRANSMITEND = 4,
    RADIO_STAT_TRANSMITDATA = 5,
};

void ax5043_reg_func(const radio_fn_t* fn);

// Register and FIFO access (one chip-select frame each).
void ax5043_spi_write(uint16_t reg, uint8_t value);
uint8_t ax5043_spi_read(uint16_t reg);
uint16_t ax5043_spi_read16(uint16_t reg);
uint32_t ax5043_spi_read24(uint16_t reg);
void ax5043_fifo_write(const uint8_t* data, uint8_t n);
void ax5043_fifo_read(uint8_t* data, uint8_t n);

// 0 chip found; 1 wrong revision, 2 scratch register not kept, 3 interrupt line not following.
uint8_t ax5043_reset();
void ax5043_off();

uint8_t radio_init();
uint8_t radio_set_mode(uint8_t mode);
uint8_t radio_transmit(const radio_address* destination, const uint8_t* data, uint16_t n, bool padding);
void radio_isr();
uint8_t radio_set_channel(uint8_t channel);
void radio_set_local_address(const radio_address_mask* addr);

// Library state the host and tests look at.
uint8_t radio_get_mode();
uint8_t radio_get_trxstate();
uint8_t radio_get_syncstate();
uint32_t radio_get_xtal_failures();

// Bit utilities.
uint16_t pn9_advance_bits(uint16_t pn9, uint16_t bits);
uint16_t pn9_advance_byte(uint16_t pn9);
// XORs buf with the PN9 sequence starting at state pn9 (xor_byte 0xFF inverts it); the state after.
uint16_t pn9_buffer(uint8_t* buf, uint16_t len, uint16_t pn9, uint8_t xor_byte);
// Reflected CRC-32 of polynomial 0x04C11DB7, no final complement.
uint32_t crc_crc32(const uint8_t* buf, uint16_t len, uint32_t crc);
// Not reflected (most significant bit first) variant.
uint32_t crc_crc32_msb(const uint8_t* buf, uint16_t len, uint32_t crc);
uint8_t rev8(uint8_t value);
int32_t signextend24(uint32_t value);
int32_t signextend16(uint16_t value);
