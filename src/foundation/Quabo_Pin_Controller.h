#pragma once

#include "Base_Pin_Controller.h"

// Quabo board: Lattice receiver FPGA, AX5043 transceiver, status LED, pulse-per-second test and
// a door input. GPIO 16 selects the FPGA (high) or the AT86 transceiver (low) on chip select CS0.
class Quabo_Pin_Controller : public Base_Pin_Controller {
public:
    Quabo_Pin_Controller();
    explicit Quabo_Pin_Controller(std::unique_ptr<BasePinWorker> worker);

    PIN_State get_pin_state(uint8_t pin) override;
    void set_pin_isr(uint8_t pin, PIN_Edge edge,
        std::function<void(int gpio, int level, uint32_t tick)> callback) override;
    void bootArtix() override;
    void on_off_one_sec_pulse_tester(bool on) override;
    void on_off_one_sec_pulse_gpio(uint8_t gpio) override;
    void di_set_gpio(uint8_t gpio) override;
    PIN_State di_get() override;
    void set_LED_color(LED_Color color) override;
    void set_LED_gpio(uint8_t green, uint8_t red) override;

private:
    // INI defaults until the central object passes the configured pins.
    uint8_t gpio_led_red = 3;
    uint8_t gpio_led_green = 17;
    uint8_t gpio_pps_en = 20;
    uint8_t gpio_di = 19;
    bool pps_on = false; // while the pulse test runs the door input reads as fault
};
