// Confirmed publishing through the project's AMQP client to a private RabbitMQ: 10,000 messages of
// about 300 bytes, then, as a baseline without confirms, amqp-publish -l with the same lines on the
// same broker. Prints figures; asserts nothing about time.
//
// Usage: bench_amqp_publish [count]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <functional>

#include "AmqpClient.h"
#include "AmqpExchange.h"
#include "AmqpQueue.h"
#include "TestBroker.h"

namespace {

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

void report(const char* label, int count, qint64 ms)
{
    std::printf("%-48s %6d messages in %7lld ms  %9.0f msg/s\n", label, count, static_cast<long long>(ms),
                ms > 0 ? count * 1000.0 / double(ms) : 0.0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;
    const QString exchangeName = QStringLiteral("bench.ex");
    const QString queueName = QStringLiteral("bench.q");
    const QString key = QStringLiteral("k");

    TestBroker broker;
    std::printf("starting a private RabbitMQ...\n");
    if (!broker.start()) {
        std::fprintf(stderr, "broker did not start: %s\n", qPrintable(broker.errorString()));
        return 1;
    }
    if (!broker.declareTestQueue(exchangeName, QStringLiteral("direct"), queueName, key)) {
        std::fprintf(stderr, "could not declare %s\n", qPrintable(queueName));
        return 1;
    }

    // Lines of about 300 bytes, as an uplink record would be.
    QList<QByteArray> lines;
    for (int i = 0; i < count; ++i) {
        QByteArray line = QByteArray("{\"msg_type\":\"ul\",\"seq\":") + QByteArray::number(i) + ",\"payload\":\"";
        line += QByteArray(300 - line.size() - 2, 'a' + char(i % 26));
        line += "\"}";
        lines << line;
    }

    AmqpClient client;
    client.connectToHost(broker.url());
    if (!waitFor([&] { return client.isConnected(); }, 60000)) {
        std::fprintf(stderr, "client did not connect: %s\n", qPrintable(client.errorString()));
        return 1;
    }
    AmqpExchange* exchange = client.createExchange(exchangeName);
    AmqpQueue* queue = client.createQueue(queueName);
    if (!waitFor([&] { return exchange->isOpen() && queue->isOpen(); }, 60000)) {
        std::fprintf(stderr, "channels did not open\n");
        return 1;
    }
    int purged = 0;
    QObject::connect(queue, &AmqpQueue::purged, [&] { ++purged; });
    queue->purge();
    waitFor([&] { return purged == 1; }, 60000);

    int delivered = 0;
    QObject::connect(exchange, &AmqpExchange::allMessagesDelivered, [&] { ++delivered; });
    QElapsedTimer timer;
    timer.start();
    for (const QByteArray& line : qAsConst(lines)) {
        exchange->enableConfirms(true);
        exchange->publish(line, key, QStringLiteral("text/plain"));
    }
    const qint64 queuedMs = timer.elapsed();
    if (!waitFor([&] { return exchange->unconfirmedDeliveryTags().isEmpty(); }, 300000)) {
        std::fprintf(stderr, "confirms missing: %d\n", exchange->unconfirmedDeliveryTags().size());
        return 1;
    }
    const qint64 confirmedMs = timer.elapsed();
    std::printf("\n");
    report("amqp client, handed to the socket", count, queuedMs);
    report("amqp client, publish with confirms", count, confirmedMs);
    std::printf("%-48s %d\n", "all-delivered signals", delivered);
    std::printf("%-48s %d\n", "messages in the queue", broker.queueMessageCount(queueName));

    queue->purge();
    waitFor([&] { return purged == 2; }, 60000);
    client.disconnectFromHost();
    waitFor([&] { return client.socketState() == QAbstractSocket::UnconnectedState; }, 10000);

    QProcess publisher;
    QElapsedTimer baseline;
    baseline.start();
    publisher.start(QStringLiteral("amqp-publish"),
                    {QStringLiteral("-u"), broker.url(), QStringLiteral("-e"), exchangeName, QStringLiteral("-r"), key,
                     QStringLiteral("-l")});
    if (!publisher.waitForStarted(10000)) {
        std::fprintf(stderr, "amqp-publish did not start\n");
        return 1;
    }
    publisher.write(lines.join('\n') + '\n');
    publisher.closeWriteChannel();
    publisher.waitForFinished(300000);
    const qint64 baselineMs = baseline.elapsed();
    report("baseline: amqp-publish -l, no confirms", count, baselineMs);
    std::printf("%-48s %d\n", "messages in the queue", broker.queueMessageCount(queueName));
    broker.stop();
    return 0;
}
