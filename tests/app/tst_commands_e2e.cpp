// Host commands of a running tolvar-sim through a private RabbitMQ: a slow shell command does not
// hold up the heartbeat, the commands behind it wait their turn, the time-service and interface
// files under its sim-root change, and nothing is executed on this machine.
#include "StationCommands.h"
#include "StationProcess.h"
#include "TestBroker.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");
const QString kRoutingKey = QStringLiteral("backend.vexa_uplink");
const QString kSender = QStringLiteral("cmds.replies");
const int kStationId = 4321;
// Longer than the 30 s between heartbeats, so one falls while the shell "runs".
const int kShellMs = 40000;

const QByteArray kNtpConf = "driftfile /var/lib/ntp/ntp.drift\n"
                            "\n"
                            "# pool: <http://www.pool.ntp.org/join.html>\n"
                            "pool 0.debian.pool.ntp.org iburst\n"
                            "pool 1.debian.pool.ntp.org iburst\n"
                            "\n"
                            "restrict -4 default kod notrap nomodify nopeer noquery limited\n";

const QByteArray kInterfaces = "auto lo\n"
                               "iface lo inet loopback\n"
                               "\n"
                               "auto eth0\n"
                               "iface eth0 inet dhcp\n";

void put(const QString& path, const QByteArray& text)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(text), qint64(text.size()));
}

QByteArray contentOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Takes every reply waiting on the queue, in the order they came.
void takeReplies(const TestBroker& broker, const QString& queue, QList<QJsonObject>& into)
{
    QByteArray body;
    while (broker.get(queue, &body))
        into.append(QJsonDocument::fromJson(body).object());
}

int indexOfReply(const QList<QJsonObject>& replies, const QString& cmdId)
{
    for (int i = 0; i < replies.size(); ++i) {
        if (replies.at(i).value("cmd_id").toString() == cmdId)
            return i;
    }
    return -1;
}
} // namespace

class TestCommandsE2E : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void hostCommandsInOrderBesideTheHeartbeat();

private:
    TestBroker broker_;
};

void TestCommandsE2E::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
}

void TestCommandsE2E::cleanupTestCase()
{
    broker_.stop();
}

void TestCommandsE2E::hostCommandsInOrderBesideTheHeartbeat()
{
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "cmds_uplinks", kRoutingKey));
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "cmds_replies", kSender));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StationProcess station(dir.path());
    const QString ntpConf = station.path("sim-root/etc/ntp.conf");
    const QString interfaces = station.path("sim-root/etc/network/interfaces");
    put(ntpConf, kNtpConf);
    put(interfaces, kInterfaces);
    if (QTest::currentTestFailed())
        return;
    station.writeIni(simStationIni(kStationId, broker_.url(), false));
    station.writeScenario(QStringLiteral("set firmware 720\n"));
    QVERIFY(station.start({QStringLiteral("--dry-run-delay"), QString::number(kShellMs)}));
    const QString cmdKey = QStringLiteral("station_cmd.%1").arg(kStationId);

    // The station reads the time-service file under its sim-root.
    QJsonObject reply;
    QVERIFY2(askUntilAnswered(broker_, kExchange, cmdKey, "cmds_replies", kSender, "get", "ntpconfig", R"({"cmd":"get"})", &reply),
             station.output().right(4000).constData());
    QCOMPARE(reply.value("data").toObject(), (QJsonObject{{"result", true}, {"gps", false}, {"pool", true}, {"server", false}}));

    // A shell command that would leave a trace if it ran, then two commands that must wait for it.
    const QString marker = station.path("shell-ran");
    const QString request = QStringLiteral("touch ") + marker;
    QVERIFY(broker_.publish(kExchange, cmdKey,
                            commandBody("admin", "shell", kSender, QString::fromUtf8(QJsonDocument(QJsonObject{{"request", request}}).toJson(QJsonDocument::Compact)))));
    QVERIFY(broker_.publish(kExchange, cmdKey, commandBody("ntpconfig", "ntp", kSender, R"({"cmd":"set","pool":false,"gps":true})")));
    QVERIFY(broker_.publish(kExchange, cmdKey,
                            commandBody("network", "net", kSender,
                                        R"({"cmd":"set","iface":"static","address":"10.1.2.3/24","gateway":"10.1.2.1","netmask":"255.255.255.0"})")));
    const QByteArray shellLine =
        QStringLiteral("dry run, not executed: /bin/sh -c %1 (time limit 240000 ms)").arg(request).toUtf8();
    QVERIFY2(waitUntil([&] { return station.output().contains(shellLine); }, 30000), station.output().right(4000).constData());

    // Heartbeats published from now on come while the shell still "runs"; the one after it must
    // arrive before its reply, with the commands behind it not yet done.
    Received beats;
    drainQueue(broker_, "cmds_uplinks", beats);
    beats = Received();
    QList<QJsonObject> replies;
    QVERIFY2(waitUntil(
                 [&] {
                     takeReplies(broker_, "cmds_replies", replies);
                     drainQueue(broker_, "cmds_uplinks", beats);
                     return !beats.heartbeats.isEmpty() || !replies.isEmpty();
                 },
                 kShellMs + 30000),
             station.output().right(4000).constData());
    QVERIFY2(replies.isEmpty(), QJsonDocument(replies.value(0)).toJson().constData());
    QCOMPARE(beats.heartbeats.first().value("bs_id").toInt(), kStationId);
    QCOMPARE(contentOf(ntpConf), kNtpConf);
    QCOMPARE(contentOf(interfaces), kInterfaces);

    // The shell's reply, then the others in the order they were sent.
    QVERIFY2(waitUntil(
                 [&] {
                     takeReplies(broker_, "cmds_replies", replies);
                     return indexOfReply(replies, "net") >= 0;
                 },
                 kShellMs + 30000),
             station.output().right(4000).constData());
    const QList<int> order{indexOfReply(replies, "shell"), indexOfReply(replies, "ntp"), indexOfReply(replies, "net")};
    QCOMPARE(order, (QList<int>{0, 1, 2}));
    QCOMPARE(replies.at(0), (QJsonObject{{"cmd_id", "shell"}, {"msg_type", "response"}, {"data", QJsonObject{{"reply", ""}}}}));
    QCOMPARE(replies.at(1), (QJsonObject{{"cmd_id", "ntp"}, {"msg_type", "response"}, {"data", QJsonObject{{"result", true}}}}));
    QCOMPARE(replies.at(2), (QJsonObject{{"cmd_id", "net"}, {"msg_type", "response"}, {"data", QJsonObject{{"result", true}}}}));

    QCOMPARE(contentOf(ntpConf), QByteArray("driftfile /var/lib/ntp/ntp.drift\n"
                                            "\n"
                                            "# pool: <http://www.pool.ntp.org/join.html>\n"
                                            "#pool 0.debian.pool.ntp.org iburst\n"
                                            "#pool 1.debian.pool.ntp.org iburst\n"
                                            "\n"
                                            "restrict -4 default kod notrap nomodify nopeer noquery limited\n"
                                            "\n"
                                            "# GPS Serial data reference (NTP0)\n"
                                            "server 127.127.28.0 minpoll 4 maxpoll 4\n"
                                            "fudge 127.127.28.0  refid GPS\n"
                                            "\n"
                                            "# GPS PPS reference (NTP1)\n"
                                            "server 127.127.28.1 minpoll 4 maxpoll 4 prefer\n"
                                            "fudge 127.127.28.1 refid PPS\n"));
    QCOMPARE(contentOf(interfaces), QByteArray("auto lo\n"
                                               "iface lo inet loopback\n"
                                               "\n"
                                               "auto eth0\n"
                                               "iface eth0 inet static\n"
                                               "address 10.1.2.3/24\n"
                                               "gateway 10.1.2.1\n"
                                               "netmask 255.255.255.0\n"));

    // The time service restarted, eth0 restarted about 2 s after the change: logged, never run.
    const QByteArray ntpRestart = "dry run, not executed: sudo /etc/init.d/ntp restart (time limit 5000 ms)";
    const QByteArray ifdown = "dry run, not executed: sudo ifdown eth0 (time limit 10000 ms)";
    const QByteArray ifup = "dry run, not executed: sudo ifup eth0 (time limit 10000 ms)";
    QVERIFY2(waitUntil([&] { return station.output().contains(ifup); }, 30000), station.output().right(4000).constData());
    const QByteArray out = station.output();
    QCOMPARE(out.count(ntpRestart), 1);
    QCOMPARE(out.count(ifdown), 1);
    QVERIFY(out.indexOf(shellLine) < out.indexOf(ntpRestart));
    QVERIFY(out.indexOf(ntpRestart) < out.indexOf(ifdown));
    QVERIFY(out.indexOf(ifdown) < out.indexOf(ifup));
    QVERIFY(!QFile::exists(marker));

    QVERIFY(station.terminate());
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestCommandsE2E)
#include "tst_commands_e2e.moc"
