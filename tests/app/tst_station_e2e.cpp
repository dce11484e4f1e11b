// The simulated station end to end: tolvar-sim plays a scripted receiver FPGA and publishes to a
// private RabbitMQ; an independent consumer (amqp-tools) checks what arrives.
#include "StationCommands.h"
#include "StationProcess.h"
#include "TestBroker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");
const QString kRoutingKey = QStringLiteral("backend.vexa_uplink");
const int kStationId = 1234;

// One message the scenario sends, as its record must arrive.
struct Expected {
    int modemId;
    QString msgType;
    QString payload;
    int phy;
};

} // namespace

class TestStationE2E : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void publishesRecordsHeartbeatAndAnswersCommands();
    void answersConfigurationCommandsOnTheLinkTheyCameOn();

private:
    TestBroker broker_;
};

void TestStationE2E::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
}

void TestStationE2E::cleanupTestCase()
{
    broker_.stop();
}

void TestStationE2E::publishesRecordsHeartbeatAndAnswersCommands()
{
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "e2e_uplinks", kRoutingKey));
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "e2e_replies", "e2e.replies"));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StationProcess station(dir.path());
    station.writeIni(simStationIni(kStationId, broker_.url(), false));
    // Two radio copies of one message with different levels (they fold into one record), a
    // corrupt record, and three more messages of other types and FIFOs.
    station.writeScenario(QStringLiteral(
        "set firmware 720\n"
        "set fft_word 0x0021019A\n"
        "set bitrate_mask 0x00FF0F03\n"
        "at 1000 message low type=D id=0x00A1B2 payload=0102030405060708 rate=50 freq=200 rssi=0x100000\n"
        "at 1000 message low type=D id=0x00A1B2 payload=0102030405060708 rate=50 freq=200 rssi=0x400000\n"
        "at 1000 message low type=D id=0x000077 payload=0102030405060708 rate=50 crc=bad\n"
        "at 2500 message low type=C id=0x000C01 payload=1122334455667788 rate=50 freq=120 rssi=0x180000\n"
        "at 4000 message high type=E id=0x12345678 iter=5 payload=1112131415161718 mic=0xABCDEF rate=3200 freq=10 rotation=5 rssi=0x100000\n"
        "at 5500 message low type=D id=0x00A1B3 payload=A0A1A2A3A4A5A6A7 rate=50 freq=300 rssi=0x300000\n"));
    const QList<Expected> expected{
        {0x00A1B2, "msg_vexa_d", "0102030405060708", 21},
        {0x000C01, "msg_vexa_c", "1122334455667788", 20},
        {0x12345678, "msg_vexa_e", "1112131415161718", 32},
        {0x00A1B3, "msg_vexa_d", "A0A1A2A3A4A5A6A7", 21},
    };
    QVERIFY(station.start());

    Received got;
    auto modemIds = [&got] {
        QSet<int> ids;
        for (const QJsonObject& r : got.records)
            ids.insert(r.value("modem_id").toInt());
        return ids;
    };
    const bool allArrived = waitUntil(
        [&] {
            drainQueue(broker_, "e2e_uplinks", got);
            return modemIds().size() >= expected.size();
        },
        90000);
    QVERIFY2(allArrived, station.output().right(4000).constData());

    // A command with a "sender" is answered on that routing key, on the link it came on.
    QVERIFY(broker_.publish(kExchange, QStringLiteral("station_cmd.%1").arg(kStationId),
                            R"({"msg_type":"frobnicate","cmd_id":"e2e-1","sender":"e2e.replies","data":{}})"));
    QByteArray replyBody;
    QVERIFY2(waitUntil([&] { return broker_.get("e2e_replies", &replyBody); }, 30000), station.log().right(4000).constData());
    const QJsonObject reply = QJsonDocument::fromJson(replyBody).object();
    QCOMPARE(reply, (QJsonObject{{"msg_type", "error"}, {"data", "frobnicatedoes not registered"}}));

    // A downlink request on a station without a sender is logged and dropped.
    QVERIFY(broker_.publish(kExchange, QStringLiteral("station.%1").arg(kStationId),
                            R"({"modem_id":41394,"payload":"0102","phy":"DL_DBPSK_50_PROT_D","time_outdate":2000000000})"));
    QVERIFY2(waitUntil([&] { return station.log().contains("Error! BS don't has any transmitters!"); }, 30000),
             station.log().right(4000).constData());

    // The first heartbeat goes out 30 s after start-up.
    QVERIFY2(waitUntil(
                 [&] {
                     drainQueue(broker_, "e2e_uplinks", got);
                     return !got.heartbeats.isEmpty();
                 },
                 60000),
             station.output().right(4000).constData());

    QVERIFY(station.terminate());
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 0);
    drainQueue(broker_, "e2e_uplinks", got);

    // Every expected record at least once, with its fields; a link may deliver a record twice,
    // but a second record of one message with another level means the copies did not fold.
    int redeliveries = 0;
    for (const Expected& e : expected) {
        QList<QJsonObject> mine;
        for (const QJsonObject& r : got.records) {
            if (r.value("modem_id").toInt() == e.modemId)
                mine << r;
        }
        QVERIFY2(!mine.isEmpty(), qPrintable(QString::number(e.modemId, 16)));
        const QJsonObject& r = mine.first();
        QCOMPARE(r.value("msg_type").toString(), e.msgType);
        QCOMPARE(r.value("payload").toString(), e.payload);
        QCOMPARE(r.value("phy").toInt(), e.phy);
        QCOMPARE(r.value("bs_id").toInt(), kStationId);
        QCOMPARE(r.value("version").toInt(), 1);
        QVERIFY(r.value("time_detected").toDouble() > 1.6e9);
        for (const QJsonObject& other : mine.mid(1)) {
            QCOMPARE(other.value("signal_rssi").toInt(), r.value("signal_rssi").toInt());
            QCOMPARE(other, r);
            ++redeliveries;
        }
    }
    qInfo() << "records received:" << got.records.size() << "redelivered:" << redeliveries;
    // The corrupt record and nothing unexpected.
    for (const QJsonObject& r : got.records) {
        const int id = r.value("modem_id").toInt();
        QVERIFY2(std::any_of(expected.begin(), expected.end(), [id](const Expected& e) { return e.modemId == id; }),
                 qPrintable(QStringLiteral("unexpected record for modem %1").arg(id, 0, 16)));
    }
    QVERIFY(got.other.isEmpty());

    const QJsonObject hb = got.heartbeats.first();
    QCOMPARE(hb.value("msg_type").toString(), QString("beat_vexa_e"));
    QCOMPARE(hb.value("version").toInt(), 1);
    QCOMPARE(hb.value("bs_id").toInt(), kStationId);
    QCOMPARE(hb.value("mode").toString(), QString("e2e"));
    QCOMPARE(hb.value("bs_type").toString(), QString("QORM"));
    QCOMPARE(hb.value("temperature").toInt(), -100); // the dry-run runner prints nothing
    QCOMPARE(hb.value("bs_revisions").toObject().value("tolva_rev").toString(), QString("3.5.1"));
    QCOMPARE(hb.value("bs_revisions").toObject().value("fpga_rev").toInt(), 720);
    QCOMPARE(hb.value("receiver").toObject().value("enabled").toBool(), true);
    QCOMPARE(hb.value("receiver").toObject().value("ul_base_freqs").toArray(), QJsonArray{868800000});
    QVERIFY(!hb.value("receiver").toObject().value("bands").toArray().isEmpty());
    QCOMPARE(hb.value("transmitter").toObject(), QJsonObject()); // no sender
    QVERIFY(hb.contains("time_published"));
    QVERIFY(hb.value("stats").isArray());

    const QByteArray out = station.output();
    QVERIFY2(out.contains("Spectrum server listening on 127.0.0.1:"), out.right(4000).constData());
}

void TestStationE2E::answersConfigurationCommandsOnTheLinkTheyCameOn()
{
    // The second link talks to a broker of its own, so a reply on the wrong link cannot hide.
    TestBroker second;
    QVERIFY2(second.start(), qPrintable(second.errorString()));
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "cfg_replies", "cfg.replies"));
    QVERIFY(second.declareTestQueue("second.messages", "topic", "cfg_second_replies", "cfg.replies"));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StationProcess station(dir.path());
    station.writeIni(simStationIni(kStationId, broker_.url(), false)
                     + QStringLiteral("[SECONDARY_RABBIT]\n"
                                      "ENABLE=true\n"
                                      "R_LOGIN=%1\n"
                                      "R_EXCHANGE=second.messages\n"
                                      "HAS_UL=false\n"
                                      "HAS_DL=false\n"
                                      "HAS_CMD=true\n"
                                      "SAVE_TO_DISK=false\n")
                           .arg(second.url()));
    station.writeScenario(QStringLiteral("set firmware 720\n"));
    QVERIFY(station.start());
    const QString cmdKey = QStringLiteral("station_cmd.%1").arg(kStationId);
    auto command = [](const QString& id, const QString& type, const QString& data) {
        return commandBody(type, id, QStringLiteral("cfg.replies"), data);
    };

    // Until the station's queue is bound, a command is dropped by the broker: ask again now and
    // then, and take the answer to any of the requests.
    QJsonObject reply;
    auto askUntilAnswered = [&](const TestBroker& broker, const QString& exchange, const QString& queue, const QString& id,
                                const QString& data) {
        return ::askUntilAnswered(broker, exchange, cmdKey, queue, QStringLiteral("cfg.replies"), id,
                                  QStringLiteral("bsconfig"), data, &reply);
    };
    QVERIFY2(askUntilAnswered(broker_, kExchange, "cfg_replies", "rp", R"({"cmd":"read_params"})"),
             station.output().right(4000).constData());
    QCOMPARE(reply.value("msg_type").toString(), QString("response"));
    QCOMPARE(reply.value("data").toObject().value("bs_id").toInt(), kStationId);
    QCOMPARE(reply.value("data").toObject().value("mode").toString(), QString("e2e"));
    QCOMPARE(reply.value("data").toObject().value("result").toBool(), true);

    QVERIFY(broker_.publish(kExchange, cmdKey, command("cp", "bsconfig", R"({"cmd":"change_params","mode":"changed","meslog_ttl":45})")));
    QVERIFY2(waitUntil([&] { return takeReply(broker_, "cfg_replies", "cp", &reply); }, 30000), station.log().right(4000).constData());
    QCOMPARE(reply, (QJsonObject{{"cmd_id", "cp"}, {"msg_type", "response"}, {"data", QJsonObject{{"result", true}}}}));
    QSettings ini(station.path("station.ini"), QSettings::IniFormat);
    QCOMPARE(ini.value("BASE_STATION/MODE").toString(), QString("changed"));
    QCOMPARE(ini.value("TRANSMITTER/MESLOG_TTL").toInt(), 45);

    QVERIFY(broker_.publish(kExchange, cmdKey, command("eg", "errlog", R"({"cmd":"get"})")));
    QVERIFY2(waitUntil([&] { return takeReply(broker_, "cfg_replies", "eg", &reply); }, 30000), station.log().right(4000).constData());
    const QJsonArray alarms = reply.value("data").toArray();
    QVERIFY(std::any_of(alarms.begin(), alarms.end(), [](const QJsonValue& a) {
        return a.toObject().value("alarm_text").toString() == "Base station parameters changed: meslog_ttl";
    }));

    // A command through the second link is answered there, and only there.
    QVERIFY2(askUntilAnswered(second, "second.messages", "cfg_second_replies", "ra", R"({"cmd":"read_auth"})"),
             station.output().right(4000).constData());
    QCOMPARE(reply.value("data").toObject().value("sec").toObject().value("has_cmd").toBool(), true);
    QCOMPARE(reply.value("data").toObject().value("third").toObject(), (QJsonObject{{"enabled", false}}));
    QList<QJsonObject> others;
    QJsonObject none;
    takeReply(broker_, "cfg_replies", "none", &none, &others);
    for (const QJsonObject& other : others)
        QVERIFY2(!other.value("cmd_id").toString().startsWith("ra"), QJsonDocument(other).toJson().constData());

    // "exit": the reply first, then an orderly end with exit code 0 and no kill.
    QVERIFY(broker_.publish(kExchange, cmdKey, command("ex", "bsconfig", R"({"cmd":"exit"})")));
    QVERIFY2(waitUntil([&] { return takeReply(broker_, "cfg_replies", "ex", &reply); }, 30000), station.log().right(4000).constData());
    QCOMPARE(reply.value("data").toObject(), (QJsonObject{{"result", true}}));
    QVERIFY2(waitUntil([&] { return !station.running(); }, 60000), station.output().right(4000).constData());
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 0);
    QVERIFY2(!station.output().contains("killall"), station.output().right(4000).constData());
    second.stop();
}

QTEST_GUILESS_MAIN(TestStationE2E)
#include "tst_station_e2e.moc"
