// "network" on interfaces files in a temporary folder: what "get" reads, how "set" rewrites the
// eth0 stanza, what it refuses, and the one restart after a write.
#include "FakeCommandContext.h"
#include "NetworkConfigCommandHandler.h"
#include "SystemFileWriter.h"
#include "errlog.h"

#include <QDir>
#include <QJsonDocument>
#include <QtTest>

namespace {
QJsonObject obj(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

QString interfacesPath(FakeCommandContext& ctx)
{
    return ctx.paths.networkInterfaces;
}

void writeInterfaces(FakeCommandContext& ctx, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(interfacesPath(ctx)).absolutePath());
    QFile f(interfacesPath(ctx));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

QByteArray interfaces(FakeCommandContext& ctx)
{
    QFile f(interfacesPath(ctx));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QJsonObject run(FakeCommandContext& ctx, const QByteArray& json)
{
    return NetworkConfigCommandHandler(ctx).exec(obj(json)).object();
}

const QByteArray kStatic = "auto lo\n"
                           "iface lo inet loopback\n"
                           "\n"
                           "auto eth0\n"
                           "iface eth0 inet static\n"
                           "    address 192.168.1.10/24\n"
                           "    hwaddress ether 02:00:00:00:00:01\n"
                           "    gateway 192.168.1.1\n"
                           "    netmask 255.255.255.0\n"
                           "    post-up /usr/local/bin/route-setup\n"
                           "\n"
                           "iface wlan0 inet dhcp\n";
} // namespace

class TestNetworkCommand : public QObject {
    Q_OBJECT
private slots:
    void cleanup()
    {
        SystemFileWriter::failWritesForTests(QString());
        SystemFileWriter::failSyncsForTests(false);
    }
    void get_data();
    void get();
    void set_data();
    void set();
    void refusals_data();
    void refusals();
    void failedWriteRestartsNothing_data();
    void failedWriteRestartsNothing();
    void quickChangesShareOneRestart();
};

void TestNetworkCommand::get_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QJsonObject>("reply");
    QTest::newRow("dhcp, address lines after it ignored")
        << QByteArray("iface eth0 inet dhcp\n    address 10.0.0.1\n") << obj(R"({"result":true,"iface":"dhcp"})");
    QTest::newRow("static") << kStatic
                            << obj(R"({"result":true,"iface":"static","address":"192.168.1.10/24","gateway":"192.168.1.1",)"
                                   R"("netmask":"255.255.255.0"})");
    QTest::newRow("commented gateway, blanks inside values")
        << QByteArray("iface eth0 inet static\n  address  10.0.0.5 \n#  gateway 10.0.0.1\n  netmask 255.255. 0.0\n")
        << obj(R"({"result":true,"iface":"static","address":"10.0.0.5","netmask":"255.255.0.0"})");
    QTest::newRow("commented iface line ignored")
        << QByteArray("#iface eth0 inet static\n#address 1.2.3.4\niface eth0 inet dhcp\n") << obj(R"({"result":true,"iface":"dhcp"})");
    QTest::newRow("CRLF, no final line end")
        << QByteArray("iface eth0 inet static\r\naddress 10.1.1.1\r\nnetmask 24") << obj(R"({"result":true,"iface":"static","address":"10.1.1.1","netmask":"24"})");
    QTest::newRow("stanza ends at the next stanza")
        << QByteArray("iface eth0 inet static\naddress 10.1.1.1\niface eth1 inet static\ngateway 10.9.9.9\n")
        << obj(R"({"result":true,"iface":"static","address":"10.1.1.1"})");
    QTest::newRow("no eth0") << QByteArray("auto lo\niface lo inet loopback\n") << obj(R"({"result":true})");
    QTest::newRow("binary") << QByteArray("iface eth0 inet static\naddress 1.2.3.4\0garbage\n", 45)
                            << obj(R"({"result":true,"iface":"static","address":"1.2.3.4"})");
}

void TestNetworkCommand::get()
{
    QFETCH(QByteArray, file);
    QFETCH(QJsonObject, reply);
    FakeCommandContext ctx;
    writeInterfaces(ctx, file);
    QCOMPARE(run(ctx, R"({"cmd":"get"})"), reply);
}

void TestNetworkCommand::set_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("static to dhcp drops the values, keeps hwaddress and post-up")
        << kStatic << QByteArray(R"({"cmd":"set","iface":"dhcp"})")
        << QByteArray("auto lo\niface lo inet loopback\n\nauto eth0\niface eth0 inet dhcp\n"
                      "    hwaddress ether 02:00:00:00:00:01\n    post-up /usr/local/bin/route-setup\n\niface wlan0 inet dhcp\n");
    QTest::newRow("dhcp to static, auto eth0 inserted")
        << QByteArray("iface eth0 inet dhcp\n") << QByteArray(R"({"cmd":"set","iface":"static","address":" 10.0.0.7/16 ","gateway":"10.0.0.1","netmask":"16"})")
        << QByteArray("auto eth0\niface eth0 inet static\naddress 10.0.0.7/16\ngateway 10.0.0.1\nnetmask 16\n");
    QTest::newRow("commented lines kept")
        << QByteArray("auto eth0\n# iface eth0 inet dhcp\niface eth0 inet static\n#gateway 1.1.1.1\naddress 1.2.3.4\n")
        << QByteArray(R"({"cmd":"set","iface":"dhcp"})")
        << QByteArray("auto eth0\n# iface eth0 inet dhcp\niface eth0 inet dhcp\n#gateway 1.1.1.1\n");
    QTest::newRow("no eth0: unchanged") << QByteArray("auto lo\niface lo inet loopback") << QByteArray(R"({"cmd":"set","iface":"dhcp"})")
                                        << QByteArray("auto lo\niface lo inet loopback");
    QTest::newRow("CRLF") << QByteArray("auto eth0\r\niface eth0 inet static\r\naddress 1.2.3.4\r\n\r\n")
                          << QByteArray(R"({"cmd":"set","iface":"dhcp"})") << QByteArray("auto eth0\r\niface eth0 inet dhcp\n\r\n");
}

void TestNetworkCommand::set()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    FakeCommandContext ctx;
    writeInterfaces(ctx, file);
    const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    QVERIFY(QFile::setPermissions(interfacesPath(ctx), mode));
    QCOMPARE(run(ctx, request), obj(R"({"result":true})"));
    QCOMPARE(interfaces(ctx), expected);
    const int ownerGroupOther = 0x7077;
    QCOMPARE(int(QFile::permissions(interfacesPath(ctx))) & ownerGroupOther, int(mode) & ownerGroupOther);
    QCOMPARE(QDir(QFileInfo(interfacesPath(ctx)).absolutePath()).entryList(QDir::Files | QDir::Hidden), QStringList{"interfaces"});
    QVERIFY(ctx.logText().contains("Base station ethernet connection parameters changed\n"));
    // The restart comes only after the reply.
    QCOMPARE(ctx.laterDelays, QList<int>{2000});
    QCOMPARE(ctx.eth0Restarts, 0);
    ctx.fireLater();
    QCOMPARE(ctx.eth0Restarts, 1);
    QVERIFY(!ctx.eth0Pending);
}

void TestNetworkCommand::refusals_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("no iface") << QByteArray(R"({"cmd":"set"})");
    QTest::newRow("manual") << QByteArray(R"({"cmd":"set","iface":"manual"})");
    QTest::newRow("line break in address")
        << QByteArray(R"({"cmd":"set","iface":"static","address":"1.2.3.4\n up reboot","gateway":"1.2.3.1","netmask":"24"})");
    QTest::newRow("octet above 255") << QByteArray(R"({"cmd":"set","iface":"static","address":"1.2.3.256","gateway":"1.2.3.1","netmask":"24"})");
    QTest::newRow("missing gateway") << QByteArray(R"({"cmd":"set","iface":"static","address":"1.2.3.4","netmask":"24"})");
    QTest::newRow("prefix 33") << QByteArray(R"({"cmd":"set","iface":"static","address":"1.2.3.4","gateway":"1.2.3.1","netmask":"33"})");
    QTest::newRow("address a number") << QByteArray(R"({"cmd":"set","iface":"static","address":16909060,"gateway":"1.2.3.1","netmask":"24"})");
    QTest::newRow("unknown cmd") << QByteArray(R"({"cmd":"SET","iface":"dhcp"})");
}

void TestNetworkCommand::refusals()
{
    QFETCH(QByteArray, request);
    FakeCommandContext ctx;
    writeInterfaces(ctx, kStatic);
    QCOMPARE(run(ctx, request), obj(R"({"result":false})"));
    QCOMPARE(interfaces(ctx), kStatic);
    QVERIFY(ctx.laterActions.isEmpty());
}

void TestNetworkCommand::failedWriteRestartsNothing_data()
{
    QTest::addColumn<bool>("syncFails");
    QTest::addColumn<QByteArray>("cause");
    QTest::newRow("write refused") << false << QByteArray("disk full");
    // The new file never reached the disk: it must not take the old one's place.
    QTest::newRow("sync to the disk fails") << true << QByteArray("cannot sync");
}

void TestNetworkCommand::failedWriteRestartsNothing()
{
    QFETCH(bool, syncFails);
    QFETCH(QByteArray, cause);
    FakeCommandContext ctx;
    writeInterfaces(ctx, kStatic);
    if (syncFails)
        SystemFileWriter::failSyncsForTests(true);
    else
        SystemFileWriter::failWritesForTests(QStringLiteral("disk full"));
    QCOMPARE(run(ctx, R"({"cmd":"set","iface":"dhcp"})"), obj(R"({"result":false})"));
    QCOMPARE(interfaces(ctx), kStatic);
    QCOMPARE(QDir(QFileInfo(interfacesPath(ctx)).absolutePath()).entryList(QDir::Files | QDir::Hidden), QStringList{"interfaces"});
    QVERIFY(ctx.laterActions.isEmpty());
    QVERIFY2(ctx.logText().contains(cause), ctx.logText().constData());

    // No file at all: nothing read, nothing written.
    QVERIFY(QFile::remove(interfacesPath(ctx)));
    QCOMPARE(run(ctx, R"({"cmd":"get"})"), obj(R"({"result":false})"));
    QCOMPARE(run(ctx, R"({"cmd":"set","iface":"dhcp"})"), obj(R"({"result":false})"));
    QVERIFY(!QFile::exists(interfacesPath(ctx)));
}

void TestNetworkCommand::quickChangesShareOneRestart()
{
    FakeCommandContext ctx;
    writeInterfaces(ctx, kStatic);
    QCOMPARE(run(ctx, R"({"cmd":"set","iface":"dhcp"})"), obj(R"({"result":true})"));
    QCOMPARE(run(ctx, R"({"cmd":"set","iface":"static","address":"10.0.0.2","gateway":"10.0.0.1","netmask":"255.0.0.0"})"),
             obj(R"({"result":true})"));
    QCOMPARE(ctx.laterDelays, QList<int>{2000});
    ctx.fireLater();
    QCOMPARE(ctx.eth0Restarts, 1);
    // After the restart, a new change schedules a new one.
    QCOMPARE(run(ctx, R"({"cmd":"set","iface":"dhcp"})"), obj(R"({"result":true})"));
    QCOMPARE(ctx.laterDelays.size(), 2);
    ctx.fireLater();
    QCOMPARE(ctx.eth0Restarts, 2);
}

QTEST_GUILESS_MAIN(TestNetworkCommand)
#include "tst_network_command.moc"
