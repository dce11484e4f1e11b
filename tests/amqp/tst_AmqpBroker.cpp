// The AMQP client against a real RabbitMQ of the test's own (default limits): login over TCP and
// TLS, a certificate that does not verify, refusals, channels and prefetch as the broker sees
// them, 10,000 confirmed publishes, channel errors, a forced close, and a blocked broker that
// must not stall the event loop.
#include <QtTest>

#include "AmqpClient.h"
#include "AmqpExchange.h"
#include "AmqpQueue.h"
#include "BrokerWait.h"
#include "TestBroker.h"

namespace {
constexpr int longWait = 60000;

QSslConfiguration trusting(const QString& caFile)
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(caFile));
    return config;
}
} // namespace

class tst_AmqpBroker : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void login_data();
    void login();
    void unverifiedCertificate_data();
    void unverifiedCertificate();
    void wrongPasswordIsAuthFailure();
    void channelsAndPrefetch();
    void tenThousandConfirmedPublishes();
    void missingExchangeAndFlagMismatch();
    void forcedCloseByBroker();
    void blockedBrokerLeavesEventLoopFree();

private:
    bool connectClient(AmqpClient& client, const QString& url);
    TestBroker broker;
};

bool tst_AmqpBroker::connectClient(AmqpClient& client, const QString& url)
{
    client.connectToHost(url);
    return QTest::qWaitFor([&] { return client.isConnected(); }, longWait);
}

void tst_AmqpBroker::initTestCase()
{
    Amqp::registerMetaTypes();
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    QVERIFY(broker.declareTestQueue(QStringLiteral("t.ex"), QStringLiteral("direct"), QStringLiteral("t.q"),
                                    QStringLiteral("k")));
}

void tst_AmqpBroker::cleanupTestCase()
{
    broker.stop();
}

void tst_AmqpBroker::login_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<bool>("trustCa");
    QTest::newRow("tcp") << false << false;
    QTest::newRow("tls") << true << true;
}

void tst_AmqpBroker::login()
{
    QFETCH(bool, tls);
    QFETCH(bool, trustCa);
    AmqpClient client;
    if (trustCa)
        client.setSslConfiguration(trusting(broker.caCertificate()));
    QSignalSpy sslSpy(&client, &AmqpClient::sslErrors);
    QVERIFY(connectClient(client, tls ? broker.tlsUrl() : broker.url()));
    QCOMPARE(int(client.port()), int(tls ? broker.amqpsPort() : broker.amqpPort()));
    // With the broker's CA the certificate verifies: nothing to report.
    QCOMPARE(sslSpy.count(), 0);

    AmqpExchange* exchange = client.createExchange(QStringLiteral("t.ex"));
    QTRY_VERIFY_WITH_TIMEOUT(exchange->isOpen(), longWait);
    exchange->enableConfirms();
    QSignalSpy delivered(exchange, &AmqpExchange::allMessagesDelivered);
    const QByteArray body = tls ? QByteArray("over tls") : QByteArray("over tcp");
    QVERIFY(exchange->publish(body, QStringLiteral("k"), QStringLiteral("text/plain")));
    QTRY_COMPARE_WITH_TIMEOUT(delivered.count(), 1, longWait);
    QByteArray got;
    QVERIFY(broker.get(QStringLiteral("t.q"), &got));
    QCOMPARE(got, body);

    QSignalSpy disconnected(&client, &AmqpClient::disconnected);
    client.disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(disconnected.count() >= 1, longWait);
    QCOMPARE(client.error(), Amqp::NoError);
}

void tst_AmqpBroker::unverifiedCertificate_data()
{
    QTest::addColumn<bool>("ignore");
    QTest::newRow("reported only") << false;
    QTest::newRow("ignored by a direct receiver") << true;
}

void tst_AmqpBroker::unverifiedCertificate()
{
    QFETCH(bool, ignore);
    AmqpClient client;
    QSignalSpy sslSpy(&client, &AmqpClient::sslErrors);
    QSignalSpy socketErrors(&client, QOverload<QAbstractSocket::SocketError>::of(&AmqpClient::socketError));
    if (ignore) {
        connect(&client, &AmqpClient::sslErrors, &client, &AmqpClient::ignoreSslErrors, Qt::DirectConnection);
        QVERIFY(connectClient(client, broker.tlsUrl()));
    } else {
        client.connectToHost(broker.tlsUrl());
        QTRY_VERIFY_WITH_TIMEOUT(!socketErrors.isEmpty(), longWait);
        QCOMPARE(socketErrors.first().first().value<QAbstractSocket::SocketError>(),
                 QAbstractSocket::SslHandshakeFailedError);
        QVERIFY(!client.isConnected());
    }
    // The test broker's certificate is its own, unknown to the system.
    QVERIFY(sslSpy.count() >= 1);
    client.abort();
}

void tst_AmqpBroker::wrongPasswordIsAuthFailure()
{
    AmqpClient client;
    QSignalSpy errorSpy(&client, QOverload<Amqp::Error>::of(&AmqpClient::error));
    QSignalSpy disconnected(&client, &AmqpClient::disconnected);
    client.connectToHost(broker.url(QStringLiteral("guest"), QStringLiteral("wrong")));
    QTRY_VERIFY_WITH_TIMEOUT(errorSpy.count() >= 1, longWait);
    QCOMPARE(errorSpy.at(0).at(0).value<Amqp::Error>(), Amqp::AccessRefusedError);
    QTRY_VERIFY_WITH_TIMEOUT(disconnected.count() >= 1, longWait);
    QVERIFY(!client.isConnected());
}

void tst_AmqpBroker::channelsAndPrefetch()
{
    AmqpClient client;
    QVERIFY(connectClient(client, broker.url()));
    AmqpExchange* exchange = client.createExchange(QStringLiteral("t.ex"));
    AmqpQueue* queue = client.createQueue(QStringLiteral("t.prefetch"));
    queue->qos(100, 0); // held back until the channel is open
    queue->declare(AmqpQueue::AutoDelete);
    QSignalSpy qosSpy(queue, &AmqpChannel::qosDefined);
    QTRY_VERIFY_WITH_TIMEOUT(exchange->isOpen() && queue->isDeclared(), longWait);
    QTRY_COMPARE_WITH_TIMEOUT(qosSpy.count(), 1, longWait);
    QCOMPARE(queue->prefetchCount(), quint16(100));

    bool ok = false;
    const QList<QStringList> rows = broker.list(QStringLiteral("channels"), {QStringLiteral("number"), QStringLiteral("prefetch_count")}, &ok,
                                                 kBrokerCallMs);
    QVERIFY(ok);
    QMap<int, int> prefetchByChannel;
    for (const QStringList& row : rows) {
        if (row.size() == 2)
            prefetchByChannel.insert(row.at(0).toInt(), row.at(1).toInt());
    }
    QCOMPARE(exchange->channelNumber(), 1);
    QCOMPARE(queue->channelNumber(), 2);
    QVERIFY2(prefetchByChannel.contains(1), qPrintable(QVariant(rows.size()).toString()));
    QCOMPARE(prefetchByChannel.value(2), 100);
    QCOMPARE(prefetchByChannel.value(1), 0);
}

void tst_AmqpBroker::tenThousandConfirmedPublishes()
{
    AmqpClient client;
    QVERIFY(connectClient(client, broker.url()));
    AmqpExchange* exchange = client.createExchange(QStringLiteral("t.ex"));
    AmqpQueue* queue = client.createQueue(QStringLiteral("t.q"));
    queue->purge();
    QSignalSpy purged(queue, &AmqpQueue::purged);
    QTRY_VERIFY_WITH_TIMEOUT(exchange->isOpen() && queue->isOpen(), longWait);
    queue->purge();
    QTRY_VERIFY_WITH_TIMEOUT(purged.count() >= 1, longWait);

    QSignalSpy delivered(exchange, &AmqpExchange::allMessagesDelivered);
    QSignalSpy nacked(exchange, &AmqpExchange::nacked);
    const QByteArray body(300, 'p');
    // All in one go, without returning to the event loop: nothing may wait on the socket.
    for (int i = 0; i < 10000; ++i) {
        exchange->enableConfirms(true);
        QVERIFY(exchange->publish(body, QStringLiteral("k"), QStringLiteral("text/plain")));
    }
    QCOMPARE(exchange->unconfirmedDeliveryTags().size(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(delivered.count(), 1, 120000);
    QTest::qWait(1000);
    QCOMPARE(delivered.count(), 1);
    QCOMPARE(nacked.count(), 0);
    QVERIFY(exchange->unconfirmedDeliveryTags().isEmpty());
    BROKER_WAIT(waitForQueueCount(broker, QStringLiteral("t.q"), 10000));
    queue->purge();
    QTRY_VERIFY_WITH_TIMEOUT(purged.count() >= 2, longWait);
}

void tst_AmqpBroker::missingExchangeAndFlagMismatch()
{
    AmqpClient client;
    QVERIFY(connectClient(client, broker.url()));

    AmqpExchange* missing = client.createExchange(QStringLiteral("no.such.exchange"));
    QSignalSpy exchangeError(missing, QOverload<Amqp::Error>::of(&AmqpChannel::error));
    QTRY_VERIFY_WITH_TIMEOUT(missing->isOpen(), longWait);
    missing->enableConfirms();
    missing->publish(QStringLiteral("lost"), QStringLiteral("k"));
    QTRY_COMPARE_WITH_TIMEOUT(exchangeError.count(), 1, longWait);
    QCOMPARE(missing->error(), Amqp::NotFoundError);
    QVERIFY(!missing->isOpen());
    QVERIFY(missing->unconfirmedDeliveryTags().isEmpty());

    // t.q is durable; asking for it non-durable is a precondition failure.
    AmqpQueue* queue = client.createQueue(QStringLiteral("t.q"));
    QSignalSpy queueError(queue, QOverload<Amqp::Error>::of(&AmqpChannel::error));
    queue->declare(AmqpQueue::NoOptions);
    QTRY_COMPARE_WITH_TIMEOUT(queueError.count(), 1, longWait);
    QCOMPARE(queue->error(), Amqp::PreconditionFailedError);
    QVERIFY(client.isConnected()); // channel errors leave the connection up
}

void tst_AmqpBroker::forcedCloseByBroker()
{
    AmqpClient client;
    QVERIFY(connectClient(client, broker.url()));
    QSignalSpy errorSpy(&client, QOverload<Amqp::Error>::of(&AmqpClient::error));
    QSignalSpy disconnected(&client, &AmqpClient::disconnected);
    QVERIFY(broker.closeAllConnections());
    QTRY_VERIFY_WITH_TIMEOUT(errorSpy.count() >= 1, longWait);
    QCOMPARE(errorSpy.at(0).at(0).value<Amqp::Error>(), Amqp::ConnectionForcedError);
    QTRY_VERIFY_WITH_TIMEOUT(disconnected.count() >= 1, longWait);
    QVERIFY(!client.isConnected());
}

void tst_AmqpBroker::blockedBrokerLeavesEventLoopFree()
{
    AmqpClient client;
    QVERIFY(connectClient(client, broker.url()));
    AmqpExchange* exchange = client.createExchange(QStringLiteral("t.sink"));
    exchange->declare(AmqpExchange::FanOut, AmqpExchange::AutoDelete); // nothing bound: bodies are dropped
    QSignalSpy declared(exchange, &AmqpExchange::declared);
    QTRY_COMPARE_WITH_TIMEOUT(declared.count(), 1, longWait);
    QSignalSpy blocked(&client, &AmqpClient::blocked);
    QSignalSpy unblocked(&client, &AmqpClient::unblocked);
    QSignalSpy full(&client, &AmqpClient::writeBufferFull);

    QVERIFY(broker.blockPublishers(true));
    exchange->publish(QByteArray(1000, 'b'), QStringLiteral(""), QStringLiteral("application/octet-stream"));
    QTRY_COMPARE_WITH_TIMEOUT(blocked.count(), 1, longWait);
    QVERIFY(client.isBlocked());

    // 50 MB towards a broker that reads nothing: far more than the socket buffers hold.
    const QByteArray body(100 * 1024, 'x');
    for (int i = 0; i < 500; ++i)
        exchange->publish(body, QStringLiteral(""), QStringLiteral("application/octet-stream"));
    QVERIFY(full.count() >= 1);
    QVERIFY(client.bytesToWrite() > 0);

    int ticks = 0;
    QTimer timer;
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start();
    QTest::qWait(10000);
    timer.stop();
    QVERIFY2(ticks >= 100, qPrintable(QStringLiteral("%1 ticks").arg(ticks)));
    QVERIFY(client.isConnected());

    QVERIFY(broker.blockPublishers(false));
    QTRY_COMPARE_WITH_TIMEOUT(unblocked.count(), 1, longWait);
    QTRY_VERIFY_WITH_TIMEOUT(!client.isWriteBufferFull(), 120000);
}

QTEST_GUILESS_MAIN(tst_AmqpBroker)
#include "tst_AmqpBroker.moc"
