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
};

QTEST_GUILESS_MAIN(TestHostCommands)
#include "test_host_commands.moc"
