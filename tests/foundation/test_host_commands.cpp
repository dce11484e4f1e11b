// The host-command seam: the real runner on harmless children, the recording and dry-run
// runners, and the system paths record.
#include "DryRunHostCommandRunner.h"
#include "ProcessMemory.h"
#include "RealHostCommandRunner.h"
#include "RecordingHostCommandRunner.h"
#include "SystemPaths.h"

#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

namespace {
// Neither gone nor a zombie waiting for a parent that is not this test to reap it.
bool alive(const QByteArray& pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid)));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) != "Z";
}

// The process id a child wrote to the file, once it has written the whole line.
QByteArray writtenPid(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray text = f.readAll();
    return text.endsWith('\n') ? text.trimmed() : QByteArray();
}

// The environment variable that turns the test program into one memory row's measurement.
const char kMemoryRow[] = "TOLVAR_RUNNER_MEMORY_ROW";
const qint64 k200MB = 200000000;

// Runs "/bin/sh -c <script>" through run() ("run") or start() ("start") and prints
// "<kept bytes> <bytes left out> <growth of peak resident memory in kB>".
int measureRow(const QByteArray& row)
{
    const QByteArray mode = row.left(row.indexOf(' '));
    const QString script = QString::fromUtf8(row.mid(row.indexOf(' ') + 1));
    RealHostCommandRunner runner;
    // Once before the baseline, so that the process machinery itself is not counted.
    runner.run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("echo warm")}, 30000);
    const qint64 before = processStatusKb("VmHWM:");
    HostCommandResult result;
    if (mode == "run") {
        result = runner.run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script}, 120000);
    } else {
        QEventLoop loop;
        runner.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script}, 120000, [&](const HostCommandResult& r) {
            result = r;
            // After the runner's own clean-up, which it queues the same way.
            QTimer::singleShot(0, &loop, &QEventLoop::quit);
        });
        loop.exec();
    }
    const qint64 after = processStatusKb("VmHWM:");
    printf("%d %lld %lld\n", result.output.size(), static_cast<long long>(result.outputLeftOut),
           static_cast<long long>(after - before));
    fflush(stdout);
    return result.started && !result.timedOut ? 0 : 1;
}
} // namespace

class TestHostCommands : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void realRunner_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("timedOut");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("output and exit 0") << "echo out; echo err >&2" << -1 << false << 0 << QByteArray("out\n");
        QTest::newRow("exit code") << "printf x; exit 7" << 30000 << false << 7 << QByteArray("x");
        QTest::newRow("killed by signal") << "printf y; kill -9 $$" << -1 << false << -1 << QByteArray("y");
        QTest::newRow("input closed") << "cat; echo done" << -1 << false << 0 << QByteArray("done\n");
        QTest::newRow("time limit") << "printf early; exec sleep 30" << 300 << true << -1 << QByteArray("early");
    }
    void realRunner()
    {
        QFETCH(QString, script);
        QFETCH(int, timeoutMs);
        QFETCH(bool, timedOut);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, output);
        RealHostCommandRunner runner;
        const HostCommandResult r = runner.run(QStringLiteral("sh"), {QStringLiteral("-c"), script}, timeoutMs);
        QVERIFY(r.started);
        QCOMPARE(r.timedOut, timedOut);
        QCOMPARE(r.exitCode, exitCode);
        QCOMPARE(r.output, output);
    }

    // What is kept of a child's standard output, through both ways of running it.
    void outputBound_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("timedOut");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<qint64>("leftOut");
        const int limit = HostCommandResult::kOutputLimit;
        for (const char* mode : {"run", "start"}) {
            QTest::addRow("%s: 1 MiB + 1 byte", mode)
                << "head -c 1048577 /dev/zero | tr '\\0' a" << 60000 << false << QByteArray(limit, 'a') << qint64(1);
            QTest::addRow("%s: exactly 1 MiB", mode)
                << "head -c 1048576 /dev/zero | tr '\\0' a" << 60000 << false << QByteArray(limit, 'a') << qint64(0);
            QTest::addRow("%s: empty", mode) << "true" << 60000 << false << QByteArray() << qint64(0);
            QTest::addRow("%s: NUL bytes kept", mode) << "printf 'a\\000b\\000'" << 60000 << false
                                                      << QByteArray("a\0b\0", 4) << qint64(0);
            QTest::addRow("%s: 3 MiB on standard error", mode)
                << "printf out; head -c 3145728 /dev/zero >&2" << 60000 << false << QByteArray("out") << qint64(0);
            // Three MiB, then a wait that only the limit ends: the bound is passed seconds before
            // the limit even on a busy machine, and the kill comes while the child still runs.
            QTest::addRow("%s: past the limit while writing", mode)
                << "printf early; head -c 3145728 /dev/zero; exec sleep 600" << 5000 << true << QByteArray() << qint64(-1);
        }
    }
    void outputBound()
    {
        QFETCH(QString, script);
        QFETCH(int, timeoutMs);
        QFETCH(bool, timedOut);
        QFETCH(QByteArray, output);
        QFETCH(qint64, leftOut);
        RealHostCommandRunner runner;
        const QStringList arguments{QStringLiteral("-c"), script};
        HostCommandResult r;
        if (QByteArray(QTest::currentDataTag()).startsWith("run")) {
            r = runner.run(QStringLiteral("/bin/sh"), arguments, timeoutMs);
        } else {
            bool done = false;
            runner.start(QStringLiteral("/bin/sh"), arguments, timeoutMs, [&](const HostCommandResult& result) {
                r = result;
                done = true;
            });
            QTRY_VERIFY_WITH_TIMEOUT(done, 60000);
        }
        QVERIFY(r.started);
        QCOMPARE(r.timedOut, timedOut);
        if (leftOut >= 0) {
            QCOMPARE(r.output, output);
            QCOMPARE(r.outputLeftOut, leftOut);
            QCOMPARE(r.exitCode, 0);
            return;
        }
        // A writer killed at its limit: the first MiB kept, the rest counted.
        QCOMPARE(r.output.size(), HostCommandResult::kOutputLimit);
        QVERIFY(r.output.startsWith("early"));
        QVERIFY(r.outputLeftOut > 0);
        QVERIFY(r.outputLeftOut <= qint64(5 + 3145728 - HostCommandResult::kOutputLimit));
        QCOMPARE(r.exitCode, -1);
    }

    // 200 MB on either stream, each row in a process of its own, so that one row's peak does not
    // hide the next one's.
    void outputMemory_data()
    {
        QTest::addColumn<QByteArray>("row");
        QTest::addColumn<qint64>("kept");
        QTest::addColumn<qint64>("leftOut");
        const qint64 limit = HostCommandResult::kOutputLimit;
        for (const char* mode : {"run", "start"}) {
            QTest::addRow("%s: 200 MB on standard output", mode)
                << QByteArray(mode) + " head -c 200000000 /dev/zero" << limit << k200MB - limit;
            QTest::addRow("%s: 200 MB on standard error", mode)
                << QByteArray(mode) + " head -c 200000000 /dev/zero >&2" << qint64(0) << qint64(0);
        }
    }
    void outputMemory()
    {
        QFETCH(QByteArray, row);
        QFETCH(qint64, kept);
        QFETCH(qint64, leftOut);
        QByteArray out;
        QByteArray err;
        QVERIFY2(runMeasuringChild(kMemoryRow, row, &out, &err), err.constData());
        const QList<QByteArray> figures = out.trimmed().split(' ');
        QCOMPARE(figures.size(), 3);
        QCOMPARE(figures.at(0).toLongLong(), kept);
        QCOMPARE(figures.at(1).toLongLong(), leftOut);
        const qint64 growthKb = figures.at(2).toLongLong();
        QVERIFY2(growthKb < 10 * 1024, QByteArray::number(growthKb).append(" kB").constData());
    }

    void realRunnerProgramMissing()
    {
        RealHostCommandRunner runner;
        const HostCommandResult r = runner.run(dir.filePath(QStringLiteral("no-such-program")), {}, 1000);
        QVERIFY(!r.started);
        QVERIFY(!r.timedOut);
        QCOMPARE(r.exitCode, -1);
        QVERIFY(r.output.isEmpty());
    }

    // Commands may be run from the reader or sender thread as well as the main thread.
    void realRunnerOnOtherThreads()
    {
        RealHostCommandRunner runner;
        QByteArray a, b;
        std::thread t1([&] { a = runner.run(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo a")}, -1).output; });
        std::thread t2([&] { b = runner.run(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo b")}, -1).output; });
        t1.join();
        t2.join();
        QCOMPARE(a, QByteArray("a\n"));
        QCOMPARE(b, QByteArray("b\n"));
    }

    void recordingRunner()
    {
        RecordingHostCommandRunner runner;
        runner.scriptProgram(QStringLiteral("/opt/vc/bin/vcgencmd"), HostCommandResult{true, 0, false, "temp=48.3'C\n"});
        runner.scriptCommand(QStringLiteral("sudo ifup eth0"), HostCommandResult{true, 1, false, "failed"});
        runner.scriptProgram(QStringLiteral("sudo"), HostCommandResult{true, 0, false, "sudo"});

        QCOMPARE(runner.run(QStringLiteral("/opt/vc/bin/vcgencmd"), {QStringLiteral("measure_temp")}, 100).output,
                 QByteArray("temp=48.3'C\n"));
        QCOMPARE(runner.run(QStringLiteral("sudo"), {QStringLiteral("ifup"), QStringLiteral("eth0")}, 10000).exitCode, 1);
        QCOMPARE(runner.run(QStringLiteral("sudo"), {QStringLiteral("reboot")}, 30000).output, QByteArray("sudo"));
        const HostCommandResult other = runner.run(QStringLiteral("killall"), {QStringLiteral("TOLVAR")}, 30000);
        QVERIFY(other.started);
        QCOMPARE(other.exitCode, 0);
        QVERIFY(other.output.isEmpty());

        QCOMPARE(runner.commandLines(), (QStringList{"/opt/vc/bin/vcgencmd measure_temp", "sudo ifup eth0",
                                                     "sudo reboot", "killall TOLVAR"}));
        QCOMPARE(runner.calls().at(1).timeoutMs, 10000);
        runner.clear();
        QVERIFY(runner.calls().isEmpty());
    }

    void dryRunRunsNothing()
    {
        const QString marker = dir.filePath(QStringLiteral("marker"));
        DryRunHostCommandRunner runner;
        QTest::ignoreMessage(QtInfoMsg, qPrintable(QStringLiteral("dry run, not executed: sh -c touch %1 (time limit 5000 ms)").arg(marker)));
        const HostCommandResult r = runner.run(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("touch ") + marker}, 5000);
        QVERIFY(r.started);
        QCOMPARE(r.exitCode, 0);
        QVERIFY(!r.timedOut);
        QVERIFY(r.output.isEmpty());
        QVERIFY(!QFile::exists(marker));
    }

    void defaultRunnerCanBeReplaced()
    {
        auto recording = std::make_shared<RecordingHostCommandRunner>();
        HostCommandRunner::setDefaultRunner(recording);
        QCOMPARE(HostCommandRunner::defaultRunner().get(), static_cast<HostCommandRunner*>(recording.get()));
        HostCommandRunner::setDefaultRunner(nullptr);
        QVERIFY(dynamic_cast<RealHostCommandRunner*>(HostCommandRunner::defaultRunner().get()));
    }

    void systemPaths_data()
    {
        QTest::addColumn<QString>("root");
        QTest::newRow("real") << QString();
        QTest::newRow("under a folder") << "/tmp/x";
        QTest::newRow("trailing slash") << "/tmp/x/";
    }
    void systemPaths()
    {
        QFETCH(QString, root);
        const SystemPaths p = root.isNull() ? SystemPaths() : SystemPaths::under(root);
        const QString base = root.isNull() ? QString() : QStringLiteral("/tmp/x");
        QCOMPARE(p.ntpConf, base + QStringLiteral("/etc/ntp.conf"));
        QCOMPARE(p.networkInterfaces, base + QStringLiteral("/etc/network/interfaces"));
        QCOMPARE(p.modemScriptsDir, base + QStringLiteral("/usr/bin/modem_scripts/"));
        QCOMPARE(p.socRanges, base + QStringLiteral("/proc/device-tree/soc/ranges"));
        QCOMPARE(p.devMem, base + QStringLiteral("/dev/mem"));
        QCOMPARE(p.devGpiomem, base + QStringLiteral("/dev/gpiomem"));
        QCOMPARE(p.sysClassGpio, base + QStringLiteral("/sys/class/gpio"));
    }

    // start() reports through the event loop; past the limit the whole group goes, a grandchild
    // included.
    void realRunnerStart_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("timedOut");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("standard error not read") << "echo out; echo err >&2" << 30000 << false << QByteArray("out\n");
        QTest::newRow("grandchild killed at the limit")
            << "printf early; sleep 30 & echo $! > \"$PIDFILE\"; wait" << 500 << true << QByteArray("early");
    }
    void realRunnerStart()
    {
        QFETCH(QString, script);
        QFETCH(int, timeoutMs);
        QFETCH(bool, timedOut);
        QFETCH(QByteArray, output);
        const QString pidFile = dir.filePath(QStringLiteral("grandchild.pid"));
        QFile::remove(pidFile);
        qputenv("PIDFILE", pidFile.toLocal8Bit());
        RealHostCommandRunner runner;
        bool done = false;
        HostCommandResult r;
        runner.start(QStringLiteral("sh"), {QStringLiteral("-c"), script}, timeoutMs, [&](const HostCommandResult& result) {
            QVERIFY(!done);
            done = true;
            r = result;
        });
        QVERIFY(!done); // nothing waited for
        QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
        QVERIFY(r.started);
        QCOMPARE(r.timedOut, timedOut);
        QCOMPARE(r.output, output);
        if (!timedOut)
            return;
        QFile f(pidFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray pid = f.readAll().trimmed();
        QVERIFY(!pid.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!alive(pid), 10000);
    }

    // Shutdown kills a started command and its done is never called.
    void realRunnerStopStarted()
    {
        const QString pidFile = dir.filePath(QStringLiteral("stopped.pid"));
        QFile::remove(pidFile);
        RealHostCommandRunner runner;
        bool done = false;
        runner.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo $$ > '%1'; exec sleep 30").arg(pidFile)}, -1,
                     [&](const HostCommandResult&) { done = true; });
        QTRY_VERIFY_WITH_TIMEOUT(!writtenPid(pidFile).isEmpty(), 20000);
        const QByteArray pid = writtenPid(pidFile);
        runner.stopStarted();
        QVERIFY(!alive(pid));
        // A command started afterwards ends through the same event loop that would have carried
        // the stopped one's end.
        bool later = false;
        runner.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("exit 0")}, -1,
                     [&](const HostCommandResult&) { later = true; });
        QTRY_VERIFY_WITH_TIMEOUT(later, 20000);
        QVERIFY(!done);
    }

    void recordingRunnerHoldsStarts()
    {
        RecordingHostCommandRunner runner;
        QList<QByteArray> outputs;
        auto collect = [&outputs](const HostCommandResult& r) { outputs.append(r.output); };
        runner.start(QStringLiteral("a"), {}, 10, collect);
        QCOMPARE(outputs.size(), 1); // not held: at once
        runner.setHoldStarts(true);
        runner.start(QStringLiteral("b"), {}, 10, collect);
        runner.start(QStringLiteral("c"), {}, 10, collect);
        QCOMPARE(outputs.size(), 1);
        QCOMPARE(runner.heldStarts(), 2);
        QVERIFY(runner.completeStart(HostCommandResult{true, 0, false, "first"}));
        QVERIFY(runner.completeStart(HostCommandResult{true, 0, false, "second"}));
        QVERIFY(!runner.completeStart(HostCommandResult{}));
        QCOMPARE(outputs, (QList<QByteArray>{QByteArray(), "first", "second"}));
        QCOMPARE(runner.commandLines(), (QStringList{"a", "b", "c"}));
    }

    // Waited for, a slow dry-run command holds the caller for its delay or its shorter limit.
    void dryRunRunAfterDelay()
    {
        DryRunHostCommandRunner runner(300);
        QElapsedTimer clock;
        clock.start();
        HostCommandResult r = runner.run(QStringLiteral("sudo"), {QStringLiteral("date")}, -1);
        QVERIFY(clock.elapsed() >= 300);
        QVERIFY(!r.timedOut);
        QCOMPARE(r.exitCode, 0);
        clock.restart();
        r = runner.run(QStringLiteral("vcgencmd"), {}, 50);
        QVERIFY(clock.elapsed() >= 50);
        QVERIFY(r.timedOut);
        QCOMPARE(r.exitCode, -1);
    }

    void dryRunStartAfterDelay()
    {
        DryRunHostCommandRunner runner(100);
        int done = 0;
        runner.start(QStringLiteral("sudo"), {QStringLiteral("reboot")}, 10, [&done](const HostCommandResult& r) {
            QVERIFY(r.started);
            ++done;
        });
        QCOMPARE(done, 0);
        QTRY_COMPARE_WITH_TIMEOUT(done, 1, 10000);
        bool dropped = false;
        runner.start(QStringLiteral("true"), {}, 10, [&dropped](const HostCommandResult&) { dropped = true; });
        runner.stopStarted();
        // Started later with the same delay, this one ends after the dropped one would have.
        bool later = false;
        runner.start(QStringLiteral("true"), {}, 10, [&later](const HostCommandResult&) { later = true; });
        QTRY_VERIFY_WITH_TIMEOUT(later, 10000);
        QVERIFY(!dropped);
        QCOMPARE(done, 1);
    }
};

int main(int argc, char** argv)
{
    const QByteArray row = qgetenv(kMemoryRow);
    QCoreApplication app(argc, argv);
    if (!row.isEmpty())
        return measureRow(row);
    TestHostCommands test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_host_commands.moc"
