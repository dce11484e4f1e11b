// A TCPBS station end to end: tolvar-sim with its gateway server and one RS device (a server of
// the test), gateways played by the test over TCP (two current ones relaying overlapping
// modems, one old-style), a private RabbitMQ with an independent consumer. Uplink records of
// every kind arrive once per message (a split record and polar-coded ones with bit errors
// included, duplicate relays not), downlink requests reach the right gateway or RS device as
// valid frames, the heartbeat shows the gateway link, and SIGTERM ends the station with 0.
#include "GatewayRecords.h"
#include "StationProcess.h"
#include "TestBroker.h"
#include "frame_coders.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");
const QString kRoutingKey = QStringLiteral("backend.vexa_uplink");
const int kStationId = 4321;
constexpr quint32 GW_A = 0x600100;
constexpr quint32 GW_B = 0x600200;

struct Expected {
    quint32 modem;
    QString msgType;
    QByteArray payload;
};

QString hexUpper(const QByteArray& b)
{
    return QString::fromLatin1(b.toHex().toUpper());
}

} // namespace

class TestGatewayE2E : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void gatewaysAndRsDeviceEndToEnd();

private:
    TestBroker broker_;
};

void TestGatewayE2E::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
}

void TestGatewayE2E::cleanupTestCase()
{
    broker_.stop();
}

void TestGatewayE2E::gatewaysAndRsDeviceEndToEnd()
{
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "gw_uplinks", kRoutingKey));
    QTcpServer rsDevice;
    QVERIFY(rsDevice.listen(QHostAddress::LocalHost, 0));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StationProcess station(dir.path());
    station.writeIni(QStringLiteral("[BASE_STATION]\nBS_TYPE=TCPBS_TYPE\nBS_ID=%1\nQORM=true\nLOG_FILE_PATH=station.log\n"
                                    "ERR_LOG_FILE_PATH=errlog.db3\nUSE_BINARY=false\nSAVE_TO_DISK=false\nR_LOGIN=%2\n"
                                    "R_EXCHANGE=kavro.messages\nR_ROUTING_KEY=backend.vexa_uplink\nMODE=e2e\n"
                                    "TIME_SYNC=false\nTCP_RS=127.0.0.1:%3\nTCP_RS_TIMEOUT=25\n"
                                    "[TRANSMITTER]\nSEND_DL=true\n")
                         .arg(QString::number(kStationId), broker_.url(), QString::number(rsDevice.serverPort())));
    station.writeScenario(QString());
    QVERIFY(station.start({QStringLiteral("--gateway-port"), QStringLiteral("0")}));
    QVERIFY2(waitUntil([&] { return station.gatewayPort() != 0; }, 30000), station.output().right(4000).constData());
    const QByteArray tcpLogPath = dir.filePath("tcp_station.log").toUtf8();
    const auto tcpLog = [&] {
        QFile f(QString::fromUtf8(tcpLogPath));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };

    QVERIFY2(waitUntil([&] { return rsDevice.hasPendingConnections(); }, 30000), tcpLog().right(4000).constData());
    QTcpSocket* rs = rsDevice.nextPendingConnection();

    const auto connectGateway = [&](QTcpSocket& s, const QByteArray& heartbeat) {
        s.connectToHost(QHostAddress::LocalHost, station.gatewayPort());
        QVERIFY(s.waitForConnected(10000));
        s.write(heartbeat);
        s.flush();
    };
    QTcpSocket gwA, gwB, gwOld;
    connectGateway(gwA, gwrec::heartbeatWithId(GW_A));
    connectGateway(gwB, gwrec::heartbeatWithId(GW_B));
    connectGateway(gwOld, "heartbeat");
    QVERIFY2(waitUntil([&] { return tcpLog().count("Heartbeat ") >= 3; }, 30000), tcpLog().right(4000).constData());

    QList<Expected> expected;
    // Polar-coded records with 0, 1 and 3 flipped code bits, through gateway A.
    const QList<QList<int>> flips{{}, {17}, {5, 130, 201}};
    for (int i = 0; i < flips.size(); ++i) {
        const quint32 modem = 0x00E00001u + quint32(i);
        const QByteArray pld = gwrec::payload(quint8(0x40 + 16 * i));
        gwA.write(gwrec::kindE(0x1f, gwrec::dataE(modem, quint8(i), 0, pld, 0x0A0B0C + quint32(i)), flips[i]));
        expected << Expected{modem, "msg_vexa_e", pld};
    }
    // Protocol D without and with radio values; the second one split over two writes.
    gwA.write(gwrec::kindD(0x18, 0x700010, 0, gwrec::payload(0x10), 1));
    expected << Expected{0x700010, "msg_vexa_d", gwrec::payload(0x10)};
    gwA.flush();
    const QByteArray split = gwrec::kindF(0x18, 868800000, 20, 0x700011, 0, gwrec::payload(0x11), 2);
    // The station keeps the head of a record for a second: the tail follows as soon as the
    // head has been read (or after a short bound, when it may arrive in the same read).
    gwA.write(split.left(20));
    gwA.flush();
    QElapsedTimer headSent;
    headSent.start();
    while (!tcpLog().contains("Recieved 20 bytes: " + split.left(20).toHex()) && headSent.elapsed() < 500)
        QTest::qWait(10);
    gwA.write(split.mid(20));
    gwA.flush();
    expected << Expected{0x700011, "msg_vexa_d", gwrec::payload(0x11)};
    // Gateway B relays modems of its own and, later, one that A relays too.
    gwB.write(gwrec::kindF(0x18, 868800000, 18, 0x700040, 0, gwrec::payload(0x40), 3));
    expected << Expected{0x700040, "msg_vexa_d", gwrec::payload(0x40)};
    const QByteArray shared = gwrec::kindF(0x18, 868800000, 20, 0x700012, 0, gwrec::payload(0x12), 4);
    gwA.write(shared);
    expected << Expected{0x700012, "msg_vexa_d", gwrec::payload(0x12)};
    // The old-style gateway's modem and the RS device's modem.
    gwOld.write(gwrec::kindD(0x18, 0x700020, 0, gwrec::payload(0x20), 5));
    expected << Expected{0x700020, "msg_vexa_d", gwrec::payload(0x20)};
    rs->write(gwrec::rs(0x700030, 0, gwrec::payload(0x30), 6));
    expected << Expected{0x700030, "msg_vexa_d", gwrec::payload(0x30)};
    // Out now: the broker polls below do not run the event loop.
    for (QTcpSocket* s : {&gwA, &gwB, &gwOld, rs})
        s->flush();

    Received got;
    const auto countOf = [&got](quint32 modem) {
        int n = 0;
        for (const QJsonObject& r : got.records)
            n += r.value("modem_id").toInt() == int(modem);
        return n;
    };
    const auto allArrived = [&] {
        drainQueue(broker_, "gw_uplinks", got);
        return std::all_of(expected.begin(), expected.end(), [&](const Expected& e) { return countOf(e.modem) > 0; });
    };
    if (!waitUntil(allArrived, 60000)) {
        QFile dump(QDir::temp().filePath("tst_gateway_e2e.tcp.log"));
        if (dump.open(QIODevice::WriteOnly))
            dump.write(tcpLog() + "\n----\n" + station.log());
        QFAIL("not every record arrived; the link log is in tst_gateway_e2e.tcp.log of the temp folder");
    }

    // Now B relays the message A relayed, with its own SNR: a duplicate, not a second record.
    QTcpSocket& relay = gwB;
    QByteArray dup = shared;
    dup[6] = char(18);
    relay.write(dup);
    relay.flush();
    QVERIFY2(waitUntil([&] { return tcpLog().contains("is it dublicate? Message rejected."); }, 30000),
             tcpLog().right(4000).constData());

    // Downlinks: a child of A, the old-style gateway's modem, the RS device's modem.
    const auto downlink = [&](quint32 modem) {
        QVERIFY(broker_.publish(kExchange, QStringLiteral("station.%1").arg(kStationId),
                                QStringLiteral(R"({"modem_id":%1,"payload":"0102030405060708","phy":"DL_DBPSK_400_PROT_D",)"
                                               R"("frequency":869100000,"time_outdate":2000000000,"vexa_ver":5,)"
                                               R"("crypto_mic":1193046,"preambula":168496141})")
                                    .arg(modem)
                                    .toUtf8()));
    };
    downlink(0x700011);
    downlink(0x700020);
    downlink(0x700030);
    QByteArray atA, atOld, atRs;
    QVERIFY2(waitUntil(
                 [&] {
                     atA += gwA.readAll();
                     atOld += gwOld.readAll();
                     atRs += rs->readAll();
                     return atA.size() >= 46 && atOld.size() >= 16 && atRs.size() >= 20;
                 },
                 60000),
             tcpLog().right(6000).constData());
    QCOMPARE(atA.size(), 46);
    QCOMPARE(atA.left(4), QByteArray("\x11\x00\x70\x00", 4));
    QCOMPARE(quint32(gwrec::crc32_bzip2(atA.mid(14, 13)) & 0xFFFFFF),
             quint32(quint8(atA[27])) << 16 | quint32(quint8(atA[28])) << 8 | quint8(atA[29]));
    unsigned char parity[16];
    ZCODE_Append(reinterpret_cast<const unsigned char*>(atA.constData()) + 14, parity, 1);
    QCOMPARE(atA.mid(30, 16), QByteArray(reinterpret_cast<const char*>(parity), 16));
    // The protected block of the same request, built for another modem: only its slice matters.
    QCOMPARE(atOld.size(), 16);
    QCOMPARE(atOld.mid(2, 8), QByteArray::fromHex("0102030405060708"));
    QCOMPARE(atRs.size(), 20);
    QCOMPARE(atRs.left(4), QByteArray::fromHex("0a0b0c0d"));
    QVERIFY(gwB.readAll().isEmpty());

    // The first heartbeat, 30 s after start-up, shows the gateway link.
    QVERIFY2(waitUntil(
                 [&] {
                     drainQueue(broker_, "gw_uplinks", got);
                     return !got.heartbeats.isEmpty();
                 },
                 90000),
             station.output().right(4000).constData());
    const QJsonObject hb = got.heartbeats.first();
    QCOMPARE(hb.value("bs_type").toString(), QString("TCPBS"));
    QCOMPARE(hb.value("receiver").toObject().value("enabled").toBool(), true);
    QCOMPARE(hb.value("transmitter").toObject().value("enabled").toBool(), true);
    QCOMPARE(hb.value("transmitter").toObject().value("bands").toArray().first().toObject().value("dl_bitrates").toArray().size(),
             8);

    QVERIFY(station.terminate());
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 0);
    drainQueue(broker_, "gw_uplinks", got);

    // Each expected record with its fields; identical re-deliveries are counted, a record that
    // differs (a duplicate relay with another SNR) fails.
    int redeliveries = 0;
    for (const Expected& e : expected) {
        QList<QJsonObject> mine;
        for (const QJsonObject& r : got.records)
            if (r.value("modem_id").toInt() == int(e.modem))
                mine << r;
        QVERIFY2(!mine.isEmpty(), qPrintable(QString::number(e.modem, 16)));
        QCOMPARE(mine.first().value("msg_type").toString(), e.msgType);
        QCOMPARE(mine.first().value("payload").toString(), hexUpper(e.payload));
        QCOMPARE(mine.first().value("bs_id").toInt(), kStationId);
        for (const QJsonObject& other : mine.mid(1)) {
            QCOMPARE(other, mine.first());
            ++redeliveries;
        }
    }
    qInfo() << "records:" << got.records.size() << "redelivered:" << redeliveries;
    for (const QJsonObject& r : got.records) {
        const quint32 id = quint32(r.value("modem_id").toInt());
        QVERIFY2(std::any_of(expected.begin(), expected.end(), [id](const Expected& e) { return e.modem == id; }),
                 qPrintable(QString("unexpected record for modem %1").arg(id, 0, 16)));
    }
}

QTEST_GUILESS_MAIN(TestGatewayE2E)
#include "tst_gateway_e2e.moc"
