// Broker URLs built from stored credentials: whatever the user name and password hold, the
// client reads back exactly them, with the host, port and scheme that were meant; and a real
// broker takes such a login.
#include "AmqpClient.h"
#include "TOLVA.h"
#include "TestBroker.h"
#include "rabbit_man.h"

#include <QtTest>

class TestBrokerUrl : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { Amqp::registerMetaTypes(); }
    void credentialsTakenLiterally_data();
    void credentialsTakenLiterally();
    void brokerTakesTheLogin();
};

void TestBrokerUrl::credentialsTakenLiterally_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("pass");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<int>("port");

    // Closed loopback ports: nothing is reached, no name is looked up.
    const QString host = QStringLiteral("127.0.0.1:1");
    QTest::newRow("plain") << "station" << "secret" << host << false << 1;
    QTest::newRow("user ending in tsl") << "stationtsl" << "secret" << QStringLiteral("127.0.0.1") << true << 5671;
    QTest::newRow("at sign") << "station" << "p@ss" << host << false << 1;
    QTest::newRow("password naming another host") << "station" << "x@evil.example:5672/" << host << false << 1;
    QTest::newRow("slash, hash, question mark") << "station" << "a/b#c?d" << host << false << 1;
    QTest::newRow("percent sequence stays") << "station" << "%41" << host << false << 1;
    QTest::newRow("colon in the user") << "a:b" << "c:d" << host << false << 1;
    QTest::newRow("user with at sign and slash") << "u@h/x" << "p" << host << false << 1;
    QTest::newRow("brackets and spaces") << "station" << " [::1] " << host << false << 1;
    QTest::newRow("not ASCII") << QString::fromUtf8("st\xC3\xA4tion") << QString::fromUtf8("\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C") << host << false << 1;
    QTest::newRow("empty") << "" << "" << host << false << 1;
}

void TestBrokerUrl::credentialsTakenLiterally()
{
    QFETCH(QString, user);
    QFETCH(QString, pass);
    QFETCH(QString, host);
    QFETCH(bool, tls);
    QFETCH(int, port);

    const QString url = TOLVA::build_url(host, user, pass);
    QString why;
    QVERIFY2(rabbit_man::check_broker_url(url, &why), qPrintable(why));

    AmqpClient client;
    client.connectToHost(url);
    QCOMPARE(client.username(), user);
    QCOMPARE(client.password(), pass);
    QCOMPARE(client.host(), QStringLiteral("127.0.0.1"));
    QCOMPARE(int(client.port()), port);
    QCOMPARE(client.virtualHost(), QStringLiteral("/"));
    QCOMPARE(url.startsWith(QStringLiteral("amqps://")), tls);
    client.abort();
}

void TestBrokerUrl::brokerTakesTheLogin()
{
    TestBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    const QString user = QStringLiteral("st@tion/1");
    const QString pass = QStringLiteral("%41x@evil.example:5672/#?");
    int code = -1;
    broker.ctl({QStringLiteral("add_user"), user, pass}, &code, 60000);
    QCOMPARE(code, 0);
    broker.ctl({QStringLiteral("set_permissions"), QStringLiteral("-p"), QStringLiteral("/"), user, QStringLiteral(".*"),
                QStringLiteral(".*"), QStringLiteral(".*")},
               &code, 60000);
    QCOMPARE(code, 0);

    AmqpClient client;
    client.connectToHost(TOLVA::build_url(QStringLiteral("127.0.0.1:%1").arg(broker.amqpPort()), user, pass));
    QVERIFY2(QTest::qWaitFor([&] { return client.isConnected(); }, 60000), "no connection with the stored login");
    bool ok = false;
    const QList<QStringList> rows = broker.list(QStringLiteral("connections"), {QStringLiteral("user")}, &ok);
    QVERIFY(ok);
    QVERIFY(std::any_of(rows.begin(), rows.end(), [&](const QStringList& r) { return r.value(0) == user; }));
    client.disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(!client.isConnected(), 30000);
}

QTEST_GUILESS_MAIN(TestBrokerUrl)
#include "tst_broker_url.moc"
