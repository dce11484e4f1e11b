#include "Initializer_AT86.h"
#include "Initializer_Axsem.h"
#include "Quabo_Pin_Controller.h"
#include "SimAt86Transceiver.h"
#include "SimPinWorker.h"

#include <QtTest>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using Access = SimAt86Transceiver::Access;

// The Lattice FPGA side of CS0 (GPIO 16 high): counts what reaches it.
class CountingDevice : public SimSpiDevice {
public:
    uint8_t exchange(uint8_t) override
    {
        ++bytes;
        return 0x5A;
    }
    std::atomic<unsigned> bytes{0};
};

struct Board {
    Board()
    {
        auto w = std::make_unique<SimPinWorker>();
        worker = w.get();
        pins = std::make_shared<Quabo_Pin_Controller>(std::move(w));
        worker->attach_device(CS0, 16, low, &at86);
        worker->attach_device(CS0, 16, high, &fpga);
        pins->set_pin_state(16, high);  // the FPGA boot leaves the Lattice selected
        worker->clear_trace();
    }
    ~Board() { worker->detach_device(&at86); worker->detach_device(&fpga); }

    SimAt86Transceiver at86;
    CountingDevice fpga;
    SimPinWorker* worker = nullptr;
    std::shared_ptr<Quabo_Pin_Controller> pins;
};

QList<QPair<int, int>> writesOf(const SimAt86Transceiver& at86)
{
    QList<QPair<int, int>> out;
    for (const Access& a : at86.writes())
        out << qMakePair(int(a.address), int(a.value));
    return out;
}

int lastWriteTo(const SimAt86Transceiver& at86, uint16_t address)
{
    int value = -1;
    for (const Access& a : at86.writes())
        if (a.address == address)
            value = a.value;
    return value;
}

} // namespace

class TestInitializers : public QObject {
    Q_OBJECT
private slots:
    void startUpSequence();
    void channelWords_data();
    void channelWords();
    void lnaLevel_data();
    void lnaLevel();
    void framesHoldSelectLowAndMarkWrites();
    void faultsFailBounded_data();
    void faultsFailBounded();
    void noBoardAccess();
    void bitWriteKeepsOtherBits();
    void readerTransfersCannotSplitAFrame();
    void axsemPulse();
    void axsemWithoutController();
};

void TestInitializers::startUpSequence()
{
    Board b;
    Initializer_AT86 init(b.pins);
    init.set_ul_freq_from_ini(868800000);
    QVERIFY(init.init_AT86());
    QCOMPARE(int(b.at86.state(0)), int(SimAt86Transceiver::RX));

    const QList<QPair<int, int>> expected{
        {0x0005, 7},                                         // chip reset
        {0x0300, 0}, {0x0400, 0}, {0x0100, 0x3F},            // interrupt masks
        {0x000B, 0x10}, {0x000B, 0x12},                      // I/Q interface, read-modify-write
        {0x000A, 0x0C}, {0x000A, 0x3C}, {0x000A, 0x3E}, {0x000A, 0x3E}, {0x000A, 0x3E},
        {0x0101, 0x08},
        {0x0109, 0x1B}, {0x010A, 0x01}, {0x010B, 0x80}, {0x010C, 12},  // receiver, gain 12
        {0x0104, 48},                                        // channel spacing
        {0x0105, 0xBE}, {0x0106, 0x87}, {0x0107, 0}, {0x0108, 0},  // centre 34750, channel 0, mode 0
        {0x0103, 3},                                         // TXPREP: the PLL locks
        {0x010F, 0x05},                                      // energy detection after the lock
        {0x0103, 3}, {0x0103, 5},                            // on to RX
    };
    QCOMPARE(writesOf(b.at86), expected);
    // The part number and version were checked, the PLL read once.
    QCOMPARE(b.at86.reads_of(0x000D), 1u);
    QCOMPARE(b.at86.reads_of(0x000E), 1u);
    QCOMPARE(b.at86.reads_of(0x0121), 1u);
}

void TestInitializers::channelWords_data()
{
    QTest::addColumn<quint32>("ulFreq");
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    QTest::newRow("868.8 MHz") << 868800000u << 0xBE << 0x87;  // 34750
    QTest::newRow("868.1 MHz") << 868100000u << 0xA2 << 0x87;  // (868060000 / 1000) / 25 = 34722
    QTest::newRow("433.075 MHz") << 433075000u << 0xA9 << 0x43; // 17321
    QTest::newRow("915 MHz") << 915000000u << 0xF6 << 0x8E;    // 36598
    QTest::newRow("40 kHz") << 40000u << 0x00 << 0x00;
    // Not configured: 0 - 40000 wraps in 32 bits, 4294927 kHz / 25 cut to 16 bits.
    QTest::newRow("unset") << 0u << 0x15 << 0x9F;
}

void TestInitializers::channelWords()
{
    QFETCH(quint32, ulFreq);
    QFETCH(int, low);
    QFETCH(int, high);
    Board b;
    Initializer_AT86 init(b.pins);
    init.set_ul_freq_from_ini(ulFreq);
    QVERIFY(init.init_AT86());
    QCOMPARE(lastWriteTo(b.at86, 0x0105), low);
    QCOMPARE(lastWriteTo(b.at86, 0x0106), high);
    QCOMPARE(lastWriteTo(b.at86, 0x0104), 48);
}

void TestInitializers::lnaLevel_data()
{
    QTest::addColumn<int>("level");  // -1: not set
    QTest::addColumn<int>("written");
    QTest::newRow("default") << -1 << 12;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("0x80") << 0x80 << 0x80;
    QTest::newRow("255") << 255 << 255;
}

void TestInitializers::lnaLevel()
{
    QFETCH(int, level);
    QFETCH(int, written);
    Board b;
    Initializer_AT86 init(b.pins);
    init.set_ul_freq_from_ini(868800000);
    if (level >= 0)
        init.set_LNA_level(uint8_t(level));
    QVERIFY(init.init_AT86());
    QCOMPARE(lastWriteTo(b.at86, 0x010C), written);
    QCOMPARE(lastWriteTo(b.at86, 0x010B), 0x80);  // automatic gain stays off
}

void TestInitializers::framesHoldSelectLowAndMarkWrites()
{
    Board b;
    Initializer_AT86 init(b.pins);
    init.set_ul_freq_from_ini(868800000);
    QVERIFY(init.init_AT86());

    // The SPI chip selects and GPIO 24 are driven high first, in this order.
    const std::vector<SimPinWorker::TraceEntry> trace = b.worker->trace();
    QVERIFY(trace.size() >= 3);
    QCOMPARE(int(trace[0].pin), 8);
    QCOMPARE(int(trace[1].pin), 7);
    QCOMPARE(int(trace[2].pin), 24);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(trace[size_t(i)].level, high);

    // Then only GPIO 16, low for each frame and high after it.
    unsigned lows = 0;
    for (size_t i = 3; i < trace.size(); ++i) {
        QCOMPARE(int(trace[i].pin), 16);
        QCOMPARE(trace[i].level, (i - 3) % 2 == 0 ? low : high);
        lows += trace[i].level == low;
    }
    QCOMPARE(lows, b.at86.frames());
    QCOMPARE(b.fpga.bytes.load(), 0u);

    // Every write frame starts with bit 7 set, every read header has it clear.
    const std::vector<uint8_t> headers = b.at86.frame_headers();
    const std::vector<Access> accesses = b.at86.accesses();
    QCOMPARE(headers.size(), size_t(b.at86.frames()));
    unsigned writeFrames = 0;
    unsigned readFrames = 0;
    for (uint8_t h : headers)
        (h & 0x80) ? ++writeFrames : ++readFrames;
    // Single-byte accesses except two multi-byte writes (4 receiver bytes, 2 centre bytes).
    unsigned writes = 0;
    for (const Access& a : accesses)
        writes += a.write;
    QCOMPARE(writeFrames, writes - 3 - 1);
    QCOMPARE(readFrames, unsigned(accesses.size()) - writes);
}

void TestInitializers::faultsFailBounded_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("wrong part number") << "part";
    QTest::newRow("never reaches TRXOFF") << "trxoff";
    QTest::newRow("never reaches RX") << "rx";
    QTest::newRow("no PLL lock") << "pll";
}

void TestInitializers::faultsFailBounded()
{
    QFETCH(QString, fault);
    Board b;
    if (fault == "part")
        b.at86.set_part_number(0x35);
    else if (fault == "trxoff")
        b.at86.set_never_trxoff(true);
    else if (fault == "rx")
        b.at86.set_never_rx(true);
    else
        b.at86.set_no_pll_lock(true);

    Initializer_AT86 init(b.pins);
    init.set_ul_freq_from_ini(868800000);
    QVERIFY(!init.init_AT86());

    const int rxCommands = [&] {
        int n = 0;
        for (const Access& a : b.at86.writes())
            n += a.address == 0x0103 && a.value == 5;
        return n;
    }();
    if (fault == "part") {
        QCOMPARE(lastWriteTo(b.at86, 0x0300), -1);  // nothing configured on a foreign chip
    } else if (fault == "trxoff") {
        QCOMPARE(b.at86.reads_of(0x0102), unsigned(Initializer_AT86::kMaxStateReads));
        QCOMPARE(b.at86.reads_of(0x0202), unsigned(Initializer_AT86::kMaxStateReads));
        QCOMPARE(b.at86.reads_of(0x000D), 0u);
    } else if (fault == "rx") {
        QCOMPARE(rxCommands, Initializer_AT86::kMaxStateReads);
        QCOMPARE(lastWriteTo(b.at86, 0x010F), 0x05);  // the channel set-up had completed
    } else {
        QCOMPARE(lastWriteTo(b.at86, 0x010F), -1);    // no energy detection without the lock
        QCOMPARE(rxCommands, 0);
    }
}

void TestInitializers::noBoardAccess()
{
    // A worker that could not initialise answers nothing: part number 0xFF, initialisation fails.
    auto w = std::make_unique<SimPinWorker>();
    w->set_init_fails(true);
    auto pins = std::make_shared<Quabo_Pin_Controller>(std::move(w));
    Initializer_AT86 init(pins);
    QVERIFY(!init.init_AT86());
    QVERIFY(!Initializer_AT86(nullptr).init_AT86());
}

void TestInitializers::bitWriteKeepsOtherBits()
{
    Board b;
    Initializer_AT86 init(b.pins);
    init.pal_dev_reg_write(RF09, 0x0120, 0xA5);
    init.pal_dev_bit_write(RF09, 0x0120, 0x30, 4, 2);   // bits 5..4 := 10
    QCOMPARE(int(b.at86.reg(0x0120)), 0xA5 & ~0x30 | 0x20);
    QCOMPARE(int(init.pal_dev_bit_read(RF09, 0x0120, 0x30, 4)), 2);
    init.pal_dev_bit_write(RF09, 0x0120, 0x01, 0, 0xFF); // value wider than the mask
    QCOMPARE(int(b.at86.reg(0x0120)), (0xA5 & ~0x30 | 0x20) | 0x01);
    // RF24 registers lie 0x100 above RF09's.
    init.pal_dev_reg_write(RF24, 0x0120, 0x11);
    QCOMPARE(int(b.at86.reg(0x0220)), 0x11);
}

void TestInitializers::readerTransfersCannotSplitAFrame()
{
    Board b;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char tx[37];
        char rx[37];
        std::memset(tx, 0xAA, sizeof tx);
        while (!stop.load())
            b.pins->read_write_spi(tx, rx, CS0, sizeof tx);  // GPIO 16 as the AT86 frames leave it
    });
    bool ok = true;
    for (int round = 0; round < 20 && ok; ++round) {
        Initializer_AT86 init(b.pins);
        init.set_ul_freq_from_ini(868800000);
        ok = init.init_AT86();
    }
    stop = true;
    reader.join();
    QVERIFY(ok);
    // None of the reader's bytes reached the transceiver.
    for (const Access& a : b.at86.accesses())
        QVERIFY2(a.address <= 0x0400, qPrintable(QString::number(a.address, 16)));
    QVERIFY(b.fpga.bytes.load() > 0);
}

void TestInitializers::axsemPulse()
{
    Board b;
    Initializer_Axsem init(b.pins);
    QVERIFY(init.init_axsem());
    const std::vector<SimPinWorker::TraceEntry> trace = b.worker->trace();
    QCOMPARE(trace.size(), size_t(2));
    QCOMPARE(int(trace[0].pin), 5);
    QCOMPARE(trace[0].level, high);
    QCOMPARE(int(trace[1].pin), 5);
    QCOMPARE(trace[1].level, low);
    QVERIFY(trace[1].time - trace[0].time >= std::chrono::milliseconds(20));
}

void TestInitializers::axsemWithoutController()
{
    QVERIFY(!Initializer_Axsem(nullptr).init_axsem());
}

QTEST_APPLESS_MAIN(TestInitializers)
#include "tst_initializers.moc"
