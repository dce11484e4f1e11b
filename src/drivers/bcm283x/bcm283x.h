#pragma once

// Register library for the BCM283x peripherals the station uses: the GPIO bank, the SPI0
// controller, the free-running system timer, and GPIO interrupts through Linux sysfs.
//
// The library state is process-wide (one peripheral block per process). Every register access
// goes through one accessor (bcm283x_register_access), so the code runs unchanged against a
// register model in tests; the device files and the "running as root" test can be replaced
// through bcm283x_set_system() so that both mapping branches run on fixture files.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Default peripheral block when the device tree gives nothing better (older boards).
constexpr uint32_t BCM283x_PERI_BASE_DEFAULT = 0x20000000;
constexpr uint32_t BCM283x_PERI_SIZE_DEFAULT = 0x01000000;

// Register blocks, as byte offsets from the peripheral base.
constexpr uint32_t BCM283x_ST_BASE = 0x003000;
constexpr uint32_t BCM283x_GPIO_BASE = 0x200000;
constexpr uint32_t BCM283x_SPI0_BASE = 0x204000;
// Bytes a sub-block covers; a full mapping must reach the end of the SPI0 block.
constexpr uint32_t BCM283x_BLOCK_SIZE = 0x1000;

// GPIO registers, byte offsets inside the GPIO block.
constexpr uint32_t BCM283x_GPFSEL0 = 0x00;
constexpr uint32_t BCM283x_GPSET0 = 0x1C;
constexpr uint32_t BCM283x_GPSET1 = 0x20;
constexpr uint32_t BCM283x_GPCLR0 = 0x28;
constexpr uint32_t BCM283x_GPCLR1 = 0x2C;
constexpr uint32_t BCM283x_GPLEV0 = 0x34;
constexpr uint32_t BCM283x_GPLEV1 = 0x38;

// SPI0 registers, byte offsets inside the SPI0 block.
constexpr uint32_t BCM283x_SPI0_CS = 0x00;
constexpr uint32_t BCM283x_SPI0_FIFO = 0x04;
constexpr uint32_t BCM283x_SPI0_CLK = 0x08;

// SPI0 CS register bits.
constexpr uint32_t BCM283x_SPI0_CS_CS = 0x00000003;     // chip select
constexpr uint32_t BCM283x_SPI0_CS_CPHA = 0x00000004;   // clock phase
constexpr uint32_t BCM283x_SPI0_CS_CPOL = 0x00000008;   // clock polarity
constexpr uint32_t BCM283x_SPI0_CS_CLEAR = 0x00000030;  // clear TX and RX FIFOs
constexpr uint32_t BCM283x_SPI0_CS_CLEAR_TX = 0x00000010;
constexpr uint32_t BCM283x_SPI0_CS_CLEAR_RX = 0x00000020;
constexpr uint32_t BCM283x_SPI0_CS_TA = 0x00000080;     // transfer active
constexpr uint32_t BCM283x_SPI0_CS_DONE = 0x00010000;   // transfer done
constexpr uint32_t BCM283x_SPI0_CS_RXD = 0x00020000;    // RX FIFO holds data
constexpr uint32_t BCM283x_SPI0_CS_TXD = 0x00040000;    // TX FIFO can accept data
constexpr uint32_t BCM283x_SPI0_CS_CSPOL0 = 0x00200000; // CS0..CS2 polarity at bits 21..23

// System timer registers, byte offsets inside the timer block.
constexpr uint32_t BCM283x_ST_CLO = 0x04;

constexpr unsigned BCM283x_GPIO_COUNT = 54; // GPIO 0..53

enum bcm283x_function_select : uint8_t {
    BCM283x_GPIO_FSEL_INPT = 0,
    BCM283x_GPIO_FSEL_OUTP = 1,
    BCM283x_GPIO_FSEL_ALT0 = 4,
};

enum bcm283x_spi_bit_order : uint8_t {
    BCM283x_SPI_BIT_ORDER_LSBFIRST = 0,
    BCM283x_SPI_BIT_ORDER_MSBFIRST = 1,
};

enum bcm283x_spi_mode : uint8_t {
    BCM283x_SPI_MODE0 = 0, // clock idle low, data captured on the first edge
    BCM283x_SPI_MODE1 = 1,
    BCM283x_SPI_MODE2 = 2,
    BCM283x_SPI_MODE3 = 3,
};

enum bcm283x_spi_chip_select : uint8_t {
    BCM283x_SPI_CS0 = 0,
    BCM283x_SPI_CS1 = 1,
    BCM283x_SPI_CS2 = 2,
    BCM283x_SPI_CS_NONE = 3,
};

constexpr uint16_t BCM283x_SPI_CLOCK_DIVIDER_32 = 32;

// A transfer that does not finish within this many system-timer microseconds is abandoned.
constexpr uint32_t BCM283x_SPI_TIMEOUT_US = 100000;

enum bcm283x_block { BCM283x_BLOCK_GPIO, BCM283x_BLOCK_SPI0, BCM283x_BLOCK_ST };

// The one way registers are read and written. The default (no accessor installed) is a plain
// volatile access to the mapped memory. A register model implements this interface and uses
// bcm283x_register_of() to tell which register an address stands for.
class bcm283x_register_access {
public:
    virtual ~bcm283x_register_access() = default;
    virtual uint32_t read(volatile uint32_t* reg) = 0;
    virtual void write(volatile uint32_t* reg, uint32_t value) = 0;
};

// Installs an accessor (nullptr: direct memory access). Set it while nothing is mapped.
void bcm283x_set_register_access(bcm283x_register_access* access);

// Which block and byte offset a register address belongs to; false when it lies in no mapped block.
bool bcm283x_register_of(const volatile uint32_t* reg, bcm283x_block* block, uint32_t* offset);

// Where the library meets the operating system.
struct bcm283x_system {
    std::string ranges_path = "/proc/device-tree/soc/ranges";
    std::string mem_path = "/dev/mem";
    std::string gpiomem_path = "/dev/gpiomem";
    std::string sysfs_gpio_root = "/sys/class/gpio";
    // Empty: the effective user id is 0.
    std::function<bool()> is_root;
    // Source of interrupt events for one pin: opens what the watch thread polls. Empty: open the
    // sysfs value file read-only. Returns a descriptor or -1.
    std::function<int(unsigned gpio, const std::string& value_path)> open_value;
    // Events the watch thread waits for on that descriptor (sysfs reports edges as POLLPRI).
    short value_events = 0x002; // POLLPRI
};

// Replaces the system seams. Call it while nothing is mapped and no pin is watched.
void bcm283x_set_system(const bcm283x_system& system);
const bcm283x_system& bcm283x_get_system();

// Parses a device-tree ranges file: bytes 0..3 must be 7E 00 00 00; the 32-bit layout holds
// base and size at bytes 4..11, the 64-bit layout (word at 4..7 is 0) at bytes 8..15. Only the
// known bases 0x20000000, 0x3F000000 and 0xFE000000 are accepted.
bool bcm283x_parse_ranges(const uint8_t* data, size_t len, uint32_t* base, uint32_t* size);

// Peripheral block as found by the last bcm283x_init() (defaults before).
extern uint32_t bcm283x_peripherals_base;
extern uint32_t bcm283x_peripherals_size;
// Mapped block and sub-blocks; each holds the mapping-failure value (all ones) while not mapped.
extern volatile uint32_t* bcm283x_peripherals;
extern volatile uint32_t* bcm283x_gpio;
extern volatile uint32_t* bcm283x_spi0;
extern volatile uint32_t* bcm283x_st;

// Maps the peripherals: through /dev/mem as root (GPIO, SPI0 and timer), through /dev/gpiomem
// otherwise (GPIO only). Fails, mapping nothing, without a usable ranges file.
bool bcm283x_init();
// Stops every interrupt watch thread, then unmaps. Harmless when nothing is mapped.
bool bcm283x_close();
bool bcm283x_gpio_mapped();
bool bcm283x_spi_mapped();

// GPIO. Pins above 53 are ignored (reads give 0); nothing happens while GPIO is not mapped.
void bcm283x_gpio_fsel(uint8_t pin, uint8_t mode);
void bcm283x_gpio_set(uint8_t pin);
void bcm283x_gpio_clr(uint8_t pin);
void bcm283x_gpio_write(uint8_t pin, uint8_t on);
uint8_t bcm283x_gpio_lev(uint8_t pin);

// SPI0. begin fails while SPI0 is not mapped; the others do nothing then.
bool bcm283x_spi_begin();
void bcm283x_spi_end();
void bcm283x_spi_setBitOrder(uint8_t order);
void bcm283x_spi_setDataMode(uint8_t mode);
void bcm283x_spi_setClockDivider(uint16_t divider);
void bcm283x_spi_chipSelect(uint8_t cs);
void bcm283x_spi_setChipSelectPolarity(uint8_t cs, uint8_t active);
// Full-duplex transfer of len bytes (tbuf and rbuf may be the same buffer). False when SPI0 is
// not mapped or the controller did not finish within BCM283x_SPI_TIMEOUT_US; rbuf is then
// zero-filled.
bool bcm283x_spi_transfernb(const char* tbuf, char* rbuf, uint32_t len);
// Write-only transfer; received bytes are dropped. False as above.
bool bcm283x_spi_writenb(const char* buf, uint32_t len);

// Low 32 bits of the 1 MHz system timer (0 while the timer is not mapped).
uint32_t bcm283x_st_read();

// GPIO interrupts through sysfs, one watch thread per registered pin.
constexpr unsigned BCM283x_RISING_EDGE = 0;
constexpr unsigned BCM283x_FALLING_EDGE = 1;
constexpr unsigned BCM283x_EITHER_EDGE = 2;
constexpr int BCM283x_BAD_USER_GPIO = -3;
constexpr int BCM283x_BAD_EDGE = -122;
constexpr int BCM283x_BAD_ISR_INIT = -123;

// level: 1 or 0 after an edge, 2 when the timeout passed without one. tick: system timer.
typedef void (*bcm283x_isr_func)(int gpio, int level, uint32_t tick);

// Registers func for gpio (exporting the pin and starting its watch thread), or with func null
// stops the watch and unexports the pin. timeout in ms; below 1 waits for ever.
int bcm283x_gpioSetISRFunc(unsigned gpio, unsigned edge, int timeout, bcm283x_isr_func func);

// True while a watch thread runs for gpio (tests and diagnostics).
bool bcm283x_isr_watching(unsigned gpio);

// Internal: stops every watch thread, keeping the pins exported.
void bcm283x_isr_stop_all();
