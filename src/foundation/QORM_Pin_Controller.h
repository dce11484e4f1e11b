#pragma once

#include "Base_Pin_Controller.h"

// QORM board: Artix receiver FPGA, AXSEM transceiver, buzzer, external filter.
class QORM_Pin_Controller : public Base_Pin_Controller {
public:
    QORM_Pin_Controller();
    explicit QORM_Pin_Controller(std::unique_ptr<BasePinWorker> worker);

    void setChipSelectPolarity(SPI_ChipSelect cs, bool active_high) override;
    void beep(uint16_t ms) override;
    void bootArtix() override;
    void rebootAxsem() override;
    void on_off_ext_filter(bool on) override;
    void on_off_one_sec_pulse_tester(bool on) override;
};
