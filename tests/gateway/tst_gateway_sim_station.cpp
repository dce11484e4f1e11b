// A TCPBS station run as a user would run it: tolvar-sim with its gateway server, one rs-sim it
// connects to, and three gw-sim processes (two current-style gateways relaying overlapping
// modems, one of them writing its heartbeat as "heartbeat" and "_id:<id>" in two writes; one
// old-style gateway), a private RabbitMQ with an independent consumer. Every
// message arrives as one record (a split one and polar-coded ones included, none from the
// duplicate relay), downlinks reach the gateway or RS device that hears the modem as valid
// frames, the heartbeat shows the gateway link's fixed status, and SIGTERM ends with 0.
#include "SimProcess.h"
#include "StationProcess.h"
#include "TestBroker.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");
const QString kRoutingKey = QStringLiteral("backend.vexa_uplink");
const QString kQueue = QStringLiteral("sim_gw_uplinks");
const int kStationId = 4322;
constexpr int kRounds = 3; // messages per modem: the duplicate relay stays under a parent change
constexpr int kWaitMs = 60000;

constexpr quint32 GW_A = 0x600100;
constexpr quint32 GW_B = 0x600200;
constexpr quint32 A_POLAR = 0x700101;
constexpr quint32 A_SPLIT = 0x700102;
constexpr quint32 SHARED_1 = 0x700103; // heard by A first, relayed again by B
constexpr quint32 SHARED_2 = 0x700104;
constexpr quint32 B_OWN = 0x700105;
constexpr quint32 OLD_D = 0x700201;
constexpr quint32 OLD_POLAR = 0x700202;
constexpr quint32 RS_MODEM = 0x700301;
constexpr quint32 FREQ_A = 868100000;
constexpr quint32 FREQ_B = 868300000;
constexpr int SNR_A = 10;
constexpr int SNR_B = 12; // above A's, within 3 dB

// The payload every simulator gives message `seq` of a modem: the modem id, then seq.
QString payloadOf(quint32 modem, quint32 seq)
{
    return QStringLiteral("%1%2").arg(modem, 8, 16, QChar('0')).arg(seq, 8, 16, QChar('0')).toUpper();
}

QString hex(quint32 v)
{
    return QStringLiteral("0x") + QString::number(v, 16);
}

} // namespace

class TestGatewaySimStation : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void stationWithSimulatedGateways();

private:
    TestBroker broker_;
};

void TestGatewaySimStation::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
}

void TestGatewaySimStation::cleanupTestCase()
{
    broker_.stop();
}

void TestGatewaySimStation::stationWithSimulatedGateways()
{
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", kQueue, kRoutingKey));

    QProcess rsSim;
    const SimStopper rsStop{rsSim};
    rsSim.start(RS_SIM_PATH, {"--first-modem", hex(RS_MODEM), "--count", QString::number(kRounds), "--rate", "5",
                              "--pause-inside-ms", "60"});
    QVERIFY2(rsSim.waitForStarted(10000), "rs-sim did not start");
    SimOutput rsOut{rsSim, {}, {}, {}};
    QVERIFY2(waitUntil([&] { return rsOut.poll(), !rsOut.firstLine.isNull(); }, kWaitMs), "rs-sim printed no port");
    const QByteArray rsPort = rsOut.firstLine.mid(rsOut.firstLine.lastIndexOf(':') + 1);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StationProcess station(dir.path());
    station.writeIni(QStringLiteral("[BASE_STATION]\nBS_TYPE=TCPBS_TYPE\nBS_ID=%1\nQORM=true\nLOG_FILE_PATH=station.log\n"
                                    "ERR_LOG_FILE_PATH=errlog.db3\nUSE_BINARY=false\nSAVE_TO_DISK=false\nR_LOGIN=%2\n"
                                    "R_EXCHANGE=%3\nR_ROUTING_KEY=%4\nMODE=e2e\nTIME_SYNC=false\n"
                                    "TCP_RS=127.0.0.1:%5\n[TRANSMITTER]\nSEND_DL=true\n")
                         .arg(QString::number(kStationId), broker_.url(), kExchange, kRoutingKey,
                              QString::fromLatin1(rsPort)));
    station.writeScenario(QString());
    QVERIFY(station.start({QStringLiteral("--gateway-port"), QStringLiteral("0")}));
    QVERIFY2(waitUntil([&] { return station.gatewayPort() != 0; }, kWaitMs), station.output().right(4000).constData());
    const auto tcpLog = [&] {
        QFile f(dir.filePath("tcp_station.log"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };

    // Records only when the test names them, so that the parent always relays first; one
    // heartbeat at connection (an old-style heartbeat takes its whole read).
    const QStringList common{"--port", QString::number(station.gatewayPort()), "--script", "--heartbeat-ms", "600000",
                             "--flip-bits", "2"};
    QProcess gwA, gwB, gwOld;
    const SimStopper stopA{gwA}, stopB{gwB}, stopOld{gwOld};
    gwA.start(GW_SIM_PATH, common + QStringList{"--gateway-id", hex(GW_A), "--snr", QString::number(SNR_A), "--freq",
                                                QString::number(FREQ_A)});
    gwB.start(GW_SIM_PATH, common + QStringList{"--gateway-id", hex(GW_B), "--snr", QString::number(SNR_B), "--freq",
                                                QString::number(FREQ_B), "--split-heartbeat"});
    gwOld.start(GW_SIM_PATH, common + QStringList{"--old-style"});
    for (QProcess* p : {&gwA, &gwB, &gwOld})
        QVERIFY2(p->waitForStarted(10000), "gw-sim did not start");
    SimOutput outA{gwA, {}, {}, {}}, outB{gwB, {}, {}, {}}, outOld{gwOld, {}, {}, {}};
    QVERIFY2(waitUntil([&] { return tcpLog().count("Heartbeat ") >= 3; }, kWaitMs), tcpLog().right(4000).constData());
    // B's heartbeat came in two writes and is one heartbeat with its id.
    QVERIFY2(tcpLog().contains("Heartbeat 20 bytes: heartbeat_id:" + QByteArray::number(GW_B)),
             tcpLog().right(4000).constData());

    Received got;
    const auto has = [&got](quint32 modem, quint32 seq) {
        const QString pld = payloadOf(modem, seq);
        return std::any_of(got.records.begin(), got.records.end(), [&](const QJsonObject& r) {
            return r.value("modem_id").toInt() == int(modem) && r.value("payload").toString() == pld;
        });
    };
    const auto arrived = [&](const QList<quint32>& modems, quint32 seq) {
        return waitUntil(
            [&] {
                drainQueue(broker_, kQueue, got);
                return std::all_of(modems.begin(), modems.end(), [&](quint32 m) { return has(m, seq); });
            },
            kWaitMs);
    };
    const auto failWithLogs = [&](const char* what) {
        QFile dump(QDir::temp().filePath("tst_gateway_sim_station.tcp.log"));
        if (dump.open(QIODevice::WriteOnly))
            dump.write(tcpLog() + "\n----\n" + station.log());
        QFAIL(qPrintable(QString("%1; the link log is in %2").arg(what, dump.fileName())));
    };

    for (quint32 seq = 0; seq < kRounds; ++seq) {
        gwA.write(QStringLiteral("%1 e\n%2 f split\n%3 f\n%4 f\n")
                      .arg(hex(A_POLAR), hex(A_SPLIT), hex(SHARED_1), hex(SHARED_2))
                      .toLatin1());
        gwOld.write(QStringLiteral("%1 d\n%2 e\n").arg(hex(OLD_D), hex(OLD_POLAR)).toLatin1());
        if (!arrived({A_POLAR, A_SPLIT, SHARED_1, SHARED_2, OLD_D, OLD_POLAR}, seq))
            failWithLogs("a record of gateway A or the old-style gateway is missing");
        // B relays the same messages after A and one modem of its own.
        const int duplicatesBefore = tcpLog().count("is it dublicate? Message rejected.");
        gwB.write(QStringLiteral("%1 f\n%2 f\n%3 f\n").arg(hex(SHARED_1), hex(SHARED_2), hex(B_OWN)).toLatin1());
        if (!arrived({B_OWN}, seq))
            failWithLogs("a record of gateway B is missing");
        if (!waitUntil([&] { return tcpLog().count("is it dublicate? Message rejected.") >= duplicatesBefore + 2; },
                       kWaitMs))
            failWithLogs("B's relays were not taken as duplicates");
    }
    if (!arrived({RS_MODEM}, kRounds - 1))
        failWithLogs("the RS device's records are missing");
    QVERIFY2(!tcpLog().contains("Parent changed"), "a parent changed");
    QVERIFY2(outA.events("script_error").isEmpty() && outB.events("script_error").isEmpty(), "gw-sim refused a line");

    // Downlinks: a shared modem (its parent A, not B), B's own modem, the old-style gateway's
    // modem, the RS device's modem.
    struct Downlink {
        quint32 modem;
        SimOutput* at;
        int size;
    };
    const QList<Downlink> downlinks{{SHARED_1, &outA, 46}, {B_OWN, &outB, 46}, {OLD_D, &outOld, 16}, {RS_MODEM, &rsOut, 20}};
    for (const Downlink& d : downlinks)
        QVERIFY(broker_.publish(kExchange, QStringLiteral("station.%1").arg(kStationId),
                                QStringLiteral(R"({"modem_id":%1,"payload":"0102030405060708","phy":"DL_DBPSK_400_PROT_D",)"
                                               R"("frequency":869100000,"time_outdate":2000000000,"vexa_ver":5,)"
                                               R"("crypto_mic":1193046,"preambula":168496141})")
                                    .arg(d.modem)
                                    .toUtf8()));
    if (!waitUntil([&] {
            return std::all_of(downlinks.begin(), downlinks.end(),
                               [](const Downlink& d) { return !d.at->events("downlink").isEmpty(); });
        }, kWaitMs))
        failWithLogs("a downlink did not reach its gateway or RS device");

    // The first heartbeat, 30 s after start-up, carries the link's fixed status.
    QVERIFY2(waitUntil(
                 [&] {
                     drainQueue(broker_, kQueue, got);
                     return !got.heartbeats.isEmpty();
                 },
                 90000),
             station.output().right(4000).constData());
    const QJsonObject hb = got.heartbeats.first();
    QCOMPARE(hb.value("bs_type").toString(), QString("TCPBS"));
    QCOMPARE(hb.value("bs_state").toInt(), 4);
    QCOMPARE(hb.value("fpga_temperature").toDouble(), 25.0);
    const QJsonObject receiver = hb.value("receiver").toObject();
    QCOMPARE(receiver.value("enabled").toBool(), true);
    const QJsonArray ulRates{21, 22, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33};
    const QJsonArray bands = receiver.value("bands").toArray();
    QCOMPARE(bands.size(), 2);
    for (const QJsonValue& band : bands) {
        QCOMPARE(band.toObject().value("ul_bitrates").toArray(), ulRates);
        QCOMPARE(band.toObject().value("noise").toDouble(), -100.0);
        // 100 kHz bands at offset 100.
        QCOMPARE(band.toObject().value("ul_freq_plan").toInt(), 384);
    }
    const QJsonObject transmitter = hb.value("transmitter").toObject();
    QCOMPARE(transmitter.value("enabled").toBool(), true);
    const QJsonObject dlBand = transmitter.value("bands").toArray().first().toObject();
    QCOMPARE(dlBand.value("dl_freq_plan").toInt(), 0);
    QCOMPARE(dlBand.value("dl_bitrates").toArray(), (QJsonArray{0, 1, 2, 3, 10, 11, 12, 13}));
    QCOMPARE(hb.value("bs_revisions").toObject().value("fpga_rev").toInt(), 0);
    QVERIFY(!hb.value("bs_revisions").toObject().contains("ax_rev"));

    QVERIFY(station.terminate());
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 0);
    drainQueue(broker_, kQueue, got);

    // Each downlink went only where its modem is heard, as a frame that passes the checks.
    for (const Downlink& d : downlinks) {
        const QList<QJsonObject> frames = d.at->events("downlink");
        QCOMPARE(frames.size(), 1);
        const QJsonObject f = frames.first();
        QCOMPARE(f.value("size").toInt(), d.size);
        QVERIFY2(f.value("crc_ok").toBool(), qPrintable(hex(d.modem)));
        QCOMPARE(f.value("payload").toString(), QString("0102030405060708"));
        if (d.size == 46) {
            QVERIFY2(f.value("parity_ok").toBool(), qPrintable(hex(d.modem)));
            QCOMPARE(quint32(f.value("modem").toDouble()), d.modem);
            QCOMPARE(quint32(f.value("freq").toDouble()), 869100000u);
        }
    }

    // One record per message: identical re-deliveries are counted, a second record that differs
    // (B's SNR and frequency for a shared modem) fails, and nothing else arrives.
    struct Source {
        quint32 modem;
        QString msgType;
        quint32 freq;
        int snr;
    };
    const QList<Source> sources{{A_POLAR, "msg_vexa_e", 0, 0},          {A_SPLIT, "msg_vexa_d", FREQ_A, SNR_A},
                                {SHARED_1, "msg_vexa_d", FREQ_A, SNR_A}, {SHARED_2, "msg_vexa_d", FREQ_A, SNR_A},
                                {B_OWN, "msg_vexa_d", FREQ_B, SNR_B},    {OLD_D, "msg_vexa_d", 0, 0},
                                {OLD_POLAR, "msg_vexa_e", 0, 0},         {RS_MODEM, "msg_vexa_d", 0, 0}};
    int redeliveries = 0;
    int expected = 0;
    for (const Source& s : sources) {
        for (quint32 seq = 0; seq < kRounds; ++seq, ++expected) {
            QList<QJsonObject> mine;
            for (const QJsonObject& r : got.records)
                if (r.value("modem_id").toInt() == int(s.modem) && r.value("payload").toString() == payloadOf(s.modem, seq))
                    mine << r;
            const QString what = QStringLiteral("modem %1 message %2").arg(hex(s.modem)).arg(seq);
            QVERIFY2(!mine.isEmpty(), qPrintable(what + " missing"));
            const QJsonObject first = mine.first();
            QVERIFY2(first.value("msg_type").toString() == s.msgType, qPrintable(what));
            QCOMPARE(first.value("bs_id").toInt(), kStationId);
            if (s.freq != 0) {
                QVERIFY2(quint32(first.value("freq_channel").toInt()) == s.freq, qPrintable(what));
                QVERIFY2(first.value("signal_snr").toDouble() == s.snr, qPrintable(what));
            }
            for (const QJsonObject& other : mine.mid(1)) {
                QVERIFY2(other == first, qPrintable(what + " arrived twice, differently"));
                ++redeliveries;
            }
        }
    }
    qInfo() << "records:" << got.records.size() << "expected:" << expected << "redelivered:" << redeliveries;
    QCOMPARE(got.records.size(), expected + redeliveries);
}

QTEST_GUILESS_MAIN(TestGatewaySimStation)
#include "tst_gateway_sim_station.moc"
