// The BCM283x pin worker on the register model: initialisation, pins, SPI, failure paths and
// interrupts.

#include "BCM283x_Pin_Worker.h"
#include "CoutCapture.h"
#include "SimBcmBoard.h"
#include "SystemPaths.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

class ComplementDevice : public SimSpiDevice {
public:
    void select() override { ++frames; }
    uint8_t exchange(uint8_t mosi) override
    {
        received.push_back(mosi);
        return uint8_t(~mosi);
    }
    int frames = 0;
    std::vector<uint8_t> received;
};

class FixedDevice : public SimSpiDevice {
public:
    explicit FixedDevice(uint8_t v) : value(v) {}
    uint8_t exchange(uint8_t) override { return value; }
    uint8_t value;
};

} // namespace

class TestBcm283xPinWorker : public QObject {
    Q_OBJECT

private slots:
    void cleanup();

    void init_sets_up_spi0();
    void pins_data();
    void pins();
    void pins_above_53_ignored();
    void spi_transfers_on_chip_selects();
    void spi_timeout_reports_failure();
    void chip_select_polarity();
    void close_and_init_again();
    void not_root_stays_uninitialised();
    void failed_init_touches_no_register();
    void system_paths_reach_the_library();
    void interrupts_through_worker();

private:
    std::unique_ptr<SimBcmBoard> board_;
};

void TestBcm283xPinWorker::cleanup()
{
    board_.reset();
}

void TestBcm283xPinWorker::init_sets_up_spi0()
{
    board_ = std::make_unique<SimBcmBoard>();
    SimBcmRegisters& regs = board_->registers();
    BCM283x_Pin_Worker worker;
    QVERIFY(!worker.is_inited());
    QVERIFY(worker.init());
    QVERIFY(worker.is_inited());
    for (uint8_t pin = 7; pin <= 11; ++pin)
        QCOMPARE(int(regs.function(pin)), int(BCM283x_GPIO_FSEL_ALT0));
    const uint32_t cs = regs.spi_cs();
    QCOMPARE(cs & BCM283x_SPI0_CS_CS, 0u);                                    // CS0
    QCOMPARE(cs & (BCM283x_SPI0_CS_CPOL | BCM283x_SPI0_CS_CPHA), 0u);         // mode 0
    QCOMPARE(cs & BCM283x_SPI0_CS_CSPOL0, 0u);                                // CS0 active low
    QCOMPARE(cs & BCM283x_SPI0_CS_TA, 0u);
    QCOMPARE(regs.spi_clk(), 32u);
    QVERIFY(worker.init()); // a second init keeps the mapping
    QCOMPARE(regs.unknown_accesses(), 0u);
}

void TestBcm283xPinWorker::pins_data()
{
    QTest::addColumn<int>("pin");
    for (int pin : {0, 5, 16, 23, 26, 31, 32, 53})
        QTest::addRow("gpio%d", pin) << pin;
}

void TestBcm283xPinWorker::pins()
{
    QFETCH(int, pin);
    board_ = std::make_unique<SimBcmBoard>();
    SimBcmRegisters& regs = board_->registers();
    BCM283x_Pin_Worker worker;
    QVERIFY(worker.init());
    const uint8_t p = uint8_t(pin);

    // Reading leaves the pin's function alone.
    regs.set_input(p, true);
    QCOMPARE(worker.get_pin_state(p), high);
    QCOMPARE(int(regs.function(p)), pin >= 7 && pin <= 11 ? 4 : 0);

    worker.set_pin_state(p, high);
    QCOMPARE(int(regs.function(p)), int(BCM283x_GPIO_FSEL_OUTP));
    QVERIFY(regs.output_latch(p));
    QCOMPARE(worker.get_pin_state(p), high);
    worker.set_pin_state(p, low);
    QCOMPARE(worker.get_pin_state(p), low);
    worker.set_pin_state(p, high);
    worker.set_pin_state(p, fault); // anything but high drives low
    QCOMPARE(worker.get_pin_state(p), low);
    QVERIFY(!regs.output_latch(p));
}

void TestBcm283xPinWorker::pins_above_53_ignored()
{
    board_ = std::make_unique<SimBcmBoard>();
    SimBcmRegisters& regs = board_->registers();
    BCM283x_Pin_Worker worker;
    QVERIFY(worker.init());
    regs.clear_writes();
    for (int pin : {54, 64, 255}) {
        worker.set_pin_state(uint8_t(pin), high);
        QCOMPARE(worker.get_pin_state(uint8_t(pin)), fault);
    }
    QCOMPARE(int(regs.writes().size()), 0);
    QCOMPARE(regs.unknown_accesses(), 0u);
}

void TestBcm283xPinWorker::spi_transfers_on_chip_selects()
{
    board_ = std::make_unique<SimBcmBoard>();
    ComplementDevice cs0;
    FixedDevice cs1(0x42);
    board_->registers().attach_device(0, &cs0);
    board_->registers().attach_device(1, &cs1);
    BCM283x_Pin_Worker worker;
    QVERIFY(worker.init());

    std::vector<char> tx(37), rx(37);
    for (size_t i = 0; i < tx.size(); ++i)
        tx[i] = char(i * 7);
    QVERIFY(worker.read_write_spi(tx.data(), rx.data(), CS0, 37));
    for (size_t i = 0; i < tx.size(); ++i)
        QCOMPARE(uint8_t(rx[i]), uint8_t(~uint8_t(tx[i])));
    QVERIFY(worker.read_write_spi(tx.data(), rx.data(), CS1, 37));
    QCOMPARE(uint8_t(rx[36]), uint8_t(0x42));

    cs0.received.clear();
    QVERIFY(worker.write_spi(tx.data(), CS0, 37));
    QCOMPARE(cs0.received, std::vector<uint8_t>(tx.begin(), tx.end()));
    QCOMPARE(cs0.frames, 2);
    QCOMPARE(board_->registers().unknown_accesses(), 0u);
}

void TestBcm283xPinWorker::spi_timeout_reports_failure()
{
    board_ = std::make_unique<SimBcmBoard>();
    ComplementDevice device;
    board_->registers().attach_device(0, &device);
    BCM283x_Pin_Worker worker;
    QVERIFY(worker.init());
    board_->registers().set_spi_stalled(true);

    std::vector<char> tx(9, 0x0B), rx(9, char(0x77));
    CoutCapture out;
    QVERIFY(!worker.read_write_spi(tx.data(), rx.data(), CS0, 9));
    QCOMPARE(rx, std::vector<char>(9, 0));
    QVERIFY(!worker.write_spi(tx.data(), CS0, 9));
    QCOMPARE(QString::fromStdString(out.text()).count('\n'), 2); // one line per failed transfer
    QVERIFY(QString::fromStdString(out.text()).contains("timed out"));

    board_->registers().set_spi_stalled(false);
    QVERIFY(worker.read_write_spi(tx.data(), rx.data(), CS0, 9));
    QCOMPARE(uint8_t(rx[0]), uint8_t(0xF4));
}

void TestBcm283xPinWorker::chip_select_polarity()
{
    board_ = std::make_unique<SimBcmBoard>();
    BCM283x_Pin_Worker worker;
    QVERIFY(worker.init());
    worker.setChipSelectPolarity(CS1, true);
    QCOMPARE(board_->registers().spi_cs() & (7u << 21), 1u << 22);
    QCOMPARE(board_->registers().spi_cs() & 3u, 1u);
    worker.setChipSelectPolarity(CS1, false);
    QCOMPARE(board_->registers().spi_cs() & (7u << 21), 0u);
    worker.setChipSelectPolarity(CS0, true);
    QCOMPARE(board_->registers().spi_cs() & (7u << 21), 1u << 21);
    QCOMPARE(board_->registers().spi_cs() & 3u, 0u);
}

void TestBcm283xPinWorker::close_and_init_again()
{
    board_ = std::make_unique<SimBcmBoard>();
    SimBcmRegisters& regs = board_->registers();
    ComplementDevice device;
    regs.attach_device(0, &device);
    BCM283x_Pin_Worker worker;
    QVERIFY(worker.init());
    // A transceiver set-up takes the SPI pins over as outputs...
    worker.set_pin_state(7, high);
    worker.set_pin_state(8, high);
    worker.close();
    QVERIFY(!worker.is_inited());
    QVERIFY(!bcm283x_gpio_mapped());
    for (uint8_t pin = 9; pin <= 11; ++pin)
        QCOMPARE(int(regs.function(pin)), 0);
    QCOMPARE(worker.get_pin_state(17), fault);
    std::vector<char> tx(4, 1), rx(4, char(0x55));
    QVERIFY(!worker.read_write_spi(tx.data(), rx.data(), CS0, 4));
    QCOMPARE(rx, std::vector<char>(4, 0));
    QCOMPARE(device.frames, 0);

    // ... and init gives them back to SPI.
    QVERIFY(worker.init());
    for (uint8_t pin = 7; pin <= 11; ++pin)
        QCOMPARE(int(regs.function(pin)), int(BCM283x_GPIO_FSEL_ALT0));
    QVERIFY(worker.read_write_spi(tx.data(), rx.data(), CS0, 4));
    QCOMPARE(uint8_t(rx[0]), uint8_t(0xFE));
}

void TestBcm283xPinWorker::not_root_stays_uninitialised()
{
    board_ = std::make_unique<SimBcmBoard>(0x3F000000, false);
    CoutCapture out;
    {
        BCM283x_Pin_Worker worker;
        QVERIFY(!worker.init());
        QVERIFY(!worker.is_inited());
        QVERIFY(bcm283x_gpio_mapped()); // GPIO alone came through /dev/gpiomem
        QVERIFY(!bcm283x_spi_mapped());
        QCOMPARE(worker.get_pin_state(4), fault);
    }
    QVERIFY(QString::fromStdString(out.text()).contains("bcm283x_spi_begin failed. Are you running as root??\n"));
    QVERIFY(!bcm283x_gpio_mapped()); // the destructor unmapped it
}

void TestBcm283xPinWorker::failed_init_touches_no_register()
{
    board_ = std::make_unique<SimBcmBoard>();
    QFile::remove(QString::fromStdString(board_->system().ranges_path));
    SimBcmRegisters& regs = board_->registers();
    ComplementDevice device;
    regs.attach_device(0, &device);
    {
        CoutCapture out;
        BCM283x_Pin_Worker worker;
        QVERIFY(!worker.init());
        QVERIFY(QString::fromStdString(out.text()).contains("bcm283x_spi_begin failed. Are you running as root??"));
        worker.set_pin_state(17, high);
        QCOMPARE(worker.get_pin_state(17), fault);
        std::vector<char> tx(4, 1), rx(4, char(0x55));
        QVERIFY(!worker.read_write_spi(tx.data(), rx.data(), CS0, 4));
        QCOMPARE(rx, std::vector<char>(4, 0));
        QVERIFY(!worker.write_spi(tx.data(), CS0, 4));
        worker.setChipSelectPolarity(CS1, true);
        worker.close();
        worker.close();
    } // and the destructor
    QCOMPARE(int(regs.writes().size()), 0);
    QCOMPARE(regs.unknown_accesses(), 0u);
    QCOMPARE(device.frames, 0);
}

void TestBcm283xPinWorker::system_paths_reach_the_library()
{
    board_ = std::make_unique<SimBcmBoard>();
    // The station's paths, moved into a folder with a ranges file for an unknown SoC.
    QTemporaryDir root;
    QDir().mkpath(root.filePath("proc/device-tree/soc"));
    QFile ranges(root.filePath("proc/device-tree/soc/ranges"));
    QVERIFY(ranges.open(QIODevice::WriteOnly));
    ranges.write(QByteArray::fromHex("7E000000 12000000 01000000"));
    ranges.close();
    {
        BCM283x_Pin_Worker worker(SystemPaths::under(root.path()));
        QVERIFY(!worker.init());
    }
    QCOMPARE(bcm283x_get_system().ranges_path, root.filePath("proc/device-tree/soc/ranges").toStdString());
    QCOMPARE(bcm283x_get_system().mem_path, (root.path() + "/dev/mem").toStdString());
    QCOMPARE(bcm283x_get_system().sysfs_gpio_root, (root.path() + "/sys/class/gpio").toStdString());
    QCOMPARE(int(board_->registers().writes().size()), 0);
}

void TestBcm283xPinWorker::interrupts_through_worker()
{
    board_ = std::make_unique<SimBcmBoard>();
    board_->add_sysfs_pin(19);
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    std::atomic<int> opened{0};
    bcm283x_system sys = board_->system();
    sys.value_events = POLLIN;
    sys.open_value = [&](unsigned, const std::string&) {
        // An event pending at the start is consumed by the watch, not reported.
        if (::write(fds[1], "p", 1) != 1)
            return -1;
        ++opened;
        return ::dup(fds[0]);
    };
    board_->apply(sys);

    std::mutex m;
    std::vector<std::pair<int, int>> seen;
    BCM283x_Pin_Worker worker;
    worker.set_pin_isr(19, RISING, [&](int, int, uint32_t) { QFAIL("not initialised"); });
    QVERIFY(!bcm283x_isr_watching(19));
    QVERIFY(worker.init());
    worker.set_pin_isr(19, FALLING, [&](int gpio, int level, uint32_t) {
        std::lock_guard<std::mutex> lock(m);
        seen.push_back({gpio, level});
    });
    QVERIFY(bcm283x_isr_watching(19));
    QTRY_VERIFY(opened.load() == 1 && [&] {
        int available = -1;
        return ::ioctl(fds[0], FIONREAD, &available) == 0 && available == 0;
    }());

    board_->registers().set_input(19, false);
    QCOMPARE(::write(fds[1], "0", 1), ssize_t(1));
    QTRY_COMPARE(int([&] { std::lock_guard<std::mutex> lock(m); return seen.size(); }()), 1);
    {
        std::lock_guard<std::mutex> lock(m);
        QCOMPARE(seen[0], std::make_pair(19, 0));
    }
    QVERIFY(QFile(board_->sysfs_root() + "/gpio19/edge").open(QIODevice::ReadOnly));

    // Pin 54 is refused and changes nothing.
    worker.set_pin_isr(54, RISING, {});
    QVERIFY(bcm283x_isr_watching(19));
    // An empty callback ends the watch.
    worker.set_pin_isr(19, FALLING, {});
    QVERIFY(!bcm283x_isr_watching(19));
    worker.close();
    ::close(fds[0]);
    ::close(fds[1]);
}

QTEST_GUILESS_MAIN(TestBcm283xPinWorker)
#include "test_bcm283x_pin_worker.moc"
