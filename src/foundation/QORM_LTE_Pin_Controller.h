#pragma once

#include "Base_Pin_Controller.h"

// QORM LTE board: as the QORM board, plus a door input; GPIO 16 selects between the FPGA (high)
// and its configuration flash (low) on chip select CS0.
class QORM_LTE_Pin_Controller : public Base_Pin_Controller {
public:
    QORM_LTE_Pin_Controller();
    explicit QORM_LTE_Pin_Controller(std::unique_ptr<BasePinWorker> worker);

    PIN_State get_pin_state(uint8_t pin) override;
    void set_pin_isr(uint8_t pin, PIN_Edge edge,
        std::function<void(int gpio, int level, uint32_t tick)> callback) override;
    void beep(uint16_t ms) override;
    void bootArtix() override;
    void rebootAxsem() override;
    void on_off_ext_filter(bool on) override;
    void on_off_one_sec_pulse_tester(bool on) override;
    void di_set_gpio(uint8_t gpio) override;
    PIN_State di_get() override;

private:
    uint8_t gpio_di = 19; // door input (GPIO_DI default)
};
