#include "QORM_LTE_Pin_Controller.h"

QORM_LTE_Pin_Controller::QORM_LTE_Pin_Controller() = default;

QORM_LTE_Pin_Controller::QORM_LTE_Pin_Controller(std::unique_ptr<BasePinWorker> worker)
    : Base_Pin_Controller(std::move(worker))
{
}

PIN_State QORM_LTE_Pin_Controller::get_pin_state(uint8_t pin)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    return pin_worker ? pin_worker->get_pin_state(pin) : fault;
}

void QORM_LTE_Pin_Controller::set_pin_isr(uint8_t pin, PIN_Edge edge,
    std::function<void(int gpio, int level, uint32_t tick)> callback)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (pin_worker)
        pin_worker->set_pin_isr(pin, edge, std::move(callback));
}

void QORM_LTE_Pin_Controller::beep(uint16_t ms)
{
    artix_beep(ms);
}

void QORM_LTE_Pin_Controller::bootArtix()
{
    artix_boot();
}

// The AXSEM of this board has no reset line.
void QORM_LTE_Pin_Controller::rebootAxsem()
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
}

void QORM_LTE_Pin_Controller::on_off_ext_filter(bool on)
{
    artix_ext_filter(on);
}

void QORM_LTE_Pin_Controller::on_off_one_sec_pulse_tester(bool on)
{
    artix_pulse_tester(on);
}

void QORM_LTE_Pin_Controller::di_set_gpio(uint8_t gpio)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    gpio_di = gpio;
}

PIN_State QORM_LTE_Pin_Controller::di_get()
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    return pin_worker ? pin_worker->get_pin_state(gpio_di) : fault;
}
