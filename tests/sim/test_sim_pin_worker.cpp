// The simulated board's worker: routing of SPI frames to device models, the pin trace, inputs
// and their interrupts, and the uninitialised state.

#include "SimPinWorker.h"

#include <QtTest>

#include <vector>

namespace {

// Answers with its tag, and records its frames.
class TaggedDevice : public SimSpiDevice {
public:
    explicit TaggedDevice(uint8_t t) : tag(t) {}
    void select() override
    {
        frames.emplace_back();
        open = true;
    }
    uint8_t exchange(uint8_t mosi) override
    {
        if (!open || frames.empty()) {
            ++outside_frame;
            return tag;
        }
        frames.back().push_back(mosi);
        return uint8_t(tag + frames.back().size() - 1);
    }
    void deselect() override { open = false; }

    const uint8_t tag;
    bool open = false;
    int outside_frame = 0;
    std::vector<std::vector<uint8_t>> frames;
};

} // namespace

class TestSimPinWorker : public QObject {
    Q_OBJECT

private slots:
    void routing_data();
    void routing();
    void frames_reach_the_device_whole();
    void detached_device_gets_nothing();
    void trace_records_pin_writes();
    void inputs_and_interrupt_edges_data();
    void inputs_and_interrupt_edges();
    void uninitialised_worker();
    void close_and_init();
};

void TestSimPinWorker::routing_data()
{
    QTest::addColumn<int>("cs");
    QTest::addColumn<int>("gpio16");  // -1: never driven
    QTest::addColumn<int>("answer");
    QTest::newRow("CS0, 16 high: FPGA") << 0 << 1 << 0xA0;
    QTest::newRow("CS0, 16 low: flash") << 0 << 0 << 0xB0;
    QTest::newRow("CS0, 16 never driven (reads low): flash") << 0 << -1 << 0xB0;
    QTest::newRow("CS1: plain route") << 1 << 1 << 0xC0;
    QTest::newRow("CS1 whatever 16") << 1 << 0 << 0xC0;
}

void TestSimPinWorker::routing()
{
    QFETCH(int, cs);
    QFETCH(int, gpio16);
    QFETCH(int, answer);
    SimPinWorker w;
    QVERIFY(w.init());
    TaggedDevice fpga(0xA0), flash(0xB0), cs1(0xC0);
    w.attach_device(CS0, 16, high, &fpga);
    w.attach_device(CS0, 16, low, &flash);
    w.attach_device(CS1, &cs1);
    if (gpio16 >= 0)
        w.set_pin_state(16, gpio16 ? high : low);
    char tx[1] = {0}, rx[1] = {0};
    QVERIFY(w.read_write_spi(tx, rx, SPI_ChipSelect(cs), 1));
    QCOMPARE(int(uint8_t(rx[0])), answer);
}

void TestSimPinWorker::frames_reach_the_device_whole()
{
    SimPinWorker w;
    QVERIFY(w.init());
    TaggedDevice plain(0x10), selected(0x20);
    w.attach_device(CS0, &plain);
    w.attach_device(CS0, 16, low, &selected); // a matching select route wins over the plain one
    w.set_pin_state(16, high);

    char tx[5] = {1, 2, 3, 4, 5}, rx[5] = {};
    QVERIFY(w.read_write_spi(tx, rx, CS0, 5));
    QCOMPARE(QByteArray(rx, 5), QByteArray::fromHex("1011121314"));
    QVERIFY(w.write_spi(tx, CS0, 3));
    w.set_pin_state(16, low);
    QVERIFY(w.read_write_spi(tx, rx, CS0, 2));
    QCOMPARE(QByteArray(rx, 2), QByteArray::fromHex("2021"));

    QCOMPARE(int(plain.frames.size()), 2);
    QCOMPARE(plain.frames[0], (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    QCOMPARE(plain.frames[1], (std::vector<uint8_t>{1, 2, 3}));
    QCOMPARE(int(selected.frames.size()), 1);
    QCOMPARE(plain.outside_frame + selected.outside_frame, 0);
    QCOMPARE(w.transfer_count(), 3u);

    // Nothing wired: the line idles high.
    QVERIFY(w.read_write_spi(tx, rx, CS1, 2));
    QCOMPARE(QByteArray(rx, 2), QByteArray::fromHex("FFFF"));
}

void TestSimPinWorker::detached_device_gets_nothing()
{
    SimPinWorker w;
    QVERIFY(w.init());
    TaggedDevice d(0x40);
    w.attach_device(CS1, &d);
    w.detach_device(&d);
    char tx[2] = {}, rx[2] = {};
    QVERIFY(w.read_write_spi(tx, rx, CS1, 2));
    QVERIFY(d.frames.empty());
}

void TestSimPinWorker::trace_records_pin_writes()
{
    SimPinWorker w;
    QVERIFY(w.init());
    w.set_pin_state(23, high);
    w.set_pin_state(23, fault);
    w.set_pin_state(60, high); // no such pin
    w.set_input(5, high);      // outside levels are not the station's writes
    w.set_pin_state(5, low);
    const auto t = w.trace();
    QCOMPARE(int(t.size()), 3);
    QCOMPARE(int(t[0].pin), 23);
    QCOMPARE(t[0].level, high);
    QCOMPARE(t[1].level, low);
    QCOMPARE(int(t[2].pin), 5);
    QVERIFY(t[0].time <= t[1].time && t[1].time <= t[2].time);
    QVERIFY(w.is_output(5));
    QCOMPARE(w.get_pin_state(5), low); // an output reads its own level
    w.clear_trace();
    QVERIFY(w.trace().empty());

    // A station that runs for days keeps only the latest writes (it toggles chip selects for
    // every FIFO and spectrum read).
    const size_t extra = 5;
    for (size_t i = 0; i < SimPinWorker::TRACE_SIZE + extra; ++i)
        w.set_pin_state(uint8_t(i % 2 ? 7 : 8), i % 2 ? high : low);
    const auto latest = w.trace();
    QCOMPARE(latest.size(), SimPinWorker::TRACE_SIZE);
    QCOMPARE(int(latest.front().pin), extra % 2 ? 7 : 8);
    QCOMPARE(int(latest.back().pin), (SimPinWorker::TRACE_SIZE + extra - 1) % 2 ? 7 : 8);
}

void TestSimPinWorker::inputs_and_interrupt_edges_data()
{
    QTest::addColumn<int>("edge");
    QTest::addColumn<QString>("seen");
    QTest::newRow("rising") << int(RISING) << "1 1";
    QTest::newRow("falling") << int(FALLING) << "0 0";
    QTest::newRow("either") << int(EITHER) << "1 0 1 0";
}

void TestSimPinWorker::inputs_and_interrupt_edges()
{
    QFETCH(int, edge);
    QFETCH(QString, seen);
    SimPinWorker w;
    QVERIFY(w.init());
    QStringList levels;
    w.set_pin_isr(19, PIN_Edge(edge), [&](int gpio, int level, uint32_t) {
        QCOMPARE(gpio, 19);
        levels << QString::number(level);
    });
    for (PIN_State s : {high, high, low, high, low})
        w.set_input(19, s); // the repeated high is no edge
    QCOMPARE(levels.join(' '), seen);
    QCOMPARE(w.get_pin_state(19), low);

    // A cleared callback hears nothing.
    w.set_pin_isr(19, PIN_Edge(edge), {});
    w.set_input(19, high);
    w.set_input(19, low);
    QCOMPARE(levels.join(' '), seen);
}

void TestSimPinWorker::uninitialised_worker()
{
    SimPinWorker w;
    w.set_init_fails(true);
    QVERIFY(!w.init());
    TaggedDevice d(0x50);
    w.attach_device(CS0, &d);
    w.set_pin_state(23, high);
    QVERIFY(w.trace().empty());
    QCOMPARE(w.get_pin_state(23), fault);
    char tx[3] = {1, 2, 3}, rx[3] = {7, 7, 7};
    QVERIFY(!w.read_write_spi(tx, rx, CS0, 3));
    QCOMPARE(QByteArray(rx, 3), QByteArray(3, '\0'));
    QVERIFY(!w.write_spi(tx, CS0, 3));
    QVERIFY(d.frames.empty());
    bool called = false;
    w.set_pin_isr(19, EITHER, [&](int, int, uint32_t) { called = true; });
    w.set_input(19, high);
    QVERIFY(!called);
    w.setChipSelectPolarity(CS1, true);
    QVERIFY(!w.chip_select_active_high(CS1));
    QCOMPARE(w.init_count(), 0u);
}

void TestSimPinWorker::close_and_init()
{
    SimPinWorker w;
    QVERIFY(w.init());
    w.set_pin_state(8, high); // chip-select pin taken over as an output
    w.close();
    QVERIFY(!w.is_inited());
    QCOMPARE(w.get_pin_state(8), fault);
    QVERIFY(w.init());
    QVERIFY(!w.is_output(8)); // back to its SPI function
    QCOMPARE(w.init_count(), 2u);
}

QTEST_GUILESS_MAIN(TestSimPinWorker)
#include "test_sim_pin_worker.moc"
