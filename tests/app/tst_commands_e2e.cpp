// Host commands of a running tolvar-sim through a private RabbitMQ: a slow shell command does not
// hold up the heartbeat, the commands behind it wait their turn (64 at most), the time-service and
// interface files under its sim-root change, slow clock sets and interface restarts leave
// heartbeats and uplinks on time, only a link with command rights sets the clock, and nothing is
// executed on this machine.
#include "StationCommands.h"
#include "StationProcess.h"
#include "TestBroker.h"

#include <QDateTime>
#include <QProcess>
#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

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

// Takes every reply waiting on the queue, in the order they came.
void takeReplies(const TestBroker& broker, const QString& queue, QList<QJsonObject>& into)
{
    QByteArray body;
    while (broker.get(queue, &body))
        into.append(QJsonDocument::fromJson(body).object());
}

// A message taken off a test queue, with the time it was taken (ms since the epoch).
struct Arrival {
    QJsonObject body;
    qint64 atMs = 0;
};

// Answers to the start-up probe ("utc", "utc2", ...) may still come late; they are left out.
bool probeReply(const QJsonObject& body)
{
    return body.value("cmd_id").toString().startsWith("utc");
}

void takeTimed(const TestBroker& broker, const QString& queue, QList<Arrival>& into)
{
    QByteArray body;
    while (broker.get(queue, &body)) {
        const QJsonObject object = QJsonDocument::fromJson(body).object();
        if (!probeReply(object))
            into.append(Arrival{object, QDateTime::currentMSecsSinceEpoch()});
    }
}

// Takes a queue's messages as the broker hands them out, each stamped by the consumer when it
// came. Fetching one message per amqp-get falls behind a station that publishes every 2 s on a
// busy machine, and would stamp its records late however promptly the station sent them.
class TimedConsumer {
public:
    bool start(const TestBroker& broker, const QString& queue)
    {
        process_.start(QStringLiteral("amqp-consume"),
                       {QStringLiteral("-u"), broker.url(), QStringLiteral("-q"), queue, QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"),
                        QStringLiteral("printf '\\036%s\\n' \"$(date +%s%3N)\"; cat; printf '\\037'")});
        return process_.waitForStarted(30000);
    }
    ~TimedConsumer()
    {
        process_.kill();
        process_.waitForFinished(30000);
    }
    // Appends the messages that came since the last call; the test's event loop reads them.
    void take(QList<Arrival>& into)
    {
        pending_ += process_.readAllStandardOutput();
        // Each message: 0x1E, the stamp, a line end, the body (the station indents its JSON), 0x1F.
        int end;
        while ((end = pending_.indexOf('\x1f')) >= 0) {
            const QByteArray message = pending_.left(end);
            pending_.remove(0, end + 1);
            const int start = message.indexOf('\x1e');
            const int stampEnd = message.indexOf('\n', start);
            if (start < 0 || stampEnd < 0)
                continue;
            const QJsonObject object = QJsonDocument::fromJson(message.mid(stampEnd + 1)).object();
            if (!probeReply(object))
                into.append(Arrival{object, message.mid(start + 1, stampEnd - start - 1).toLongLong()});
        }
    }

private:
    QProcess process_;
    QByteArray pending_;
};

// The station INI with time sync from the server on.
QString timeSyncIni(int stationId, const QString& url)
{
    QString ini = simStationIni(stationId, url, false);
    ini.replace(QStringLiteral("TIME_SYNC=false"), QStringLiteral("TIME_SYNC=true"));
    return ini;
}

QByteArray heartbeatAt(qint64 seconds)
{
    return QStringLiteral(R"({"msg_type":"hb","cmd_id":"hb","sender":"%1","s_time":%2})").arg(kSender).arg(seconds).toUtf8();
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
    void slowHostCommandsBesideHeartbeatsAndUplinks();
    void commandQueueBound();
    void clockOnlyFromTheCommandLink();

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
    putFile(ntpConf, kNtpConf);
    putFile(interfaces, kInterfaces);
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
    QCOMPARE(fileContent(ntpConf), kNtpConf);
    QCOMPARE(fileContent(interfaces), kInterfaces);

    // The shell's reply, then the others in the order they were sent; the time service's restart
    // takes as long as the shell.
    QVERIFY2(waitUntil(
                 [&] {
                     takeReplies(broker_, "cmds_replies", replies);
                     return indexOfReply(replies, "net") >= 0;
                 },
                 2 * kShellMs + 30000),
             station.output().right(4000).constData());
    const QList<int> order{indexOfReply(replies, "shell"), indexOfReply(replies, "ntp"), indexOfReply(replies, "net")};
    QCOMPARE(order, (QList<int>{0, 1, 2}));
    QCOMPARE(replies.at(0), (QJsonObject{{"cmd_id", "shell"}, {"msg_type", "response"}, {"data", QJsonObject{{"reply", ""}}}}));
    QCOMPARE(replies.at(1), (QJsonObject{{"cmd_id", "ntp"}, {"msg_type", "response"}, {"data", QJsonObject{{"result", true}}}}));
    QCOMPARE(replies.at(2), (QJsonObject{{"cmd_id", "net"}, {"msg_type", "response"}, {"data", QJsonObject{{"result", true}}}}));

    QCOMPARE(fileContent(ntpConf), QByteArray("driftfile /var/lib/ntp/ntp.drift\n"
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
    QCOMPARE(fileContent(interfaces), QByteArray("auto lo\n"
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
    QVERIFY2(waitUntil([&] { return station.output().contains(ifup); }, kShellMs + 30000), station.output().right(4000).constData());
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

// A network change and a heartbeat whose clock set each take 20 s: heartbeats keep their 30 s
// rhythm, uplink records go out within 2 s, and the replies come in order once the clock set
// has ended.
void TestCommandsE2E::slowHostCommandsBesideHeartbeatsAndUplinks()
{
    const int stationId = 4322;
    const int slowMs = 20000;
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "slow_uplinks", kRoutingKey));
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "slow_replies", kSender));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StationProcess station(dir.path());
    putFile(station.path("sim-root/etc/network/interfaces"), kInterfaces);
    if (QTest::currentTestFailed())
        return;
    station.writeIni(timeSyncIni(stationId, broker_.url()));
    // A short uplink message (tens of ms on the air) every 2 s for as long as the test runs.
    QString scenario = QStringLiteral("set firmware 720\n");
    for (int i = 1; i <= 150; ++i)
        scenario += QStringLiteral("at %1 message high type=E id=0x%2 iter=5 payload=1112131415161718 mic=0xABCDEF rate=3200 "
                                   "freq=10 rotation=5 rssi=0x100000\n")
                        .arg(i * 2000)
                        .arg(0x12340000 + i, 8, 16, QLatin1Char('0'));
    station.writeScenario(scenario);
    QVERIFY(station.start({QStringLiteral("--dry-run-delay"), QString::number(slowMs)}));
    const QString cmdKey = QStringLiteral("station_cmd.%1").arg(stationId);
    QJsonObject reply;
    QVERIFY2(askUntilAnswered(broker_, kExchange, cmdKey, "slow_replies", kSender, "utc", "timeconfig", R"({"cmd":"get_utc"})", &reply),
             station.output().right(4000).constData());
    TimedConsumer uplinkQueue;
    QVERIFY(uplinkQueue.start(broker_, QStringLiteral("slow_uplinks")));

    // Start right after a heartbeat, so that the next ones fall while the host commands run.
    QList<Arrival> uplinks;
    QVERIFY2(waitUntil(
                 [&] {
                     uplinks.clear();
                     QList<Arrival> taken;
                     uplinkQueue.take(taken);
                     for (const Arrival& a : taken) {
                         if (a.body.contains("time_published") && !a.body.contains("modem_id"))
                             uplinks.append(a);
                     }
                     return !uplinks.isEmpty();
                 },
                 60000),
             station.output().right(4000).constData());
    const qint64 t0 = QDateTime::currentMSecsSinceEpoch();
    const qint64 serverTime = t0 / 1000 + 3600;
    QVERIFY(broker_.publish(kExchange, cmdKey,
                            commandBody("network", "net", kSender,
                                        R"({"cmd":"set","iface":"static","address":"10.1.2.3/24","gateway":"10.1.2.1","netmask":"255.255.255.0"})")));
    QVERIFY(broker_.publish(kExchange, QStringLiteral("station_hb.%1").arg(stationId), heartbeatAt(serverTime)));
    // Records detected from here on are taken off the queue as they come (publishing above held
    // the test, not the station).
    const qint64 sent = QDateTime::currentMSecsSinceEpoch();

    // Two more heartbeats: the clock set and both interface commands (20 s each) run meanwhile.
    QList<Arrival> replies;
    int heartbeats = 1;
    QVERIFY2(waitUntil(
                 [&] {
                     uplinkQueue.take(uplinks);
                     takeTimed(broker_, "slow_replies", replies);
                     heartbeats = 0;
                     for (const Arrival& a : uplinks)
                         heartbeats += a.body.contains("modem_id") ? 0 : 1;
                     return heartbeats >= 3;
                 },
                 90000),
             station.output().right(4000).constData());
    const QByteArray out = station.output();
    const QByteArray dateLine = QStringLiteral("dry run, not executed: sudo date +%s -s @%1 (time limit 10000 ms)").arg(serverTime).toUtf8();
    QVERIFY2(out.contains(dateLine), out.right(4000).constData());
    QVERIFY(out.contains("dry run, not executed: sudo ifdown eth0 (time limit 10000 ms)"));
    QVERIFY(out.contains("dry run, not executed: sudo ifup eth0 (time limit 10000 ms)"));

    QList<qint64> published;
    int onTime = 0;
    for (const Arrival& a : uplinks) {
        if (!a.body.contains("modem_id")) {
            published << qint64(a.body.value("time_published").toDouble());
            // Whole seconds: one more for the rounding.
            QVERIFY2(a.atMs - published.last() * 1000 < 3000, QByteArray::number(a.atMs - published.last() * 1000).constData());
            continue;
        }
        const qint64 detectedMs = qint64(a.body.value("time_detected").toDouble() * 1000.0);
        if (detectedMs < sent)
            continue;
        QVERIFY2(a.atMs - detectedMs < 2000, QByteArray::number(a.atMs - detectedMs).append(" ms: ").append(
                                                 QJsonDocument(a.body).toJson(QJsonDocument::Compact)).constData());
        ++onTime;
    }
    QVERIFY(onTime >= 10);
    for (int i = 1; i < published.size(); ++i) {
        const qint64 gap = published.at(i) - published.at(i - 1);
        QVERIFY2(gap >= 28 && gap <= 32, QByteArray::number(gap).constData());
    }

    // The network reply at once, the heartbeat's once its clock set ended.
    QVERIFY2(waitUntil(
                 [&] {
                     takeTimed(broker_, "slow_replies", replies);
                     return replies.size() >= 2;
                 },
                 30000),
             station.output().right(4000).constData());
    QCOMPARE(replies.size(), 2);
    QCOMPARE(replies.at(0).body, (QJsonObject{{"cmd_id", "net"}, {"msg_type", "response"}, {"data", QJsonObject{{"result", true}}}}));
    QCOMPARE(replies.at(1).body, (QJsonObject{{"cmd_id", "hb"}, {"msg_type", "response"}, {"data", QJsonValue()}}));
    QVERIFY(replies.at(1).atMs - t0 >= slowMs - 1000);

    QVERIFY(station.terminate());
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 0);
}

// Behind a long shell 64 commands wait; the 65th is refused at once, on its own routing key.
void TestCommandsE2E::commandQueueBound()
{
    const int stationId = 4323;
    const int shellMs = 45000;
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "queue_replies", "queue.replies"));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StationProcess station(dir.path());
    station.writeIni(simStationIni(stationId, broker_.url(), false));
    station.writeScenario(QStringLiteral("set firmware 720\n"));
    QVERIFY(station.start({QStringLiteral("--dry-run-delay"), QString::number(shellMs)}));
    const QString cmdKey = QStringLiteral("station_cmd.%1").arg(stationId);
    QJsonObject reply;
    QVERIFY2(askUntilAnswered(broker_, kExchange, cmdKey, "queue_replies", "queue.replies", "utc", "timeconfig", R"({"cmd":"get_utc"})",
                              &reply),
             station.output().right(4000).constData());

    QVERIFY(broker_.publish(kExchange, cmdKey, commandBody("admin", "shell", "queue.replies", R"({"request":"true"})")));
    for (int i = 1; i <= 65; ++i)
        QVERIFY(broker_.publish(kExchange, cmdKey,
                                commandBody("timeconfig", QStringLiteral("q%1").arg(i), "queue.replies", R"({"cmd":"get_utc"})")));

    QList<QJsonObject> replies;
    auto take = [&] {
        takeReplies(broker_, "queue_replies", replies);
        replies.erase(std::remove_if(replies.begin(), replies.end(), probeReply), replies.end());
    };
    QVERIFY2(waitUntil(
                 [&] {
                     take();
                     return !replies.isEmpty();
                 },
                 shellMs),
             station.output().right(4000).constData());
    QCOMPARE(replies.first(), (QJsonObject{{"cmd_id", "q65"}, {"msg_type", "error"},
                                           {"data", "command not run: 64 commands are already waiting"}}));

    QVERIFY2(waitUntil(
                 [&] {
                     take();
                     return replies.size() >= 66;
                 },
                 shellMs + 60000),
             station.output().right(4000).constData());
    QStringList order;
    for (const QJsonObject& r : replies)
        order << r.value("cmd_id").toString();
    QStringList expected{"q65", "shell"};
    for (int i = 1; i <= 64; ++i)
        expected << QStringLiteral("q%1").arg(i);
    QCOMPARE(order, expected);
    QCOMPARE(station.log().count("Command queue full (64 waiting)"), 1);

    QVERIFY(station.terminate());
    QCOMPARE(station.exitCode(), 0);
}

// The same heartbeat time, first on a link with downlink rights only (another virtual host),
// then on the command link: only the second sets the clock.
void TestCommandsE2E::clockOnlyFromTheCommandLink()
{
    const int stationId = 4324;
    const QString vhost = QStringLiteral("dlonly");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString defs = dir.filePath("dlonly.json");
    putFile(defs, QStringLiteral(R"({"vhosts":[{"name":"%1"}],)"
                             R"("permissions":[{"user":"guest","vhost":"%1","configure":".*","write":".*","read":".*"}],)"
                             R"("exchanges":[{"name":"%2","vhost":"%1","type":"topic","durable":true,"auto_delete":false,"internal":false,"arguments":{}}]})")
                  .arg(vhost, kExchange)
                  .toUtf8());
    if (QTest::currentTestFailed())
        return;
    int code = -1;
    broker_.ctl({QStringLiteral("import_definitions"), defs}, &code);
    QCOMPARE(code, 0);
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "clock_replies", "clock.replies"));

    StationProcess station(dir.path());
    station.writeIni(timeSyncIni(stationId, broker_.url())
                     + QStringLiteral("[SECONDARY_RABBIT]\nENABLE=true\nR_LOGIN=%1\nR_VHOST=%2\nR_EXCHANGE=%3\nHAS_UL=false\nHAS_DL=true\nHAS_CMD=false\n")
                           .arg(broker_.url(QStringLiteral("guest"), QStringLiteral("guest"), vhost), vhost, kExchange));
    station.writeScenario(QStringLiteral("set firmware 720\n"));
    QVERIFY(station.start());
    QJsonObject reply;
    QVERIFY2(askUntilAnswered(broker_, kExchange, QStringLiteral("station_cmd.%1").arg(stationId), "clock_replies", "clock.replies", "utc",
                              "timeconfig", R"({"cmd":"get_utc"})", &reply),
             station.output().right(4000).constData());
    const QString queue = QStringLiteral("bs%1").arg(stationId);
    QVERIFY2(waitUntil([&] { return broker_.ctl({QStringLiteral("list_queues"), QStringLiteral("-p"), vhost, QStringLiteral("name")}).contains(queue); },
                       60000),
             station.output().right(4000).constData());

    const qint64 serverTime = QDateTime::currentSecsSinceEpoch() + 3600;
    const QByteArray hb = QStringLiteral(R"({"msg_type":"hb","s_time":%1})").arg(serverTime).toUtf8();
    const QString hbKey = QStringLiteral("station_hb.%1").arg(stationId);
    QProcess publish;
    publish.start(QStringLiteral("amqp-publish"), {QStringLiteral("-u"), broker_.url(QStringLiteral("guest"), QStringLiteral("guest"), vhost),
                                                   QStringLiteral("-e"), kExchange, QStringLiteral("-r"), hbKey});
    QVERIFY(publish.waitForStarted(10000));
    publish.write(hb);
    publish.closeWriteChannel();
    QVERIFY(publish.waitForFinished(60000));
    QCOMPARE(publish.exitCode(), 0);
    QVERIFY2(waitUntil([&] { return station.log().contains("Heartbeat time ignored"); }, 30000), station.log().right(4000).constData());
    const QByteArray dateLine = QStringLiteral("dry run, not executed: sudo date +%s -s @%1").arg(serverTime).toUtf8();
    QVERIFY(!station.output().contains(dateLine));

    QVERIFY(broker_.publish(kExchange, hbKey, hb));
    QVERIFY2(waitUntil([&] { return station.output().contains(dateLine); }, 30000), station.output().right(4000).constData());
    QCOMPARE(station.output().count(dateLine), 1);
    QCOMPARE(station.log().count("Heartbeat time ignored"), 1);

    QVERIFY(station.terminate());
    QCOMPARE(station.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestCommandsE2E)
#include "tst_commands_e2e.moc"
