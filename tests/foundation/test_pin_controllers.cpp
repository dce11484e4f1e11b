// The board pin controllers on the simulated board: every pin sequence of every board (order
// and minimum delays), reads, locking, and the select-and-transfer operation.

#include "Base_Pin_Controller.h"
#include "QORM_LTE_Pin_Controller.h"
#include "QORM_Pin_Controller.h"
#include "Quabo_Pin_Controller.h"
#include "SimPinWorker.h"

#include <QtTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

using Clock = std::chrono::steady_clock;

namespace {

struct Board {
    std::unique_ptr<Base_Pin_Controller> controller;
    SimPinWorker* worker = nullptr;
};

Board make_board(int type, bool init_fails = false)
{
    auto worker = std::make_unique<SimPinWorker>();
    worker->set_init_fails(init_fails);
    Board b;
    b.worker = worker.get();
    switch (type) {
    case QORM:
        b.controller = std::make_unique<QORM_Pin_Controller>(std::move(worker));
        break;
    case QORM_LTE:
        b.controller = std::make_unique<QORM_LTE_Pin_Controller>(std::move(worker));
        break;
    case Quabo:
        b.controller = std::make_unique<Quabo_Pin_Controller>(std::move(worker));
        break;
    default:
        b.controller = std::make_unique<Base_Pin_Controller>(std::move(worker));
    }
    return b;
}

QString board_name(int type)
{
    switch (type) {
    case QORM:
        return "QORM";
    case QORM_LTE:
        return "QORM_LTE";
    case Quabo:
        return "Quabo";
    default:
        return "base";
    }
}

// "23H 23L" for the trace.
QString trace_text(const std::vector<SimPinWorker::TraceEntry>& trace)
{
    QStringList parts;
    for (const auto& e : trace)
        parts << QString::number(e.pin) + (e.level == high ? "H" : "L");
    return parts.join(' ');
}

qint64 ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(b - a).count() / 1000;
}

const QMap<QString, std::function<void(Base_Pin_Controller&)>>& actions()
{
    static const QMap<QString, std::function<void(Base_Pin_Controller&)>> map = {
        {"beep 50", [](Base_Pin_Controller& c) { c.beep(50); }},
        {"beep 0", [](Base_Pin_Controller& c) { c.beep(0); }},
        {"boot", [](Base_Pin_Controller& c) { c.bootArtix(); }},
        {"reboot axsem", [](Base_Pin_Controller& c) { c.rebootAxsem(); }},
        {"filter on", [](Base_Pin_Controller& c) { c.on_off_ext_filter(true); }},
        {"filter off", [](Base_Pin_Controller& c) { c.on_off_ext_filter(false); }},
        {"pulse on", [](Base_Pin_Controller& c) { c.on_off_one_sec_pulse_tester(true); }},
        {"pulse off", [](Base_Pin_Controller& c) { c.on_off_one_sec_pulse_tester(false); }},
        {"pulse on gpio 21",
            [](Base_Pin_Controller& c) {
                c.on_off_one_sec_pulse_gpio(21);
                c.on_off_one_sec_pulse_tester(true);
            }},
        {"led green", [](Base_Pin_Controller& c) { c.set_LED_color(Green); }},
        {"led red", [](Base_Pin_Controller& c) { c.set_LED_color(Red); }},
        {"led yellow", [](Base_Pin_Controller& c) { c.set_LED_color(Yellow); }},
        {"led off", [](Base_Pin_Controller& c) { c.set_LED_color(Switched_Off); }},
        {"led 7", [](Base_Pin_Controller& c) { c.set_LED_color(LED_Color(7)); }},
        {"led pins 5 6 green",
            [](Base_Pin_Controller& c) {
                c.set_LED_gpio(5, 6);
                c.set_LED_color(Green);
            }},
        {"set pin 12", [](Base_Pin_Controller& c) { c.set_pin_state(12, high); }},
        {"set pin 12 fault", [](Base_Pin_Controller& c) { c.set_pin_state(12, fault); }},
    };
    return map;
}

class RecordingDevice : public SimSpiDevice {
public:
    explicit RecordingDevice(uint8_t v) : value(v) {}
    void select() override
    {
        std::lock_guard<std::mutex> lock(m);
        selected_at.push_back(Clock::now());
    }
    uint8_t exchange(uint8_t) override { return value; }
    std::vector<Clock::time_point> selections()
    {
        std::lock_guard<std::mutex> lock(m);
        return selected_at;
    }
    const uint8_t value;
    std::mutex m;
    std::vector<Clock::time_point> selected_at;
};

} // namespace

class TestPinControllers : public QObject {
    Q_OBJECT

private slots:
    void sequences_data();
    void sequences();
    void uninitialised_board_leaves_no_trace_data();
    void uninitialised_board_leaves_no_trace();
    void reads_data();
    void reads();
    void quabo_door_reads_fault_during_pulse_test();
    void chip_select_polarity_only_on_qorm();
    void pin_interrupts_data();
    void pin_interrupts();
    void construction_initialises_and_close_init_reopens();
    void missing_worker_is_harmless();
    void spi_through_controller();
    void beep_holds_spi_off();
    void led_waits_for_boot();
    void select_and_transfer_is_one_operation();
};

void TestPinControllers::sequences_data()
{
    QTest::addColumn<int>("board");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("trace");
    // Minimum gap in ms between trace entries gap_from and gap_from + 1 (-1: none).
    QTest::addColumn<int>("gap_from");
    QTest::addColumn<int>("gap_ms");
    // Minimum duration of the whole call, in ms.
    QTest::addColumn<int>("total_ms");

    struct Row {
        const char* action;
        const char* trace;
        int gap_from, gap_ms, total_ms;
    };
    const Row artix[] = {
        {"beep 50", "23H 23L", 0, 50, 150},
        {"beep 0", "23H 23L", -1, 0, 100},
        {"boot", "26L 26H", 0, 5, 105},
        {"filter on", "13H 27L 22H 24H", -1, 0, 0},
        {"filter off", "13H 27H 22L 24L", -1, 0, 0},
        {"pulse on", "13L", -1, 0, 0},
        {"pulse off", "13H", -1, 0, 0},
        {"pulse on gpio 21", "13L", -1, 0, 0},
        {"led green", "", -1, 0, 0},
        {"led pins 5 6 green", "", -1, 0, 0},
        {"set pin 12", "12H", -1, 0, 0},
        {"set pin 12 fault", "12L", -1, 0, 0},
    };
    for (int board : {int(QORM), int(QORM_LTE)}) {
        for (const Row& r : artix)
            QTest::addRow("%s %s", qPrintable(board_name(board)), r.action)
                << board << r.action << r.trace << r.gap_from << r.gap_ms << r.total_ms;
    }
    QTest::newRow("QORM reboot axsem") << int(QORM) << "reboot axsem" << "6L 5L 5H" << -1 << 0 << 0;
    QTest::newRow("QORM_LTE reboot axsem") << int(QORM_LTE) << "reboot axsem" << "" << -1 << 0 << 0;

    const Row quabo[] = {
        {"beep 50", "", -1, 0, 0},
        {"boot", "16H 26L 26H", 1, 10, 210},
        {"reboot axsem", "", -1, 0, 0},
        {"filter on", "", -1, 0, 0},
        {"filter off", "", -1, 0, 0},
        {"pulse on", "20H", -1, 0, 0},
        {"pulse off", "20L", -1, 0, 0},
        {"pulse on gpio 21", "21H", -1, 0, 0},
        {"led green", "17H 3L", -1, 0, 0},
        {"led red", "17L 3H", -1, 0, 0},
        {"led yellow", "17H 3H", -1, 0, 0},
        {"led off", "17L 3L", -1, 0, 0},
        {"led 7", "", -1, 0, 0},
        {"led pins 5 6 green", "5H 6L", -1, 0, 0},
        {"set pin 12", "12H", -1, 0, 0},
    };
    for (const Row& r : quabo)
        QTest::addRow("Quabo %s", r.action) << int(Quabo) << r.action << r.trace << r.gap_from << r.gap_ms << r.total_ms;

    for (const char* action : {"beep 50", "boot", "reboot axsem", "filter on", "pulse on", "led green"})
        QTest::addRow("base %s", action) << int(Unknown_Type) << action << "" << -1 << 0 << 0;
    QTest::newRow("base set pin 12") << int(Unknown_Type) << "set pin 12" << "12H" << -1 << 0 << 0;
}

void TestPinControllers::sequences()
{
    QFETCH(int, board);
    QFETCH(QString, action);
    QFETCH(QString, trace);
    QFETCH(int, gap_from);
    QFETCH(int, gap_ms);
    QFETCH(int, total_ms);

    Board b = make_board(board);
    QVERIFY(b.controller->is_inited());
    const auto start = Clock::now();
    actions()[action](*b.controller);
    const auto end = Clock::now();

    const auto entries = b.worker->trace();
    QCOMPARE(trace_text(entries), trace);
    if (gap_from >= 0)
        QVERIFY2(ms_between(entries[size_t(gap_from)].time, entries[size_t(gap_from) + 1].time) >= gap_ms,
            "pulse shorter than its minimum");
    QVERIFY(ms_between(start, end) >= total_ms);
}

void TestPinControllers::uninitialised_board_leaves_no_trace_data()
{
    QTest::addColumn<int>("board");
    QTest::addColumn<QString>("action");
    for (int board : {int(QORM), int(QORM_LTE), int(Quabo)})
        for (const QString& action : actions().keys())
            QTest::addRow("%s %s", qPrintable(board_name(board)), qPrintable(action)) << board << action;
}

void TestPinControllers::uninitialised_board_leaves_no_trace()
{
    QFETCH(int, board);
    QFETCH(QString, action);
    Board b = make_board(board, true);
    QVERIFY(!b.controller->is_inited());
    actions()[action](*b.controller);
    QCOMPARE(trace_text(b.worker->trace()), QString());
    QCOMPARE(b.controller->get_pin_state(12), fault);
    QCOMPARE(b.controller->di_get(), fault);
}

void TestPinControllers::reads_data()
{
    QTest::addColumn<int>("board");
    QTest::addColumn<bool>("pin_reads");  // get_pin_state reads the pin
    QTest::addColumn<bool>("door_reads"); // di_get reads the door pin
    QTest::newRow("QORM") << int(QORM) << false << false;
    QTest::newRow("QORM_LTE") << int(QORM_LTE) << true << true;
    QTest::newRow("Quabo") << int(Quabo) << true << true;
    QTest::newRow("base") << int(Unknown_Type) << false << false;
}

void TestPinControllers::reads()
{
    QFETCH(int, board);
    QFETCH(bool, pin_reads);
    QFETCH(bool, door_reads);
    Board b = make_board(board);
    b.worker->set_input(4, high);
    QCOMPARE(b.controller->get_pin_state(4), pin_reads ? high : fault);
    b.worker->set_input(4, low);
    QCOMPARE(b.controller->get_pin_state(4), pin_reads ? low : fault);

    // The door starts on the configured default, GPIO 19, before any setter runs.
    b.worker->set_input(19, high);
    QCOMPARE(b.controller->di_get(), door_reads ? high : fault);
    b.controller->di_set_gpio(25);
    b.worker->set_input(25, low);
    QCOMPARE(b.controller->di_get(), door_reads ? low : fault);
    b.worker->set_input(25, high);
    QCOMPARE(b.controller->di_get(), door_reads ? high : fault);
    QCOMPARE(trace_text(b.worker->trace()), QString()); // reading drives nothing
}

void TestPinControllers::quabo_door_reads_fault_during_pulse_test()
{
    Board b = make_board(Quabo);
    b.worker->set_input(19, high);
    QCOMPARE(b.controller->di_get(), high);
    b.controller->on_off_one_sec_pulse_tester(true);
    QCOMPARE(b.controller->di_get(), fault);
    b.controller->on_off_one_sec_pulse_tester(false);
    QCOMPARE(b.controller->di_get(), high);
}

void TestPinControllers::chip_select_polarity_only_on_qorm()
{
    for (int board : {int(QORM), int(QORM_LTE), int(Quabo)}) {
        Board b = make_board(board);
        b.controller->setChipSelectPolarity(CS1, true);
        QCOMPARE(b.worker->chip_select_active_high(CS1), board == QORM);
        QVERIFY(!b.worker->chip_select_active_high(CS0));
    }
}

void TestPinControllers::pin_interrupts_data()
{
    QTest::addColumn<int>("board");
    QTest::addColumn<bool>("passed");
    QTest::newRow("QORM") << int(QORM) << false;
    QTest::newRow("QORM_LTE") << int(QORM_LTE) << true;
    QTest::newRow("Quabo") << int(Quabo) << true;
}

void TestPinControllers::pin_interrupts()
{
    QFETCH(int, board);
    QFETCH(bool, passed);
    Board b = make_board(board);
    std::vector<std::pair<int, int>> seen;
    b.controller->set_pin_isr(21, RISING, [&](int gpio, int level, uint32_t) { seen.push_back({gpio, level}); });
    b.worker->set_input(21, high);
    b.worker->set_input(21, low);
    b.worker->set_input(21, high);
    QCOMPARE(int(seen.size()), passed ? 2 : 0);
    if (passed)
        QCOMPARE(seen[0], std::make_pair(21, 1));
}

void TestPinControllers::construction_initialises_and_close_init_reopens()
{
    Board b = make_board(Quabo);
    QCOMPARE(b.worker->init_count(), 1u);
    QVERIFY(b.controller->is_inited());
    b.controller->close();
    QVERIFY(!b.controller->is_inited());
    b.controller->bootArtix();
    QCOMPARE(trace_text(b.worker->trace()), QString());
    QVERIFY(b.controller->init());
    QCOMPARE(b.worker->init_count(), 2u);
    QVERIFY(b.controller->is_inited());
}

void TestPinControllers::missing_worker_is_harmless()
{
    QORM_LTE_Pin_Controller c{std::unique_ptr<BasePinWorker>()};
    QVERIFY(!c.is_inited());
    QVERIFY(!c.init());
    c.close();
    c.beep(1);
    c.bootArtix();
    c.on_off_ext_filter(true);
    c.set_pin_state(4, high);
    QCOMPARE(c.get_pin_state(4), fault);
    QCOMPARE(c.di_get(), fault);
    char tx[4] = {1, 2, 3, 4}, rx[4] = {9, 9, 9, 9};
    QVERIFY(!c.read_write_spi(tx, rx, CS0, 4));
    QCOMPARE(QByteArray(rx, 4), QByteArray(4, '\0'));
    QVERIFY(!c.write_spi(tx, CS0, 4));
    QVERIFY(!c.select_read_write_spi(16, high, tx, rx, CS0, 4));
}

void TestPinControllers::spi_through_controller()
{
    Board b = make_board(QORM);
    RecordingDevice fpga(0xA5), cs1(0x3C);
    b.worker->attach_device(CS0, &fpga);
    b.worker->attach_device(CS1, &cs1);
    char tx[9] = {0x0B, 0x30}, rx[9] = {};
    QVERIFY(b.controller->read_write_spi(tx, rx, CS0, 9));
    QCOMPARE(uint8_t(rx[8]), uint8_t(0xA5));
    QVERIFY(b.controller->read_write_spi(tx, rx, CS1, 9));
    QCOMPARE(uint8_t(rx[8]), uint8_t(0x3C));
    QVERIFY(b.controller->write_spi(tx, CS0, 9));
    QCOMPARE(int(fpga.selections().size()), 2);

    Board dead = make_board(QORM, true);
    dead.worker->attach_device(CS0, &fpga);
    std::fill(rx, rx + 9, char(0x11));
    QVERIFY(!dead.controller->read_write_spi(tx, rx, CS0, 9));
    QCOMPARE(QByteArray(rx, 9), QByteArray(9, '\0'));
    QVERIFY(!dead.controller->write_spi(tx, CS0, 9));
    QCOMPARE(int(fpga.selections().size()), 2);
}

// A beep holds the controller mutex across its sleeps: SPI traffic waits until it has ended.
void TestPinControllers::beep_holds_spi_off()
{
    Board b = make_board(QORM_LTE);
    RecordingDevice fpga(0x01);
    b.worker->attach_device(CS0, &fpga);
    std::thread beeper([&] { b.controller->beep(60); });
    QTRY_VERIFY(!b.worker->trace().empty()); // GPIO 23 is high: the beep is under way
    char tx[5] = {}, rx[5] = {};
    QVERIFY(b.controller->read_write_spi(tx, rx, CS0, 5));
    beeper.join();
    const auto trace = b.worker->trace();
    QCOMPARE(trace_text(trace), QString("23H 23L"));
    QCOMPARE(int(fpga.selections().size()), 1);
    QVERIFY(ms_between(trace[1].time, fpga.selections()[0]) >= 100);
}

// set_LED_color takes the controller mutex like every other pin action.
void TestPinControllers::led_waits_for_boot()
{
    Board b = make_board(Quabo);
    std::thread booter([&] { b.controller->bootArtix(); });
    QTRY_VERIFY(b.worker->trace().size() >= 3); // GPIO 26 back high, the 200 ms wait runs
    b.controller->set_LED_color(Red);
    booter.join();
    const auto trace = b.worker->trace();
    QCOMPARE(trace_text(trace), QString("16H 26L 26H 17L 3H"));
    QVERIFY(ms_between(trace[2].time, trace[3].time) >= 200);
}

// On the QORM LTE board GPIO 16 picks the FPGA (high) or its flash (low) on CS0. Two threads
// each select their device and transfer; no transfer may reach the other's device.
void TestPinControllers::select_and_transfer_is_one_operation()
{
    Board b = make_board(QORM_LTE);
    RecordingDevice fpga(0xF0), flash(0x0F);
    b.worker->attach_device(CS0, 16, high, &fpga);
    b.worker->attach_device(CS0, 16, low, &flash);

    std::atomic<int> wrong{0};
    auto run = [&](PIN_State level, uint8_t expected) {
        for (int i = 0; i < 300; ++i) {
            char tx[3] = {}, rx[3] = {};
            if (!b.controller->select_read_write_spi(16, level, tx, rx, CS0, 3) || uint8_t(rx[2]) != expected)
                ++wrong;
        }
    };
    std::thread a(run, high, uint8_t(0xF0));
    std::thread c(run, low, uint8_t(0x0F));
    a.join();
    c.join();
    QCOMPARE(wrong.load(), 0);
    QCOMPARE(int(fpga.selections().size()), 300);
    QCOMPARE(int(flash.selections().size()), 300);

    // With a release level the select pin is driven back after the frame.
    b.worker->clear_trace();
    char tx[3] = {}, rx[3] = {};
    QVERIFY(b.controller->select_read_write_spi(16, low, tx, rx, CS0, 3, high));
    QCOMPARE(uint8_t(rx[0]), uint8_t(0x0F));
    QCOMPARE(trace_text(b.worker->trace()), QString("16L 16H"));
}

QTEST_GUILESS_MAIN(TestPinControllers)
#include "test_pin_controllers.moc"
