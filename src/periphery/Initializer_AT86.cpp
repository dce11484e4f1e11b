#include "Initializer_AT86.h"

#include "Base_Pin_Controller.h"

#include <QDebug>
#include <QThread>

#include <vector>

namespace {

// Absolute register numbers (transceiver RF09; RF24's are 0x100 higher).
constexpr uint16_t RG_RF_RST = 0x0005;
constexpr uint16_t RG_RF_IQIFC0 = 0x000A;
constexpr uint16_t RG_RF_IQIFC1 = 0x000B;
constexpr uint16_t RG_RF_PN = 0x000D;
constexpr uint16_t RG_RF_VN = 0x000E;
constexpr uint16_t RG_RF09_IRQM = 0x0100;
constexpr uint16_t RG_RF09_AUXS = 0x0101;
constexpr uint16_t RG_RF09_STATE = 0x0102;
constexpr uint16_t RG_RF09_CMD = 0x0103;
constexpr uint16_t RG_RF09_CS = 0x0104;
constexpr uint16_t RG_RF09_CCF0L = 0x0105;
constexpr uint16_t RG_RF09_CNL = 0x0107;
constexpr uint16_t RG_RF09_CNM = 0x0108;
constexpr uint16_t RG_RF09_RXBWC = 0x0109;
constexpr uint16_t RG_RF09_EDD = 0x010F;
constexpr uint16_t RG_RF09_PLL = 0x0121;
constexpr uint16_t RG_BBC0_IRQM = 0x0300;
constexpr uint16_t RG_BBC1_IRQM = 0x0400;

constexpr uint8_t kPartNumber = 0x34;
constexpr uint8_t kVersion = 3;
constexpr uint32_t kTuneBelowHz = 40000;      // tuned 40 kHz below the uplink frequency
constexpr uint32_t kChannelSpacingHz = 1200000;
constexpr uint32_t kFrequencyStepHz = 25000;

} // namespace

Initializer_AT86::Initializer_AT86(std::shared_ptr<Base_Pin_Controller> pins) : pin_worker_(std::move(pins)) {}

void Initializer_AT86::set_LNA_level(uint8_t level)
{
    lna_level_ = level;
}

void Initializer_AT86::set_ul_freq_from_ini(uint32_t hz)
{
    ul_freq_from_ini = hz;
}

bool Initializer_AT86::init_AT86()
{
    if (!pin_worker_) {
        qDebug() << "AT86: no pin controller";
        return false;
    }
    // The SPI controller's chip selects become plain outputs held inactive; the central object
    // re-opens the worker afterwards to give them back to SPI.
    pin_worker_->set_pin_state(8, high);
    pin_worker_->set_pin_state(7, high);
    pin_worker_->set_pin_state(24, high);

    if (trx_init(RF09) != 0)
        return false;
    if (trx_switch_state(RF09, RF_RX) != 0) {
        qDebug() << "AT86: RF09 did not reach RX";
        return false;
    }
    return true;
}

int8_t Initializer_AT86::trx_init(trx_id_tag trx)
{
    if (trx_reset(RFBOTH) != 0) {
        qDebug() << "AT86: reset did not reach TRXOFF";
        return -1;
    }
    const uint8_t pn = pal_dev_reg_read(RF09, RG_RF_PN);
    const uint8_t vn = pal_dev_reg_read(RF09, RG_RF_VN);
    if (pn != kPartNumber || vn != kVersion) {
        qDebug().nospace() << "AT86: unexpected part number 0x" << Qt::hex << pn << " version " << Qt::dec << vn;
        return -1;
    }

    pal_dev_reg_write(RF09, RG_BBC0_IRQM, 0);
    pal_dev_reg_write(RF09, RG_BBC1_IRQM, 0);
    pal_dev_reg_write(trx, RG_RF09_IRQM, RF_IRQ_ALL_IRQ);

    pal_dev_bit_write(RF09, RG_RF_IQIFC1, 0x70, 4, 1);
    pal_dev_bit_write(RF09, RG_RF_IQIFC1, 0x03, 0, 2);
    pal_dev_bit_write(RF09, RG_RF_IQIFC0, 0x0C, 2, 3);
    pal_dev_bit_write(RF09, RG_RF_IQIFC0, 0x30, 4, 3);
    pal_dev_bit_write(RF09, RG_RF_IQIFC0, 0x02, 1, 1);
    pal_dev_bit_write(RF09, RG_RF_IQIFC0, 0x01, 0, 0);
    pal_dev_bit_write(RF09, RG_RF_IQIFC0, 0x80, 7, 0);
    pal_dev_bit_write(trx, RG_RF09_AUXS, 0x08, 3, 1);

    return config_phy(trx);
}

int8_t Initializer_AT86::trx_reset(trx_id_tag trx)
{
    pal_dev_reg_write(RF09, RG_RF_RST, RF_RESET);
    port_delay(1024);

    bool all = true;
    for (trx_id_tag t : {RF09, RF24}) {
        if (trx != RFBOTH && trx != t)
            continue;
        bool reached = false;
        for (int n = 0; n < kMaxStateReads && !reached; ++n) {
            trx_state[t] = rf_cmd_state_t(pal_dev_reg_read(t, RG_RF09_STATE));
            reached = trx_state[t] == RF_TRXOFF;
        }
        all = all && reached;
    }
    return all ? 0 : -1;
}

int8_t Initializer_AT86::config_phy(trx_id_tag trx)
{
    // Receiver bandwidth, front-end, gain control with automatic gain off, fixed gain word.
    const uint8_t rx[4] = {0x1B, 0x01, 0x80, lna_level_};
    pal_dev_write(trx, RG_RF09_RXBWC, rx, 4);

    const int8_t r = apply_channel_settings(trx, 0);
    if (r == 0)
        pal_dev_reg_write(trx, RG_RF09_EDD, 0x05);
    return r;
}

int8_t Initializer_AT86::apply_channel_settings(trx_id_tag trx, uint8_t ch_mode)
{
    const uint32_t f = ul_freq_from_ini - kTuneBelowHz;
    pal_dev_reg_write(trx, RG_RF09_CS, uint8_t(kChannelSpacingHz / kFrequencyStepHz));

    const uint32_t k = f / 1000;
    const uint16_t c = uint16_t(k / 25);
    const uint8_t centre[2] = {uint8_t(c & 0xFF), uint8_t(c >> 8)};
    pal_dev_write(trx, RG_RF09_CCF0L, centre, 2);
    pal_dev_reg_write(trx, RG_RF09_CNL, 0);
    pal_dev_reg_write(trx, RG_RF09_CNM, ch_mode);

    if (trx_switch_state(trx, RF_TXPREP) != 0) {
        qDebug() << "AT86: transceiver did not reach TXPREP";
        return -1;
    }
    port_delay(200);

    if (pal_dev_bit_read(trx, RG_RF09_PLL, 0x02, 1) != 1) {
        qDebug() << "AT86: PLL not locked";
        return -1;
    }
    return 0;
}

bool Initializer_AT86::command_until(trx_id_tag trx, uint8_t cmd)
{
    for (int n = 0; n < kMaxStateReads; ++n) {
        pal_dev_reg_write(trx, RG_RF09_CMD, cmd);
        port_delay(10);
        trx_state[trx] = rf_cmd_state_t(pal_dev_reg_read(trx, RG_RF09_STATE));
        if (trx_state[trx] == cmd)
            return true;
    }
    return false;
}

int8_t Initializer_AT86::trx_switch_state(trx_id_tag trx, uint8_t state)
{
    if (trx != RF09 && trx != RF24)
        return -1;
    if (state == trx_state[trx])
        return 0;
    switch (state) {
    case RF_TXPREP:
    case RF_RX:
        if (!command_until(trx, RF_TXPREP))
            return -1;
        if (state == RF_RX && !command_until(trx, RF_RX))
            return -1;
        break;
    case RF_TRXOFF:
        pal_dev_reg_write(trx, RG_RF09_CMD, RF_TRXOFF);
        break;
    case RF_SLEEP:
        pal_dev_reg_write(trx, RG_RF09_CMD, RF_TRXOFF);
        pal_dev_reg_write(trx, RG_RF09_CMD, RF_SLEEP);
        break;
    default:
        break;
    }
    trx_state[trx] = rf_cmd_state_t(state);
    return 0;
}

uint16_t Initializer_AT86::address(trx_id_tag trx, uint16_t reg)
{
    reg_addr = uint16_t((uint16_t(trx) << 8) + reg);
    return reg_addr;
}

bool Initializer_AT86::frame(uint8_t* tx, uint8_t* rx, uint32_t len)
{
    if (!pin_worker_)
        return false;
    return pin_worker_->select_read_write_spi(kSelectPin, low, reinterpret_cast<char*>(tx),
                                              reinterpret_cast<char*>(rx), CS0, len, high);
}

void Initializer_AT86::pal_dev_write(trx_id_tag trx, uint16_t reg, const uint8_t* data, uint16_t len)
{
    const uint16_t a = address(trx, reg);
    std::vector<uint8_t> tx(size_t(len) + 2);
    tx[0] = uint8_t((a >> 8) | 0x80);
    tx[1] = uint8_t(a & 0xFF);
    for (uint16_t i = 0; i < len; ++i)
        tx[size_t(i) + 2] = data[i];
    std::vector<uint8_t> rx(tx.size());
    frame(tx.data(), rx.data(), uint32_t(tx.size()));
}

void Initializer_AT86::pal_dev_read(trx_id_tag trx, uint16_t reg, uint8_t* data, uint16_t len)
{
    const uint16_t a = address(trx, reg);
    std::vector<uint8_t> tx(size_t(len) + 2, 0);
    tx[0] = uint8_t((a >> 8) & 0x7F);
    tx[1] = uint8_t(a & 0xFF);
    std::vector<uint8_t> rx(tx.size(), 0);
    const bool ok = frame(tx.data(), rx.data(), uint32_t(tx.size()));
    for (uint16_t i = 0; i < len; ++i)
        data[i] = ok ? rx[size_t(i) + 2] : 0xFF;  // nothing received reads as 0xFF
}

void Initializer_AT86::pal_dev_reg_write(trx_id_tag trx, uint16_t reg, uint8_t value)
{
    pal_dev_write(trx, reg, &value, 1);
}

uint8_t Initializer_AT86::pal_dev_reg_read(trx_id_tag trx, uint16_t reg)
{
    uint8_t value = 0xFF;
    pal_dev_read(trx, reg, &value, 1);
    return value;
}

uint8_t Initializer_AT86::pal_dev_bit_read(trx_id_tag trx, uint16_t reg, uint8_t mask, uint8_t shift)
{
    return uint8_t((pal_dev_reg_read(trx, reg) & mask) >> shift);
}

void Initializer_AT86::pal_dev_bit_write(trx_id_tag trx, uint16_t reg, uint8_t mask, uint8_t shift, uint8_t value)
{
    const uint8_t old = pal_dev_reg_read(trx, reg);
    pal_dev_reg_write(trx, reg, uint8_t((uint8_t(value << shift) & mask) | (old & ~mask)));
}

void Initializer_AT86::ENTER_TRX_REGION()
{
    if (pin_worker_)
        pin_worker_->set_pin_state(kSelectPin, low);
}

void Initializer_AT86::LEAVE_TRX_REGION()
{
    if (pin_worker_)
        pin_worker_->set_pin_state(kSelectPin, high);
}

void Initializer_AT86::spi_writepacket(uint8_t* data, uint16_t len)
{
    if (pin_worker_)
        pin_worker_->write_spi(reinterpret_cast<char*>(data), CS0, len);
}

void Initializer_AT86::spi_readpacket(uint8_t* data, uint16_t len)
{
    if (!pin_worker_)
        return;
    std::vector<char> tx(len, 0);
    pin_worker_->read_write_spi(tx.data(), reinterpret_cast<char*>(data), CS0, len);
}

void Initializer_AT86::port_delay(unsigned long microseconds)
{
    QThread::usleep(microseconds);
}
