#pragma once

#include "BasePinWorker.h"
#include "station_types.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// Board GPIO and SPI access shared by every user of the board (readers, transmitters,
// initialisers, the central object). One mutex serialises all use of the worker; the board
// classes add the board's named pin sequences. The base versions of the board actions do
// nothing (reads answer fault).
class Base_Pin_Controller {
public:
    // The board's own BCM283x worker.
    Base_Pin_Controller();
    // A given worker (a simulated board in tests and in the simulator). A null worker makes
    // every action a no-op.
    explicit Base_Pin_Controller(std::unique_ptr<BasePinWorker> worker);
    virtual ~Base_Pin_Controller();
    Base_Pin_Controller(const Base_Pin_Controller&) = delete;
    Base_Pin_Controller& operator=(const Base_Pin_Controller&) = delete;

    virtual bool init();
    virtual void close();
    // False when the worker is not initialised or the transfer failed (rx then holds zeros).
    virtual bool read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, uint32_t len);
    virtual bool write_spi(char* data, SPI_ChipSelect cs, uint32_t len);
    virtual void set_pin_state(uint8_t pin, PIN_State state);
    virtual PIN_State get_pin_state(uint8_t pin);
    virtual void set_pin_isr(uint8_t pin, PIN_Edge edge,
        std::function<void(int gpio, int level, uint32_t tick)> callback);
    virtual void setChipSelectPolarity(SPI_ChipSelect cs, bool active_high);
    virtual void beep(uint16_t ms);
    virtual void bootArtix();
    virtual void rebootAxsem();
    virtual void on_off_ext_filter(bool on);
    virtual void on_off_one_sec_pulse_tester(bool on);
    virtual void on_off_one_sec_pulse_gpio(uint8_t gpio);
    virtual void di_set_gpio(uint8_t gpio);
    virtual PIN_State di_get();
    virtual void set_LED_color(LED_Color color);
    virtual void set_LED_gpio(uint8_t green, uint8_t red);

    // Where a GPIO selects between devices sharing one chip select: drives select_pin to
    // select_level and runs the transfer, all under the controller mutex, so no other transfer
    // can come between the two. With release_level high or low the pin is driven to it after
    // the transfer, still under the mutex. False as read_write_spi.
    bool select_read_write_spi(uint8_t select_pin, PIN_State select_level, char* tx, char* rx,
        SPI_ChipSelect cs, uint32_t len, PIN_State release_level = fault);

    bool is_inited() const;

protected:
    // Callers hold mut_pin_worker.
    bool worker_inited() const;
    void pin(uint8_t pin, PIN_State state);

    // Sequences of the Artix boards (QORM and QORM LTE). Each takes the mutex itself and holds
    // it across its sleeps.
    void artix_beep(uint16_t ms);
    void artix_boot();
    void artix_ext_filter(bool on);
    void artix_pulse_tester(bool on);

    std::unique_ptr<BasePinWorker> pin_worker;
    mutable std::mutex mut_pin_worker;
};
