#include "Quabo_Pin_Controller.h"

#include <chrono>
#include <iostream>
#include <thread>

Quabo_Pin_Controller::Quabo_Pin_Controller() = default;

Quabo_Pin_Controller::Quabo_Pin_Controller(std::unique_ptr<BasePinWorker> worker)
    : Base_Pin_Controller(std::move(worker))
{
}

PIN_State Quabo_Pin_Controller::get_pin_state(uint8_t pin)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    return pin_worker ? pin_worker->get_pin_state(pin) : fault;
}

void Quabo_Pin_Controller::set_pin_isr(uint8_t pin, PIN_Edge edge,
    std::function<void(int gpio, int level, uint32_t tick)> callback)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (pin_worker)
        pin_worker->set_pin_isr(pin, edge, std::move(callback));
}

// Lattice boot: GPIO 16 high keeps the transceiver deselected; GPIO 26 low for 10 ms, then
// 200 ms for the FPGA to load.
void Quabo_Pin_Controller::bootArtix()
{
    std::cout << "Quabo_Pin_Controller: bootArtix()" << std::endl;
    if (!is_inited())
        return;
    std::cout << "Quabo_Pin_Controller: bootLattice_thread()" << std::endl;
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (!worker_inited())
        return;
    pin(16, high);
    pin(26, low);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pin(26, high);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

void Quabo_Pin_Controller::on_off_one_sec_pulse_tester(bool on)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    pin(gpio_pps_en, on ? high : low);
    pps_on = on;
}

void Quabo_Pin_Controller::on_off_one_sec_pulse_gpio(uint8_t gpio)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    gpio_pps_en = gpio;
}

void Quabo_Pin_Controller::di_set_gpio(uint8_t gpio)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    gpio_di = gpio;
}

PIN_State Quabo_Pin_Controller::di_get()
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (pps_on || !pin_worker)
        return fault;
    return pin_worker->get_pin_state(gpio_di);
}

// Green pin first, then red.
void Quabo_Pin_Controller::set_LED_color(LED_Color color)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    switch (color) {
    case Green:
        pin(gpio_led_green, high);
        pin(gpio_led_red, low);
        break;
    case Red:
        pin(gpio_led_green, low);
        pin(gpio_led_red, high);
        break;
    case Yellow:
        pin(gpio_led_green, high);
        pin(gpio_led_red, high);
        break;
    case Switched_Off:
        pin(gpio_led_green, low);
        pin(gpio_led_red, low);
        break;
    default:
        break;
    }
}

void Quabo_Pin_Controller::set_LED_gpio(uint8_t green, uint8_t red)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    gpio_led_green = green;
    gpio_led_red = red;
}
