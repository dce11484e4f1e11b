// The gateway link's receiving half: heartbeats and the three record kinds, cutting reads into
// records (also across reads), RS batches, bad input, the log line format, the TTL sweep, and
// the whole path over loopback sockets with downlink frames going back.
#include "FakeGatewaySocket.h"
#include "GatewayRecords.h"
#include "SettingsController.h"
#include "gateway_frames.h"
#include "tcp_reader.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>


namespace {

constexpr quint32 GW = 0x600000;
constexpr quint32 M1 = 0x700001;

QSharedPointer<message_point> at(const QSignalSpy& spy, int i)
{
    return spy.at(i).at(0).value<QSharedPointer<message_point>>();
}

} // namespace

class TestTcpReader : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void heartbeatWithId();
    void heartbeatWithoutId();
    void heartbeatIdsPerConnection_data();
    void heartbeatIdsPerConnection();
    void recordKinds_data();
    void recordKinds();
    void polarRecordWithErrors_data();
    void polarRecordWithErrors();
    void phyCodes_data();
    void phyCodes();
    void cutting_data();
    void cutting();
    void recordSplitOverReads_data();
    void recordSplitOverReads();
    void heartbeatFollowedByRecord();
    void streamCutAtEveryOffset_data();
    void streamCutAtEveryOffset();
    void bareHeartbeatThenLateRecord();
    void recordAfterFailedJoin_data();
    void recordAfterFailedJoin();
    void parentSwitchesWithCopies_data();
    void parentSwitchesWithCopies();
    void strikes_data();
    void strikes();
    void registrySweptAfterTtl();
    void rejectedReadsLogged();
    void registeredPeerFloods_data();
    void registeredPeerFloods();
    void heartbeatLinesLeftOut_data();
    void heartbeatLinesLeftOut();
    void rsRecordInPieces_data();
    void rsRecordInPieces();
    void heartbeatsAmongRecords_data();
    void heartbeatsAmongRecords();
    void badInput_data();
    void badInput();
    void rejectedSocketDropsRestOfRead();
    void childAndDuplicate();
    void rsBatches_data();
    void rsBatches();
    void rsRecordAcrossPause();
    void logLineFormat();
    void sweepCensus();
    void fixedInfo();
    void loopbackGatewayAndRs();
    void readingWaitsForTheStation();
    void rsDeviceThatNeverPauses();
    void floods_data();
    void floods();
    void idleConnections();
    void capMakesRoom();
    void gatewayIntoFullPort_data();
    void gatewayIntoFullPort();

private:
    QTemporaryDir dir;
    SettingsController settings;
    tcp_reader_receiver* rx = nullptr;
    QDateTime clock;
    qint64 monotonicMs = 0;

    void writeIni(const QString& extra);
    QStringList logLines() const;
    // A receiver of its own on loopback, its waits on the test's monotonic clock; with a
    // gateway connected and registered as GW.
    void startServer(const tcp_reader_receiver::Limits& limits);
    void startOnLoopback(QTcpSocket& gateway, const tcp_reader_receiver::Limits& limits = {});
    void connectClient(QTcpSocket& client);
    // The line of a connection closed to make room, by the client's local port.
    QString closedFor(quint16 port) const;
};

void TestTcpReader::writeIni(const QString& extra)
{
    QFile ini(dir.filePath("station.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write(QString("[BASE_STATION]\nLOG_FILE_PATH=%1\n%2").arg(dir.filePath("station.log"), extra).toUtf8());
    ini.close();
    QVERIFY(settings.initController(ini.fileName()));
}

QStringList TestTcpReader::logLines() const
{
    QFile f(dir.filePath("tcp_station.log"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

void TestTcpReader::startServer(const tcp_reader_receiver::Limits& limits)
{
    cleanup();
    rx = new tcp_reader_receiver(settings);
    tcp_reader_receiver::Timing t;
    t.monotonicMs = [this] { return monotonicMs; };
    t.checkMs = 1;
    rx->setTiming(t);
    rx->setListenAddress(QHostAddress::LocalHost, quint16(0));
    rx->setLimits(limits);
    rx->start();
}

void TestTcpReader::connectClient(QTcpSocket& client)
{
    client.connectToHost(QHostAddress::LocalHost, rx->serverPort());
    QVERIFY(client.waitForConnected(10000));
}

QString TestTcpReader::closedFor(quint16 port) const
{
    const QString peer = QString(" 127.0.0.1:%1 ").arg(port);
    for (const QString& line : logLines())
        if (line.contains(peer) && line.contains(" - Closed connection to make room: "))
            return line;
    return QString();
}

void TestTcpReader::startOnLoopback(QTcpSocket& gateway, const tcp_reader_receiver::Limits& limits)
{
    startServer(limits);
    gateway.connectToHost(QHostAddress::LocalHost, rx->serverPort());
    QVERIFY(gateway.waitForConnected(10000));
    gateway.write(gwrec::heartbeatWithId(GW));
    QTRY_COMPARE_WITH_TIMEOUT(rx->gatewayRegistry().gw_list().size(), 1, 10000);
}

void TestTcpReader::init()
{
    QFile::remove(dir.filePath("tcp_station.log"));
    writeIni("");
    clock = QDateTime(QDate(2026, 5, 1), QTime(12, 0), Qt::UTC);
    rx = new tcp_reader_receiver(settings);
    tcp_reader_receiver::Timing t;
    t.utcNow = [this] { return clock; };
    monotonicMs = 0;
    t.monotonicMs = [this] { return monotonicMs; };
    t.flushMs = 0;
    t.checkMs = 1;
    rx->setTiming(t);
    rx->setListenAddress(QHostAddress::LocalHost, quint16(0));
    rx->start();
    QVERIFY(rx->serverPort() != 0);
}

void TestTcpReader::cleanup()
{
    if (!rx)
        return;  // owned by the test's own holder
    rx->stopReader();
    delete rx;
    rx = nullptr;
}

void TestTcpReader::heartbeatWithId()
{
    FakeGatewaySocket s;
    rx->handleGatewayRead(&s, gwrec::heartbeatWithId(GW));
    const auto hb = rx->gatewayRegistry().last_hertbeat(GW);
    QCOMPARE(hb.hb_str, QString("heartbeat_id:6291456"));
    QCOMPARE(hb.hb_str.size(), 20);
    QCOMPARE(rx->gatewayRegistry().id(&s), GW);
    QVERIFY(logLines().join('\n').contains("Heartbeat 20 bytes: heartbeat_id:6291456"));
    QVERIFY(logLines().join('\n').contains("Appended parent modem"));
}

void TestTcpReader::heartbeatWithoutId()
{
    FakeGatewaySocket s;
    // "heartbeat" alone waits for a possible "_id:"; a record instead makes it old-style.
    rx->handleGatewayRead(&s, "heartbeat");
    QCOMPARE(rx->gatewayRegistry().last_hertbeat(&s).hb_str, QString());
    QSignalSpy spy(rx, &IReceiver::message_ready);
    rx->handleGatewayRead(&s, gwrec::kindD(0x18, 0x612345, 1, gwrec::payload(1), 7));
    QCOMPARE(rx->gatewayRegistry().last_hertbeat(&s).hb_str, QString("heartbeat"));
    QCOMPARE(rx->gatewayRegistry().last_hertbeat(&s).id, 0u);
    // The record registers its own modem as the gateway of the socket.
    QCOMPARE(spy.size(), 1);
    QCOMPARE(rx->gatewayRegistry().id(&s), 0x612345u);
    // With nothing after it, the heartbeat is taken as old-style once its second has passed.
    FakeGatewaySocket quiet;
    rx->handleGatewayRead(&quiet, "heartbeat");
    QCOMPARE(rx->gatewayRegistry().last_hertbeat(&quiet).hb_str, QString());
    monotonicMs += 1000;
    QTRY_COMPARE_WITH_TIMEOUT(rx->gatewayRegistry().last_hertbeat(&quiet).hb_str, QString("heartbeat"), 10000);
    QCOMPARE(logLines().filter(" - Heartbeat 9 bytes: heartbeat").size(), 2);
}

// A connection registers at most 16 ids through heartbeats with an id; a further new id is a
// bad message. Ids that records register on a connection whose heartbeat has no id are not
// counted.
void TestTcpReader::heartbeatIdsPerConnection_data()
{
    QTest::addColumn<int>("recordIds");
    QTest::addColumn<int>("heartbeatIds");
    QTest::addColumn<int>("registered");
    QTest::addColumn<int>("refusedLines");
    QTest::newRow("16 ids") << 0 << 16 << 16 << 0;
    QTest::newRow("a 17th id") << 0 << 17 << 16 << 1;
    QTest::newRow("20 ids") << 0 << 20 << 16 << 1;
    QTest::newRow("40 ids from records, then 16") << 40 << 16 << 16 << 0;
    QTest::newRow("40 ids from records, then 17") << 40 << 17 << 16 << 1;
}

void TestTcpReader::heartbeatIdsPerConnection()
{
    QFETCH(int, recordIds);
    QFETCH(int, heartbeatIds);
    QFETCH(int, registered);
    QFETCH(int, refusedLines);
    constexpr quint32 kRecordIds = 0x700000;
    constexpr quint32 kHeartbeatIds = 0x800000;
    const vexa_sockets& reg = rx->gatewayRegistry();
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    if (recordIds > 0) {
        rx->handleGatewayRead(&s, "heartbeat");
        QByteArray records;
        for (int i = 0; i < recordIds; ++i)
            records += gwrec::kindD(0x18, kRecordIds + quint32(i), 1, gwrec::payload(1), 7);
        rx->handleGatewayRead(&s, records);
        QCOMPARE(spy.size(), recordIds);
        for (int i = 0; i < recordIds; ++i)
            QVERIFY(reg.contains(kRecordIds + quint32(i)));
    }
    for (int i = 0; i < heartbeatIds; ++i)
        rx->handleGatewayRead(&s, gwrec::heartbeatWithId(kHeartbeatIds + quint32(i)));
    int got = 0;
    for (int i = 0; i < heartbeatIds; ++i)
        got += reg.contains(kHeartbeatIds + quint32(i)) ? 1 : 0;
    QCOMPARE(got, registered);
    const int refused = heartbeatIds - registered;
    QCOMPARE(reg.fail_count(&s), refused);
    QCOMPARE(s.closes, 0);
    // A refused heartbeat is not the socket's last one.
    QCOMPARE(reg.last_hertbeat(&s).id, kHeartbeatIds + quint32(registered - 1));
    const QStringList lines = logLines();
    QCOMPARE(lines.filter(QRegularExpression(" - Refused heartbeat with id \\d+: this connection has already "
                                             "registered 16 ids\\.( \\(\\d+ more refused since the last line\\))?$"))
                 .size(),
             refusedLines);
    QCOMPARE(lines.filter(" - Heartbeat 20 bytes: ").size(), registered);
    // An id of its own again is a good heartbeat.
    rx->handleGatewayRead(&s, gwrec::heartbeatWithId(kHeartbeatIds));
    QCOMPARE(reg.fail_count(&s), 0);
    QCOMPARE(reg.last_hertbeat(&s).id, kHeartbeatIds);
}

void TestTcpReader::recordKinds_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<int>("type");
    QTest::addColumn<quint32>("id");
    QTest::addColumn<quint32>("bitrate");
    QTest::addColumn<float>("snr");
    QTest::addColumn<quint64>("freq");
    QTest::addColumn<quint32>("mic");
    QTest::addColumn<int>("iter");
    QTest::newRow("0x0d") << gwrec::kindD(0x1c, M1, 3, gwrec::payload(0x10), 0x5A) << int(Protocol_D) << M1 << 25600u
                          << 100.0f << quint64(0) << 0u << 0;
    QTest::newRow("0x0f") << gwrec::kindF(0x18, 1000000, -10, M1, 3, gwrec::payload(0x10), 0x5A) << int(Protocol_D)
                          << M1 << 400u << -10.0f << quint64(1000000) << 0u << 0;
    QTest::newRow("0x0e") << gwrec::kindE(0x1f, gwrec::dataE(0x01234567, 9, 3, gwrec::payload(0x10), 0xABCDEF))
                          << int(Protocol_E) << 0x01234567u << 400u << 100.0f << quint64(0) << 0xABCDEFu << 9;
}

void TestTcpReader::recordKinds()
{
    QFETCH(QByteArray, record);
    QFETCH(int, type);
    QFETCH(quint32, id);
    QFETCH(quint32, bitrate);
    QFETCH(float, snr);
    QFETCH(quint64, freq);
    QFETCH(quint32, mic);
    QFETCH(int, iter);
    if (QTest::currentDataTag() == QString("0x0f"))
        QCOMPARE(record.mid(2, 5).toHex(' '), QByteArray("40 42 0f 00 f6"));
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    rx->handleGatewayRead(&s, record);
    QCOMPARE(spy.size(), 1);
    const auto m = at(spy, 0);
    QCOMPARE(int(m->TYPE), type);
    QCOMPARE(m->ID, id);
    QCOMPARE(m->bitrate, bitrate);
    QCOMPARE(m->SNR, snr);
    QCOMPARE(m->FREQ, freq);
    QCOMPARE(m->RSSI, 50.0f);
    QCOMPARE(m->NOISE, -150.0f);
    QCOMPARE(m->FLAGS, quint8(3));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(m->PAYLOAD), 8), gwrec::payload(0x10));
    QCOMPARE(m->CRYPTO_MIC, mic);
    QCOMPARE(int(m->CRYPTO_ITER), iter);
    if (type == Protocol_D)
        QCOMPARE(m->CRC8_D, quint8(0x5A));
    else
        QCOMPARE(m->CRC8_D, quint8(0xEF));
    QCOMPARE(m->total, 1u);
}

void TestTcpReader::polarRecordWithErrors_data()
{
    QTest::addColumn<QList<int>>("flips");
    QTest::newRow("none") << QList<int>{};
    QTest::newRow("one") << QList<int>{100};
    QTest::newRow("three") << QList<int>{3, 77, 250};
}

void TestTcpReader::polarRecordWithErrors()
{
    QFETCH(QList<int>, flips);
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    rx->handleGatewayRead(&s, gwrec::kindE(0x21, gwrec::dataE(0x00ABCDEF, 1, 2, gwrec::payload(0x60), 0x123456), flips));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(at(spy, 0)->ID, 0x00ABCDEFu);
    QCOMPARE(at(spy, 0)->bitrate, 25600u);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(at(spy, 0)->PAYLOAD), 8), gwrec::payload(0x60));
}

void TestTcpReader::phyCodes_data()
{
    QTest::addColumn<int>("phy");
    QTest::addColumn<quint32>("bitrate");
    QTest::newRow("0x15") << 0x15 << 50u;
    QTest::newRow("0x1a") << 0x1a << 3200u;
    QTest::newRow("0x22") << 0x22 << 100u;
    QTest::newRow("0x16 unknown") << 0x16 << 22u;
    QTest::newRow("0x90 sign-widened") << 0x90 << quint32(0xFFFFFF90u);
}

void TestTcpReader::phyCodes()
{
    QFETCH(int, phy);
    QFETCH(quint32, bitrate);
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    rx->handleGatewayRead(&s, gwrec::kindD(quint8(phy), M1, 0, gwrec::payload(0), 0));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(at(spy, 0)->bitrate, bitrate);
}

void TestTcpReader::cutting_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("records");
    QTest::newRow("72 bytes") << 72 << 2;
    QTest::newRow("50 bytes") << 50 << 1;
}

void TestTcpReader::cutting()
{
    QFETCH(int, size);
    QFETCH(int, records);
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    QByteArray read = gwrec::kindD(0x18, M1, 0, gwrec::payload(1), 0) + gwrec::kindD(0x18, M1, 0, gwrec::payload(2), 0);
    rx->handleGatewayRead(&s, read.left(size));
    QCOMPARE(spy.size(), records);
    QCOMPARE(rx->gatewayRegistry().fail_count(&s), 0);
}

void TestTcpReader::recordSplitOverReads_data()
{
    QTest::addColumn<int>("split");
    QTest::newRow("10 + 26") << 10;
    QTest::newRow("20 + 16") << 20;
    QTest::newRow("35 + 1") << 35;
    QTest::newRow("after a whole record") << 36 + 14;
}

void TestTcpReader::recordSplitOverReads()
{
    QFETCH(int, split);
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    const QByteArray a = gwrec::kindD(0x18, M1, 0, gwrec::payload(1), 0);
    const QByteArray b = gwrec::kindE(0x1f, gwrec::dataE(M1, 0, 0, gwrec::payload(2), 5));
    const QByteArray stream = split > 36 ? a + b : b;
    rx->handleGatewayRead(&s, stream.left(split));
    rx->handleGatewayRead(&s, stream.mid(split));
    QCOMPARE(spy.size(), split > 36 ? 2 : 1);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(at(spy, spy.size() - 1)->PAYLOAD), 8), gwrec::payload(2));
    QCOMPARE(rx->gatewayRegistry().fail_count(&s), 0);
}

void TestTcpReader::heartbeatFollowedByRecord()
{
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    rx->handleGatewayRead(&s, gwrec::heartbeatWithId(GW) + gwrec::kindD(0x18, M1, 0, gwrec::payload(1), 0));
    QCOMPARE(rx->gatewayRegistry().id(&s), GW);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(rx->gatewayRegistry().parent_varnok_id(M1), GW);
    QCOMPARE(rx->gatewayRegistry().fail_count(&s), 0);
}

// TCP keeps no write boundaries: a heartbeat written between records may share a read with
// them, or be cut by the end of a read. The records around it all arrive and no strike is
// counted; a heartbeat cut short and never finished counts once its second has passed.
void TestTcpReader::heartbeatsAmongRecords_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<int>("pauseBeforeLastMs");
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("heartbeats");
    QTest::addColumn<int>("strikes");
    QTest::addColumn<int>("oldStyle");
    const QByteArray hb = gwrec::heartbeatWithId(GW);
    QList<QByteArray> r;
    for (int i = 0; i < 4; ++i)
        r << gwrec::kindD(0x18, M1, 0, gwrec::payload(quint8(i)), quint8(i));
    QTest::newRow("between records in one read") << QList<QByteArray>{hb + r[0] + hb + r[1] + r[2]} << 0 << 3 << 2 << 0 << 0;
    QTest::newRow("two in a row, and one at the end")
        << QList<QByteArray>{hb + r[0] + hb + hb + r[1] + hb, r[2]} << 0 << 3 << 4 << 0 << 0;
    QTest::newRow("cut inside its id") << QList<QByteArray>{hb + r[0] + hb.left(15), hb.mid(15) + r[1]} << 0 << 2 << 2 << 0 << 0;
    QTest::newRow("cut inside its text") << QList<QByteArray>{hb + r[0] + hb.left(5), hb.mid(5) + r[1]} << 0 << 2 << 2 << 0 << 0;
    QTest::newRow("cut in three") << QList<QByteArray>{hb + r[0] + hb.left(3), hb.mid(3, 8), hb.mid(11) + r[1]} << 0 << 2
                                  << 2 << 0 << 0;
    QTest::newRow("a read beginning with a heartbeat cut inside its id")
        << QList<QByteArray>{hb.left(14), hb.mid(14) + r[0]} << 0 << 1 << 1 << 0 << 0;
    QTest::newRow("records, then an old-style heartbeat")
        << QList<QByteArray>{r[0] + r[1] + "heartbeat", r[2]} << 0 << 3 << 1 << 0 << 1;
    // The cut heartbeat is a strike; the good record after it clears the count.
    QTest::newRow("cut inside its id, the rest never comes")
        << QList<QByteArray>{hb + r[0] + hb.left(15), r[1]} << 1100 << 2 << 1 << 0 << 0;
    // A gateway that writes "heartbeat", then the first bytes of "_id:", then the rest.
    QTest::newRow("heartbeat, _i, d: and the id") << QList<QByteArray>{hb.left(9), hb.mid(9, 2), hb.mid(11)} << 0 << 0
                                                  << 1 << 0 << 0;
}

void TestTcpReader::heartbeatsAmongRecords()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(int, pauseBeforeLastMs);
    QFETCH(int, records);
    QFETCH(int, heartbeats);
    QFETCH(int, strikes);
    QFETCH(int, oldStyle);
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    for (int i = 0; i < reads.size(); ++i) {
        if (i == reads.size() - 1)
            monotonicMs += pauseBeforeLastMs;
        rx->handleGatewayRead(&s, reads[i]);
    }
    QCOMPARE(spy.size(), records);
    for (int i = 0; i < spy.size(); ++i)
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(at(spy, i)->PAYLOAD), 8), gwrec::payload(quint8(i)));
    QCOMPARE(logLines().filter(" - Heartbeat ").size(), heartbeats);
    QCOMPARE(logLines().filter(" - Heartbeat 9 bytes").size(), oldStyle);
    if (!oldStyle)
        QCOMPARE(rx->gatewayRegistry().id(&s), GW);
    QCOMPARE(rx->gatewayRegistry().fail_count(&s), strikes);
    QCOMPARE(s.closes, 0);
}

void TestTcpReader::badInput_data()
{
    QTest::addColumn<QByteArray>("read");
    QTest::addColumn<int>("strikes");
    QByteArray badCrc = gwrec::kindD(0x18, M1, 0, gwrec::payload(1), 0);
    badCrc[10] = char(badCrc[10] ^ 1);
    QByteArray unknownKind(36, '\x33');
    QTest::newRow("bad CRC") << badCrc << 1;
    QTest::newRow("unknown kind") << unknownKind << 1;
    QTest::newRow("two bad records") << badCrc + unknownKind << 2;
    // The garbage is a strike once the next read shows it was no record start; that read's good
    // record clears the count.
    QTest::newRow("short garbage, then a record") << QByteArray("garbage") << 0;
}

void TestTcpReader::badInput()
{
    QFETCH(QByteArray, read);
    QFETCH(int, strikes);
    FakeGatewaySocket s;
    rx->handleGatewayRead(&s, gwrec::heartbeatWithId(GW));
    QSignalSpy spy(rx, &IReceiver::message_ready);
    rx->handleGatewayRead(&s, read);
    if (read.size() < 36 && !read.startsWith("heartbeat")) {
        // Kept as a possible record start; the next read shows it was none.
        QCOMPARE(rx->gatewayRegistry().fail_count(&s), 0);
        rx->handleGatewayRead(&s, gwrec::kindD(0x18, M1, 0, gwrec::payload(1), 0));
        QCOMPARE(spy.size(), 1);
    } else {
        QCOMPARE(spy.size(), 0);
    }
    QCOMPARE(rx->gatewayRegistry().fail_count(&s), strikes);
    QCOMPARE(s.closes, 0);
}

void TestTcpReader::rejectedSocketDropsRestOfRead()
{
    FakeGatewaySocket s;
    rx->handleGatewayRead(&s, gwrec::heartbeatWithId(GW));
    QByteArray bad(36, '\x33');
    for (int i = 0; i < 11; ++i)
        rx->handleGatewayRead(&s, bad);
    QCOMPARE(rx->gatewayRegistry().fail_count(&s), 11);
    QSignalSpy spy(rx, &IReceiver::message_ready);
    rx->handleGatewayRead(&s, bad + gwrec::kindD(0x18, M1, 0, gwrec::payload(1), 0));
    QCOMPARE(s.closes, 1);
    QCOMPARE(spy.size(), 0);
    QVERIFY(!rx->gatewayRegistry().contains(GW));
}

void TestTcpReader::childAndDuplicate()
{
    FakeGatewaySocket a, b;
    rx->handleGatewayRead(&a, gwrec::heartbeatWithId(GW));
    rx->handleGatewayRead(&b, gwrec::heartbeatWithId(GW + 1));
    QSignalSpy spy(rx, &IReceiver::message_ready);
    const QByteArray rec = gwrec::kindF(0x18, 868800000, 10, M1, 1, gwrec::payload(9), 1);
    rx->handleGatewayRead(&a, rec);
    rx->handleGatewayRead(&b, rec);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(rx->gatewayRegistry().parent_varnok_id(M1), GW);
    QVERIFY(logLines().join('\n').contains("is it dublicate? Message rejected."));
    QCOMPARE(rx->gatewayRegistry().fail_count(&b), 0);
}

// A stream of heartbeats with id and records, cut into two reads at every offset: each record
// arrives once, no strike is counted and the gateway stays registered with its id.
void TestTcpReader::streamCutAtEveryOffset_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("cut");
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("heartbeats");
    const QByteArray hb = gwrec::heartbeatWithId(GW);
    const QByteArray r0 = gwrec::kindD(0x18, M1, 0, gwrec::payload(0), 0);
    const QByteArray r1 = gwrec::kindE(0x1f, gwrec::dataE(M1, 0, 0, gwrec::payload(1), 5));
    const QByteArray one = hb + r0;
    for (int cut = 1; cut < one.size(); ++cut)
        QTest::addRow("heartbeat and record, cut at %d", cut) << one << cut << 1 << 1;
    const QByteArray two = hb + r0 + hb + r1;
    for (int cut = 1; cut < two.size(); ++cut)
        QTest::addRow("two heartbeats and two records, cut at %d", cut) << two << cut << 2 << 2;
    QTest::newRow("heartbeat, then _id: and the id") << hb << 9 << 0 << 1;
}

void TestTcpReader::streamCutAtEveryOffset()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, cut);
    QFETCH(int, records);
    QFETCH(int, heartbeats);
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    rx->handleGatewayRead(&s, stream.left(cut));
    monotonicMs += 200;
    rx->handleGatewayRead(&s, stream.mid(cut));
    QCOMPARE(spy.size(), records);
    for (int i = 0; i < spy.size(); ++i)
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(at(spy, i)->PAYLOAD), 8), gwrec::payload(quint8(i)));
    QCOMPARE(s.closes, 0);
    QCOMPARE(rx->gatewayRegistry().id(&s), GW);
    QCOMPARE(rx->gatewayRegistry().last_hertbeat(&s).hb_str, QString("heartbeat_id:6291456"));
    QCOMPARE(rx->gatewayRegistry().fail_count(&s), 0);
    QCOMPARE(logLines().filter(" - Heartbeat 20 bytes: heartbeat_id:6291456").size(), heartbeats);
    QCOMPARE(logLines().filter(" - Heartbeat 9 bytes").size(), 0);
    if (records)
        QCOMPARE(rx->gatewayRegistry().parent_varnok_id(M1), GW);
}

void TestTcpReader::bareHeartbeatThenLateRecord()
{
    // More than a second after "heartbeat", a record: the heartbeat was an old-style one.
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    rx->handleGatewayRead(&s, "heartbeat");
    monotonicMs += 1100;
    rx->handleGatewayRead(&s, gwrec::kindD(0x18, M1, 0, gwrec::payload(0), 0));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(rx->gatewayRegistry().last_hertbeat(&s).hb_str, QString("heartbeat"));
    QCOMPARE(rx->gatewayRegistry().last_hertbeat(&s).id, 0u);
    QCOMPARE(rx->gatewayRegistry().id(&s), M1);
    QCOMPARE(logLines().filter(" - Heartbeat 9 bytes: heartbeat").size(), 1);
    QCOMPARE(s.closes, 0);
}

// A bad record and then a good one, each cut into pieces: the bytes that finished the bad
// record are not taken again as a record start, so the good one is published once. After a
// junk tail, a read aligned on records is taken from its first byte, even when it begins with a
// bad record. published: the payload seeds of the records published, in order.
void TestTcpReader::recordAfterFailedJoin_data()
{
    QTest::addColumn<bool>("rs");
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<int>("stepMs");
    QTest::addColumn<QList<int>>("published");
    QByteArray badGw = gwrec::kindD(0x18, M1, 0, gwrec::payload(1), 0);
    badGw[10] = char(badGw[10] ^ 1);
    const QByteArray goodGw = gwrec::kindD(0x18, M1, 0, gwrec::payload(2), 0);
    const QByteArray goodGw3 = gwrec::kindD(0x18, M1, 0, gwrec::payload(3), 0);
    const QByteArray goodGw4 = gwrec::kindD(0x18, M1, 0, gwrec::payload(4), 0);
    QByteArray badRs = gwrec::rs(M1, 1, gwrec::payload(1), 2);
    badRs[8] = char(badRs[8] ^ 1);
    const QByteArray goodRs = gwrec::rs(M1, 1, gwrec::payload(2), 2);
    const QByteArray junkGw(10, '\x33');
    const QList<int> one{2};
    const auto cut = [](const QByteArray& a, int atA, const QByteArray& b, int atB) {
        return QList<QByteArray>{a.left(atA), a.mid(atA), b.left(atB), b.mid(atB)};
    };
    const auto bytes = [](const QByteArray& stream) {
        QList<QByteArray> out;
        for (char c : stream)
            out << QByteArray(1, c);
        return out;
    };
    for (int atBad : {1, 10, 20, 35})
        for (int atGood : {1, 10, 20, 35})
            QTest::addRow("gateway, cut at %d and %d", atBad, atGood)
                << false << cut(badGw, atBad, goodGw, atGood) << 10 << one;
    for (int atBad : {1, 10, 20, 35})
        QTest::addRow("gateway, cut at %d, then its rest and a whole record", atBad)
            << false << QList<QByteArray>{badGw.left(atBad), badGw.mid(atBad) + goodGw} << 10 << one;
    QTest::newRow("gateway, byte by byte") << false << bytes(badGw + goodGw) << 10 << one;
    QTest::newRow("gateway, junk tail, then a whole record")
        << false << QList<QByteArray>{QByteArray(5, '\x33'), goodGw} << 10 << one;
    QTest::newRow("gateway, junk tail, then bad and good")
        << false << QList<QByteArray>{junkGw, badGw + goodGw} << 10 << one;
    QTest::newRow("gateway, junk tail, then bad, good, good")
        << false << QList<QByteArray>{junkGw, badGw + goodGw + goodGw3} << 10 << QList<int>{2, 3};
    QTest::newRow("gateway, good with a junk tail, then bad and good")
        << false << QList<QByteArray>{goodGw4 + QByteArray(14, '\x33'), badGw + goodGw} << 10 << QList<int>{4, 2};
    QTest::newRow("gateway, junk tail, then bad, heartbeat with id, good")
        << false << QList<QByteArray>{junkGw, badGw + gwrec::heartbeatWithId(GW) + goodGw} << 10 << one;
    QTest::newRow("gateway, tail kept 1.1 s, then bad and good")
        << false << QList<QByteArray>{junkGw, badGw + goodGw} << 1100 << one;
    for (int atBad : {1, 10, 19})
        for (int atGood : {1, 10, 19})
            QTest::addRow("RS, cut at %d and %d", atBad, atGood) << true << cut(badRs, atBad, goodRs, atGood) << 35 << one;
    QTest::newRow("RS, byte by byte") << true << bytes(badRs + goodRs) << 35 << one;
    QTest::newRow("RS, junk tail, then a whole record")
        << true << QList<QByteArray>{QByteArray(5, '\x33'), goodRs} << 35 << one;
    QTest::newRow("RS, junk tail, then bad and good")
        << true << QList<QByteArray>{QByteArray(5, '\x33'), badRs + goodRs} << 35 << one;
}

void TestTcpReader::recordAfterFailedJoin()
{
    QFETCH(bool, rs);
    QFETCH(QList<QByteArray>, reads);
    QFETCH(int, stepMs);
    QFETCH(QList<int>, published);
    FakeGatewaySocket s;
    if (!rs)
        rx->handleGatewayRead(&s, gwrec::heartbeatWithId(GW));
    QSignalSpy spy(rx, &IReceiver::message_ready);
    for (const QByteArray& read : reads) {
        monotonicMs += stepMs;
        if (rs)
            rx->handleRsBatch(&s, read);
        else
            rx->handleGatewayRead(&s, read);
    }
    QList<int> got;
    for (int i = 0; i < spy.size(); ++i)
        got << int(at(spy, i)->PAYLOAD[0]);
    QCOMPARE(got, published);
    QCOMPARE(s.closes, 0);
}

// Two gateways relay 30 messages of one modem; a pattern letter per message says who relays it:
// 'a' or 'b' one gateway, 'A' both with A first, 'B' both with B first. Parent switches come at
// 3 dB or after 11 relays through the other gateway, often on a copy; each message is
// published once and the downlink goes to the last parent.
void TestTcpReader::parentSwitchesWithCopies_data()
{
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<int>("snrA");
    QTest::addColumn<int>("snrB");
    QTest::addColumn<int>("switches");
    QTest::addColumn<bool>("lastIsB");
    QTest::newRow("none: B relays ten, worse") << QByteArray(20, 'a') + QByteArray(10, 'A') << 10 << 5 << 0 << false;
    QTest::newRow("one: B 3 dB better at once") << QByteArray(20, 'a') + QByteArray(10, 'A') << 0 << 20 << 1 << true;
    QTest::newRow("two: equal, eleven relays each way") << QByteArray(30, 'A') << 10 << 10 << 2 << false;
    QTest::newRow("two: equal, B first") << QByteArray(30, 'B') << 10 << 10 << 2 << true;
    QTest::newRow("three: better, then eleven relays, then better")
        << QByteArray(12, 'A') + QByteArray(10, 'a') + QByteArray(8, 'b') << 0 << 20 << 3 << true;
}

void TestTcpReader::parentSwitchesWithCopies()
{
    QFETCH(QByteArray, pattern);
    QFETCH(int, snrA);
    QFETCH(int, snrB);
    QFETCH(int, switches);
    QFETCH(bool, lastIsB);
    FakeGatewaySocket a, b;
    rx->handleGatewayRead(&a, gwrec::heartbeatWithId(GW));
    rx->handleGatewayRead(&b, gwrec::heartbeatWithId(GW + 1));
    QSignalSpy spy(rx, &IReceiver::message_ready);
    for (int i = 0; i < pattern.size(); ++i) {
        const auto via = [&](FakeGatewaySocket& s, int snr) {
            rx->handleGatewayRead(&s, gwrec::kindF(0x18, 868800000, qint8(snr), M1, 0, gwrec::payload(quint8(i)), 0));
        };
        const char p = pattern.at(i);
        if (p == 'a' || p == 'A')
            via(a, snrA);
        if (p == 'b' || p == 'B' || p == 'A')
            via(b, snrB);
        if (p == 'B')
            via(a, snrA);
    }
    QCOMPARE(logLines().filter("Parent changed from").size(), switches);
    QCOMPARE(spy.size(), 30);
    for (int i = 0; i < spy.size(); ++i)
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(at(spy, i)->PAYLOAD), 8), gwrec::payload(quint8(i)));
    QCOMPARE(rx->gatewayRegistry().parent_varnok_id(M1), lastIsB ? GW + 1 : GW);
    rx->write_socket_rx(M1, QByteArray(46, '\x05'));
    FakeGatewaySocket& best = lastIsB ? b : a;
    FakeGatewaySocket& other = lastIsB ? a : b;
    QTRY_COMPARE_WITH_TIMEOUT(best.writes.size(), 1, 5000);
    QCOMPARE(best.writes.first(), QByteArray(46, '\x05'));
    QCOMPARE(other.writes.size(), 0);
}

// Strikes count bad records since the last good record or heartbeat: 'g' a good record, 'b' a
// bad one, 'h' a heartbeat. closedAt: the event (from 0) that closes the socket, -1 none.
void TestTcpReader::strikes_data()
{
    QTest::addColumn<QByteArray>("events");
    QTest::addColumn<int>("closedAt");
    QByteArray spaced;
    for (int i = 0; i < 600; ++i)
        spaced += (i % 50 == 25) ? "bg" : "g";
    QTest::newRow("600 good records, 12 bad ones spaced") << spaced << -1;
    QTest::newRow("12 bad in a row") << QByteArray("ggg") + QByteArray(12, 'b') << 14;
    QTest::newRow("11 bad, a heartbeat, 11 bad") << QByteArray(11, 'b') + "h" + QByteArray(11, 'b') << -1;
    QByteArray alternating;
    for (int i = 0; i < 30; ++i)
        alternating += "bh";
    QTest::newRow("bad, heartbeat, bad, ...") << alternating << -1;
    QTest::newRow("11 bad, good, 12 bad") << QByteArray(11, 'b') + "g" + QByteArray(12, 'b') << 23;
}

void TestTcpReader::strikes()
{
    QFETCH(QByteArray, events);
    QFETCH(int, closedAt);
    FakeGatewaySocket s;
    rx->handleGatewayRead(&s, gwrec::heartbeatWithId(GW));
    // A protocol-E record whose decoded bytes fail their CRC.
    QByteArray data = gwrec::dataE(M1, 0, 0, gwrec::payload(1), 5);
    data[19] = char(data[19] ^ 0x01);
    const QByteArray bad = gwrec::kindE(0x1f, data);
    QSignalSpy spy(rx, &IReceiver::message_ready);
    int good = 0;
    for (int i = 0; i < events.size(); ++i) {
        const char e = events.at(i);
        if (e == 'g')
            rx->handleGatewayRead(&s, gwrec::kindD(0x18, M1, 0, gwrec::payload(quint8(good++)), 0));
        else if (e == 'b')
            rx->handleGatewayRead(&s, bad);
        else
            rx->handleGatewayRead(&s, gwrec::heartbeatWithId(GW));
        QVERIFY2(s.closes == (closedAt >= 0 && i >= closedAt ? 1 : 0), qPrintable(QString("event %1").arg(i)));
    }
    QCOMPARE(spy.size(), good);
    QCOMPARE(rx->gatewayRegistry().contains(GW), closedAt < 0);
}

void TestTcpReader::registrySweptAfterTtl()
{
    writeIni("TCP_TTL=1\n");
    FakeGatewaySocket a, b;
    rx->handleGatewayRead(&a, gwrec::heartbeatWithId(GW));
    rx->handleGatewayRead(&b, gwrec::heartbeatWithId(GW + 1));
    QSignalSpy spy(rx, &IReceiver::message_ready);
    constexpr int kModems = 40000;
    constexpr int kPerRead = 100;
    for (int first = 0; first < kModems; first += kPerRead) {
        QByteArray read;
        for (int i = first; i < first + kPerRead; ++i)
            read += gwrec::kindF(0x18, 868800000, 10, M1 + quint32(i), 0, gwrec::payload(quint8(i)), 0);
        rx->handleGatewayRead(&a, read);
        rx->handleGatewayRead(&b, read);
    }
    QCOMPARE(spy.size(), kModems);
    QCOMPARE(rx->gatewayRegistry().child_list().size(), kModems);
    // The census names the first ones and counts the rest.
    rx->sweep();
    const QString census = logLines().filter("Total childs(s): 40000[").value(0);
    QVERIFY2(census.endsWith(",... 39950 more]"), qPrintable(census.right(80)));

    // No traffic for the TTL: nothing is left.
    clock = clock.addSecs(61);
    rx->sweep();
    QVERIFY(rx->gatewayRegistry().gw_list().isEmpty());
    QVERIFY(rx->gatewayRegistry().child_list().isEmpty());
    QCOMPARE(rx->gatewayRegistry().gw_size(), 0);
    QCOMPARE(rx->gatewayRegistry().entry_count(), 0);
    QCOMPARE(a.closes, 1);
    QCOMPARE(b.closes, 1);
    rx->write_socket_rx(M1 + 7, QByteArray(46, '\x05'));
    QCOMPARE(logLines().filter(QString("Downlink dropped: no route to modem %1").arg(QString::number(M1 + 7, 16).toUpper())).size(), 1);
}

void TestTcpReader::rejectedReadsLogged()
{
    FakeGatewaySocket s;
    rx->handleGatewayRead(&s, gwrec::heartbeatWithId(GW));
    const QByteArray bad(36, '\x33');
    // A gateway that keeps its strikes below the limit and sends junk between heartbeats, a
    // round every half second for 40 s: one rejection line (with its cause) per 10 s window,
    // counting the bad records left out since the line before.
    for (int round = 0; round < 80; ++round) {
        monotonicMs = round * 500;
        for (int i = 0; i < 11; ++i)
            rx->handleGatewayRead(&s, bad);
        rx->handleGatewayRead(&s, gwrec::heartbeatWithId(GW));
    }
    QCOMPARE(s.closes, 0);
    QStringList rejected;
    for (const QString& line : logLines().filter(" - Rejected bad message"))
        rejected << line.mid(line.indexOf(" - Rejected bad message") + 3);
    QCOMPARE(rejected, (QStringList{"Rejected bad message.",
                                    "Rejected bad message. (219 more rejected since the last line)",
                                    "Rejected bad message. (219 more rejected since the last line)",
                                    "Rejected bad message. (219 more rejected since the last line)"}));
    QCOMPARE(logLines().filter(" - Wrong protocol type").size(), 4);
    // Reads that hold no accepted record: at most 20 lines in any second of the gateway's 24.
    const QStringList reads = logLines().filter(" - Recieved ");
    QVERIFY2(reads.size() >= 40 * 20 && reads.size() <= 40 * 20 + 1, qPrintable(QString::number(reads.size())));
    QVERIFY(!logLines().filter(QRegularExpression(R"( - Recieved 36 bytes: 3{72} \(\d+ more reads since the last line\)$)")).isEmpty());

    // The closing strike is always told.
    for (int i = 0; i < 12; ++i)
        rx->handleGatewayRead(&s, bad);
    QCOMPARE(s.closes, 1);
    QCOMPARE(logLines().filter("Rejected bad message. Rejected socket.").size(), 1);

    // A read's line shows its length and its first 64 bytes.
    FakeGatewaySocket big;
    rx->handleGatewayRead(&big, QByteArray(5000, '\x33'));
    const QString line = logLines().filter(" - Recieved 5000 bytes: ").value(0);
    QVERIFY2(line.endsWith(" - Recieved 5000 bytes: " + QString(128, '3') + "..."), qPrintable(line));
}

// A registered gateway that floods heartbeats or junk (with heartbeats that keep its strikes
// down), 1 MB a second, with a good record of its child every 100 KB: its heartbeat lines and
// the lines of reads without an accepted record stay within 20 a second each, so the log grows
// by less than a tenth of the flood (10 MB in large reads, 2 MB one unit a read); its
// registration and every record are as without the flood.
void TestTcpReader::registeredPeerFloods_data()
{
    QTest::addColumn<QList<QByteArray>>("cycle");
    QTest::addColumn<qint64>("flood");
    const QByteArray hb = gwrec::heartbeatWithId(GW);
    const QByteArray bad(36, '\x33');
    constexpr qint64 kLarge = 10 * 1000 * 1000;
    constexpr qint64 kSmall = 2 * 1000 * 1000;
    QTest::newRow("heartbeats, 64 KiB reads") << QList<QByteArray>{hb.repeated(3855)} << kLarge;
    QTest::newRow("heartbeats, one a read") << QList<QByteArray>{hb} << kSmall;
    QList<QByteArray> junk;
    for (int i = 0; i < 11; ++i)
        junk << bad;
    QTest::newRow("junk, one bad record a read") << junk + QList<QByteArray>{hb} << kSmall;
    QTest::newRow("junk, 11 bad records and a heartbeat a read") << QList<QByteArray>{bad.repeated(11) + hb} << kLarge;
}

void TestTcpReader::registeredPeerFloods()
{
    QFETCH(QList<QByteArray>, cycle);
    QFETCH(qint64, flood);
    FakeGatewaySocket s;
    rx->handleGatewayRead(&s, gwrec::heartbeatWithId(GW));
    QSignalSpy spy(rx, &IReceiver::message_ready);
    const qint64 logBefore = QFileInfo(dir.filePath("tcp_station.log")).size();
    constexpr qint64 kRecordEvery = 100 * 1000;
    qint64 sent = 0;
    int records = 0;
    const qint64 start = monotonicMs;
    while (sent < flood) {
        for (const QByteArray& read : cycle) {
            monotonicMs = start + sent / 1000;   // 1 MB a second
            rx->handleGatewayRead(&s, read);
            sent += read.size();
            if (sent / kRecordEvery > records)
                rx->handleGatewayRead(&s, gwrec::kindF(0x18, 868800000, 10, M1, 0, gwrec::payload(quint8(records++)), 0));
        }
    }
    QCOMPARE(s.closes, 0);
    QCOMPARE(rx->gatewayRegistry().id(&s), GW);
    QCOMPARE(rx->gatewayRegistry().gw_list(), QList<quint32>{GW});
    QCOMPARE(rx->gatewayRegistry().parent_varnok_id(M1), GW);
    QCOMPARE(spy.size(), records);
    for (int i = 0; i < spy.size(); ++i)
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(at(spy, i)->PAYLOAD), 8), gwrec::payload(quint8(i)));
    const QStringList lines = logLines();
    QCOMPARE(lines.filter(" - Accepted good message modem").size(), records);
    QCOMPARE(lines.filter(QRegularExpression(" - Recieved 36 bytes: 0f18")).size(), records);
    const qint64 grown = QFileInfo(dir.filePath("tcp_station.log")).size() - logBefore;
    QVERIFY2(grown < flood / 10, qPrintable(QString("%1 bytes of log").arg(grown)));
    // The heartbeats left out are counted on the next line.
    QVERIFY(!lines.filter(QRegularExpression(R"( - Heartbeat 20 bytes: heartbeat_id:6291456 \(\d+ more heartbeats since the last line\)$)")).isEmpty());
}

// A heartbeat flood, a quiet second, then two heartbeats: the first line counts exactly the
// lines left out, the second counts none.
void TestTcpReader::heartbeatLinesLeftOut_data()
{
    QTest::addColumn<int>("flood");
    QTest::addColumn<int>("leftOut");
    QTest::newRow("20 fit") << 20 << 0;
    QTest::newRow("21") << 21 << 1;
    QTest::newRow("100") << 100 << 80;
}

void TestTcpReader::heartbeatLinesLeftOut()
{
    QFETCH(int, flood);
    QFETCH(int, leftOut);
    FakeGatewaySocket s;
    const QByteArray hb = gwrec::heartbeatWithId(GW);
    for (int i = 0; i < flood; ++i)
        rx->handleGatewayRead(&s, hb);
    const QString line = " - Heartbeat 20 bytes: heartbeat_id:6291456";
    QCOMPARE(logLines().filter(line).size(), flood - leftOut);
    monotonicMs += 1000;
    rx->handleGatewayRead(&s, hb);
    rx->handleGatewayRead(&s, hb);
    const QStringList after = logLines().filter(line).mid(flood - leftOut);
    QCOMPARE(after.size(), 2);
    const QString counted = leftOut ? QString(" (%1 more heartbeats since the last line)").arg(leftOut) : QString();
    QVERIFY2(after[0].endsWith(line + counted), qPrintable(after[0]));
    QVERIFY2(after[1].endsWith(line), qPrintable(after[1]));
}

void TestTcpReader::rsRecordInPieces_data()
{
    QTest::addColumn<int>("pieces");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<int>("records");
    QTest::newRow("2 pieces") << 2 << 100 << 1;
    QTest::newRow("3 pieces") << 3 << 100 << 1;
    QTest::newRow("20 pieces") << 20 << 40 << 1;
    QTest::newRow("2 pieces, 1.1 s apart") << 2 << 1100 << 0;
    QTest::newRow("3 pieces, 1.1 s in all") << 3 << 550 << 0;
}

void TestTcpReader::rsRecordInPieces()
{
    QFETCH(int, pieces);
    QFETCH(int, pauseMs);
    QFETCH(int, records);
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    const QByteArray rec = gwrec::rs(M1, 1, gwrec::payload(1), 2);
    const int step = (rec.size() + pieces - 1) / pieces;
    for (int at = 0; at < rec.size(); at += step) {
        if (at > 0)
            monotonicMs += pauseMs;
        rx->handleRsBatch(&s, rec.mid(at, step));
    }
    QCOMPARE(spy.size(), records);
    // The next record is read whatever became of this one.
    monotonicMs += 2000;
    rx->handleRsBatch(&s, gwrec::rs(M1 + 1, 1, gwrec::payload(2), 2));
    QCOMPARE(spy.size(), records + 1);
    QCOMPARE(at(spy, records)->ID, M1 + 1);
}

void TestTcpReader::rsBatches_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("records");
    QTest::newRow("45 bytes") << 45 << 2;
    QTest::newRow("40 bytes") << 40 << 2;
    QTest::newRow("19 bytes") << 19 << 0;
}

void TestTcpReader::rsBatches()
{
    QFETCH(int, size);
    QFETCH(int, records);
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    const QByteArray stream = gwrec::rs(M1, 1, gwrec::payload(1), 2) + gwrec::rs(M1 + 1, 1, gwrec::payload(2), 2) +
                              QByteArray(5, '\x7f');
    rx->handleRsBatch(&s, stream.left(size));
    QCOMPARE(spy.size(), records);
    if (records) {
        const auto m = at(spy, 0);
        QCOMPARE(int(m->TYPE), int(Protocol_D));
        QCOMPARE(m->ID, M1);
        QCOMPARE(m->bitrate, 25600u);
        QCOMPARE(m->SNR, 100.0f);
        QCOMPARE(m->FREQ, quint64(0));
        QCOMPARE(m->RSSI, 50.0f);
        QCOMPARE(m->NOISE, -150.0f);
        QVERIFY(rx->rsRegistry().contains(M1));
    }
}

void TestTcpReader::rsRecordAcrossPause()
{
    FakeGatewaySocket s;
    QSignalSpy spy(rx, &IReceiver::message_ready);
    const QByteArray stream = gwrec::rs(M1, 1, gwrec::payload(1), 2) + gwrec::rs(M1 + 1, 1, gwrec::payload(2), 2);
    rx->handleRsBatch(&s, stream.left(27));
    rx->handleRsBatch(&s, stream.mid(27));
    QCOMPARE(spy.size(), 2);
    QCOMPARE(at(spy, 1)->ID, M1 + 1);
    const QStringList lines = logLines().filter("Appended modem");
    QCOMPARE(lines.size(), 2);
    rx->handleRsBatch(&s, gwrec::rs(M1, 1, gwrec::payload(3), 2));
    QCOMPARE(logLines().filter("Appended modem").size(), 2);
    QCOMPARE(logLines().filter("Accepted good message modem").size(), 3);
}

void TestTcpReader::logLineFormat()
{
    FakeGatewaySocket s;
    rx->handleGatewayRead(&s, gwrec::heartbeatWithId(GW));
    rx->sweep();
    const QString esc(QChar(0x1B));
    const QStringList lines = logLines();
    // Without socket and id: blank columns, no colour for the id.
    const QString census = lines.filter("Closed by TTL").first();
    QRegularExpression plain("^" + QRegularExpression::escape(esc) + R"(\[1;37m\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3})" +
                             QRegularExpression::escape(esc) + R"(\[0m {52} {9} - Closed by TTL 0 socket\(s\)$)");
    QVERIFY2(plain.match(census).hasMatch(), qPrintable(census));
    // With a socket: its column padded to 50, the gateway id green in 9 characters.
    const QString hb = lines.filter("Heartbeat 20 bytes").first();
    const QString sock = QString("0x%1 :0").arg(quintptr(&s), 16, 16, QChar('0')).leftJustified(50, ' ');
    QVERIFY2(hb.contains(" " + sock + " " + esc + "[1;32m  6291456" + esc + "[0m - Heartbeat 20 bytes: "),
             qPrintable(hb));
}

void TestTcpReader::sweepCensus()
{
    writeIni("TCP_TTL=1\n");
    FakeGatewaySocket a;
    rx->handleGatewayRead(&a, gwrec::heartbeatWithId(GW));
    rx->handleGatewayRead(&a, gwrec::kindF(0x18, 1, 1, M1, 0, gwrec::payload(0), 0));
    rx->sweep();
    QVERIFY(logLines().contains(logLines().filter("Total active gateway(s): 1[6291456]").value(0)));
    QCOMPARE(logLines().filter(QString("Total childs(s): 1[%1]").arg(M1)).size(), 1);
    clock = clock.addSecs(61);
    rx->sweep();
    // The gateway and its child: the count is of ids, one socket is closed.
    QCOMPARE(logLines().filter("Closed by TTL 2 socket(s)").size(), 1);
    QCOMPARE(logLines().filter("Closed by TTL 0 RS device(s)").size(), 2);
    QCOMPARE(logLines().filter("Total childs(s): 0[]").size(), 1);
    QCOMPARE(a.closes, 1);
}

void TestTcpReader::fixedInfo()
{
    const receiver_info i = rx->info();
    QCOMPARE(i.state, 4u);
    QVERIFY(i.active);
    QCOMPARE(i.aver_noiseBand1, -100.0f);
    QCOMPARE(i.band2_offset, 100);
    QCOMPARE(int(i.fpga_info_.fpga_bs_type), int(TCPBS));
    QCOMPARE(i.fpga_info_.supported_ul_bitrates_band1.size(), 12);
    QVERIFY(!i.fpga_info_.supported_ul_bitrates_band1.contains(UL_DBPSK_400_PROT_C));
    QCOMPARE(i.fpga_info_.supported_ul_bitrates_band2, i.fpga_info_.supported_ul_bitrates_band1);
    QCOMPARE(i.fpga_info_.compilation_dt.toSecsSinceEpoch(), qint64(0));
    QCOMPARE(i.fpga_temperature_, 25.0f);
}

// While the station is behind with the records already emitted, gateway connections are not
// read: their bytes wait in the sockets, and every record arrives once it catches up.
void TestTcpReader::readingWaitsForTheStation()
{
    QTcpSocket gateway;
    startOnLoopback(gateway);
    qint64 waiting = tcp_reader_receiver::kMaxWaitingRecords;
    rx->setBacklog([&waiting] { return waiting; });
    QSignalSpy spy(rx, &IReceiver::message_ready);
    constexpr int kRecords = 3000;   // more than one turn of a connection
    QByteArray records;
    for (int i = 0; i < kRecords; ++i)
        records += gwrec::kindF(0x18, 868800000, 12, M1 + quint32(i), 0, gwrec::payload(quint8(i)), 0);
    gateway.write(records);
    QTRY_COMPARE_WITH_TIMEOUT(logLines().filter(" - Reading paused: 2000 records wait to be sent").size(), 1, 10000);
    QCOMPARE(spy.size(), 0);
    waiting = tcp_reader_receiver::kMaxWaitingRecords - 1;
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), kRecords, 30000);
    for (int i = 0; i < kRecords; ++i)
        QCOMPARE(at(spy, i)->ID, M1 + quint32(i));
}

void TestTcpReader::loopbackGatewayAndRs()
{
    // A real RS device (a server of the test) and a real gateway client.
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    cleanup();
    writeIni(QString("TCP_RS=127.0.0.1:%1,no-port,a:b:c\n").arg(device.serverPort()));
    tcp_reader link(settings);
    rx = link.receiver();
    tcp_reader_receiver::Timing t;
    t.flushMs = 0;
    t.rsIdleMs = 20;
    rx->setTiming(t);
    rx->setListenAddress(QHostAddress::LocalHost, quint16(0));
    rx->start();
    QCOMPARE(logLines().filter("Conected to remote TCP-RS server").size(), 1);
    QSignalSpy spy(rx, &IReceiver::message_ready);

    QTRY_VERIFY_WITH_TIMEOUT(device.hasPendingConnections(), 10000);
    QTcpSocket* rsPeer = device.nextPendingConnection();
    rsPeer->write(gwrec::rs(M1, 1, gwrec::payload(1), 2));
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, 10000);

    QTcpSocket gateway;
    gateway.connectToHost(QHostAddress::LocalHost, rx->serverPort());
    QVERIFY(gateway.waitForConnected(10000));
    gateway.write(gwrec::heartbeatWithId(GW));
    QTRY_COMPARE_WITH_TIMEOUT(rx->gatewayRegistry().gw_list().size(), 1, 10000);
    gateway.write(gwrec::kindF(0x18, 868800000, 12, M1 + 1, 0, gwrec::payload(5), 0));
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, 10000);

    // Downlinks: M1 is heard through the RS device, M1 + 1 through the gateway.
    for (quint32 id : {M1, M1 + 1}) {
        dl_message_point m;
        m.vexa_ver = 5;
        m.modem_id = id;
        link.transmitter()->queueDLMessage(new dl_message_point(m));
    }
    QByteArray atDevice, atGateway;
    QTRY_VERIFY_WITH_TIMEOUT((atDevice += rsPeer->readAll()).size() >= 20, 10000);
    QTRY_VERIFY_WITH_TIMEOUT((atGateway += gateway.readAll()).size() >= 46, 10000);
    QCOMPARE(atDevice.size(), 20);
    QCOMPARE(atGateway.size(), 46);
    QCOMPARE(atGateway.left(4), QByteArray("\x02\x00\x70\x00", 4));

    // The gateway leaves: its error is handled after the read that is going on.
    gateway.disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(rx->gatewayRegistry().gw_list().isEmpty(), 10000);
    rx->stopReader();
    QCOMPARE(rx->serverPort(), quint16(0));
    rx = nullptr;
}

void TestTcpReader::rsDeviceThatNeverPauses()
{
    // The idle time never passes, yet a stream of records is read in batches of 4 KiB.
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    cleanup();
    writeIni(QString("TCP_RS=127.0.0.1:%1\n").arg(device.serverPort()));
    rx = new tcp_reader_receiver(settings);
    tcp_reader_receiver::Timing t;
    t.rsIdleMs = 3600000;
    rx->setTiming(t);
    rx->setListenAddress(QHostAddress::LocalHost, quint16(0));
    rx->start();
    QSignalSpy spy(rx, &IReceiver::message_ready);
    QTRY_VERIFY_WITH_TIMEOUT(device.hasPendingConnections(), 10000);
    QTcpSocket* peer = device.nextPendingConnection();
    QByteArray stream;
    for (int i = 0; i < 210; ++i)
        stream += gwrec::rs(M1 + quint32(i % 7), 0, gwrec::payload(quint8(i)), 0);
    peer->write(stream);
    QTRY_VERIFY_WITH_TIMEOUT(spy.size() >= 204, 10000);  // 4096 bytes and more hold 204 whole records
    QCOMPARE(at(spy, 0)->ID, M1);
}

// 100 MB of random bytes: on one connection handed over at once (the station's first read is
// as large as the socket buffers make it), or 1 MB a connection, connecting again each time the
// station closes it. The gateway's records arrive throughout; the log stays small.
void TestTcpReader::floods_data()
{
    QTest::addColumn<bool>("reconnect");
    QTest::newRow("one connection") << false;
    QTest::newRow("connecting again") << true;
}

void TestTcpReader::floods()
{
    QFETCH(bool, reconnect);
    QTcpSocket gateway;
    startOnLoopback(gateway);
    QSignalSpy spy(rx, &IReceiver::message_ready);
    const qint64 logBefore = QFileInfo(dir.filePath("tcp_station.log")).size();
    QRandomGenerator random(25);
    QByteArray chunk(1 << 20, '\0');
    const auto fill = [&] { random.fillRange(reinterpret_cast<quint32*>(chunk.data()), chunk.size() / 4); };
    int records = 0;
    const auto record = [&] {
        gateway.write(gwrec::kindF(0x18, 868800000, 10, M1, 0, gwrec::payload(quint8(records++)), 0));
    };
    QTcpSocket flood;
    const auto connectFlood = [&] {
        flood.connectToHost(QHostAddress::LocalHost, rx->serverPort());
        return flood.waitForConnected(10000);
    };
    QVERIFY(connectFlood());
    if (!reconnect) {
        for (int i = 0; i < 100; ++i) {
            fill();
            QCOMPARE(flood.write(chunk), qint64(chunk.size()));
        }
        QElapsedTimer waited;
        waited.start();
        while (flood.state() != QAbstractSocket::UnconnectedState && waited.elapsed() < 20000) {
            record();
            QTest::qWait(10);
        }
    } else {
        for (int i = 0; i < 100; ++i) {
            if (i > 0) {
                QTRY_COMPARE_WITH_TIMEOUT(flood.state(), QAbstractSocket::UnconnectedState, 10000);
                QVERIFY(connectFlood());
            }
            fill();
            flood.write(chunk);
            if (i % 10 == 0)
                record();
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(flood.state(), QAbstractSocket::UnconnectedState, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), records, 20000);
    const qint64 grown = QFileInfo(dir.filePath("tcp_station.log")).size() - logBefore;
    QVERIFY2(grown < 2 * 1024 * 1024, qPrintable(QString("%1 bytes of log").arg(grown)));
    QCOMPARE(gateway.state(), QAbstractSocket::ConnectedState);
    rx->stopReader();
}

void TestTcpReader::idleConnections()
{
    tcp_reader_receiver::Limits limits;
    limits.idleMs = 1500;
    QTcpSocket gateway;
    startOnLoopback(gateway, limits);
    QSignalSpy spy(rx, &IReceiver::message_ready);
    QTcpSocket idle;
    connectClient(idle);
    QTRY_COMPARE_WITH_TIMEOUT(rx->openGatewayConnections(), 2, 10000);
    // Short of the limit on the station's clock, the idle connection stays.
    monotonicMs += 1499;
    gateway.write(gwrec::kindD(0x18, M1, 0, gwrec::payload(0), 0));
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, 10000);
    QCOMPARE(idle.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(rx->openGatewayConnections(), 2);
    // At the limit it is closed; the registered gateway is not, and its records go on.
    monotonicMs += 1;
    QTRY_COMPARE_WITH_TIMEOUT(idle.state(), QAbstractSocket::UnconnectedState, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(rx->openGatewayConnections(), 1, 10000);
    QCOMPARE(logLines().filter("Closed idle connection: no heartbeat or record within 1500 ms").size(), 1);
    monotonicMs += 60000;
    gateway.write(gwrec::kindD(0x18, M1, 0, gwrec::payload(1), 0));
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, 10000);
    QCOMPARE(gateway.state(), QAbstractSocket::ConnectedState);
    rx->stopReader();
}

// At the connection cap a newcomer gets in by closing a connection that holds no registered
// id: one never heard, oldest first; else one heard without an id, least recently heard first.
// Only when every connection holds a registered id is the newcomer refused.
void TestTcpReader::capMakesRoom()
{
    tcp_reader_receiver::Limits limits;
    limits.idleMs = 36000000;
    limits.maxConnections = 3;
    QTcpSocket gateway;
    startOnLoopback(gateway, limits);
    QSignalSpy spy(rx, &IReceiver::message_ready);
    std::vector<std::unique_ptr<QTcpSocket>> n;
    std::vector<quint16> ports;
    for (int i = 0; i < 8; ++i)
        n.emplace_back(new QTcpSocket);
    const auto connectOne = [&](int i) {
        connectClient(*n[size_t(i)]);
        ports.push_back(n[size_t(i)]->localPort());
    };
    const auto newcomer = [&](int i, int victim) {
        connectOne(i);
        QTRY_COMPARE_WITH_TIMEOUT(n[size_t(victim)]->state(), QAbstractSocket::UnconnectedState, 10000);
        QVERIFY2(!closedFor(ports[size_t(victim)]).isEmpty(), qPrintable(logLines().join('\n')));
        QTRY_COMPARE_WITH_TIMEOUT(rx->openGatewayConnections(), 3, 10000);
        monotonicMs += 10000;  // each closing gets its own line
    };
    connectOne(0);
    QTRY_COMPARE_WITH_TIMEOUT(rx->openGatewayConnections(), 2, 10000);
    connectOne(1);
    QTRY_COMPARE_WITH_TIMEOUT(rx->openGatewayConnections(), 3, 10000);
    // Never heard, oldest first.
    newcomer(2, 0);
    newcomer(3, 1);
    if (QTest::currentTestFailed())
        return;
    // Both heard without an id, n3 first: the less recently heard one goes, not the older one.
    const auto heardWithoutId = [&](int i) {
        const QByteArray text = "heartbeat n" + QByteArray::number(i);
        n[size_t(i)]->write(text);
        QTRY_COMPARE_WITH_TIMEOUT(logLines().filter(" - Heartbeat 12 bytes: " + text).size(), 1, 10000);
    };
    heardWithoutId(3);
    heardWithoutId(2);
    newcomer(4, 3);
    // A never-heard connection goes before a heard one, even a newer one.
    newcomer(5, 4);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(n[2]->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(logLines().filter(" - Closed connection to make room: 3 gateway connections are open").size(), 4);

    // Every connection holds a registered id: the newcomer is refused.
    n[2]->write(gwrec::heartbeatWithId(GW + 2));
    n[5]->write(gwrec::heartbeatWithId(GW + 5));
    QTRY_COMPARE_WITH_TIMEOUT(rx->gatewayRegistry().gw_list().size(), 3, 10000);
    connectOne(6);
    QTRY_COMPARE_WITH_TIMEOUT(n[6]->state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(logLines().filter("Refused connection: 3 gateway connections are open").size(), 1);
    const QList<QPair<QTcpSocket*, quint32>> registered{{&gateway, GW}, {n[2].get(), GW + 2}, {n[5].get(), GW + 5}};
    for (const auto& [s, id] : registered) {
        s->write(gwrec::kindD(0x18, id, 0, gwrec::payload(0), 0));
        QCOMPARE(s->state(), QAbstractSocket::ConnectedState);
    }
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 3, 10000);
    QCOMPARE(rx->openGatewayConnections(), 3);
    rx->stopReader();
}

// A port kept full by connections that never send, or that sent one bare "heartbeat": a good
// gateway still gets in and all its records through.
void TestTcpReader::gatewayIntoFullPort_data()
{
    QTest::addColumn<bool>("bareHeartbeats");
    QTest::newRow("idle connections") << false;
    QTest::newRow("bare heartbeats") << true;
}

void TestTcpReader::gatewayIntoFullPort()
{
    QFETCH(bool, bareHeartbeats);
    tcp_reader_receiver::Limits limits;
    limits.idleMs = 36000000;
    limits.maxConnections = 3;
    startServer(limits);
    QSignalSpy spy(rx, &IReceiver::message_ready);
    std::vector<std::unique_ptr<QTcpSocket>> full;
    for (int i = 0; i < 3; ++i) {
        full.emplace_back(new QTcpSocket);
        connectClient(*full.back());
        QTRY_COMPARE_WITH_TIMEOUT(rx->openGatewayConnections(), i + 1, 10000);
        if (bareHeartbeats)
            full.back()->write("heartbeat");
    }
    if (bareHeartbeats) {
        // Their second passes on the station's clock: old-style heartbeats, heard, with no id.
        QTRY_VERIFY_WITH_TIMEOUT((monotonicMs += 100, logLines().filter(" - Heartbeat 9 bytes: heartbeat").size() == 3),
                                 10000);
    }
    QTcpSocket gateway;
    connectClient(gateway);
    QByteArray stream = gwrec::heartbeatWithId(GW);
    for (int i = 0; i < 5; ++i)
        stream += gwrec::kindD(0x18, M1, 0, gwrec::payload(quint8(i)), 0);
    gateway.write(stream);
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 5, 10000);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(at(spy, i)->PAYLOAD), 8), gwrec::payload(quint8(i)));
    QCOMPARE(rx->gatewayRegistry().gw_list(), QList<quint32>{GW});
    QCOMPARE(gateway.state(), QAbstractSocket::ConnectedState);
    QTRY_COMPARE_WITH_TIMEOUT(full[0]->state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(rx->openGatewayConnections(), 3);
    rx->stopReader();
}

QTEST_GUILESS_MAIN(TestTcpReader)
#include "tst_tcp_reader.moc"
