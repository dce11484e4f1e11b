#include "Base_Pin_Controller.h"

#include "BCM283x_Pin_Worker.h"

#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>

Base_Pin_Controller::Base_Pin_Controller()
    : Base_Pin_Controller(std::make_unique<BCM283x_Pin_Worker>())
{
}

Base_Pin_Controller::Base_Pin_Controller(std::unique_ptr<BasePinWorker> worker)
    : pin_worker(std::move(worker))
{
    // Ready, or known to have failed, as soon as it exists.
    Base_Pin_Controller::init();
}

Base_Pin_Controller::~Base_Pin_Controller() = default;

bool Base_Pin_Controller::init()
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    return pin_worker ? pin_worker->init() : false;
}

void Base_Pin_Controller::close()
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (pin_worker)
        pin_worker->close();
}

bool Base_Pin_Controller::read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, uint32_t len)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (!pin_worker) {
        if (rx && len)
            std::memset(rx, 0, len);
        return false;
    }
    return pin_worker->read_write_spi(tx, rx, cs, len);
}

bool Base_Pin_Controller::write_spi(char* data, SPI_ChipSelect cs, uint32_t len)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    return pin_worker ? pin_worker->write_spi(data, cs, len) : false;
}

bool Base_Pin_Controller::select_read_write_spi(uint8_t select_pin, PIN_State select_level, char* tx,
    char* rx, SPI_ChipSelect cs, uint32_t len, PIN_State release_level)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (!pin_worker) {
        if (rx && len)
            std::memset(rx, 0, len);
        return false;
    }
    pin_worker->set_pin_state(select_pin, select_level);
    bool ok = pin_worker->read_write_spi(tx, rx, cs, len);
    if (release_level == high || release_level == low)
        pin_worker->set_pin_state(select_pin, release_level);
    return ok;
}

void Base_Pin_Controller::set_pin_state(uint8_t pin, PIN_State state)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (pin_worker)
        pin_worker->set_pin_state(pin, state);
}

PIN_State Base_Pin_Controller::get_pin_state(uint8_t)
{
    return fault;
}

void Base_Pin_Controller::set_pin_isr(uint8_t, PIN_Edge, std::function<void(int, int, uint32_t)>) {}

void Base_Pin_Controller::setChipSelectPolarity(SPI_ChipSelect, bool) {}

void Base_Pin_Controller::beep(uint16_t) {}

void Base_Pin_Controller::bootArtix() {}

void Base_Pin_Controller::rebootAxsem() {}

void Base_Pin_Controller::on_off_ext_filter(bool) {}

void Base_Pin_Controller::on_off_one_sec_pulse_tester(bool) {}

void Base_Pin_Controller::on_off_one_sec_pulse_gpio(uint8_t) {}

void Base_Pin_Controller::di_set_gpio(uint8_t) {}

PIN_State Base_Pin_Controller::di_get()
{
    return fault;
}

void Base_Pin_Controller::set_LED_color(LED_Color) {}

void Base_Pin_Controller::set_LED_gpio(uint8_t, uint8_t) {}

bool Base_Pin_Controller::is_inited() const
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    return worker_inited();
}

bool Base_Pin_Controller::worker_inited() const
{
    return pin_worker && pin_worker->is_inited();
}

void Base_Pin_Controller::pin(uint8_t pin, PIN_State state)
{
    if (pin_worker)
        pin_worker->set_pin_state(pin, state);
}

// Buzzer on GPIO 23.
void Base_Pin_Controller::artix_beep(uint16_t ms)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (!worker_inited())
        return;
    pin(23, high);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    pin(23, low);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// FPGA boot pulse on GPIO 26: low for 5 ms, then 100 ms for the FPGA to load.
void Base_Pin_Controller::artix_boot()
{
    if (!is_inited())
        return;
    std::cout << "QORM_Pin_Controller: bootArtix_thread()" << std::endl;
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (!worker_inited())
        return;
    pin(26, low);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    pin(26, high);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// GPIO 13 high also switches the pulse test off, so switching the filter ends a running test.
void Base_Pin_Controller::artix_ext_filter(bool on)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    if (!worker_inited())
        return;
    pin(13, high);
    if (on) {
        pin(27, low);
        pin(22, high);
        pin(24, high);
    } else {
        pin(27, high);
        pin(22, low);
        pin(24, low);
    }
}

void Base_Pin_Controller::artix_pulse_tester(bool on)
{
    std::lock_guard<std::mutex> lock(mut_pin_worker);
    pin(13, on ? low : high);
}
