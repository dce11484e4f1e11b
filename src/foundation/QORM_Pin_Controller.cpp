#include "QORM_Pin_Controller.h"

QORM_Pin_Controller::QORM_Pin_Controller() = default;

QORM_Pin_Controller::QORM_Pin_Controller(std::unique_ptr<BasePinWorker> worker)
    : Base_Pin_Controller(std::move(worker))
{
}

void QORM_Pin_Controller::setChipSelectPolarity(SPI_ChipSelect cs, bool active_high)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (pin_worker)
        pin_worker->setChipSelectPolarity(cs, active_high);
}

void QORM_Pin_Controller::beep(uint16_t ms)
{
    artix_beep(ms);
}

void QORM_Pin_Controller::bootArtix()
{
    artix_boot();
}

// AXSEM reset: GPIO 6 low, then a pulse on GPIO 5.
void QORM_Pin_Controller::rebootAxsem()
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (!worker_inited())
        return;
    pin(6, low);
    pin(5, low);
    pin(5, high);
}

void QORM_Pin_Controller::on_off_ext_filter(bool on)
{
    artix_ext_filter(on);
}

void QORM_Pin_Controller::on_off_one_sec_pulse_tester(bool on)
{
    artix_pulse_tester(on);
}
