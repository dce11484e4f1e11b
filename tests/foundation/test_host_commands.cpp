// The host-command seam: the real runner on harmless children, the recording and dry-run
// runners, and the system paths record.
#include "DryRunHostCommandRunner.h"
#include "RealHostCommandRunner.h"
#include "RecordingHostCommandRunner.h"
#include "SystemPaths.h"

#include <QFile>
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

QTEST_GUILESS_MAIN(TestHostCommands)
#include "test_host_commands.moc"
