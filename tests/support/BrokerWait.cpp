#include "BrokerWait.h"

#include "TestBroker.h"

#include <QElapsedTimer>
#include <QtTest>

#include <algorithm>

QString pollBroker(const QString& what, const std::function<bool(int callMs)>& probe, int totalMs)
{
    QElapsedTimer timer;
    timer.start();
    int looks = 0;
    for (;;) {
        const qint64 left = totalMs - timer.elapsed();
        if (left <= 0)
            break;
        ++looks;
        if (probe(int(std::min<qint64>(kBrokerCallMs, left))))
            return QString();
        // Each look boots the broker's command-line tool (about a second of CPU): back off, so
        // that tests polling side by side do not starve the brokers they are waiting for.
        const int gap = std::min(250 << std::min(looks - 1, 3), 2000);
        if (totalMs - timer.elapsed() > gap)
            QTest::qWait(gap);
    }
    return QStringLiteral("%1: not reached within %2 ms (%3 looks, each bounded by %4 ms)")
        .arg(what)
        .arg(timer.elapsed())
        .arg(looks)
        .arg(kBrokerCallMs);
}

QString waitForQueueCount(const TestBroker& broker, const QString& queue, int expected, int totalMs)
{
    int last = -1;
    const QString why = pollBroker(
        QStringLiteral("queue %1 holding %2 messages").arg(queue).arg(expected),
        [&](int callMs) {
            last = broker.queueMessageCount(queue, callMs);
            return last == expected;
        },
        totalMs);
    return why.isEmpty() ? why : why + QStringLiteral("; last count %1").arg(last);
}
