#pragma once

#include <cstdint>
#include <memory>

class Base_Pin_Controller;

enum trx_id_tag : uint8_t { RF09 = 0, RF24 = 1, RFBOTH = 2 };

enum rf_cmd_state_t : uint8_t {
    RF_NOP = 0,
    RF_SLEEP = 1,
    RF_TRXOFF = 2,
    RF_TXPREP = 3,
    RF_TX = 4,
    RF_RX = 5,
    RF_RESET = 7
};

enum rf_irq_tag : uint8_t {
    RF_IRQ_NO_IRQ = 0,
    RF_IRQ_WAKEUP = 1,
    RF_IRQ_TRXRDY = 2,
    RF_IRQ_EDC = 4,
    RF_IRQ_BATLOW = 8,
    RF_IRQ_TRXERR = 16,
    RF_IRQ_IQIFSF = 32,
    RF_IRQ_ALL_IRQ = 63
};

// Brings the Quabo board's AT86RF215-family transceiver (RF09) into receive mode on the uplink
// frequency at start-up. Every register access is one SPI frame with the transceiver's select
// (GPIO 16) held low for the whole frame under the pin controller's lock, so the reader's
// transfers on the same bus can never split it. Every wait for a state is bounded: a
// transceiver that does not answer makes init_AT86() fail instead of hanging start-up.
class Initializer_AT86 {
public:
    static constexpr uint8_t kSelectPin = 16;
    static constexpr int kMaxStateReads = 100;

    explicit Initializer_AT86(std::shared_ptr<Base_Pin_Controller> pins);

    void set_LNA_level(uint8_t level);
    void set_ul_freq_from_ini(uint32_t hz);

    bool init_AT86();

    // 0 success, -1 failure.
    int8_t trx_init(trx_id_tag trx);
    int8_t trx_reset(trx_id_tag trx);
    int8_t config_phy(trx_id_tag trx);
    int8_t apply_channel_settings(trx_id_tag trx, uint8_t ch_mode);
    // 0 when the transceiver reached `state` (or was already there), -1 when it did not within
    // the bounded number of state reads.
    int8_t trx_switch_state(trx_id_tag trx, uint8_t state);

    // Register access.
    void pal_dev_write(trx_id_tag trx, uint16_t reg, const uint8_t* data, uint16_t len);
    void pal_dev_read(trx_id_tag trx, uint16_t reg, uint8_t* data, uint16_t len);
    void pal_dev_reg_write(trx_id_tag trx, uint16_t reg, uint8_t value);
    uint8_t pal_dev_reg_read(trx_id_tag trx, uint16_t reg);
    uint8_t pal_dev_bit_read(trx_id_tag trx, uint16_t reg, uint8_t mask, uint8_t shift);
    void pal_dev_bit_write(trx_id_tag trx, uint16_t reg, uint8_t mask, uint8_t shift, uint8_t value);

    // Plain bus access (select by hand, then transfers). Register access does not use these:
    // it needs the select and the transfer as one locked step.
    void ENTER_TRX_REGION();
    void LEAVE_TRX_REGION();
    void spi_writepacket(uint8_t* data, uint16_t len);
    void spi_readpacket(uint8_t* data, uint16_t len);
    void port_delay(unsigned long microseconds);

    uint8_t lna_level() const { return lna_level_; }
    uint32_t ul_freq() const { return ul_freq_from_ini; }
    rf_cmd_state_t state_of(trx_id_tag trx) const { return trx_state[trx & 1]; }

private:
    uint16_t address(trx_id_tag trx, uint16_t reg);
    bool frame(uint8_t* tx, uint8_t* rx, uint32_t len);
    // Repeats (write cmd, wait 10 us, read state) until the state reads `cmd`, at most
    // kMaxStateReads times.
    bool command_until(trx_id_tag trx, uint8_t cmd);

    uint16_t reg_addr = 0;
    rf_cmd_state_t trx_state[2] = {RF_NOP, RF_NOP};
    std::shared_ptr<Base_Pin_Controller> pin_worker_;
    uint8_t lna_level_ = 12;
    uint32_t ul_freq_from_ini = 0;
};
