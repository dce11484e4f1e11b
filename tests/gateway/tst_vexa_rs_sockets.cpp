// The RS device registry: modems bound to RS links, their stamps and the TTL sweep, coalesced
// downlink writes, and the periodic reconnection of links that are down.
#include "FakeGatewaySocket.h"
#include "vexa_rs_sockets.h"

#include <QtTest>

namespace {
constexpr quint32 M1 = 0x700001;
constexpr quint32 M2 = 0x700002;
} // namespace

class TestVexaRsSockets : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void appendBindsAndStamps();
    void moveToAnotherLink();
    void burstIsOneWrite();
    void threshold_data();
    void threshold();
    void closedLinkDropsAtFlush();
    void clearKeepsLinks();
    void reconnectTick();
    void destroyedWithTimers();

private:
    QDateTime t0 = QDateTime(QDate(2026, 5, 1), QTime(12, 0), Qt::UTC);
    QDateTime clock;
    qint64 mono = 0;
    QStringList lines;
    vexa_rs_sockets* reg = nullptr;
    FakeGatewaySocket s1, s2;
};

void TestVexaRsSockets::init()
{
    clock = t0;
    mono = 1000;
    lines.clear();
    reg = new vexa_rs_sockets;
    reg->set_clock([this] { return clock; });
    reg->set_monotonic([this] { return mono; });
    reg->set_logger([this](const QString& t, QTcpSocket*, unsigned int) { lines << t; });
    reg->set_reconnect_interval(3600000);  // the test runs the ticks itself
    for (auto* s : {&s1, &s2}) {
        s->closes = 0;
        s->writes.clear();
        s->connects.clear();
        if (!s->isOpen())
            s->QIODevice::open(QIODevice::ReadWrite);
        s->setState(QAbstractSocket::ConnectedState);
    }
}

void TestVexaRsSockets::cleanup()
{
    delete reg;
    reg = nullptr;
}

void TestVexaRsSockets::appendBindsAndStamps()
{
    QVERIFY(!reg->append(0x5FFFFF, &s1));
    QVERIFY(!reg->contains(0x5FFFFFu));
    QVERIFY(!reg->contains(&s1));
    QVERIFY(reg->append(0x600000, &s1));
    QVERIFY(reg->append(M1, &s1));
    clock = t0.addSecs(7);
    QVERIFY(!reg->append(M1, &s1));
    QCOMPARE(reg->date(M1), t0.addSecs(7));
    QVERIFY(reg->contains(&s1));
    QVERIFY(lines.isEmpty());
}

void TestVexaRsSockets::moveToAnotherLink()
{
    reg->set_flush_delay(10);
    reg->append(M1, &s1);
    QVERIFY(reg->write(M1, "old"));
    QVERIFY(reg->append(M1, &s2));
    QVERIFY(reg->waiting(M1).isEmpty());
    QVERIFY(!reg->has_timer(M1));
    QVERIFY(reg->write(M1, "new"));
    QTRY_COMPARE_WITH_TIMEOUT(s2.writes.size(), 1, 5000);
    QCOMPARE(s2.writes[0], QByteArray("new"));
    QVERIFY(s1.writes.isEmpty());
}

void TestVexaRsSockets::burstIsOneWrite()
{
    reg->set_flush_delay(50);
    reg->append(M1, &s1);
    for (int i = 0; i < 3; ++i)
        QVERIFY(reg->write(M1, QByteArray(20, char('a' + i))));
    QVERIFY(s1.writes.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(s1.writes.size(), 1, 5000);
    QCOMPARE(s1.writes[0].size(), 60);
    QCOMPARE(lines, QStringList{"Flush to socket 60 byte(s)"});
}

void TestVexaRsSockets::threshold_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("atOnce");  // bytes written by the second write
    QTest::newRow("400 waits") << 400 << 0;
    QTest::newRow("401 goes") << 401 << 401;
}

void TestVexaRsSockets::threshold()
{
    QFETCH(int, first);
    QFETCH(int, atOnce);
    reg->set_flush_delay(3600000);
    reg->append(M1, &s1);
    reg->write(M1, QByteArray(first, 'x'));
    reg->write(M1, QByteArray(20, 'y'));
    if (atOnce) {
        QCOMPARE(s1.writes.size(), 1);
        QCOMPARE(s1.writes[0].size(), atOnce);
        QCOMPARE(reg->waiting(M1), QByteArray(20, 'y'));
    } else {
        QVERIFY(s1.writes.isEmpty());
        QCOMPARE(reg->waiting(M1).size(), first + 20);
    }
}

void TestVexaRsSockets::closedLinkDropsAtFlush()
{
    reg->set_flush_delay(10);
    reg->append(M1, &s1);
    QVERIFY(reg->reject(&s1));
    QCOMPARE(s1.closes, 1);
    QVERIFY(reg->contains(M1));
    QVERIFY(reg->write(M1, QByteArray(20, 'z')));
    QTRY_COMPARE_WITH_TIMEOUT(lines, QStringList{"Flush to socket 20 byte(s)"}, 5000);
    QVERIFY(s1.writes.isEmpty());
    QVERIFY(reg->waiting(M1).isEmpty());
}

void TestVexaRsSockets::clearKeepsLinks()
{
    reg->append_list(&s1, "127.0.0.1", 4001);
    reg->append(M1, &s1);
    reg->append(M2, &s1);
    reg->write(M2, "x");
    clock = t0.addSecs(1);
    reg->append(M1, &s1);
    QCOMPARE(reg->clear(t0.addMSecs(1)), QList<unsigned int>{M2});
    QList<unsigned int> rest = reg->clear(t0.addSecs(2));
    QCOMPARE(rest, QList<unsigned int>{M1});
    QVERIFY(!reg->contains(M1) && !reg->contains(M2));
    QVERIFY(!reg->has_timer(M2));
    QCOMPARE(reg->links(), 1);
    QVERIFY(reg->reconnecting());
    QCOMPARE(s1.closes, 0);
}

void TestVexaRsSockets::reconnectTick()
{
    reg->append_list(&s1, "10.0.0.1", 4001);
    reg->append_list(&s2, "rs.example", 4002);
    s2.setState(QAbstractSocket::UnconnectedState);
    reg->reconnect();
    QCOMPARE(lines, QStringList{"Try reconnect rs.example:4002"});
    QCOMPARE(s2.connects, QStringList{"rs.example:4002"});
    QVERIFY(s1.connects.isEmpty());

    // Still connecting at the next ticks: left alone for 30 s, then started again.
    lines.clear();
    mono += 5000;
    reg->reconnect();
    QVERIFY(lines.isEmpty());
    mono += 25000;
    reg->reconnect();
    QCOMPARE(lines, QStringList{"Try reconnect rs.example:4002"});
    QCOMPARE(s2.connects.size(), 2);

    // Both down: one line each per tick.
    lines.clear();
    s1.setState(QAbstractSocket::UnconnectedState);
    s2.setState(QAbstractSocket::UnconnectedState);
    reg->reconnect();
    QCOMPARE(lines, (QStringList{"Try reconnect 10.0.0.1:4001", "Try reconnect rs.example:4002"}));
}

void TestVexaRsSockets::destroyedWithTimers()
{
    reg->append_list(&s1, "127.0.0.1", 4001);
    reg->append(M1, &s1);
    QVERIFY(reg->write(M1, "x"));
    delete reg;  // both timers go with it: ASan reports a leak otherwise
    reg = nullptr;
    QVERIFY(s1.writes.isEmpty());
}

QTEST_GUILESS_MAIN(TestVexaRsSockets)
#include "tst_vexa_rs_sockets.moc"
