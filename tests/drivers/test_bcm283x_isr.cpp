// GPIO interrupts: sysfs registration and cancellation in a temporary folder, and interrupt
// events delivered through a pipe in place of the sysfs value file.

#include "SimBcmBoard.h"
#include "bcm283x.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct Event {
    int gpio;
    int level;
    uint32_t tick;
};

std::mutex g_mutex;
std::vector<Event> g_events;

void record(int gpio, int level, uint32_t tick)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.push_back({gpio, level, tick});
}

std::vector<Event> events()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_events;
}

int event_count()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return int(g_events.size());
}

std::atomic<int> g_self_cancel_result{1};
void cancel_self(int gpio, int, uint32_t)
{
    g_self_cancel_result = bcm283x_gpioSetISRFunc(unsigned(gpio), BCM283x_RISING_EDGE, -1, nullptr);
}

QByteArray read_all(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestBcm283xIsr : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void rejects_bad_arguments_data();
    void rejects_bad_arguments();
    void registration_and_cancellation_in_sysfs();
    void sysfs_failures_data();
    void sysfs_failures();
    void events_through_pipe();
    void edge_change_keeps_watching();
    void timeout_reports_level_2();
    void source_closed_ends_watch();
    void source_open_failure_ends_watch();
    void callback_may_cancel_its_own_watch();
    void close_stops_watch_threads();

private:
    // Pipes standing in for the value files of the given pins.
    void use_pipes(std::initializer_list<unsigned> gpios);
    void make_pipe(unsigned gpio);
    // True once the watch opened its pipe and consumed the pending event put there on opening.
    bool watch_ready(unsigned gpio);
    void pulse(unsigned gpio, bool level);

    std::unique_ptr<SimBcmBoard> board_;
    int pipes_[54][2];
    std::atomic<int> opened_[54];
};

void TestBcm283xIsr::init()
{
    for (auto& p : pipes_)
        p[0] = p[1] = -1;
    for (auto& o : opened_)
        o = 0;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_events.clear();
    }
    board_ = std::make_unique<SimBcmBoard>();
    QVERIFY(bcm283x_init());
    board_->add_sysfs_pin(17);
    board_->add_sysfs_pin(22);
}

void TestBcm283xIsr::cleanup()
{
    board_.reset(); // stops every watch before the pipes go
    for (auto& p : pipes_)
        for (int fd : p)
            if (fd >= 0)
                ::close(fd);
}

void TestBcm283xIsr::make_pipe(unsigned gpio)
{
    QCOMPARE(::pipe(pipes_[gpio]), 0);
}

void TestBcm283xIsr::use_pipes(std::initializer_list<unsigned> gpios)
{
    for (unsigned gpio : gpios)
        make_pipe(gpio);
    bcm283x_system sys = board_->system();
    sys.value_events = POLLIN;
    sys.open_value = [this](unsigned gpio, const std::string&) {
        if (pipes_[gpio][0] < 0)
            return -1;
        // An event already pending when the watch starts is consumed, not reported.
        if (::write(pipes_[gpio][1], "p", 1) != 1)
            return -1;
        const int fd = ::dup(pipes_[gpio][0]);
        ++opened_[gpio];
        return fd;
    };
    board_->apply(sys);
}

bool TestBcm283xIsr::watch_ready(unsigned gpio)
{
    int available = -1;
    if (opened_[gpio] == 0 || ::ioctl(pipes_[gpio][0], FIONREAD, &available) != 0)
        return false;
    return available == 0;
}

void TestBcm283xIsr::pulse(unsigned gpio, bool level)
{
    board_->registers().set_input(uint8_t(gpio), level);
    QCOMPARE(::write(pipes_[gpio][1], "1", 1), ssize_t(1));
}

void TestBcm283xIsr::rejects_bad_arguments_data()
{
    QTest::addColumn<uint>("gpio");
    QTest::addColumn<uint>("edge");
    QTest::addColumn<int>("result");
    QTest::newRow("gpio 54") << 54u << 0u << BCM283x_BAD_USER_GPIO;
    QTest::newRow("gpio 255") << 255u << 0u << BCM283x_BAD_USER_GPIO;
    QTest::newRow("edge 3") << 17u << 3u << BCM283x_BAD_EDGE;
}

void TestBcm283xIsr::rejects_bad_arguments()
{
    QFETCH(uint, gpio);
    QFETCH(uint, edge);
    QFETCH(int, result);
    QCOMPARE(bcm283x_gpioSetISRFunc(gpio, edge, -1, record), result);
    QCOMPARE(bcm283x_gpioSetISRFunc(gpio, edge, -1, nullptr), result);
    QCOMPARE(read_all(board_->sysfs_root() + "/export"), QByteArray());
    QVERIFY(!bcm283x_isr_watching(17));
}

void TestBcm283xIsr::registration_and_cancellation_in_sysfs()
{
    const QString pin = board_->sysfs_root() + "/gpio17/";
    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_RISING_EDGE, 0, record), 0);
    QCOMPARE(read_all(board_->sysfs_root() + "/export"), QByteArray("17\n"));
    QCOMPARE(read_all(pin + "direction"), QByteArray("in\n"));
    QCOMPARE(read_all(pin + "edge"), QByteArray("rising\n"));
    QVERIFY(bcm283x_isr_watching(17));

    // The same edge again writes nothing; a new edge rewrites the edge file only.
    QFile::remove(pin + "direction");
    QFile(pin + "edge").resize(0);
    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_RISING_EDGE, 0, record), 0);
    QCOMPARE(read_all(pin + "edge"), QByteArray());
    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_EITHER_EDGE, 0, record), 0);
    QCOMPARE(read_all(pin + "edge"), QByteArray("both\n"));
    QVERIFY(bcm283x_isr_watching(17));

    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_RISING_EDGE, -1, nullptr), 0);
    QVERIFY(!bcm283x_isr_watching(17));
    QCOMPARE(read_all(board_->sysfs_root() + "/unexport"), QByteArray("17\n"));

    // Cancelling a pin that is not exported touches nothing.
    QFile(board_->sysfs_root() + "/unexport").resize(0);
    QCOMPARE(bcm283x_gpioSetISRFunc(22, BCM283x_RISING_EDGE, -1, nullptr), 0);
    QCOMPARE(read_all(board_->sysfs_root() + "/unexport"), QByteArray());
}

void TestBcm283xIsr::sysfs_failures_data()
{
    QTest::addColumn<QString>("remove");
    QTest::addColumn<bool>("cancel");
    QTest::newRow("no direction file") << "gpio17/direction" << false;
    QTest::newRow("no edge file") << "gpio17/edge" << false;
    QTest::newRow("no unexport file") << "unexport" << true;
}

void TestBcm283xIsr::sysfs_failures()
{
    QFETCH(QString, remove);
    QFETCH(bool, cancel);
    QVERIFY(QFile::remove(board_->sysfs_root() + "/" + remove));
    if (!cancel) {
        QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_FALLING_EDGE, -1, record), BCM283x_BAD_ISR_INIT);
        QVERIFY(!bcm283x_isr_watching(17));
    } else {
        QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_FALLING_EDGE, -1, record), 0);
        QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_FALLING_EDGE, -1, nullptr), BCM283x_BAD_ISR_INIT);
        // The watch is stopped all the same.
        QVERIFY(!bcm283x_isr_watching(17));
    }
}

void TestBcm283xIsr::events_through_pipe()
{
    use_pipes({17});
    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_EITHER_EDGE, -1, record), 0);
    QTRY_VERIFY(watch_ready(17));

    pulse(17, true);
    QTRY_COMPARE(event_count(), 1);
    pulse(17, false);
    QTRY_COMPARE(event_count(), 2);
    pulse(17, true);
    QTRY_COMPARE(event_count(), 3);

    const auto ev = events();
    QCOMPARE(ev[0].gpio, 17);
    QCOMPARE(ev[0].level, 1);
    QCOMPARE(ev[1].level, 0);
    QCOMPARE(ev[2].level, 1);
    // Ticks come from the system timer and move forward.
    QVERIFY(ev[1].tick >= ev[0].tick);
    QVERIFY(ev[2].tick >= ev[1].tick);
}

void TestBcm283xIsr::edge_change_keeps_watching()
{
    use_pipes({17});
    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_RISING_EDGE, -1, record), 0);
    QTRY_VERIFY(watch_ready(17));
    for (unsigned edge : {BCM283x_FALLING_EDGE, BCM283x_EITHER_EDGE, BCM283x_RISING_EDGE})
        QCOMPARE(bcm283x_gpioSetISRFunc(17, edge, -1, record), 0);
    QVERIFY(bcm283x_isr_watching(17));
    pulse(17, true);
    QTRY_COMPARE(event_count(), 1);
}

void TestBcm283xIsr::timeout_reports_level_2()
{
    use_pipes({22});
    QCOMPARE(bcm283x_gpioSetISRFunc(22, BCM283x_RISING_EDGE, 20, record), 0);
    QTRY_VERIFY(event_count() >= 2);
    for (const Event& e : events()) {
        QCOMPARE(e.gpio, 22);
        QCOMPARE(e.level, 2);
    }
    // Back to waiting for ever: the thread picks the new timeout up without a signal.
    QCOMPARE(bcm283x_gpioSetISRFunc(22, BCM283x_RISING_EDGE, -1, record), 0);
    QTest::qWait(20);
    const int settled = event_count();
    QTest::qWait(100);
    QVERIFY(event_count() <= settled + 1);
}

void TestBcm283xIsr::source_closed_ends_watch()
{
    use_pipes({17});
    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_RISING_EDGE, -1, record), 0);
    QTRY_VERIFY(watch_ready(17));
    ::close(pipes_[17][1]);
    pipes_[17][1] = -1;
    QTRY_VERIFY(!bcm283x_isr_watching(17));
    QCOMPARE(event_count(), 0);

    // The pin stays exported; a new registration starts a new watch.
    ::close(pipes_[17][0]);
    make_pipe(17);
    opened_[17] = 0;
    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_RISING_EDGE, -1, record), 0);
    QTRY_VERIFY(watch_ready(17));
    pulse(17, true);
    QTRY_COMPARE(event_count(), 1);
}

void TestBcm283xIsr::source_open_failure_ends_watch()
{
    bcm283x_system sys = board_->system();
    sys.open_value = [](unsigned, const std::string&) { return -1; };
    board_->apply(sys);
    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_RISING_EDGE, -1, record), 0);
    QTRY_VERIFY(!bcm283x_isr_watching(17));
    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_RISING_EDGE, -1, nullptr), 0);
}

void TestBcm283xIsr::callback_may_cancel_its_own_watch()
{
    use_pipes({17});
    g_self_cancel_result = 1;
    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_RISING_EDGE, -1, cancel_self), 0);
    QTRY_VERIFY(watch_ready(17));
    pulse(17, true);
    QTRY_COMPARE(g_self_cancel_result.load(), 0);
    QVERIFY(!bcm283x_isr_watching(17));
    QCOMPARE(read_all(board_->sysfs_root() + "/unexport"), QByteArray("17\n"));
}

void TestBcm283xIsr::close_stops_watch_threads()
{
    use_pipes({17, 22});
    QCOMPARE(bcm283x_gpioSetISRFunc(17, BCM283x_RISING_EDGE, -1, record), 0);
    QCOMPARE(bcm283x_gpioSetISRFunc(22, BCM283x_FALLING_EDGE, 10, record), 0);
    QTRY_VERIFY(event_count() > 0); // the timed watch is running
    bcm283x_close();
    QVERIFY(!bcm283x_isr_watching(17));
    QVERIFY(!bcm283x_isr_watching(22));
    const int after = event_count();
    QTest::qWait(50);
    QCOMPARE(event_count(), after);
}

QTEST_GUILESS_MAIN(TestBcm283xIsr)
#include "test_bcm283x_isr.moc"
