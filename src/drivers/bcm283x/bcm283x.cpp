#include "bcm283x.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

uint32_t bcm283x_peripherals_base = BCM283x_PERI_BASE_DEFAULT;
uint32_t bcm283x_peripherals_size = BCM283x_PERI_SIZE_DEFAULT;

#define BCM283x_NOT_MAPPED (reinterpret_cast<volatile uint32_t*>(MAP_FAILED))

volatile uint32_t* bcm283x_peripherals = BCM283x_NOT_MAPPED;
volatile uint32_t* bcm283x_gpio = BCM283x_NOT_MAPPED;
volatile uint32_t* bcm283x_spi0 = BCM283x_NOT_MAPPED;
volatile uint32_t* bcm283x_st = BCM283x_NOT_MAPPED;

namespace {

bcm283x_register_access* g_access = nullptr;
bcm283x_system g_system;
// Length of the current mapping (the whole block, or the GPIO-only mapping).
size_t g_mapped_length = 0;
uint8_t g_bit_order = BCM283x_SPI_BIT_ORDER_MSBFIRST;

inline bool is_mapped(volatile uint32_t* block)
{
    return block != BCM283x_NOT_MAPPED && block != nullptr;
}

inline volatile uint32_t* reg(volatile uint32_t* block, uint32_t byte_offset)
{
    return block + byte_offset / 4;
}

// Plain volatile accesses (no barriers).
inline uint32_t read_nb(volatile uint32_t* r)
{
    return g_access ? g_access->read(r) : *r;
}

inline void write_nb(volatile uint32_t* r, uint32_t value)
{
    if (g_access)
        g_access->write(r, value);
    else
        *r = value;
}

// Accesses bracketed by full memory barriers: the peripheral bus does not order reads and
// writes to different peripherals by itself.
inline uint32_t read_b(volatile uint32_t* r)
{
    __sync_synchronize();
    uint32_t value = read_nb(r);
    __sync_synchronize();
    return value;
}

inline void write_b(volatile uint32_t* r, uint32_t value)
{
    __sync_synchronize();
    write_nb(r, value);
    __sync_synchronize();
}

inline void set_bits(volatile uint32_t* r, uint32_t value, uint32_t mask)
{
    uint32_t v = read_b(r);
    write_b(r, (v & ~mask) | (value & mask));
}

uint8_t reverse_bits(uint8_t b)
{
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    return b;
}

inline uint8_t order_byte(uint8_t b)
{
    return g_bit_order == BCM283x_SPI_BIT_ORDER_LSBFIRST ? reverse_bits(b) : b;
}

bool running_as_root()
{
    if (g_system.is_root)
        return g_system.is_root();
    return geteuid() == 0;
}

uint32_t be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// Deadline for the SPI busy-waits, counted on the system timer. A timer that does not move at
// all (a broken mapping) also ends the wait, so no caller can spin for ever.
class spi_deadline {
public:
    spi_deadline() : start_(bcm283x_st_read()), last_(start_) {}
    bool expired()
    {
        uint32_t now = bcm283x_st_read();
        if (now == last_) {
            if (++stuck_ > (1u << 22))
                return true;
        } else {
            stuck_ = 0;
            last_ = now;
        }
        return uint32_t(now - start_) > BCM283x_SPI_TIMEOUT_US;
    }

private:
    uint32_t start_;
    uint32_t last_;
    uint32_t stuck_ = 0;
};

void abandon_transfer(volatile uint32_t* cs)
{
    set_bits(cs, BCM283x_SPI0_CS_CLEAR, BCM283x_SPI0_CS_CLEAR | BCM283x_SPI0_CS_TA);
}

void reset_pointers()
{
    bcm283x_peripherals = BCM283x_NOT_MAPPED;
    bcm283x_gpio = BCM283x_NOT_MAPPED;
    bcm283x_spi0 = BCM283x_NOT_MAPPED;
    bcm283x_st = BCM283x_NOT_MAPPED;
    g_mapped_length = 0;
}

bool read_ranges(uint32_t* base, uint32_t* size)
{
    FILE* fp = std::fopen(g_system.ranges_path.c_str(), "rb");
    if (!fp) {
        std::fprintf(stderr, "bcm283x_init: Unable to open %s: %s\n", g_system.ranges_path.c_str(),
            std::strerror(errno));
        return false;
    }
    uint8_t buf[16];
    size_t n = std::fread(buf, 1, sizeof(buf), fp);
    std::fclose(fp);
    if (!bcm283x_parse_ranges(buf, n, base, size)) {
        std::fprintf(stderr, "bcm283x_init: no known peripheral block in %s\n",
            g_system.ranges_path.c_str());
        return false;
    }
    return true;
}

} // namespace

void bcm283x_set_register_access(bcm283x_register_access* access)
{
    g_access = access;
}

bool bcm283x_register_of(const volatile uint32_t* r, bcm283x_block* block, uint32_t* offset)
{
    struct {
        volatile uint32_t* base;
        bcm283x_block id;
    } const blocks[] = {
        {bcm283x_gpio, BCM283x_BLOCK_GPIO},
        {bcm283x_spi0, BCM283x_BLOCK_SPI0},
        {bcm283x_st, BCM283x_BLOCK_ST},
    };
    for (const auto& b : blocks) {
        if (!is_mapped(b.base))
            continue;
        if (r >= b.base && r < b.base + BCM283x_BLOCK_SIZE / 4) {
            if (block)
                *block = b.id;
            if (offset)
                *offset = uint32_t(r - b.base) * 4;
            return true;
        }
    }
    return false;
}

void bcm283x_set_system(const bcm283x_system& system)
{
    g_system = system;
}

const bcm283x_system& bcm283x_get_system()
{
    return g_system;
}

bool bcm283x_parse_ranges(const uint8_t* data, size_t len, uint32_t* base, uint32_t* size)
{
    if (!data || len < 12)
        return false;
    if (data[0] != 0x7E || data[1] != 0 || data[2] != 0 || data[3] != 0)
        return false;
    uint32_t b = be32(data + 4);
    uint32_t s = be32(data + 8);
    if (b == 0) {
        // 64-bit layout: the CPU address takes two cells.
        if (len < 16)
            return false;
        b = be32(data + 8);
        s = be32(data + 12);
    }
    if (b != 0x20000000 && b != 0x3F000000 && b != 0xFE000000)
        return false;
    *base = b;
    *size = s;
    return true;
}

bool bcm283x_init()
{
    if (is_mapped(bcm283x_gpio))
        return true;

    uint32_t base = 0, size = 0;
    if (!read_ranges(&base, &size))
        return false;
    bcm283x_peripherals_base = base;
    bcm283x_peripherals_size = size;

    bool ok = false;
    int fd = -1;
    if (!running_as_root()) {
        fd = ::open(g_system.gpiomem_path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "bcm283x_init: Unable to open %s: %s\n", g_system.gpiomem_path.c_str(),
                std::strerror(errno));
        } else if (size < BCM283x_BLOCK_SIZE) {
            std::fprintf(stderr, "bcm283x_init: peripheral block of %u bytes is too small\n", size);
        } else {
            void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p == MAP_FAILED) {
                std::fprintf(stderr, "bcm283x_init: %s mmap failed: %s\n", "gpio", std::strerror(errno));
            } else {
                bcm283x_peripherals = static_cast<volatile uint32_t*>(p);
                bcm283x_gpio = bcm283x_peripherals;
                g_mapped_length = size;
                ok = true;
            }
        }
    } else {
        fd = ::open(g_system.mem_path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "bcm283x_init: Unable to open %s: %s\n", g_system.mem_path.c_str(),
                std::strerror(errno));
        } else if (size < BCM283x_SPI0_BASE + BCM283x_BLOCK_SIZE) {
            std::fprintf(stderr, "bcm283x_init: peripheral block of %u bytes is too small\n", size);
        } else {
            void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(base));
            if (p == MAP_FAILED) {
                std::fprintf(stderr, "bcm283x_init: %s mmap failed: %s\n", "gpio", std::strerror(errno));
            } else {
                bcm283x_peripherals = static_cast<volatile uint32_t*>(p);
                bcm283x_gpio = bcm283x_peripherals + BCM283x_GPIO_BASE / 4;
                bcm283x_spi0 = bcm283x_peripherals + BCM283x_SPI0_BASE / 4;
                bcm283x_st = bcm283x_peripherals + BCM283x_ST_BASE / 4;
                g_mapped_length = size;
                ok = true;
            }
        }
    }
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        bcm283x_close();
    return ok;
}

bool bcm283x_close()
{
    // The watch threads read the level and timer registers: they go first.
    bcm283x_isr_stop_all();
    if (is_mapped(bcm283x_peripherals) && g_mapped_length > 0)
        munmap(const_cast<uint32_t*>(bcm283x_peripherals), g_mapped_length);
    reset_pointers();
    return true;
}

bool bcm283x_gpio_mapped()
{
    return is_mapped(bcm283x_gpio);
}

bool bcm283x_spi_mapped()
{
    return is_mapped(bcm283x_spi0);
}

void bcm283x_gpio_fsel(uint8_t pin, uint8_t mode)
{
    if (pin >= BCM283x_GPIO_COUNT || !is_mapped(bcm283x_gpio))
        return;
    volatile uint32_t* r = reg(bcm283x_gpio, BCM283x_GPFSEL0 + 4u * (pin / 10));
    unsigned shift = 3u * (pin % 10);
    set_bits(r, uint32_t(mode & 7u) << shift, 7u << shift);
}

void bcm283x_gpio_set(uint8_t pin)
{
    if (pin >= BCM283x_GPIO_COUNT || !is_mapped(bcm283x_gpio))
        return;
    write_b(reg(bcm283x_gpio, BCM283x_GPSET0 + 4u * (pin / 32)), 1u << (pin % 32));
}

void bcm283x_gpio_clr(uint8_t pin)
{
    if (pin >= BCM283x_GPIO_COUNT || !is_mapped(bcm283x_gpio))
        return;
    write_b(reg(bcm283x_gpio, BCM283x_GPCLR0 + 4u * (pin / 32)), 1u << (pin % 32));
}

void bcm283x_gpio_write(uint8_t pin, uint8_t on)
{
    if (on)
        bcm283x_gpio_set(pin);
    else
        bcm283x_gpio_clr(pin);
}

uint8_t bcm283x_gpio_lev(uint8_t pin)
{
    if (pin >= BCM283x_GPIO_COUNT || !is_mapped(bcm283x_gpio))
        return 0;
    uint32_t v = read_b(reg(bcm283x_gpio, BCM283x_GPLEV0 + 4u * (pin / 32)));
    return (v & (1u << (pin % 32))) ? 1 : 0;
}

bool bcm283x_spi_begin()
{
    if (!is_mapped(bcm283x_spi0) || !is_mapped(bcm283x_gpio))
        return false;
    for (uint8_t pin = 7; pin <= 11; ++pin)
        bcm283x_gpio_fsel(pin, BCM283x_GPIO_FSEL_ALT0); // CE1, CE0, MISO, MOSI, SCLK
    volatile uint32_t* cs = reg(bcm283x_spi0, BCM283x_SPI0_CS);
    write_b(cs, 0);
    write_nb(cs, BCM283x_SPI0_CS_CLEAR);
    return true;
}

void bcm283x_spi_end()
{
    for (uint8_t pin = 7; pin <= 11; ++pin)
        bcm283x_gpio_fsel(pin, BCM283x_GPIO_FSEL_INPT);
}

void bcm283x_spi_setBitOrder(uint8_t order)
{
    g_bit_order = order;
}

void bcm283x_spi_setDataMode(uint8_t mode)
{
    if (!is_mapped(bcm283x_spi0))
        return;
    set_bits(reg(bcm283x_spi0, BCM283x_SPI0_CS), uint32_t(mode) << 2,
        BCM283x_SPI0_CS_CPOL | BCM283x_SPI0_CS_CPHA);
}

void bcm283x_spi_setClockDivider(uint16_t divider)
{
    if (!is_mapped(bcm283x_spi0))
        return;
    write_b(reg(bcm283x_spi0, BCM283x_SPI0_CLK), divider);
}

void bcm283x_spi_chipSelect(uint8_t cs)
{
    if (!is_mapped(bcm283x_spi0))
        return;
    set_bits(reg(bcm283x_spi0, BCM283x_SPI0_CS), cs, BCM283x_SPI0_CS_CS);
}

void bcm283x_spi_setChipSelectPolarity(uint8_t cs, uint8_t active)
{
    if (!is_mapped(bcm283x_spi0) || cs > 2)
        return;
    unsigned shift = 21u + cs;
    set_bits(reg(bcm283x_spi0, BCM283x_SPI0_CS), uint32_t(active ? 1 : 0) << shift, 1u << shift);
}

bool bcm283x_spi_transfernb(const char* tbuf, char* rbuf, uint32_t len)
{
    if (!is_mapped(bcm283x_spi0)) {
        if (rbuf && len)
            std::memset(rbuf, 0, len);
        return false;
    }
    volatile uint32_t* cs = reg(bcm283x_spi0, BCM283x_SPI0_CS);
    volatile uint32_t* fifo = reg(bcm283x_spi0, BCM283x_SPI0_FIFO);
    uint32_t tx_count = 0;
    uint32_t rx_count = 0;

    set_bits(cs, BCM283x_SPI0_CS_CLEAR, BCM283x_SPI0_CS_CLEAR);
    set_bits(cs, BCM283x_SPI0_CS_TA, BCM283x_SPI0_CS_TA);

    spi_deadline deadline;
    bool timed_out = false;
    while (tx_count < len || rx_count < len) {
        while ((read_b(cs) & BCM283x_SPI0_CS_TXD) && tx_count < len) {
            write_nb(fifo, order_byte(static_cast<uint8_t>(tbuf[tx_count])));
            ++tx_count;
        }
        while ((read_b(cs) & BCM283x_SPI0_CS_RXD) && rx_count < len) {
            rbuf[rx_count] = static_cast<char>(order_byte(static_cast<uint8_t>(read_nb(fifo))));
            ++rx_count;
        }
        if ((tx_count < len || rx_count < len) && deadline.expired()) {
            timed_out = true;
            break;
        }
    }
    while (!timed_out && !(read_nb(cs) & BCM283x_SPI0_CS_DONE)) {
        if (deadline.expired())
            timed_out = true;
    }
    if (timed_out) {
        abandon_transfer(cs);
        if (len)
            std::memset(rbuf, 0, len);
        return false;
    }
    set_bits(cs, 0, BCM283x_SPI0_CS_TA);
    return true;
}

bool bcm283x_spi_writenb(const char* buf, uint32_t len)
{
    if (!is_mapped(bcm283x_spi0))
        return false;
    volatile uint32_t* cs = reg(bcm283x_spi0, BCM283x_SPI0_CS);
    volatile uint32_t* fifo = reg(bcm283x_spi0, BCM283x_SPI0_FIFO);

    set_bits(cs, BCM283x_SPI0_CS_CLEAR, BCM283x_SPI0_CS_CLEAR);
    set_bits(cs, BCM283x_SPI0_CS_TA, BCM283x_SPI0_CS_TA);

    spi_deadline deadline;
    for (uint32_t i = 0; i < len; ++i) {
        while (!(read_b(cs) & BCM283x_SPI0_CS_TXD)) {
            if (deadline.expired()) {
                abandon_transfer(cs);
                return false;
            }
        }
        write_nb(fifo, order_byte(static_cast<uint8_t>(buf[i])));
        while (read_b(cs) & BCM283x_SPI0_CS_RXD)
            (void)read_nb(fifo);
    }
    while (!(read_nb(cs) & BCM283x_SPI0_CS_DONE)) {
        while (read_b(cs) & BCM283x_SPI0_CS_RXD)
            (void)read_nb(fifo);
        if (deadline.expired()) {
            abandon_transfer(cs);
            return false;
        }
    }
    set_bits(cs, 0, BCM283x_SPI0_CS_TA);
    return true;
}

uint32_t bcm283x_st_read()
{
    if (!is_mapped(bcm283x_st))
        return 0;
    return read_b(reg(bcm283x_st, BCM283x_ST_CLO));
}

// Used by the watch threads: no barriers, and safe while a block is not mapped.
uint32_t bcm283x_isr_read_tick()
{
    if (!is_mapped(bcm283x_st))
        return 0;
    return read_nb(reg(bcm283x_st, BCM283x_ST_CLO));
}

int bcm283x_isr_read_level(unsigned gpio)
{
    if (gpio >= BCM283x_GPIO_COUNT || !is_mapped(bcm283x_gpio))
        return 0;
    uint32_t v = read_nb(reg(bcm283x_gpio, BCM283x_GPLEV0 + 4u * (gpio / 32)));
    return (v & (1u << (gpio % 32))) ? 1 : 0;
}
