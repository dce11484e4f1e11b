#include "BCM283x_Pin_Worker.h"

#include "bcm283x.h"

#include <cstring>
#include <iostream>

namespace {

// Callbacks per GPIO 0..53, shared by the whole process like the register library.
std::mutex g_callback_mutex;
BasePinWorker::IsrCallback g_callbacks[BCM283x_GPIO_COUNT];

void isr_callback(int gpio, int level, uint32_t tick)
{
    if (gpio < 0 || gpio >= int(BCM283x_GPIO_COUNT))
        return;
    BasePinWorker::IsrCallback callback;
    {
        std::lock_guard<std::mutex> lock(g_callback_mutex);
        callback = g_callbacks[gpio];
    }
    if (callback)
        callback(gpio, level, tick);
}

uint8_t library_cs(SPI_ChipSelect cs)
{
    return cs == CS1 ? BCM283x_SPI_CS1 : BCM283x_SPI_CS0;
}

void report_timeout(const char* what, SPI_ChipSelect cs, uint32_t len)
{
    std::cout << "BCM283x_Pin_Worker: " << what << " of " << len << " bytes on CS" << int(cs)
              << " timed out" << std::endl;
}

} // namespace

BCM283x_Pin_Worker::BCM283x_Pin_Worker() = default;

BCM283x_Pin_Worker::BCM283x_Pin_Worker(const SystemPaths& paths) : paths_(paths) {}

BCM283x_Pin_Worker::~BCM283x_Pin_Worker()
{
    close();
}

bool BCM283x_Pin_Worker::init()
{
    return initBCM283x();
}

bool BCM283x_Pin_Worker::initBCM283x()
{
    std::lock_guard<std::mutex> lock(mut_BCM283x_);
    if (is_inited_)
        return true;
    if (paths_ && !mapped_) {
        bcm283x_system sys = bcm283x_get_system();
        sys.ranges_path = paths_->socRanges.toStdString();
        sys.mem_path = paths_->devMem.toStdString();
        sys.gpiomem_path = paths_->devGpiomem.toStdString();
        sys.sysfs_gpio_root = paths_->sysClassGpio.toStdString();
        bcm283x_set_system(sys);
    }
    if (!bcm283x_init()) {
        std::cout << "bcm283x_spi_begin failed. Are you running as root??" << std::endl;
        return false;
    }
    mapped_ = true;
    if (!bcm283x_spi_begin()) {
        std::cout << "bcm283x_spi_begin failed. Are you running as root??" << std::endl;
        return false;
    }
    bcm283x_spi_setBitOrder(BCM283x_SPI_BIT_ORDER_MSBFIRST);
    bcm283x_spi_setDataMode(BCM283x_SPI_MODE0);
    bcm283x_spi_setClockDivider(BCM283x_SPI_CLOCK_DIVIDER_32);
    bcm283x_spi_chipSelect(BCM283x_SPI_CS0);
    bcm283x_spi_setChipSelectPolarity(BCM283x_SPI_CS0, 0);
    is_inited_ = true;
    return true;
}

void BCM283x_Pin_Worker::close()
{
    std::lock_guard<std::mutex> lock(mut_BCM283x_);
    close_locked();
}

void BCM283x_Pin_Worker::close_locked()
{
    is_inited_ = false;
    if (!mapped_)
        return; // never mapped: no register to touch
    bcm283x_spi_end();
    bcm283x_close();
    mapped_ = false;
}

void BCM283x_Pin_Worker::setChipSelectPolarity(SPI_ChipSelect cs, bool active_high)
{
    std::lock_guard<std::mutex> lock(mut_BCM283x_);
    if (!is_inited_)
        return;
    const uint8_t n = library_cs(cs);
    bcm283x_spi_chipSelect(n);
    bcm283x_spi_setChipSelectPolarity(n, active_high ? 1 : 0);
}

bool BCM283x_Pin_Worker::read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, uint32_t len)
{
    std::lock_guard<std::mutex> lock(mut_BCM283x_);
    if (!is_inited_) {
        if (rx && len)
            std::memset(rx, 0, len);
        return false;
    }
    bcm283x_spi_chipSelect(library_cs(cs));
    if (!bcm283x_spi_transfernb(tx, rx, len)) {
        report_timeout("SPI transfer", cs, len);
        return false;
    }
    return true;
}

bool BCM283x_Pin_Worker::write_spi(char* data, SPI_ChipSelect cs, uint32_t len)
{
    std::lock_guard<std::mutex> lock(mut_BCM283x_);
    if (!is_inited_)
        return false;
    bcm283x_spi_chipSelect(library_cs(cs));
    if (!bcm283x_spi_writenb(data, len)) {
        report_timeout("SPI write", cs, len);
        return false;
    }
    return true;
}

void BCM283x_Pin_Worker::set_pin_state(uint8_t pin, PIN_State state)
{
    if (!is_inited_ || pin >= BCM283x_GPIO_COUNT)
        return;
    bcm283x_gpio_fsel(pin, BCM283x_GPIO_FSEL_OUTP);
    bcm283x_gpio_write(pin, state == high ? 1 : 0);
}

PIN_State BCM283x_Pin_Worker::get_pin_state(uint8_t pin)
{
    if (!is_inited_ || pin >= BCM283x_GPIO_COUNT)
        return fault;
    return bcm283x_gpio_lev(pin) ? high : low;
}

void BCM283x_Pin_Worker::set_pin_isr(uint8_t pin, PIN_Edge edge, IsrCallback callback)
{
    if (!is_inited_ || pin >= BCM283x_GPIO_COUNT)
        return;
    unsigned lib_edge = BCM283x_EITHER_EDGE;
    if (edge == RISING)
        lib_edge = BCM283x_RISING_EDGE;
    else if (edge == FALLING)
        lib_edge = BCM283x_FALLING_EDGE;

    if (!callback) {
        bcm283x_gpioSetISRFunc(pin, lib_edge, -1, nullptr);
        std::lock_guard<std::mutex> lock(g_callback_mutex);
        g_callbacks[pin] = nullptr;
        return;
    }
    // The slot is filled before the watch can fire, and emptied again if registration fails.
    BasePinWorker::IsrCallback previous;
    {
        std::lock_guard<std::mutex> lock(g_callback_mutex);
        previous = g_callbacks[pin];
        g_callbacks[pin] = callback;
    }
    if (bcm283x_gpioSetISRFunc(pin, lib_edge, -1, isr_callback) != 0) {
        std::lock_guard<std::mutex> lock(g_callback_mutex);
        g_callbacks[pin] = previous;
    }
}
