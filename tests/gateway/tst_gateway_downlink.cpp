// Downlink frames of the gateway link: both frame forms byte by byte (the CRC recomputed here
// independently), the slice each kind of link takes, the routing over the two registries, and
// the transmitter half's log, signal and status record.
#include "FakeGatewaySocket.h"
#include "GatewayRecords.h"
#include "SettingsController.h"
#include "downlink_route.h"
#include "frame_coders.h"
#include "gateway_frames.h"
#include "tcp_reader_transmitter.h"
#include "vexa_rs_sockets.h"
#include "vexa_sockets.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

dl_message_point request(quint32 ver)
{
    dl_message_point m;
    m.vexa_ver = ver;
    m.modem_id = 0x12345678;
    m.freq = 869100000;
    m.phy = "DL_DBPSK_400_PROT_D";
    m.strength = 14;
    m.iterator = 37;
    m.f_ack = 1;
    m.preambula = 0x0A0B0C0D;
    m.crypto_iter = 0x1FE;
    m.crypto_flags = 0x3C;
    m.crypto_mic = 0x11223344;
    for (int i = 0; i < 9; ++i)
        m.payload[i] = uint8_t(0xB0 + i);
    return m;
}

QByteArray hex(const char* s)
{
    return QByteArray::fromHex(s);
}

} // namespace

class TestGatewayDownlink : public QObject
{
    Q_OBJECT

private slots:
    void independentCrc();
    void protocol4Frame();
    void protocol5Frame();
    void frameForms_data();
    void frameForms();
    void slices_data();
    void slices();
    void routing_data();
    void routing();
    void transmitterEmitsAndLogs();
    void transmitterInfo_data();
    void transmitterInfo();
};

void TestGatewayDownlink::independentCrc()
{
    QCOMPARE(gwrec::crc32_bzip2("123456789"), 0xFC891918u);
}

void TestGatewayDownlink::protocol4Frame()
{
    const QByteArray f = gateway_frames::protocol4(request(4));
    QCOMPARE(f.toHex(' '), hex("34 56 78 45 b0 b1 b2 b3 b4 b5 b6 b7 b8").toHex(' '));
    dl_message_point all = request(4);
    all.iterator = 0xFF;
    all.f_multi = all.f_ack = all.f_system = 1;
    QCOMPARE(quint8(gateway_frames::protocol4(all)[3]), quint8(0xFF));
}

void TestGatewayDownlink::protocol5Frame()
{
    const QByteArray f = gateway_frames::protocol5(request(5));
    QCOMPARE(f.size(), 46);
    QCOMPARE(f.left(4).toHex(), QByteArray("78563412"));
    QCOMPARE(f.mid(4, 4).toHex(), QByteArray("e069cd33"));  // 869100000 = 0x33CD69E0, little-endian
    QCOMPARE(quint8(f[8]), quint8(11));                     // DL_DBPSK_400_PROT_D
    QCOMPARE(quint8(f[9]), quint8(14));
    QCOMPARE(f.mid(10, 4).toHex(' '), QByteArray("0a 0b 0c 0d"));
    QCOMPARE(quint8(f[14]), quint8(0xFE));
    QCOMPARE(quint8(f[15]), quint8(0x3C));
    QCOMPARE(f.mid(16, 8).toHex(), QByteArray("b0b1b2b3b4b5b6b7"));
    QCOMPARE(f.mid(24, 3).toHex(' '), QByteArray("22 33 44"));
    const quint32 crc = gwrec::crc32_bzip2(f.mid(14, 13)) & 0xFFFFFF;
    QCOMPARE(f.mid(27, 3).toHex(), QByteArray::number(crc, 16).rightJustified(6, '0'));
    unsigned char parity[16];
    ZCODE_Append(reinterpret_cast<const unsigned char*>(f.constData()) + 14, parity, 1);
    QCOMPARE(f.mid(30, 16), QByteArray(reinterpret_cast<const char*>(parity), 16));

    // An unknown phy name gives code 0; the frame is built all the same.
    dl_message_point unknown = request(5);
    unknown.phy = "NO_SUCH_PHY";
    QCOMPARE(quint8(gateway_frames::protocol5(unknown)[8]), quint8(0));
}

void TestGatewayDownlink::frameForms_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("size");
    QTest::newRow("3") << 3 << 0;
    QTest::newRow("4") << 4 << 13;
    QTest::newRow("5") << 5 << 46;
    QTest::newRow("9") << 9 << 46;
}

void TestGatewayDownlink::frameForms()
{
    QFETCH(int, version);
    QFETCH(int, size);
    QCOMPARE(gateway_frames::build(request(quint32(version))).size(), size);
}

void TestGatewayDownlink::slices_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QByteArray>("rs");
    QTest::addColumn<QByteArray>("oldStyle");
    const QByteArray v5 = gateway_frames::protocol5(request(5));
    const QByteArray v4 = gateway_frames::protocol4(request(4));
    QTest::newRow("protocol 5") << 5 << v5.mid(10, 20) << v5.mid(14, 16);
    QTest::newRow("protocol 4") << 4 << hex("b6b7b8") << QByteArray();
    QTest::newRow("empty") << 3 << QByteArray() << QByteArray();
}

void TestGatewayDownlink::slices()
{
    QFETCH(int, version);
    QFETCH(QByteArray, rs);
    QFETCH(QByteArray, oldStyle);
    const QByteArray f = gateway_frames::build(request(quint32(version)));
    QCOMPARE(gateway_frames::rs_slice(f), rs);
    QCOMPARE(gateway_frames::old_style_slice(f), oldStyle);
}

void TestGatewayDownlink::routing_data()
{
    QTest::addColumn<QString>("link");     // rs, both, old, current, current-nohb, none
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("route");
    QTest::addColumn<QString>("where");    // rs, gw or nothing
    QTest::addColumn<int>("bytes");
    QTest::addColumn<QString>("logPrefix");
    const int RS = int(DownlinkRoute::RS), OLD = int(DownlinkRoute::OldStyle), CUR = int(DownlinkRoute::Current),
              NOT = int(DownlinkRoute::NotForLink), NONE = int(DownlinkRoute::NoRoute);
    QTest::newRow("RS") << "rs" << 5 << RS << "rs" << 20 << "Transmit(RS style) 20 bytes: ";
    QTest::newRow("RS before gateway") << "both" << 5 << RS << "rs" << 20 << "Transmit(RS style) 20 bytes: ";
    QTest::newRow("old-style gateway") << "old" << 5 << OLD << "gw" << 16 << "Transmit(old style) 16 bytes: ";
    QTest::newRow("current gateway") << "current" << 5 << CUR << "gw" << 46 << "Transmit 46 bytes: ";
    QTest::newRow("gateway without heartbeat") << "current-nohb" << 5 << CUR << "gw" << 46 << "Transmit 46 bytes: ";
    QTest::newRow("protocol 4, current") << "current" << 4 << CUR << "gw" << 13 << "Transmit 13 bytes: ";
    QTest::newRow("protocol 4, RS") << "rs" << 4 << NOT << "" << 0 << "Protocol 4 frame not sent";
    QTest::newRow("protocol 4, old-style") << "old" << 4 << NOT << "" << 0 << "Protocol 4 frame not sent";
    QTest::newRow("no route") << "none" << 5 << NONE << "" << 0 << "Downlink dropped: no route to modem 700001";
}

void TestGatewayDownlink::routing()
{
    QFETCH(QString, link);
    QFETCH(int, version);
    QFETCH(int, route);
    QFETCH(QString, where);
    QFETCH(int, bytes);
    QFETCH(QString, logPrefix);
    const quint32 gwId = 0x600010;
    const quint32 modem = 0x700001;
    FakeGatewaySocket gwSocket, rsSocket;
    rsSocket.setState(QAbstractSocket::ConnectedState);
    vexa_sockets gw;
    vexa_rs_sockets rs;
    gw.set_flush_delay(0);
    rs.set_flush_delay(0);
    if (link == "rs" || link == "both")
        rs.append(modem, &rsSocket);
    if (link != "rs" && link != "none") {
        if (link == "old")
            gw.save_last_hearbeat(gwId, &gwSocket, "heartbeat");
        else if (link != "current-nohb")
            gw.save_last_hearbeat(gwId, &gwSocket, "heartbeat_id:");
        gw.append(gwId, &gwSocket);
        message_point m;
        gw.append_child(modem, &gwSocket, 10, &m);
    }
    QStringList lines;
    const auto r = route_downlink(rs, gw, modem, gateway_frames::build(request(quint32(version))),
                                  [&](const QString& t, unsigned int id) {
                                      QCOMPARE(id, modem);
                                      lines << t;
                                  });
    QCOMPARE(int(r), route);
    QVERIFY2(!lines.isEmpty() && lines.last().startsWith(logPrefix), qPrintable(lines.join(" | ")));
    FakeGatewaySocket& target = where == "rs" ? rsSocket : gwSocket;
    if (!where.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(target.writes.size(), 1, 5000);
        QCOMPARE(target.writes[0].size(), bytes);
    }
    QCoreApplication::processEvents();
    if (where != "rs")
        QVERIFY(rsSocket.writes.isEmpty());
    if (where != "gw")
        QVERIFY(gwSocket.writes.isEmpty());
}

void TestGatewayDownlink::transmitterEmitsAndLogs()
{
    QTemporaryDir dir;
    QFile ini(dir.filePath("station.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(QString("[BASE_STATION]\nLOG_FILE_PATH=%1\n").arg(dir.filePath("tx.log")).toUtf8());
    ini.close();
    SettingsController settings;
    QVERIFY(settings.initController(ini.fileName()));
    tcp_reader_transmitter tx(settings);
    tx.start();
    QSignalSpy spy(&tx, &tcp_reader_transmitter::write_socket_tx);
    for (quint32 ver : {5u, 4u, 3u})
        tx.queueDLMessage(new dl_message_point(request(ver)));  // deleted by the transmitter
    // A phy name from the broker cannot start a line of its own in the log.
    dl_message_point forged = request(4);
    forged.phy = "DL\r\n12:00:00:000 Send\x1b[2J";
    tx.queueDLMessage(new dl_message_point(forged));
    QCOMPARE(spy.size(), 4);
    QCOMPARE(spy[0][0].toUInt(), 0x12345678u);
    QCOMPARE(spy[0][1].toByteArray(), gateway_frames::protocol5(request(5)));
    QCOMPARE(spy[1][1].toByteArray().size(), 13);
    QCOMPARE(spy[2][1].toByteArray(), QByteArray());

    QFile log(dir.filePath("tx.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QRegularExpression v5(R"(^\d\d:\d\d:\d\d:\d\d\d Send ZADov5 DL message by TCP to ID: 12345678 IT: 5 IT_crypto: 510 )"
                          R"(FREQ: 869100000 PHY: DL_DBPSK_400_PROT_D PWR:14 PLD: b0b1b2b3b4b5b6b7$)");
    QVERIFY2(v5.match(lines[0]).hasMatch(), qPrintable(lines[0]));
    QRegularExpression v4(R"(^\d\d:\d\d:\d\d:\d\d\d Send ZADar4 DL message by TCP to ID: 12345678 IT: 5 )"
                          R"(FREQ: 869100000 PHY: DL_DBPSK_400_PROT_D PWR:14 PLD: b0b1b2b3b4b5b6b7$)");
    QVERIFY2(v4.match(lines[1]).hasMatch(), qPrintable(lines[1]));
    QVERIFY2(lines[2].contains(" PHY: DL\\x0D\\x0A12:00:00:000 Send\\x1B[2J PWR:14 "), qPrintable(lines[2]));
}

void TestGatewayDownlink::transmitterInfo_data()
{
    QTest::addColumn<QString>("tx");
    QTest::addColumn<QList<uint>>("plans");
    QTest::addColumn<int>("rateLists");
    QTest::newRow("no plans") << "" << QList<uint>{0} << 1;
    QTest::newRow("two plans") << "FREQ_PLANS=1:10,11|2:12\nDL_FREQS=869100000\nMAX_POWER=20\nLBT=true\n"
                               << QList<uint>{0, 1, 2} << 3;
}

void TestGatewayDownlink::transmitterInfo()
{
    QFETCH(QString, tx);
    QFETCH(QList<uint>, plans);
    QFETCH(int, rateLists);
    QTemporaryDir dir;
    QFile ini(dir.filePath("station.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(("[TRANSMITTER]\n" + tx).toUtf8());
    ini.close();
    SettingsController settings;
    QVERIFY(settings.initController(ini.fileName()));
    tcp_reader_transmitter t(settings);
    const transmitter_info i = t.info();
    QCOMPARE(i.type, QString("TCPBS"));
    QCOMPARE(i.state, 8u);
    QVERIFY(i.active);
    QCOMPARE(i.modem_id, 0u);
    QVERIFY(!i.compilation_dt.isValid());
    QCOMPARE(i.freq_plans, plans);
    QCOMPARE(i.dl_bitrates.size(), rateLists);
    QCOMPARE(i.dl_bitrates[0], (QList<vexa_phy_channel_t>{DL_PSK_200, DL_PSK_500, DL_PSK_5000, DL_PSK_FASTDL,
                                                            DL_DBPSK_50_PROT_D, DL_DBPSK_400_PROT_D,
                                                            DL_DBPSK_3200_PROT_D, DL_DBPSK_25600_PROT_D}));
    if (rateLists == 3) {
        QCOMPARE(i.base_freqs, QList<uint>{869100000u});
        QCOMPARE(i.max_power, 20);
        QVERIFY(i.lbt);
        QCOMPARE(i.dl_bitrates[1], (QList<vexa_phy_channel_t>{DL_DBPSK_50_PROT_D, DL_DBPSK_400_PROT_D}));
    }
}

QTEST_GUILESS_MAIN(TestGatewayDownlink)
#include "tst_gateway_downlink.moc"
