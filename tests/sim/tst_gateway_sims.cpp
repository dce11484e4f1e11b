// The simulated gateways and RS device talk to the station's real gateway link: their records
// arrive as messages and the downlink frames the link sends back pass the simulators' checks.

#include "SettingsController.h"
#include "SimProcess.h"
#include "tcp_reader.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr quint32 RS_MODEM = 0x700001;
constexpr quint32 GW_MODEM = 0x700101;
constexpr int kWaitMs = 20000;

} // namespace

class TestGatewaySims : public QObject {
    Q_OBJECT

private slots:
    void simulatorsAgainstTheLink_data();
    void simulatorsAgainstTheLink();
};

void TestGatewaySims::simulatorsAgainstTheLink_data()
{
    QTest::addColumn<QStringList>("gwArgs");
    QTest::addColumn<QStringList>("rsArgs");
    QTest::addColumn<bool>("oldStyle");
    QTest::newRow("split records, RS pause inside a record")
        << QStringList{"--split"} << QStringList{"--pause-inside-ms", "60"} << false;
    QTest::newRow("joined records, polar bits flipped, RS without pause")
        << QStringList{"--join", "--flip-bits", "2"} << QStringList{"--no-pause"} << false;
    QTest::newRow("old-style gateway") << QStringList{"--old-style"} << QStringList{} << true;
}

void TestGatewaySims::simulatorsAgainstTheLink()
{
    QFETCH(QStringList, gwArgs);
    QFETCH(QStringList, rsArgs);
    QFETCH(bool, oldStyle);

    QProcess rsSim;
    const SimStopper rsStop{rsSim};
    rsSim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    rsSim.start(RS_SIM_PATH, QStringList{"--first-modem", QString::number(RS_MODEM), "--count", "2", "--rate", "20"} + rsArgs);
    QVERIFY2(rsSim.waitForStarted(10000), "rs-sim did not start");
    SimOutput rsOut{rsSim, {}, {}, {}};
    QTRY_VERIFY2_WITH_TIMEOUT((rsOut.poll(), !rsOut.firstLine.isNull()), "rs-sim printed no port", kWaitMs);
    QVERIFY2(rsOut.firstLine.startsWith("rs-sim listening on 127.0.0.1:"), rsOut.firstLine.constData());
    const QByteArray rsPort = rsOut.firstLine.mid(rsOut.firstLine.lastIndexOf(':') + 1);

    QTemporaryDir dir;
    QFile ini(dir.filePath("station.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(QString("[BASE_STATION]\nLOG_FILE_PATH=%1\nTCP_RS=127.0.0.1:%2\n")
                  .arg(dir.filePath("station.log"), QString::fromLatin1(rsPort))
                  .toUtf8());
    ini.close();
    SettingsController settings;
    QVERIFY(settings.initController(ini.fileName()));
    tcp_reader link(settings);
    tcp_reader_receiver* rx = link.receiver();
    tcp_reader_receiver::Timing timing;
    timing.flushMs = 0;
    timing.rsIdleMs = 20;
    rx->setTiming(timing);
    rx->setListenAddress(QHostAddress::LocalHost, quint16(0));
    QSignalSpy spy(rx, &IReceiver::message_ready);
    rx->start();
    QVERIFY(rx->serverPort() != 0);

    QProcess gwSim;
    const SimStopper gwStop{gwSim};
    gwSim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A long heartbeat interval: the records all go out between the first two heartbeats.
    gwSim.start(GW_SIM_PATH, QStringList{"--port", QString::number(rx->serverPort()), "--gateway-id", "0x600000",
                                         "--first-modem", QString::number(GW_MODEM), "--kinds", "dfe", "--count",
                                         "3", "--rate", "20", "--heartbeat-ms", "4000"} +
                                 gwArgs);
    QVERIFY2(gwSim.waitForStarted(10000), "gw-sim did not start");
    SimOutput gwOut{gwSim, {}, {}, {}};

    // Two RS records and the gateway's three kinds, each arriving with its CRC passed.
    auto count = [&spy](quint32 id) {
        int n = 0;
        for (const QList<QVariant>& args : spy)
            n += args.at(0).value<QSharedPointer<message_point>>()->ID == id;
        return n;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(count(RS_MODEM) >= 2, "RS records missing", kWaitMs);
    QTRY_VERIFY2_WITH_TIMEOUT(count(GW_MODEM) >= 3, "gateway records missing", kWaitMs);
    QCOMPARE(gwOut.events("uplink").size(), 3);
    QVERIFY(rsOut.events("uplink").size() >= 2);

    // Downlinks go back the way each modem is heard and pass the simulators' checks.
    for (quint32 id : {RS_MODEM, GW_MODEM}) {
        dl_message_point m;
        m.vexa_ver = 5;
        m.modem_id = id;
        m.freq = 869000000;
        m.payload[0] = 0x5a;
        link.transmitter()->queueDLMessage(new dl_message_point(m));
    }
    QTRY_VERIFY2_WITH_TIMEOUT(!rsOut.events("downlink").isEmpty(), "rs-sim got no slice", kWaitMs);
    QTRY_VERIFY2_WITH_TIMEOUT(!gwOut.events("downlink").isEmpty(), "gw-sim got no frame", kWaitMs);
    const QJsonObject atRs = rsOut.events("downlink").first();
    QCOMPARE(atRs.value("size").toInt(), 20);
    QVERIFY(atRs.value("crc_ok").toBool());
    QVERIFY(atRs.value("payload").toString().startsWith("5a"));
    const QJsonObject atGw = gwOut.events("downlink").first();
    QVERIFY(atGw.value("crc_ok").toBool());
    QVERIFY(atGw.value("payload").toString().startsWith("5a"));
    if (oldStyle) {
        QCOMPARE(atGw.value("size").toInt(), 16);
    } else {
        QCOMPARE(atGw.value("size").toInt(), 46);
        QVERIFY(atGw.value("parity_ok").toBool());
        QCOMPARE(quint32(atGw.value("modem").toDouble()), GW_MODEM);
        QCOMPARE(quint32(atGw.value("freq").toDouble()), 869000000u);
    }

    rx->stopReader();
}

QTEST_GUILESS_MAIN(TestGatewaySims)
#include "tst_gateway_sims.moc"
