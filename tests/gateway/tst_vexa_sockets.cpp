// The gateway registry: gateways and their sockets, bad-message strikes, activity times,
// heartbeats, modems heard through several gateways (parent choice, duplicates) and the
// buffered downlink writes. Sockets are stand-ins that record writes and closes; the clock is
// the test's.
#include "FakeGatewaySocket.h"
#include "downlink_route.h"
#include "vexa_rs_sockets.h"
#include "vexa_sockets.h"

#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr quint32 A = 0x600001;
constexpr quint32 B = 0x600002;
constexpr quint32 C = 0x600003;
constexpr quint32 M1 = 0x700001;
constexpr quint32 M2 = 0x700002;
constexpr quint32 M3 = 0x700003;

struct LogLine {
    QString text;
    QTcpSocket* socket;
    quint32 id;
};

message_point message(quint32 id, Protocol_Types type = Protocol_D, quint8 flags = 1, quint8 crc8 = 0x11)
{
    message_point m;
    m.TYPE = type;
    m.ID = id;
    m.FLAGS = flags;
    m.CRC8_D = crc8;
    for (int i = 0; i < 8; ++i)
        m.PAYLOAD[i] = static_cast<unsigned char>(0xA0 + i);
    return m;
}

} // namespace

class TestVexaSockets : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void appendRefusesLowIds();
    void appendLogsAndRegisters();
    void appendSameSocketTwice();
    void appendOnNewSocketMovesChildren();
    void appendOfAModemKeepsItsGatewaySocket();
    void rejectStrikes_data();
    void rejectStrikes();
    void clearAtCutoff();
    void heartbeatFallbackBySocket();
    void newestHeartbeatOfSocket();
    void listsAndParents();
    void removingGatewayResetsStatistics();
    void childrenFollowReturningGateway_data();
    void childrenFollowReturningGateway();
    void childSweptWhileGatewayAway();
    void moveLines_data();
    void moveLines();
    void reconnectAmongManyIds();
    void sweepingAModemKeepsGatewayOpen();
    void parentSwitchOnSnr();
    void parentKeptWithinThreeDb();
    void eleventhRelaySwitches();
    void parentMessageTouchesNoCounter();
    void gatewayIsNeverAChild();
    void duplicates_data();
    void duplicates();
    void writesMergeUntilTimer();
    void writeFlushesAboveThreshold_data();
    void writeFlushesAboveThreshold();
    void writeWithoutSocket();
    void writeToClosedSocket();
    void childSweptWhileGatewayStays();
    void writeForChildUsesParentSocket();
    void destroyedWithTimers();

private:
    QDateTime t0 = QDateTime(QDate(2026, 5, 1), QTime(12, 0), Qt::UTC);
    QDateTime clock;
    QList<LogLine> lines;
    vexa_sockets* reg = nullptr;
    FakeGatewaySocket sa, sb, sc;

    QStringList texts() const
    {
        QStringList out;
        for (const auto& l : lines)
            out << l.text;
        return out;
    }
    void relay(quint32 modem, FakeGatewaySocket& s, float snr)
    {
        message_point m = message(modem);
        reg->append_child(modem, &s, snr, &m);
    }
};

void TestVexaSockets::init()
{
    clock = t0;
    lines.clear();
    reg = new vexa_sockets;
    reg->set_clock([this] { return clock; });
    reg->set_logger([this](const QString& t, QTcpSocket* s, quint32 id) { lines.append({t, s, id}); });
    for (auto* s : {&sa, &sb, &sc}) {
        s->closes = 0;
        s->writes.clear();
        if (!s->isOpen())
            s->QIODevice::open(QIODevice::ReadWrite);
    }
}

void TestVexaSockets::cleanup()
{
    delete reg;
    reg = nullptr;
}

void TestVexaSockets::appendRefusesLowIds()
{
    QVERIFY(!reg->append(0x5FFFFF, &sa));
    QVERIFY(!reg->contains(quint32(0x5FFFFF)));
    QVERIFY(!reg->contains(&sa));
    QVERIFY(reg->gw_list().isEmpty());
    QCOMPARE(reg->parent_varnok_id(0x5FFFFF), 0u);
    message_point m = message(0x5FFFFF);
    QVERIFY(!reg->append_child(0x5FFFFF, &sa, 10, &m));
    QVERIFY(!reg->check_for_dublicate(0x5FFFFF, &sa, &m));
    QVERIFY(lines.isEmpty());
}

void TestVexaSockets::appendLogsAndRegisters()
{
    QVERIFY(reg->append(0x600000, &sa));
    QCOMPARE(texts(), QStringList{"Appending socket 6291456 ..."});
    QCOMPARE(lines[0].socket, &sa);
    QCOMPARE(lines[0].id, 0x600000u);
    QCOMPARE(reg->id(&sa), 0x600000u);
    QCOMPARE(reg->parent_varnok_id(0x600000), 0x600000u);
    QCOMPARE(reg->fail_count(&sa), 0);
}

void TestVexaSockets::appendSameSocketTwice()
{
    QVERIFY(reg->append(A, &sa));
    relay(M1, sa, 10);
    QVERIFY(reg->append(A, &sb));  // children follow to sb
    lines.clear();
    QVERIFY(!reg->append(A, &sb));
    QVERIFY(lines.isEmpty());
    QCOMPARE(reg->parent_varnok_id(A), A);
    QCOMPARE(reg->socket(M1), &sb);
}

void TestVexaSockets::appendOnNewSocketMovesChildren()
{
    reg->append(A, &sa);
    relay(M1, sa, 10);
    relay(M2, sa, 10);
    for (int i = 0; i < 3; ++i)
        reg->reject(&sa, false);
    lines.clear();

    QVERIFY(reg->append(A, &sb));
    QCOMPARE(sa.closes, 1);
    QVERIFY(!reg->contains(&sa));
    QCOMPARE(reg->fail_count(&sb), 0);
    QCOMPARE(reg->socket(M1), &sb);
    QCOMPARE(reg->socket(M2), &sb);
    QStringList got = texts();
    got.sort();
    QStringList want{"Reappending socket 6291457 ... ",
                     QString("Updated socket for child %1 as parent %2").arg(M1).arg(A),
                     QString("Updated socket for child %1 as parent %2").arg(M2).arg(A)};
    want.sort();
    QCOMPARE(got, want);
}

void TestVexaSockets::appendOfAModemKeepsItsGatewaySocket()
{
    // An id heard as a modem through A connects as a gateway of its own: A's socket stays open.
    reg->append(A, &sa);
    relay(C, sa, 10);
    QVERIFY(reg->append(C, &sc));
    QCOMPARE(sa.closes, 0);
    QCOMPARE(reg->id(&sa), A);
    QCOMPARE(reg->socket(C), &sc);
    QCOMPARE(reg->parent_varnok_id(C), C);
}

void TestVexaSockets::rejectStrikes_data()
{
    QTest::addColumn<bool>("immediate");
    QTest::addColumn<int>("survived");
    QTest::newRow("bad messages") << false << 11;
    QTest::newRow("socket error") << true << 0;
}

void TestVexaSockets::rejectStrikes()
{
    QFETCH(bool, immediate);
    QFETCH(int, survived);
    reg->append(A, &sa);
    for (int i = 0; i < survived; ++i)
        QVERIFY(!reg->reject(&sa, immediate));
    QCOMPARE(sa.closes, 0);
    QVERIFY(reg->reject(&sa, immediate));
    QCOMPARE(sa.closes, 1);
    QVERIFY(!reg->contains(A));
    QVERIFY(!reg->contains(&sa));

    // Unknown sockets are closed at once.
    QVERIFY(reg->reject(&sb, false));
    QCOMPARE(sb.closes, 1);
}

void TestVexaSockets::clearAtCutoff()
{
    reg->save_last_hearbeat(A, &sa, "heartbeat_id:A");
    reg->append(A, &sa);
    QCOMPARE(reg->date(A), t0);
    QVERIFY(reg->clear(t0).isEmpty());
    QVERIFY(reg->contains(A));
    QCOMPARE(reg->clear(t0.addMSecs(1)), QList<quint32>{A});
    QVERIFY(!reg->contains(A));
    QCOMPARE(sa.closes, 1);
    QVERIFY(reg->last_hertbeat(A).hb_str.isEmpty());
}

void TestVexaSockets::heartbeatFallbackBySocket()
{
    reg->append(A, &sa);
    QVERIFY(!reg->date(A).isValid());  // no heartbeat text yet: no activity time
    QVERIFY(reg->save_last_hearbeat(0, &sa, "heartbeat"));
    const auto hb = reg->last_hertbeat(A);
    QCOMPARE(hb.hb_str, QString("heartbeat"));
    QCOMPARE(hb.socket, &sa);
    QCOMPARE(hb.id, 0u);
    clock = t0.addSecs(5);
    reg->append(A, &sa);
    QCOMPARE(reg->date(A), t0.addSecs(5));
    QCOMPARE(reg->last_hertbeat(B).hb_str, QString());
}

void TestVexaSockets::newestHeartbeatOfSocket()
{
    reg->save_last_hearbeat(A, &sa, "first");
    reg->save_last_hearbeat(0, &sa, "second");
    reg->save_last_hearbeat(B, &sa, "third");
    QCOMPARE(reg->last_hertbeat(&sa).hb_str, QString("third"));
    reg->save_last_hearbeat(A, &sa, "fourth");
    QCOMPARE(reg->last_hertbeat(&sa).hb_str, QString("fourth"));
    QCOMPARE(reg->last_hertbeat(&sb).id, 0u);
    reg->remove_hertbeat(A);
    QCOMPARE(reg->last_hertbeat(&sa).hb_str, QString("third"));
}

void TestVexaSockets::listsAndParents()
{
    reg->append(A, &sa);
    relay(M1, sa, 10);
    relay(M2, sa, 10);
    QCOMPARE(reg->gw_list(), QList<quint32>{A});
    QList<quint32> children = reg->child_list();
    std::sort(children.begin(), children.end());
    QCOMPARE(children, (QList<quint32>{M1, M2}));
    QCOMPARE(reg->parent_varnok_id(M1), A);
    QCOMPARE(reg->parent_varnok_id(A), A);
    QCOMPARE(reg->parent_varnok_id(C), 0u);
}

void TestVexaSockets::removingGatewayResetsStatistics()
{
    // M1's parent is A, M2's is B; both are heard through both.
    reg->append(A, &sa);
    reg->append(B, &sb);
    relay(M1, sa, 10);
    relay(M1, sb, 10);
    relay(M2, sb, 10);
    relay(M2, sa, 10);
    QVERIFY(reg->parent_data(M1, A).packets_via_non_parents > 0);
    reg->reject(&sa, true);
    // A's child keeps A as parent, with no route while A is away.
    QCOMPARE(reg->parent_varnok_id(M1), A);
    QVERIFY(!reg->write(M1, "x"));
    QCOMPARE(sa.writes.size(), 0);
    // A removed parent offers no route: the next gateway that relays the child takes it at
    // once, whatever the averages.
    lines.clear();
    relay(M1, sb, 0);
    QCOMPARE(reg->parent_varnok_id(M1), B);
    QCOMPARE(reg->socket(M1), static_cast<QTcpSocket*>(&sb));
    QCOMPARE(texts(), QStringList{QString("Parent changed from %1(snr:0) to %2(snr:1.6)").arg(A).arg(B)});
    QCOMPARE(reg->parent_data(M1, B).packets_via_non_parents, 0);
    // What A heard of B's child is reset.
    const auto r = reg->parent_data(M2, A);
    QCOMPARE(r.aver_snr, 0.0f);
    QCOMPARE(r.packets_via_non_parents, 0);
    QCOMPARE(r.last_message_dt.toSecsSinceEpoch(), qint64(0));
    QCOMPARE(r.last_message.ID, M2);
    QCOMPARE(reg->parent_varnok_id(M2), B);
}

// Gateway A with children M1..M3 loses its connection in one of several ways and registers
// again on a new socket: the children follow it, and a downlink to each goes to the new socket.
// While A is away, a child keeps A as parent and its downlink has no route.
void TestVexaSockets::childrenFollowReturningGateway_data()
{
    QTest::addColumn<QString>("order");
    QTest::newRow("peer close, then new socket") << "close";
    QTest::newRow("12th strike, then new socket") << "strike";
    QTest::newRow("A swept alone, then new socket") << "sweep";
    QTest::newRow("new socket first, then the old one closes") << "new first";
}

void TestVexaSockets::childrenFollowReturningGateway()
{
    QFETCH(QString, order);
    reg->set_flush_delay(0);
    reg->save_last_hearbeat(A, &sa, "heartbeat_id:A");
    reg->append(A, &sa);
    for (quint32 m : {M1, M2, M3})
        relay(m, sa, 10);
    if (order == "new first") {
        QVERIFY(!reg->append(A, &sa));
        reg->save_last_hearbeat(A, &sc, "heartbeat_id:A");
        QVERIFY(reg->append(A, &sc));
        QCOMPARE(sa.closes, 1);
        reg->reject(&sa, true);  // the old connection's error comes after
    } else {
        if (order == "close") {
            QVERIFY(reg->reject(&sa, true));
        } else if (order == "strike") {
            for (int i = 0; i < 11; ++i)
                QVERIFY(!reg->reject(&sa, false));
            QVERIFY(reg->reject(&sa, false));
        } else {
            clock = t0.addSecs(100);
            for (quint32 m : {M1, M2, M3})
                relay(m, sa, 10);  // the children are heard later than A's last heartbeat
            QCOMPARE(reg->clear(t0.addSecs(50)), QList<quint32>{A});
        }
        QCOMPARE(sa.closes, 1);
        QVERIFY(!reg->contains(A));
        vexa_rs_sockets rs;
        QStringList said;
        for (quint32 m : {M1, M2, M3}) {
            QCOMPARE(reg->parent_varnok_id(m), A);
            QCOMPARE(route_downlink(rs, *reg, m, QByteArray(46, '\x05'),
                                    [&](const QString& text, unsigned int) { said << text; }),
                     DownlinkRoute::NoRoute);
            QVERIFY2(said.last() == QString("Downlink dropped: no route to modem %1").arg(QString::number(m, 16).toUpper()),
                     qPrintable(said.join('|')));
        }
        QCOMPARE(sa.writes.size(), 0);
        reg->save_last_hearbeat(A, &sc, "heartbeat_id:A");
        QVERIFY(reg->append(A, &sc));
    }
    for (quint32 m : {M1, M2, M3}) {
        QCOMPARE(reg->parent_varnok_id(m), A);
        QCOMPARE(reg->socket(m), static_cast<QTcpSocket*>(&sc));
        QVERIFY(reg->write(m, QByteArray::number(m)));
    }
    QTRY_COMPARE_WITH_TIMEOUT(sc.writes.size(), 3, 5000);
    QStringList got;
    for (const QByteArray& w : sc.writes)
        got << QString::fromLatin1(w);
    got.sort();
    QCOMPARE(got, (QStringList{QString::number(M1), QString::number(M2), QString::number(M3)}));
    QCOMPARE(sa.writes.size(), 0);
    QCOMPARE(reg->child_list().size(), 3);
}

void TestVexaSockets::childSweptWhileGatewayAway()
{
    // A leaves; its child M1 is not heard for the TTL and is swept by its own time: when A
    // returns, M1 is unknown until it is heard again.
    reg->save_last_hearbeat(A, &sa, "heartbeat_id:A");
    reg->append(A, &sa);
    relay(M1, sa, 10);
    clock = t0.addSecs(100);
    relay(M2, sa, 10);
    reg->reject(&sa, true);
    QCOMPARE(reg->clear(t0.addSecs(50)), QList<quint32>{M1});
    QVERIFY(!reg->contains(M1));
    QCOMPARE(reg->parent_varnok_id(M1), 0u);
    reg->save_last_hearbeat(A, &sb, "heartbeat_id:A");
    reg->append(A, &sb);
    QVERIFY(!reg->contains(M1));
    QCOMPARE(reg->parent_varnok_id(M1), 0u);
    QVERIFY(!reg->write(M1, "x"));
    QCOMPARE(reg->socket(M2), static_cast<QTcpSocket*>(&sb));
    QCOMPARE(reg->child_list(), QList<quint32>{M2});
}

// Anyone may send a gateway's heartbeat on a new connection: a gateway that moved within the
// last 10 minutes gets one line for all the children it takes along, not one each. Every child
// moves every time, whichever socket closed first.
void TestVexaSockets::moveLines_data()
{
    QTest::addColumn<int>("children");
    QTest::addColumn<int>("moves");
    QTest::addColumn<int>("gapSecs");
    QTest::addColumn<bool>("closedFirst");
    QTest::addColumn<int>("childLines");
    QTest::addColumn<int>("countLines");
    QTest::newRow("25 children, one reconnect") << 25 << 1 << 5 << false << 25 << 0;
    QTest::newRow("20,000 children, 10 reconnects in a minute") << 20000 << 10 << 6 << false << 20000 << 9;
    QTest::newRow("20,000 children, 10 reconnects, old socket closed first") << 20000 << 10 << 6 << true << 20000 << 9;
    QTest::newRow("25 children, 3 reconnects 10 minutes apart") << 25 << 3 << 600 << false << 75 << 0;
    QTest::newRow("25 children, 3 reconnects 9:59 apart") << 25 << 3 << 599 << false << 25 << 2;
}

void TestVexaSockets::moveLines()
{
    QFETCH(int, children);
    QFETCH(int, moves);
    QFETCH(int, gapSecs);
    QFETCH(bool, closedFirst);
    QFETCH(int, childLines);
    QFETCH(int, countLines);
    std::vector<std::unique_ptr<FakeGatewaySocket>> conns;
    for (int i = 0; i <= moves; ++i)
        conns.push_back(std::make_unique<FakeGatewaySocket>());
    reg->append(A, conns[0].get());
    for (int i = 0; i < children; ++i)
        relay(M1 + quint32(i), *conns[0], 10);
    for (int m = 1; m <= moves; ++m) {
        clock = clock.addSecs(gapSecs);
        if (closedFirst)
            QVERIFY(reg->reject(conns[m - 1].get(), true));
        reg->append(A, conns[m].get());
    }
    const QStringList got = texts();
    QCOMPARE(got.filter(QRegularExpression("^Updated socket for child \\d+ as parent 6291457$")).size(), childLines);
    const QString countLine =
        QString("Updated socket for %1 children as parent 6291457 (moved again within 10 minutes)").arg(children);
    QCOMPARE(got.count(countLine), countLines);
    QCOMPARE(got.filter("Updated socket for").size(), childLines + countLines);
    for (int i = 0; i < children; ++i)
        QCOMPARE(reg->socket(M1 + quint32(i)), conns[moves].get());
}

// A registry holding many other ids: the reconnecting gateway takes exactly its own children.
void TestVexaSockets::reconnectAmongManyIds()
{
    reg->append(A, &sa);
    reg->append(B, &sb);
    QSet<quint32> own;
    for (quint32 i = 0; i < 5; ++i) {
        relay(M1 + i, sa, 10);
        own.insert(M1 + i);
    }
    constexpr quint32 kOthers = 10000;
    for (quint32 i = 0; i < kOthers / 2; ++i) {
        reg->append(0x800000 + i, &sc);        // gateways of their own
        relay(0x900000 + i, sb, 10);           // children of B
    }
    lines.clear();
    FakeGatewaySocket sd;
    QVERIFY(reg->append(A, &sd));
    QSet<quint32> moved;
    const QRegularExpression re("^Updated socket for child (\\d+) as parent 6291457$");
    for (const QString& t : texts()) {
        const auto m = re.match(t);
        if (m.hasMatch())
            moved.insert(m.captured(1).toUInt());
    }
    QCOMPARE(moved, own);
    for (quint32 id : own)
        QCOMPARE(reg->socket(id), &sd);
    for (quint32 i = 0; i < kOthers / 2; ++i) {
        QCOMPARE(reg->socket(0x800000 + i), &sc);
        QCOMPARE(reg->socket(0x900000 + i), &sb);
    }
    QCOMPARE(reg->child_list().size(), int(kOthers / 2 + own.size()));
}

void TestVexaSockets::sweepingAModemKeepsGatewayOpen()
{
    reg->append(A, &sa);
    relay(M1, sa, 10);
    reg->save_last_hearbeat(0, &sa, "heartbeat");
    QVERIFY(reg->write(M1, "x"));  // gives the modem an activity time
    QVERIFY(reg->date(M1).isValid());
    reg->remove_hertbeat(0);
    reg->save_last_hearbeat(A, &sa, "heartbeat_id:A");
    clock = t0.addSecs(1);
    reg->append(A, &sa);  // the gateway is newer than the modem
    QCOMPARE(reg->clear(t0.addMSecs(500)), QList<quint32>{M1});
    QCOMPARE(sa.closes, 0);
    QVERIFY(reg->contains(A));
    QVERIFY(!reg->contains(M1));
    QVERIFY(!reg->has_timer(M1));
}

void TestVexaSockets::parentSwitchOnSnr()
{
    reg->append(A, &sa);
    reg->append(B, &sb);
    lines.clear();
    message_point m = message(M1);
    QVERIFY(reg->append_child(M1, &sa, 10, &m));
    QCOMPARE(reg->parent_varnok_id(M1), A);
    QCOMPARE(reg->parent_data(M1, A).aver_snr, 2.0f);
    QVERIFY(lines.isEmpty());

    QVERIFY(reg->append_child(M1, &sb, 30, &m));
    QCOMPARE(texts(), QStringList{QString("Parent changed from %1(snr:2) to %2(snr:6)").arg(A).arg(B)});
    QCOMPARE(lines[0].socket, &sb);
    QCOMPARE(lines[0].id, M1);
    QCOMPARE(reg->parent_varnok_id(M1), B);
    QCOMPARE(reg->socket(M1), &sb);
    QCOMPARE(reg->parent_data(M1, A).packets_via_non_parents, 0);
    QCOMPARE(reg->parent_data(M1, B).packets_via_non_parents, 0);
}

void TestVexaSockets::parentKeptWithinThreeDb()
{
    reg->append(A, &sa);
    reg->append(B, &sb);
    relay(M1, sa, 10);   // A: 2.0
    relay(M1, sb, 25);   // B: 5.0, exactly 3.0 above
    QCOMPARE(reg->parent_data(M1, B).aver_snr, 5.0f);
    QCOMPARE(reg->parent_varnok_id(M1), A);
    QVERIFY(!texts().join("\n").contains("Parent changed"));
}

void TestVexaSockets::eleventhRelaySwitches()
{
    reg->append(A, &sa);
    reg->append(B, &sb);
    relay(M1, sa, 50);  // A: 10.0; B's average of 10 dB messages never gets 3 dB above it
    for (int i = 1; i <= 10; ++i) {
        relay(M1, sb, 10);
        QCOMPARE(reg->parent_varnok_id(M1), A);
        QCOMPARE(reg->parent_data(M1, A).packets_via_non_parents, i);
    }
    relay(M1, sb, 10);
    QCOMPARE(reg->parent_varnok_id(M1), B);
    QCOMPARE(reg->parent_data(M1, A).packets_via_non_parents, 0);
}

void TestVexaSockets::parentMessageTouchesNoCounter()
{
    reg->append(A, &sa);
    reg->append(B, &sb);
    relay(M1, sa, 10);
    relay(M1, sb, 10);
    relay(M1, sb, 10);
    QCOMPARE(reg->parent_data(M1, A).packets_via_non_parents, 2);
    relay(M1, sa, 10);
    QCOMPARE(reg->parent_data(M1, A).packets_via_non_parents, 2);
    QCOMPARE(reg->parent_data(M1, B).packets_via_non_parents, 0);
}

void TestVexaSockets::gatewayIsNeverAChild()
{
    reg->append(A, &sa);
    reg->append(B, &sb);
    message_point m = message(B);
    QVERIFY(!reg->append_child(B, &sa, 40, &m));
    QCOMPARE(reg->parent_varnok_id(B), B);
    QCOMPARE(reg->socket(B), &sb);
    QCOMPARE(reg->gw_list().size(), 2);
}

void TestVexaSockets::duplicates_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("change");  // 0 none, 1 CRC8_D, 2 FLAGS, 3 payload, 4 CRYPTO_MIC, 5 CRYPTO_ITER
    QTest::addColumn<int>("ageSecs");
    QTest::addColumn<bool>("duplicate");
    QTest::newRow("D equal") << int(Protocol_D) << 0 << 0 << true;
    QTest::newRow("D other CRC8") << int(Protocol_D) << 1 << 0 << false;
    QTest::newRow("C other CRC8 ignored") << int(Protocol_C) << 1 << 0 << true;
    QTest::newRow("E other CRC8 ignored") << int(Protocol_E) << 1 << 0 << true;
    QTest::newRow("D other flags") << int(Protocol_D) << 2 << 0 << false;
    QTest::newRow("D other payload") << int(Protocol_D) << 3 << 0 << false;
    QTest::newRow("E other MIC") << int(Protocol_E) << 4 << 0 << false;
    QTest::newRow("E other iteration") << int(Protocol_E) << 5 << 0 << false;
    QTest::newRow("D MIC not compared") << int(Protocol_D) << 4 << 0 << true;
    QTest::newRow("D 60 s old") << int(Protocol_D) << 0 << 60 << true;
    QTest::newRow("D 61 s old") << int(Protocol_D) << 0 << 61 << false;
}

void TestVexaSockets::duplicates()
{
    QFETCH(int, type);
    QFETCH(int, change);
    QFETCH(int, ageSecs);
    QFETCH(bool, duplicate);
    reg->append(A, &sa);
    reg->append(B, &sb);
    message_point first = message(M1, Protocol_Types(type));
    reg->append_child(M1, &sa, 10, &first);
    QVERIFY(!reg->check_for_dublicate(M1, &sa, &first));  // heard through one gateway only

    message_point second = first;
    switch (change) {
    case 1: second.CRC8_D ^= 1; break;
    case 2: second.FLAGS ^= 1; break;
    case 3: second.PAYLOAD[7] ^= 1; break;
    case 4: second.CRYPTO_MIC ^= 1; break;
    case 5: second.CRYPTO_ITER ^= 1; break;
    default: break;
    }
    clock = t0.addSecs(ageSecs);
    lines.clear();
    reg->append_child(M1, &sb, 10, &second);
    QCOMPARE(reg->check_for_dublicate(M1, &sb, &second), duplicate);
    if (duplicate) {
        QCOMPARE(lines.last().text, QString("Dublicate detected: p1=%1 mes=A0A1A2A3A4A5A6A7 p2=%2 mes=A0A1A2A3A4A5A6A7")
                                        .arg(B)
                                        .arg(A));
        QCOMPARE(lines.last().socket, &sb);
        QCOMPARE(lines.last().id, M1);
    }
}

void TestVexaSockets::writesMergeUntilTimer()
{
    reg->set_flush_delay(50);
    reg->append(A, &sa);
    for (int i = 0; i < 3; ++i)
        QVERIFY(reg->write(A, QByteArray(200, char('a' + i))));
    QVERIFY(sa.writes.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(sa.writes.size(), 1, 5000);
    QCOMPARE(sa.writes[0].size(), 600);
    QCOMPARE(sa.writes[0], QByteArray(200, 'a') + QByteArray(200, 'b') + QByteArray(200, 'c'));
    QCOMPARE(texts(), QStringList() << "Appending socket 6291457 ..." << "Flush to socket 600 byte(s)");
    QVERIFY(reg->waiting(A).isEmpty());
}

void TestVexaSockets::writeFlushesAboveThreshold_data()
{
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<QList<int>>("sent");    // socket writes during the writes
    QTest::addColumn<int>("left");           // bytes still waiting for the timer
    QTest::newRow("300, 300, 10") << QList<int>{300, 300, 10} << QList<int>{600} << 10;
    QTest::newRow("ten of 50") << QList<int>{50, 50, 50, 50, 50, 50, 50, 50, 50, 50} << QList<int>{450} << 50;
    QTest::newRow("400 stays") << QList<int>{400, 1} << QList<int>{} << 401;
    QTest::newRow("401 goes") << QList<int>{401, 1} << QList<int>{401} << 1;
}

void TestVexaSockets::writeFlushesAboveThreshold()
{
    // A long delay: only the size rule sends during the writes.
    QFETCH(QList<int>, sizes);
    QFETCH(QList<int>, sent);
    QFETCH(int, left);
    reg->set_flush_delay(60000);
    reg->append(A, &sa);
    for (int n : sizes)
        QVERIFY(reg->write(A, QByteArray(n, 'x')));
    QList<int> got;
    for (const auto& w : sa.writes)
        got << w.size();
    QCOMPARE(got, sent);
    QCOMPARE(reg->waiting(A).size(), left);
}

void TestVexaSockets::writeWithoutSocket()
{
    QVERIFY(!reg->write(A, "abc"));
    QVERIFY(!reg->has_timer(A));
    QVERIFY(reg->waiting(A).isEmpty());
}

void TestVexaSockets::writeToClosedSocket()
{
    // Two modems of an old-style gateway share its socket; the connection closes under one of
    // them only. Neither is written into the closed socket.
    reg->save_last_hearbeat(0, &sa, "heartbeat");
    reg->append(M1, &sa);
    reg->append(M2, &sa);
    QVERIFY(reg->write(M1, "x"));
    reg->reject(&sa, true);
    QCOMPARE(sa.closes, 1);
    QVERIFY(reg->contains(M1));
    QVERIFY(!reg->write(M1, "y"));
    QVERIFY(!reg->write(M2, "y"));
}

void TestVexaSockets::childSweptWhileGatewayStays()
{
    reg->save_last_hearbeat(A, &sa, "heartbeat_id:A");
    reg->append(A, &sa);
    relay(M1, sa, 10);
    relay(M2, sa, 10);
    clock = t0.addSecs(100);
    reg->append(A, &sa);
    relay(M2, sa, 10);
    QCOMPARE(reg->clear(t0.addSecs(50)), QList<quint32>{M1});
    QCOMPARE(reg->child_list(), QList<quint32>{M2});
    QCOMPARE(reg->gw_list(), QList<quint32>{A});
    QCOMPARE(sa.closes, 0);
    // Then the gateway falls silent too: it goes, and its child with it.
    QCOMPARE(reg->clear(t0.addSecs(150)).size(), 2);
    QCOMPARE(reg->entry_count(), 0);
    QCOMPARE(sa.closes, 1);
}

void TestVexaSockets::writeForChildUsesParentSocket()
{
    // A modem's frames go out on the socket of its current parent, with a buffer and timer of
    // the modem's own beside the gateway's.
    reg->set_flush_delay(10);
    reg->append(A, &sa);
    reg->append(B, &sb);
    relay(M1, sa, 10);
    relay(M1, sb, 40);  // switches to B
    reg->append(B, &sc);  // B reconnects and takes M1 along
    QVERIFY(reg->write(M1, "frame"));
    QVERIFY(reg->write(B, "gw"));
    QVERIFY(reg->has_timer(M1));
    QVERIFY(reg->has_timer(B));
    QTRY_COMPARE_WITH_TIMEOUT(sc.writes.size(), 2, 5000);
    QVERIFY(sc.writes.contains(QByteArray("frame")));
    QVERIFY(sc.writes.contains(QByteArray("gw")));
    QVERIFY(sa.writes.isEmpty());
    QVERIFY(sb.writes.isEmpty());
}

void TestVexaSockets::destroyedWithTimers()
{
    reg->append(A, &sa);
    QVERIFY(reg->write(A, "x"));
    QVERIFY(reg->has_timer(A));
    delete reg;  // the timer goes with it: ASan reports a leak otherwise
    reg = nullptr;
    QVERIFY(sa.writes.isEmpty());
}

QTEST_GUILESS_MAIN(TestVexaSockets)
#include "tst_vexa_sockets.moc"
