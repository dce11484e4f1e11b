// The register library's GPIO and SPI0 code, run against the register model.

#include "SimBcmBoard.h"
#include "bcm283x.h"

#include <QtTest>

#include <memory>
#include <random>
#include <vector>

namespace {

// Answers every byte with its bitwise complement and remembers what it was sent.
class ComplementDevice : public SimSpiDevice {
public:
    void select() override
    {
        ++frames;
        received.clear();
    }
    uint8_t exchange(uint8_t mosi) override
    {
        received.push_back(mosi);
        return uint8_t(~mosi);
    }
    void deselect() override { ++ends; }

    int frames = 0;
    int ends = 0;
    std::vector<uint8_t> received;
};

class FixedDevice : public SimSpiDevice {
public:
    explicit FixedDevice(uint8_t v) : value(v) {}
    uint8_t exchange(uint8_t) override { return value; }
    uint8_t value;
};

std::vector<char> random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<char> v(n);
    for (char& c : v)
        c = char(rng() & 0xFF);
    return v;
}

} // namespace

class TestBcm283xRegisters : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void gpio_function_select_data();
    void gpio_function_select();
    void gpio_set_clear_level_data();
    void gpio_set_clear_level();
    void gpio_pins_above_53_ignored_data();
    void gpio_pins_above_53_ignored();

    void spi_begin_values();
    void spi_chip_select_and_mode();
    void spi_transfer_data();
    void spi_transfer();
    void spi_transfer_in_place();
    void spi_write_only_data();
    void spi_write_only();
    void spi_routes_by_chip_select_and_gpio16();
    void spi_stalled_controller_times_out();
    void spi_not_mapped();

private:
    std::unique_ptr<SimBcmBoard> board_;
    SimBcmRegisters* regs() { return &board_->registers(); }
};

void TestBcm283xRegisters::init()
{
    board_ = std::make_unique<SimBcmBoard>();
    QVERIFY(bcm283x_init());
    QVERIFY(bcm283x_spi_mapped());
}

void TestBcm283xRegisters::cleanup()
{
    QCOMPARE(regs()->unknown_accesses(), 0u);
    board_.reset();
}

void TestBcm283xRegisters::gpio_function_select_data()
{
    QTest::addColumn<int>("pin");
    for (int pin : {0, 9, 10, 17, 29, 31, 32, 53})
        QTest::addRow("gpio%d", pin) << pin;
}

void TestBcm283xRegisters::gpio_function_select()
{
    QFETCH(int, pin);
    // Every pin on alternate function 0 first, so a change to a neighbour shows.
    for (uint8_t p = 0; p < 54; ++p)
        bcm283x_gpio_fsel(p, BCM283x_GPIO_FSEL_ALT0);
    std::vector<uint32_t> before;
    for (unsigned i = 0; i < 6; ++i)
        before.push_back(regs()->gpfsel(i));

    bcm283x_gpio_fsel(uint8_t(pin), BCM283x_GPIO_FSEL_OUTP);

    const unsigned index = unsigned(pin) / 10;
    const unsigned shift = 3 * (unsigned(pin) % 10);
    for (unsigned i = 0; i < 6; ++i) {
        uint32_t expected = before[i];
        if (i == index)
            expected = (expected & ~(7u << shift)) | (1u << shift);
        QCOMPARE(regs()->gpfsel(i), expected);
    }
    for (uint8_t p = 0; p < 54; ++p)
        QCOMPARE(int(regs()->function(p)), p == pin ? 1 : 4);

    bcm283x_gpio_fsel(uint8_t(pin), BCM283x_GPIO_FSEL_INPT);
    QCOMPARE(int(regs()->function(uint8_t(pin))), 0);
    QCOMPARE(regs()->gpfsel(index), before[index] & ~(7u << shift));
}

void TestBcm283xRegisters::gpio_set_clear_level_data()
{
    gpio_function_select_data();
}

void TestBcm283xRegisters::gpio_set_clear_level()
{
    QFETCH(int, pin);
    const uint8_t p = uint8_t(pin);
    const uint32_t set_reg = pin < 32 ? BCM283x_GPSET0 : BCM283x_GPSET1;
    const uint32_t clr_reg = pin < 32 ? BCM283x_GPCLR0 : BCM283x_GPCLR1;
    const uint32_t bit = 1u << (pin % 32);

    bcm283x_gpio_fsel(p, BCM283x_GPIO_FSEL_OUTP);
    regs()->clear_writes();
    bcm283x_gpio_write(p, 1);
    auto w = regs()->writes();
    QCOMPARE(int(w.size()), 1);
    QCOMPARE(w[0].block, BCM283x_BLOCK_GPIO);
    QCOMPARE(w[0].offset, set_reg);
    QCOMPARE(w[0].value, bit);
    QCOMPARE(int(bcm283x_gpio_lev(p)), 1);

    // Neighbours are inputs held high and low: the pin's level bit must not leak into them.
    const int below = pin - 1;
    const int above = pin + 1;
    if (below >= 0)
        regs()->set_input(uint8_t(below), false);
    if (above <= 53)
        regs()->set_input(uint8_t(above), true);
    if (below >= 0) {
        QCOMPARE(int(bcm283x_gpio_lev(uint8_t(below))), 0);
        QVERIFY(!regs()->output_latch(uint8_t(below)));
    }
    if (above <= 53) {
        QCOMPARE(int(bcm283x_gpio_lev(uint8_t(above))), 1);
        QVERIFY(!regs()->output_latch(uint8_t(above)));
    }

    regs()->clear_writes();
    bcm283x_gpio_write(p, 0);
    w = regs()->writes();
    QCOMPARE(int(w.size()), 1);
    QCOMPARE(w[0].offset, clr_reg);
    QCOMPARE(w[0].value, bit);
    QCOMPARE(int(bcm283x_gpio_lev(p)), 0);
    if (above <= 53)
        QCOMPARE(int(bcm283x_gpio_lev(uint8_t(above))), 1);

    // An input reads the outside level.
    bcm283x_gpio_fsel(p, BCM283x_GPIO_FSEL_INPT);
    regs()->set_input(p, true);
    QCOMPARE(int(bcm283x_gpio_lev(p)), 1);
}

void TestBcm283xRegisters::gpio_pins_above_53_ignored_data()
{
    QTest::addColumn<int>("pin");
    for (int pin : {54, 57, 63, 64, 200, 255})
        QTest::addRow("gpio%d", pin) << pin;
}

void TestBcm283xRegisters::gpio_pins_above_53_ignored()
{
    QFETCH(int, pin);
    for (uint8_t p = 0; p < 54; ++p)
        regs()->set_input(p, true);
    regs()->clear_writes();
    bcm283x_gpio_fsel(uint8_t(pin), BCM283x_GPIO_FSEL_OUTP);
    bcm283x_gpio_write(uint8_t(pin), 1);
    bcm283x_gpio_write(uint8_t(pin), 0);
    QCOMPARE(int(regs()->writes().size()), 0);
    QCOMPARE(int(bcm283x_gpio_lev(uint8_t(pin))), 0);
}

void TestBcm283xRegisters::spi_begin_values()
{
    for (uint8_t p = 0; p < 54; ++p)
        bcm283x_gpio_fsel(p, BCM283x_GPIO_FSEL_OUTP);
    regs()->clear_writes();
    QVERIFY(bcm283x_spi_begin());
    for (uint8_t p = 0; p < 54; ++p)
        QCOMPARE(int(regs()->function(p)), (p >= 7 && p <= 11) ? 4 : 1);
    // CS written 0, then the FIFO clear.
    std::vector<uint32_t> cs_writes;
    for (const auto& w : regs()->writes())
        if (w.block == BCM283x_BLOCK_SPI0 && w.offset == BCM283x_SPI0_CS)
            cs_writes.push_back(w.value);
    QCOMPARE(cs_writes, (std::vector<uint32_t>{0u, 0x30u}));

    bcm283x_spi_end();
    for (uint8_t p = 7; p <= 11; ++p)
        QCOMPARE(int(regs()->function(p)), 0);
    QCOMPARE(int(regs()->function(6)), 1);
    QCOMPARE(int(regs()->function(12)), 1);
}

void TestBcm283xRegisters::spi_chip_select_and_mode()
{
    QVERIFY(bcm283x_spi_begin());
    bcm283x_spi_setDataMode(BCM283x_SPI_MODE3);
    QCOMPARE(regs()->spi_cs() & 0x0Cu, 0x0Cu);
    bcm283x_spi_setDataMode(BCM283x_SPI_MODE0);
    QCOMPARE(regs()->spi_cs() & 0x0Cu, 0u);
    bcm283x_spi_setClockDivider(BCM283x_SPI_CLOCK_DIVIDER_32);
    QCOMPARE(regs()->spi_clk(), 32u);
    bcm283x_spi_chipSelect(BCM283x_SPI_CS1);
    QCOMPARE(regs()->spi_cs() & 3u, 1u);
    bcm283x_spi_setChipSelectPolarity(BCM283x_SPI_CS1, 1);
    QCOMPARE(regs()->spi_cs() & (7u << 21), 1u << 22);
    bcm283x_spi_setChipSelectPolarity(BCM283x_SPI_CS0, 1);
    QCOMPARE(regs()->spi_cs() & (7u << 21), 3u << 21);
    bcm283x_spi_setChipSelectPolarity(BCM283x_SPI_CS1, 0);
    QCOMPARE(regs()->spi_cs() & (7u << 21), 1u << 21);
    bcm283x_spi_chipSelect(BCM283x_SPI_CS0);
    QCOMPARE(regs()->spi_cs() & 3u, 0u);
    QCOMPARE(regs()->spi_cs() & 0x0Cu, 0u); // the mode survived
}

void TestBcm283xRegisters::spi_transfer_data()
{
    QTest::addColumn<int>("len");
    for (int len : {1, 37, 64, 300})
        QTest::addRow("%d bytes", len) << len;
}

void TestBcm283xRegisters::spi_transfer()
{
    QFETCH(int, len);
    ComplementDevice device;
    regs()->attach_device(0, &device);
    QVERIFY(bcm283x_spi_begin());

    const std::vector<char> tx = random_bytes(size_t(len), unsigned(len));
    std::vector<char> rx(size_t(len), char(0x5A));
    QVERIFY(bcm283x_spi_transfernb(tx.data(), rx.data(), uint32_t(len)));

    QCOMPARE(device.frames, 1);
    QCOMPARE(device.ends, 1);
    QCOMPARE(device.received.size(), size_t(len));
    for (int i = 0; i < len; ++i) {
        QCOMPARE(device.received[size_t(i)], uint8_t(tx[size_t(i)]));
        QCOMPARE(uint8_t(rx[size_t(i)]), uint8_t(~uint8_t(tx[size_t(i)])));
    }
    QCOMPARE(regs()->spi_cs() & BCM283x_SPI0_CS_TA, 0u);
}

void TestBcm283xRegisters::spi_transfer_in_place()
{
    ComplementDevice device;
    regs()->attach_device(0, &device);
    QVERIFY(bcm283x_spi_begin());
    const std::vector<char> original = random_bytes(100, 7);
    std::vector<char> buf = original;
    QVERIFY(bcm283x_spi_transfernb(buf.data(), buf.data(), uint32_t(buf.size())));
    for (size_t i = 0; i < buf.size(); ++i)
        QCOMPARE(uint8_t(buf[i]), uint8_t(~uint8_t(original[i])));
}

void TestBcm283xRegisters::spi_write_only_data()
{
    spi_transfer_data();
}

void TestBcm283xRegisters::spi_write_only()
{
    QFETCH(int, len);
    ComplementDevice device;
    regs()->attach_device(0, &device);
    QVERIFY(bcm283x_spi_begin());
    const std::vector<char> tx = random_bytes(size_t(len), 99);
    QVERIFY(bcm283x_spi_writenb(tx.data(), uint32_t(len)));
    QCOMPARE(device.frames, 1);
    QCOMPARE(device.received, std::vector<uint8_t>(tx.begin(), tx.end()));
    QCOMPARE(regs()->spi_cs() & BCM283x_SPI0_CS_TA, 0u);

    // Nothing of it is left in the FIFOs for the next transfer.
    std::vector<char> rx(4);
    const char next[4] = {1, 2, 3, 4};
    QVERIFY(bcm283x_spi_transfernb(next, rx.data(), 4));
    QCOMPARE(uint8_t(rx[0]), uint8_t(0xFE));
    QCOMPARE(uint8_t(rx[3]), uint8_t(0xFB));
}

void TestBcm283xRegisters::spi_routes_by_chip_select_and_gpio16()
{
    FixedDevice fpga(0xF0), flash(0x0F), cs1(0x11);
    regs()->attach_device(0, 16, high, &fpga);
    regs()->attach_device(0, 16, low, &flash);
    regs()->attach_device(1, &cs1);
    QVERIFY(bcm283x_spi_begin());
    const char tx[3] = {0, 0, 0};
    char rx[3];

    bcm283x_gpio_fsel(16, BCM283x_GPIO_FSEL_OUTP);
    bcm283x_gpio_write(16, 1);
    bcm283x_spi_chipSelect(BCM283x_SPI_CS0);
    QVERIFY(bcm283x_spi_transfernb(tx, rx, 3));
    QCOMPARE(uint8_t(rx[2]), uint8_t(0xF0));

    bcm283x_gpio_write(16, 0);
    QVERIFY(bcm283x_spi_transfernb(tx, rx, 3));
    QCOMPARE(uint8_t(rx[2]), uint8_t(0x0F));

    bcm283x_spi_chipSelect(BCM283x_SPI_CS1);
    QVERIFY(bcm283x_spi_transfernb(tx, rx, 3));
    QCOMPARE(uint8_t(rx[2]), uint8_t(0x11));
}

void TestBcm283xRegisters::spi_stalled_controller_times_out()
{
    ComplementDevice device;
    regs()->attach_device(0, &device);
    QVERIFY(bcm283x_spi_begin());
    regs()->set_spi_stalled(true);

    std::vector<char> tx(37, 0x33), rx(37, char(0xAA));
    QVERIFY(!bcm283x_spi_transfernb(tx.data(), rx.data(), 37));
    QCOMPARE(rx, std::vector<char>(37, 0));
    QCOMPARE(regs()->spi_cs() & BCM283x_SPI0_CS_TA, 0u);
    QVERIFY(!bcm283x_spi_writenb(tx.data(), 37));
    QCOMPARE(regs()->spi_cs() & BCM283x_SPI0_CS_TA, 0u);

    // The controller recovers: the next transfer runs normally.
    regs()->set_spi_stalled(false);
    QVERIFY(bcm283x_spi_transfernb(tx.data(), rx.data(), 37));
    QCOMPARE(uint8_t(rx[36]), uint8_t(0xCC));
}

void TestBcm283xRegisters::spi_not_mapped()
{
    bcm283x_close();
    QVERIFY(!bcm283x_spi_mapped());
    QVERIFY(!bcm283x_spi_begin());
    std::vector<char> tx(8, 1), rx(8, char(0xAA));
    QVERIFY(!bcm283x_spi_transfernb(tx.data(), rx.data(), 8));
    QCOMPARE(rx, std::vector<char>(8, 0));
    QVERIFY(!bcm283x_spi_writenb(tx.data(), 8));
    regs()->clear_writes();
    bcm283x_gpio_write(4, 1);
    bcm283x_spi_setClockDivider(32);
    QCOMPARE(int(regs()->writes().size()), 0);
}

QTEST_GUILESS_MAIN(TestBcm283xRegisters)
#include "test_bcm283x_registers.moc"
