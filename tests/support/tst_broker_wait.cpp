// The bounded waits on broker state: a wait that is never met ends at its own bound with a
// message, however long each look would block.
#include "BrokerWait.h"
#include "TestBroker.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

class TestBrokerWait : public QObject {
    Q_OBJECT
private slots:
    void neverMetEndsAtItsBound_data();
    void neverMetEndsAtItsBound();
    void metOnALaterLook();
    void queueOfABrokerThatIsNotThere();
};

void TestBrokerWait::neverMetEndsAtItsBound_data()
{
    QTest::addColumn<bool>("blocks");
    QTest::addColumn<int>("totalMs");
    QTest::newRow("quick looks") << false << 1200;
    QTest::newRow("each look blocks its whole bound") << true << 1200;
}

void TestBrokerWait::neverMetEndsAtItsBound()
{
    QFETCH(bool, blocks);
    QFETCH(int, totalMs);
    QElapsedTimer t;
    t.start();
    int looks = 0;
    int largestCall = 0;
    const QString why = pollBroker(QStringLiteral("something that never comes"), [&](int callMs) {
        ++looks;
        largestCall = std::max(largestCall, callMs);
        // A look may not be given more than is left of the wait.
        if (callMs > totalMs - t.elapsed() + 50)
            qWarning("look given %d ms with %lld ms left", callMs, totalMs - t.elapsed());
        if (blocks)
            QThread::msleep(ulong(callMs));
        return false;
    }, totalMs);
    const qint64 took = t.elapsed();
    QVERIFY2(why.startsWith(QStringLiteral("something that never comes: not reached within")), qPrintable(why));
    QVERIFY(looks >= 1);
    QVERIFY(largestCall <= std::min(totalMs, kBrokerCallMs));
    QVERIFY2(took >= totalMs && took < totalMs + 3000, qPrintable(QString::number(took)));
}

void TestBrokerWait::metOnALaterLook()
{
    int looks = 0;
    QCOMPARE(pollBroker(QStringLiteral("third look"), [&](int) { return ++looks == 3; }, 30000), QString());
    QCOMPARE(looks, 3);
}

void TestBrokerWait::queueOfABrokerThatIsNotThere()
{
    TestBroker notStarted;
    QElapsedTimer t;
    t.start();
    const QString why = waitForQueueCount(notStarted, QStringLiteral("q"), 1, 1000);
    QVERIFY2(why.contains(QStringLiteral("queue q holding 1 messages")) && why.endsWith(QStringLiteral("last count -1")),
             qPrintable(why));
    QVERIFY(t.elapsed() < 4000);
}

QTEST_GUILESS_MAIN(TestBrokerWait)
#include "tst_broker_wait.moc"
