// Broker link against the project's own RabbitMQ: confirmed bursts, bindings that follow the
// link's rights, the station queue, binary bodies checked with protoc, content types, nacks
// from a full queue, the reconnect guard shared by all links, and records that outlive a
// restart of the broker.
#include "AmqpClient.h"
#include "AmqpQueue.h"
#include "RecordingHostCommandRunner.h"
#include "BrokerWait.h"
#include "TestBroker.h"
#include "messque.h"
#include "rabbit_man.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

#include <memory>

namespace {

const char* const kExchange = "tolvar.test";

const char* const kUplink = "{\"version\": 1, \"msg_type\": \"msg_vexa_d\", \"bs_id\": 4711, "
                            "\"modem_id\": 305419896, \"payload\": \"0A1B2C3D4E5F6071\", \"phy\": 24, "
                            "\"signal_rssi\": -131, \"signal_snr\": 12, \"time_detected\": 1765370000.125}";
const char* const kHeartbeat = "{\"version\": 1, \"msg_type\": \"beat_vexa_e\", \"bs_id\": 7, \"bs_state\": 1, \"bs_type\": \"QORM\"}";
// Valid JSON that the schema does not know: sent as text.
const char* const kUnknownMember = "{\"msg_type\": \"msg_vexa_d\", \"no_such_member\": 3}";

QByteArray protocDecode(const QByteArray& bytes)
{
    QProcess p;
    p.start(QStringLiteral("protoc"),
            {QStringLiteral("-I"), QStringLiteral(TOLVAR_SOURCE_DIR "/src/link"),
             QStringLiteral("--decode=binary_struct.ComplexMessage"), QStringLiteral("complex_message.proto")});
    if (!p.waitForStarted())
        return "protoc did not start";
    p.write(bytes);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    if (p.exitCode() != 0)
        return "protoc failed: " + p.readAllStandardError();
    return p.readAllStandardOutput().simplified();
}

// A consumer on the project's own client, to see the content type of what arrives.
class Collector : public QObject
{
public:
    Collector(const QString& url, const QString& queueName)
    {
        client.connectToHost(url);
        queue = client.createQueue(queueName);
        connect(queue, &AmqpQueue::opened, this, [this] { queue->consume(AmqpQueue::coNoAck); });
        connect(queue, &AmqpQueue::messageReceived, this, [this] {
            while (!queue->isEmpty()) {
                const AmqpMessage m = queue->dequeue();
                bodies << m.payload();
                types << m.property(AmqpMessage::ContentType).toString();
                keys << m.routingKey();
                // 0: no delivery mode given, which the broker takes as transient.
                modes << m.property(AmqpMessage::DeliveryMode).toInt();
            }
        });
    }
    ~Collector() override { client.disconnectFromHost(); }

    AmqpClient client;
    AmqpQueue* queue = nullptr;
    QList<QByteArray> bodies;
    QStringList types;
    QStringList keys;
    QList<int> modes;
};

} // namespace

class tst_broker_link : public QObject
{
    Q_OBJECT

private:
    TestBroker broker;
    QTemporaryDir dir;
    int backups = 0;

    std::unique_ptr<rabbit_man> makeLink(const QString& id, const QString& key, bool dl, bool cmd,
                                         const QString& logName = QStringLiteral("link.log"))
    {
        const QString backup = dir.filePath(QStringLiteral("backup-%1.db3").arg(++backups));
        return std::make_unique<rabbit_man>(id, broker.url(), QString::fromLatin1(kExchange), QStringLiteral("/"),
                                            key, backup, dir.filePath(logName), true, dl, cmd, true);
    }

    QStringList bindingsOf(const QString& queue, int callMs = kBrokerCallMs)
    {
        QStringList keys;
        for (const QStringList& row :
             broker.list(QStringLiteral("bindings"),
                         {QStringLiteral("source_name"), QStringLiteral("destination_name"), QStringLiteral("routing_key")},
                         nullptr, callMs)) {
            if (row.value(0) == QLatin1String(kExchange) && row.value(1) == queue)
                keys << row.value(2);
        }
        keys.sort();
        return keys;
    }

    // Empty once the queue is bound with exactly these keys; otherwise the keys last seen.
    QString waitForBindings(const QString& queue, const QStringList& expected)
    {
        QStringList last;
        const QString why = pollBroker(QStringLiteral("bindings of %1").arg(queue), [&](int callMs) {
            last = bindingsOf(queue, callMs);
            return last == expected;
        });
        return why.isEmpty() ? why : why + QStringLiteral("; last seen: ") + last.join(QLatin1Char(' '));
    }

    // Null when the broker could not be asked in time.
    std::optional<bool> queueExists(const QString& queue, int callMs = kBrokerCallMs)
    {
        bool ok = false;
        const QList<QStringList> rows = broker.list(QStringLiteral("queues"), {QStringLiteral("name")}, &ok, callMs);
        if (!ok)
            return std::nullopt;
        for (const QStringList& row : rows) {
            if (row.value(0) == queue)
                return true;
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir::setCurrent(dir.path()));
        HostCommandRunner::setDefaultRunner(std::make_shared<RecordingHostCommandRunner>());
        QVERIFY2(broker.start(), qPrintable(broker.errorString()));
        QVERIFY(broker.declareTestQueue(QString::fromLatin1(kExchange), QStringLiteral("topic"),
                                        QStringLiteral("ul_test"), QStringLiteral("ul.#")));
        QVERIFY(broker.declareTestQueue(QString::fromLatin1(kExchange), QStringLiteral("topic"),
                                        QStringLiteral("reply_test"), QStringLiteral("reply.#")));
    }

    void cleanupTestCase() { broker.stop(); }

    void init() { rabbit_man::reset_reconnect_guard(); }

    // 250 records go out in confirmed bursts and leave the outgoing queue.
    void confirmedBursts()
    {
        auto link = makeLink(QStringLiteral("100"), QStringLiteral("ul.data"), false, false);
        QSignalSpy estimated(link.get(), &rabbit_man::conn_estimated);
        QTRY_VERIFY_WITH_TIMEOUT(link->isConnected(), 20000);
        for (int i = 0; i < 250; ++i)
            link->queue_string(QByteArray("{\"seq\":") + QByteArray::number(i) + "}");
        QTRY_COMPARE_WITH_TIMEOUT(link->outgoing_queue().size(), 0, 60000);
        QVERIFY(estimated.count() >= 1);
        BROKER_WAIT(waitForQueueCount(broker, QStringLiteral("ul_test"), 250));
        QSet<QByteArray> seen;
        QByteArray body;
        while (broker.get(QStringLiteral("ul_test"), &body, kBrokerCallMs))
            seen.insert(body.trimmed());
        QCOMPARE(seen.size(), 250);
    }

    // Records fed without a pause through a link whose publish timer fires while they are in
    // flight: a healthy broker gets each exactly once, and a confirmed record leaves memory.
    // Feeding goes on (past the first 20,000 if need be) until an expiry has met records in
    // flight, so a fast build cannot finish before the timer's first expiry.
    void everyRecordOnceUnderLoad()
    {
        const int atLeast = 20000;
        const int chunk = 500;
        QVERIFY(broker.declareTestQueue(QString::fromLatin1(kExchange), QStringLiteral("topic"),
                                        QStringLiteral("load_test"), QStringLiteral("load.#")));
        Collector consumer(broker.url(), QStringLiteral("load_test"));
        auto link = makeLink(QStringLiteral("209"), QStringLiteral("load.data"), false, false);
        // Short enough to expire soon while records are in flight, long enough for a healthy
        // broker's confirms on a busy machine with sanitizers.
        link->set_publish_interval(2000);
        link->outgoing_queue().logoff(true);
        link->logoff(true);
        int inFlightAtExpiry = 0;
        connect(link.get(), &rabbit_man::republish, this,
                [&] { inFlightAtExpiry = qMax(inFlightAtExpiry, link->in_flight()); }, Qt::DirectConnection);
        QTRY_VERIFY_WITH_TIMEOUT(link->isConnected(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(consumer.queue->isConsuming(), 20000);
        int fed = 0;
        QElapsedTimer feeding;
        feeding.start();
        while (fed < atLeast || inFlightAtExpiry == 0) {
            QVERIFY2(feeding.elapsed() < 240000, "no expiry of the publish timer met records in flight");
            // Topped up whenever the waiting records run low, so the link is never idle.
            if (link->outgoing_queue().waiting_count() < chunk) {
                for (int i = 0; i < chunk; ++i, ++fed)
                    link->queue_string("{\"seq\":" + QByteArray::number(fed) + "}");
                QVERIFY(link->in_flight() <= rabbit_man::kMaxInFlight);
            }
            // Returns after at least one event; the publish timer is one.
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        QTRY_COMPARE_WITH_TIMEOUT(link->outgoing_queue().size(), 0, 240000);
        QCOMPARE(link->in_flight(), 0);
        // Nothing is left to republish now; a last record on the same channel and queue comes
        // after any second copy of the others.
        link->queue_string("end");
        QTRY_VERIFY_WITH_TIMEOUT(!consumer.bodies.isEmpty() && consumer.bodies.last() == "end", 120000);
        consumer.bodies.removeLast();
        QHash<QByteArray, int> seen;
        for (const QByteArray& body : qAsConst(consumer.bodies))
            ++seen[body];
        QCOMPARE(seen.size(), fed);
        QCOMPARE(consumer.bodies.size(), fed);
    }

    // The station queue is bound only for the rights the link has.
    void bindingsFollowRights_data()
    {
        QTest::addColumn<bool>("dl");
        QTest::addColumn<bool>("cmd");
        QTest::addColumn<QStringList>("keys");
        QTest::newRow("downlink and commands") << true << true
                                               << QStringList({"station.201", "station_cmd.201", "station_hb.201"});
        QTest::newRow("downlink only") << true << false << QStringList({"station.201", "station_hb.201"});
        QTest::newRow("commands only") << false << true << QStringList({"station_cmd.201", "station_hb.201"});
        QTest::newRow("neither: no station queue") << false << false << QStringList();
    }
    void bindingsFollowRights()
    {
        QFETCH(bool, dl);
        QFETCH(bool, cmd);
        QFETCH(QStringList, keys);
        auto link = makeLink(QStringLiteral("201"), QStringLiteral("ul.data"), dl, cmd);
        QTRY_VERIFY_WITH_TIMEOUT(link->isConnected(), 20000);
        if (keys.isEmpty()) {
            QTest::qWait(1000);
            QCOMPARE(queueExists(QStringLiteral("bs201")), std::optional<bool>(false));
            return;
        }
        BROKER_WAIT(waitForBindings(QStringLiteral("bs201"), keys));
        link.reset();
        // The station queue is auto-delete: it goes with its consumer.
        BROKER_WAIT(pollBroker(QStringLiteral("bs201 deleted"), [this](int callMs) {
            return queueExists(QStringLiteral("bs201"), callMs) == std::optional<bool>(false);
        }));
    }

    // Withdrawn downlink rights take effect at the next declaration, after a reconnection.
    void rightsChangeAtReconnect()
    {
        auto link = makeLink(QStringLiteral("202"), QStringLiteral("ul.data"), true, true);
        BROKER_WAIT(waitForBindings(QStringLiteral("bs202"), {"station.202", "station_cmd.202", "station_hb.202"}));
        link->set_has_dl(false);
        QCOMPARE(bindingsOf(QStringLiteral("bs202")).size(), 3);
        link->reconnect();
        BROKER_WAIT(waitForBindings(QStringLiteral("bs202"), {"station_cmd.202", "station_hb.202"}));
    }

    // A message on the station queue reaches the core acknowledged, with the link it came on.
    void stationQueueDelivers()
    {
        auto link = makeLink(QStringLiteral("203"), QStringLiteral("ul.data"), true, true);
        QList<QByteArray> bodies;
        QList<rabbit_man*> links;
        connect(link.get(), &rabbit_man::data_received, this, [&](const QByteArray& body, rabbit_man& from) {
            bodies << body;
            links << &from;
        });
        BROKER_WAIT(waitForBindings(QStringLiteral("bs203"), {"station.203", "station_cmd.203", "station_hb.203"}));
        QVERIFY(broker.publish(QString::fromLatin1(kExchange), QStringLiteral("station_cmd.203"), "{\"msg_type\":\"hb\"}"));
        QVERIFY(broker.publish(QString::fromLatin1(kExchange), QStringLiteral("station.203"), "{\"modem_id\":1}"));
        QTRY_COMPARE_WITH_TIMEOUT(bodies.size(), 2, 20000);
        QCOMPARE(bodies.at(0), QByteArray("{\"msg_type\":\"hb\"}"));
        QCOMPARE(bodies.at(1), QByteArray("{\"modem_id\":1}"));
        QCOMPARE(links, QList<rabbit_man*>({link.get(), link.get()}));
        // Acknowledged: nothing stays on the broker.
        BROKER_WAIT(waitForQueueCount(broker, QStringLiteral("bs203"), 0));
    }

    // Binary mode: bodies are ComplexMessage envelopes that protoc decodes; JSON the schema
    // does not take goes out as the text it is, with the text content type.
    void binaryMode()
    {
        QVERIFY(broker.declareTestQueue(QString::fromLatin1(kExchange), QStringLiteral("topic"),
                                        QStringLiteral("bin_test"), QStringLiteral("bin.#")));
        Collector collector(broker.url(), QStringLiteral("bin_test"));
        auto link = makeLink(QStringLiteral("204"), QStringLiteral("bin.data"), false, false);
        link->set_binary_mode(true);
        QTRY_VERIFY_WITH_TIMEOUT(link->isConnected() && collector.client.isConnected(), 20000);
        link->queue_string(kUplink);
        link->queue_string(kHeartbeat);
        link->queue_string(kUnknownMember);
        link->queue_string("not json at all");
        QTRY_COMPARE_WITH_TIMEOUT(collector.bodies.size(), 4, 30000);

        QCOMPARE(collector.types.at(0), QStringLiteral("application/octet-stream"));
        const QByteArray uplink = protocDecode(collector.bodies.at(0));
        QVERIFY2(uplink.startsWith("payload {"), uplink.constData());
        for (const char* field : {"msg_type: \"msg_vexa_d\"", "bs_id: 4711", "modem_id: 305419896",
                                  "payload: \"0A1B2C3D4E5F6071\"", "signal_rssi: -131", "time_detected: 1765370000.125"})
            QVERIFY2(uplink.contains(field), uplink.constData());

        QCOMPARE(collector.types.at(1), QStringLiteral("application/octet-stream"));
        const QByteArray hb = protocDecode(collector.bodies.at(1));
        QVERIFY2(hb.startsWith("type: MsgHb heartbeat {"), hb.constData());
        QVERIFY2(hb.contains("bs_type: \"QORM\""), hb.constData());

        QCOMPARE(collector.types.at(2), QStringLiteral("text/plain"));
        QCOMPARE(collector.bodies.at(2), QByteArray(kUnknownMember));
        QCOMPARE(collector.types.at(3), QStringLiteral("text/plain"));
        QCOMPARE(collector.bodies.at(3), QByteArray("not json at all"));
        // Converted or not, every record the link keeps until confirmed goes out persistent.
        QCOMPARE(collector.modes, QList<int>({2, 2, 2, 2}));
    }

    // Command replies: published at once with the given key; a null text publishes nothing,
    // an empty one an empty body.
    void publishString()
    {
        auto link = makeLink(QStringLiteral("205"), QStringLiteral("ul.data"), false, false);
        QTRY_VERIFY_WITH_TIMEOUT(link->isConnected(), 20000);
        link->publish_string(QByteArray(), QStringLiteral("reply.a"));
        link->publish_string(QByteArray(""), QStringLiteral("reply.a"));
        link->publish_string("{\"r\":1}", QStringLiteral("reply.b"));
        BROKER_WAIT(waitForQueueCount(broker, QStringLiteral("reply_test"), 2));
        QByteArray body;
        QVERIFY(broker.get(QStringLiteral("reply_test"), &body, kBrokerCallMs));
        QCOMPARE(body.trimmed(), QByteArray());
        QVERIFY(broker.get(QStringLiteral("reply_test"), &body, kBrokerCallMs));
        QCOMPARE(body.trimmed(), QByteArray("{\"r\":1}"));
        QCOMPARE(link->outgoing_queue().size(), 0);
    }

    // A full queue that rejects publishes: the nacked records go out again until there is
    // room, and none is lost.
    void nackedRecordsGoOutAgain()
    {
        int code = -1;
        broker.ctl({QStringLiteral("set_policy"), QStringLiteral("small"), QStringLiteral("^nack_test$"),
                    QStringLiteral("{\"max-length\":10,\"overflow\":\"reject-publish\"}"),
                    QStringLiteral("--apply-to"), QStringLiteral("queues")},
                   &code);
        QCOMPARE(code, 0);
        QVERIFY(broker.declareTestQueue(QString::fromLatin1(kExchange), QStringLiteral("topic"),
                                        QStringLiteral("nack_test"), QStringLiteral("nack.#")));
        auto link = makeLink(QStringLiteral("206"), QStringLiteral("nack.data"), false, false);
        QTRY_VERIFY_WITH_TIMEOUT(link->isConnected(), 20000);
        for (int i = 0; i < 30; ++i)
            link->queue_string(QByteArray::number(i));
        BROKER_WAIT(waitForQueueCount(broker, QStringLiteral("nack_test"), 10));
        QSet<int> seen;
        BROKER_WAIT(pollBroker(QStringLiteral("all 30 records taken off nack_test"), [&](int callMs) {
            QByteArray body;
            if (broker.get(QStringLiteral("nack_test"), &body, callMs))
                seen.insert(body.trimmed().toInt());
            return seen.size() == 30;
        }, 90000));
        QTRY_COMPARE_WITH_TIMEOUT(link->outgoing_queue().size(), 0, 60000);
    }

    // The link does not verify the broker's certificate: it connects over TLS to a broker whose
    // certificate is its own, and logs each kind of error once per connection.
    void tlsErrorsIgnoredAndLoggedOnce()
    {
        const QString logName = QStringLiteral("tls.log");
        const auto link = std::make_unique<rabbit_man>(QStringLiteral("209"), broker.tlsUrl(), QString::fromLatin1(kExchange),
                                                       QStringLiteral("/"), QStringLiteral("ul.data"),
                                                       dir.filePath(QStringLiteral("backup-tls.db3")), dir.filePath(logName),
                                                       true, false, false, false);
        QTRY_VERIFY_WITH_TIMEOUT(link->isConnected(), 30000);
        const auto tlsLines = [&] {
            QFile f(dir.filePath(logName));
            QStringList lines;
            if (f.open(QIODevice::ReadOnly)) {
                for (const QByteArray& l : f.readAll().split('\n')) {
                    const int at = l.indexOf(" TLS error ignored: ");
                    if (at >= 0)
                        lines << QString::fromUtf8(l.mid(at));
                }
            }
            return lines;
        };
        const QStringList first = tlsLines();
        QVERIFY(!first.isEmpty());
        QCOMPARE(QSet<QString>(first.begin(), first.end()).size(), first.size());

        link->reconnect();
        QTRY_VERIFY_WITH_TIMEOUT(link->isConnected(), 30000);
        QCOMPARE(tlsLines(), first + first);
    }

    // A body over 64 MiB is acknowledged and dropped with a log line, and never kept; the
    // messages after it arrive as usual.
    void bodyOverCeilingDropped()
    {
        const QString logName = QStringLiteral("ceiling.log");
        auto link = makeLink(QStringLiteral("210"), QStringLiteral("ul.data"), true, false, logName);
        QList<QByteArray> bodies;
        connect(link.get(), &rabbit_man::data_received, this,
                [&](const QByteArray& body, rabbit_man&) { bodies << body; });
        QTRY_COMPARE_WITH_TIMEOUT(bindingsOf(QStringLiteral("bs210")).size(), 2, 20000);
        const QString key = QStringLiteral("station_hb.210");
        QVERIFY(broker.publish(QString::fromLatin1(kExchange), key, QByteArray(int(rabbit_man::kMaxBodySize) + 1, 'x')));
        QVERIFY(broker.publish(QString::fromLatin1(kExchange), key, "{\"msg_type\":\"hb\"}"));
        QTRY_COMPARE_WITH_TIMEOUT(bodies.size(), 1, 60000);
        QCOMPARE(bodies.first(), QByteArray("{\"msg_type\":\"hb\"}"));
        QTRY_COMPARE_WITH_TIMEOUT(broker.queueMessageCount(QStringLiteral("bs210")), 0, 30000);
        QFile log(dir.filePath(logName));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll().count("Message of 67108865 bytes dropped: larger than 64 MiB"), 1);
    }

    // One reconnection per 10 s for all links together; a link the guard left down comes back
    // through reconnect_if_disconnected().
    void reconnectGuard()
    {
        auto a = makeLink(QStringLiteral("207"), QStringLiteral("ul.data"), false, false, QStringLiteral("a.log"));
        auto b = makeLink(QStringLiteral("208"), QStringLiteral("ul.data"), false, false, QStringLiteral("b.log"));
        QTRY_VERIFY_WITH_TIMEOUT(a->isConnected() && b->isConnected(), 20000);
        auto reconnects = [this] {
            int n = 0;
            for (const char* log : {"a.log", "b.log"}) {
                QFile f(dir.filePath(QLatin1String(log)));
                if (f.open(QIODevice::ReadOnly))
                    n += int(f.readAll().count(" Reconnect\n"));
            }
            return n;
        };
        // Counted, not cleared: the log writer keeps its file open, so a removed log would
        // only reappear up to a second later.
        const int before = reconnects();
        QVERIFY(broker.closeAllConnections());
        QTRY_VERIFY_WITH_TIMEOUT(a->isConnected() || b->isConnected(), 20000);
        QTest::qWait(2000);
        // One of them reconnected, once (a broker close brings more than one notice).
        QCOMPARE(reconnects() - before, 1);
        rabbit_man* down = a->isConnected() ? b.get() : a.get();
        QVERIFY(!down->isConnected());
        QVERIFY(down->reconnect_if_disconnected());
        QTRY_VERIFY_WITH_TIMEOUT(a->isConnected() && b->isConnected(), 20000);
        QVERIFY(!a->reconnect_if_disconnected());
    }

    // The broker confirms a record and the link forgets it, so the broker must keep it on disk:
    // records in a durable classic queue outlive a restart of the broker, those queued while it
    // was down follow, and nothing about the message but its delivery mode changes. A command
    // reply stays transient. Last of the functions: it stops the shared broker.
    void recordsSurviveBrokerRestart()
    {
        const QString queue = QStringLiteral("restart_test");
        QVERIFY(broker.declareTestQueue(QString::fromLatin1(kExchange), QStringLiteral("topic"), queue,
                                        QStringLiteral("restart.#")));
        auto link = makeLink(QStringLiteral("211"), QStringLiteral("restart.data"), false, false);
        QTRY_VERIFY_WITH_TIMEOUT(link->isConnected(), 20000);
        // Uplink records and heartbeats alike, the way the core queues them.
        const auto record = [](int seq) {
            return QStringLiteral("{\"seq\":%1,\"msg_type\":\"%2\"}").arg(seq).arg(seq % 10 ? "msg_vexa_d" : "beat_vexa_e").toUtf8();
        };
        const int beforeStop = 300;
        const int whileDown = 50;
        for (int i = 0; i < beforeStop; ++i)
            link->queue_string(record(i));
        QTRY_COMPARE_WITH_TIMEOUT(link->outgoing_queue().size(), 0, 60000);
        BROKER_WAIT(waitForQueueCount(broker, queue, beforeStop));

        QVERIFY(broker.stopApp());
        QTRY_VERIFY_WITH_TIMEOUT(!link->isConnected(), 30000);
        for (int i = beforeStop; i < beforeStop + whileDown; ++i)
            link->queue_string(record(i));
        QVERIFY(broker.startApp());
        // The core's heartbeat tick, which brings back a link the reconnect guard left down.
        QTimer tick;
        connect(&tick, &QTimer::timeout, link.get(), [&] { link->reconnect_if_disconnected(); });
        tick.start(2000);
        QTRY_VERIFY_WITH_TIMEOUT(link->isConnected() && link->outgoing_queue().size() == 0, 120000);
        tick.stop();

        Collector collector(broker.url(), queue);
        QTRY_VERIFY_WITH_TIMEOUT(collector.queue->isConsuming(), 30000);
        link->publish_string("{\"r\":1}", QStringLiteral("restart.reply"));
        const auto distinct = [&] { return QSet<QByteArray>(collector.bodies.begin(), collector.bodies.end()); };
        QTRY_COMPARE_WITH_TIMEOUT(distinct().size(), beforeStop + whileDown + 1, 60000);
        const QSet<QByteArray> seen = distinct();
        for (int i = 0; i < beforeStop + whileDown; ++i)
            QVERIFY2(seen.contains(record(i)), record(i).constData());
        for (int i = 0; i < collector.bodies.size(); ++i) {
            const bool reply = collector.bodies.at(i) == "{\"r\":1}";
            QCOMPARE(collector.types.at(i), QStringLiteral("text/plain"));
            QCOMPARE(collector.keys.at(i), reply ? QStringLiteral("restart.reply") : QStringLiteral("restart.data"));
            QCOMPARE(collector.modes.at(i), reply ? 0 : 2);
        }
    }
};

QTEST_GUILESS_MAIN(tst_broker_link)
#include "tst_broker_link.moc"
