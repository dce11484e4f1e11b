// The station core reads a receiver's status record (info()) and rewrites the settings on its
// own thread while the reader thread reads records, spectra and commands. Both sides run on
// plain std::threads, so a ThreadSanitizer build sees every access the two make: a status
// record or a setting handed across without its lock shows up as a race.
#include "ReaderStation.h"

#include <QtTest>
#include <atomic>
#include <ctime>
#include <functional>
#include <thread>

namespace {

constexpr int ITERATIONS = 100;
constexpr int MESSAGES = 6;

// Distinct messages a few ms apart: each read pass emits what it read, so every one of them
// reaches the core, whatever the pass boundaries.
QString scenario()
{
    QString text;
    for (int i = 0; i < MESSAGES; ++i)
        text += QStringLiteral("at %1 message low type=D id=0x%2 payload=01020304050607%3 rate=400 freq=%4 rssi=0x100000\n")
                    .arg(20 * i)
                    .arg(0x300 + i, 0, 16)
                    .arg(i, 2, 10, QLatin1Char('0'))
                    .arg(10 + i);
    return text;
}

} // namespace

class TestReaderInfoThreads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void infoWhileReading_data();
    void infoWhileReading();
};

void TestReaderInfoThreads::initTestCase()
{
    // Both sides stamp times in local time. While TZ is unset, the C library frees and copies
    // its zone name again on every mktime(); Qt serialises those calls with a lock of its own
    // that ThreadSanitizer cannot see. TZ naming the same zone leaves the copy made here alone.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    tzset();
}

void TestReaderInfoThreads::infoWhileReading_data()
{
    QTest::addColumn<int>("board");
    QTest::addColumn<quint32>("firmware");
    QTest::newRow("QORM") << int(QORM) << 720u;
    QTest::newRow("Quabo") << int(Quabo) << 10043u;
}

void TestReaderInfoThreads::infoWhileReading()
{
    QFETCH(int, board);
    QFETCH(quint32, firmware);

    ReaderStation st(BS_Type(board), QByteArrayLiteral("THRESHOLD_50=0\n"));
    st.fpga.set_firmware(firmware, false);
    st.fpga.set_bitrate_mask(0x00FF0F03);
    FpgaScenario sc;
    QString err;
    QVERIFY2(FpgaScenario::parse(scenario(), sc, &err), qPrintable(err));
    st.fpga.play(sc);

    // Start-up on this thread; its timers never fire while this thread waits for the two
    // sides below, so the reader side alone runs what they would run.
    qorm_reader& reader = *st.reader;
    reader.init();
    reader.start();
    const receiver_info before = reader.info();
    QVERIFY(before.active);
    QCOMPARE(before.fpga_info_.firmware_ver, firmware);
    const int band1_rates = before.fpga_info_.supported_ul_bitrates_band1.size();
    QVERIFY(band1_rates > 0);

    // The 30 s check of each board.
    const std::function<void()> check = board == Quabo
        ? std::function<void()>([&reader] { static_cast<Quabo_Reader&>(reader).check_lattice(); })
        : std::function<void()>([&reader] { reader.reboot(); });

    std::atomic<bool> reading_done{false};
    std::thread reader_side([&] {
        for (int i = 0; i < ITERATIONS || (!st.fpga.scenario_done() && i < 20 * ITERATIONS); ++i) {
            reader.read_messages_loop();
            if (i % 4 == 0)
                reader.read_spectr_loop();
            reader.alarm_in(i % 2 ? QStringLiteral("setNetState_true") : QStringLiteral("setNetState_false"));
            reader.check_di();
            // What a re-initialisation reads of the settings.
            if (i % 10 == 0)
                reader.writeThresholdsToPlis();
            if (i % 25 == 0)
                check();
        }
        reader.alarm_in(QStringLiteral("setNetState_true"));
        reading_done = true;
    });

    std::atomic<int> snapshots{0};
    std::atomic<int> torn{0};
    std::atomic<int> failed_writes{0};
    std::thread core_side([&] {
        int written = 0;
        while (!reading_done.load()) {
            const receiver_info r = reader.info();
            if (!r.active || r.fpga_info_.firmware_ver != firmware
                || r.fpga_info_.supported_ul_bitrates_band1.size() != band1_rates || (r.state & ~0x0Fu) != 0)
                ++torn;
            ++snapshots;
            if (written < 100) {
                ++written;
                if (!st.settings.setValue(QStringLiteral("BASE_STATION"), QStringLiteral("THRESHOLD_50"), written))
                    ++failed_writes;
            }
        }
    });
    reader_side.join();
    core_side.join();

    QVERIFY(snapshots.load() > 0);
    QCOMPARE(torn.load(), 0);
    QCOMPARE(failed_writes.load(), 0);
    QCOMPARE(reader.info().state & 1, 1u);

    // Every scripted message reached the core, each once.
    QTRY_COMPARE_WITH_TIMEOUT(st.messages.size(), MESSAGES, 5000);
    QSet<quint32> ids;
    for (const auto& m : st.messages)
        ids.insert(m->ID);
    QCOMPARE(ids.size(), MESSAGES);

    // Thresholds come fresh from the settings at every re-initialisation.
    reader.writeThresholdsToPlis();
    const quint16 last = st.settings.getThreshold(bt50);
    QVERIFY(last > 0);
    const QByteArray le = QByteArray(1, char(last & 0xFF)) + char(last >> 8);
    QCOMPARE(st.fpga.written(0x90), le + le);
}

QTEST_GUILESS_MAIN(TestReaderInfoThreads)
#include "tst_reader_info_threads.moc"
