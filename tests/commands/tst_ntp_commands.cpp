// The time-service file editors and the "ntpconfig" and "gpsconfig" commands on ntp.conf
// fixtures in a temporary folder.
#include "FakeCommandContext.h"
#include "GPSConfigCommandHandler.h"
#include "NTPConfigCommandHandler.h"
#include "confeditor.h"
#include "errlog.h"
#include "ntp_sysconf.h"

#include <QDir>
#include <QJsonDocument>
#include <QtTest>

#include <functional>

using Operation = std::function<bool(ntp_sysconf&)>;
Q_DECLARE_METATYPE(Operation)

namespace {
const QByteArray kConf = "# /etc/ntp.conf\n"
                         "driftfile /var/lib/ntp/ntp.drift\n"
                         "\n"
                         "# pool: <http://www.pool.ntp.org/join.html>\n"
                         "pool 0.debian.pool.ntp.org iburst\n"
                         "#pool 1.debian.pool.ntp.org iburst # backup\n"
                         "##server 2.debian.pool.ntp.org\n"
                         " pool 3.debian.pool.ntp.org\n"
                         "\n"
                         "# External NTP server:\n"
                         "#server 10.0.0.1 iburst\n"
                         "\n"
                         "restrict -4 default kod notrap nomodify nopeer noquery limited\n";

const QByteArray kGpsLines = "# GPS Serial data reference (NTP0)\n"
                             "server 127.127.28.0 minpoll 4 maxpoll 4\n"
                             "fudge 127.127.28.0  refid GPS\n"
                             "\n"
                             "# GPS PPS reference (NTP1)\n"
                             "server 127.127.28.1 minpoll 4 maxpoll 4 prefer\n"
                             "fudge 127.127.28.1 refid PPS\n";

QJsonObject obj(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

void putConf(FakeCommandContext& ctx, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(ctx.paths.ntpConf).absolutePath());
    QFile f(ctx.paths.ntpConf);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

QByteArray conf(FakeCommandContext& ctx)
{
    return QFile::exists(ctx.paths.ntpConf) ? FakeCommandContext::fileText(ctx.paths.ntpConf) : QByteArray("<missing>");
}

QByteArray replaced(QByteArray text, const QByteArray& from, const QByteArray& to)
{
    return text.replace(from, to);
}
} // namespace

class TestNtpCommands : public QObject {
    Q_OBJECT
private slots:
    void blocks();
    void blockExtents_data();
    void blockExtents();
    void gpsClockSeen_data();
    void gpsClockSeen();
    void edits_data();
    void edits();
    void gpsOnTwiceLeavesOneCopy();
    void failedReadWritesNothing();
    void handEditBetweenCommandsKept();
    void ntpconfigGet();
    void ntpconfigSet_data();
    void ntpconfigSet();
    void ntpconfigSetOrder();
    void ntpconfigServerTextLimit_data();
    void ntpconfigServerTextLimit();
    void gpsconfig();
};

void TestNtpCommands::blocks()
{
    FakeCommandContext ctx;
    putConf(ctx, "a\nkey one\n\nb\nlast key\nx\ny");
    confeditor editor(ctx.paths.ntpConf);
    QVERIFY(editor.load());
    QCOMPARE(editor.get_block("key", -1).size(), 1);
    QCOMPARE(editor.get_block("key", 5).size(), 5);
    QCOMPARE(editor.get_block("absent", -1).size(), 0);
    QVERIFY(editor.remove_block("key", -1));
    QCOMPARE(editor.index_of(confeditor::conf_line("b")), 1);
    // A last block without an empty line: removal runs to the end and says so.
    QVERIFY(!editor.remove_block("last key", -1));
    QCOMPARE(editor.lines().size(), 2);
    QVERIFY(!editor.remove_block("absent", 1));
    QVERIFY(editor.flush());
    QCOMPARE(conf(ctx), QByteArray("a\nb"));
}

void TestNtpCommands::blockExtents_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QStringList>("block");  // get_block(key, -1)
    QTest::addColumn<bool>("removed");       // remove_block(key, -1)
    QTest::addColumn<QByteArray>("after");   // flushed after the removal
    QTest::newRow("key right before an empty line") << QByteArray("a\nkey\n\nb\n") << "key" << QStringList{"key"} << true
                                                    << QByteArray("a\nb\n");
    QTest::newRow("key in a comment further up found first")
        << QByteArray("# the key: below\nx\n\nkey: y\nz\n") << "key: " << QStringList{"# the key: below", "x"} << true
        << QByteArray("key: y\nz\n");
    QTest::newRow("last block without an empty line") << QByteArray("a\n\nkey\nb") << "key" << QStringList{"key", "b"} << false
                                                      << QByteArray("a\n");
    QTest::newRow("absent key") << QByteArray("a\n\nb\n") << "key" << QStringList() << false << QByteArray("a\n\nb\n");
}

void TestNtpCommands::blockExtents()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, key);
    QFETCH(QStringList, block);
    QFETCH(bool, removed);
    QFETCH(QByteArray, after);
    FakeCommandContext ctx;
    putConf(ctx, file);
    confeditor editor(ctx.paths.ntpConf);
    QVERIFY(editor.load());
    QStringList bodies;
    for (const confeditor::conf_line& line : editor.get_block(key, -1))
        bodies << line._body;
    QCOMPARE(bodies, block);
    QCOMPARE(editor.remove_block(key, -1), removed);
    QVERIFY(editor.flush());
    QCOMPARE(conf(ctx), after);
}

void TestNtpCommands::gpsClockSeen_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("on");
    QTest::newRow("active") << QByteArray("server 127.127.28.0 minpoll 4\n") << true;
    QTest::newRow("first one commented") << QByteArray("#server 127.127.28.0\nserver 127.127.28.0\n") << false;
    QTest::newRow("blank before it: not a comment") << QByteArray(" server 127.127.28.0\n") << true;
    QTest::newRow("none") << kConf << false;
}

void TestNtpCommands::gpsClockSeen()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, on);
    FakeCommandContext ctx;
    putConf(ctx, file);
    QCOMPARE(ctx.ntp_editor().is_gps_on(), on);
    QCOMPARE(conf(ctx), file);
}

void TestNtpCommands::edits_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("gps off without GPS lines: exact round trip")
        << kConf << Operation([](ntp_sysconf& n) { return n.gps_on(false); }) << true << kConf;
    QTest::newRow("no final line end kept") << QByteArray("server 1.2.3.4\n\n# pool: x\npool a")
                                            << Operation([](ntp_sysconf& n) { return n.gps_on(false); }) << true
                                            << QByteArray("server 1.2.3.4\n\n# pool: x\npool a");
    QTest::newRow("gps on appends the eight lines")
        << kConf << Operation([](ntp_sysconf& n) { return n.gps_on(true); }) << true << kConf + "\n" + kGpsLines;
    QTest::newRow("last GPS block without an empty line, following lines kept")
        << QByteArray("driftfile x\n# GPS PPS reference (NTP1)\nserver 127.127.28.1 prefer\nrestrict y\n")
        << Operation([](ntp_sysconf& n) { return n.gps_on(false); }) << true << QByteArray("driftfile x\nrestrict y\n");
    QTest::newRow("pool on: leading #s only, note kept")
        << kConf << Operation([](ntp_sysconf& n) { return n.pool_on(true); }) << true
        << replaced(replaced(kConf, "#pool 1.debian.pool.ntp.org iburst # backup", "pool 1.debian.pool.ntp.org iburst # backup"),
                    "##server 2.debian", "server 2.debian");
    QTest::newRow("pool off: a line starting with a blank untouched")
        << kConf << Operation([](ntp_sysconf& n) { return n.pool_on(false); }) << true
        << replaced(kConf, "\npool 0.debian", "\n#pool 0.debian");
    QTest::newRow("pool on without a pool: line") << QByteArray("server a\n") << Operation([](ntp_sysconf& n) { return n.pool_on(true); })
                                                   << false << QByteArray("server a\n");
    QTest::newRow("server on never uncomments the header")
        << kConf << Operation([](ntp_sysconf& n) { return n.server_on(true); }) << true
        << replaced(kConf, "#server 10.0.0.1", "server 10.0.0.1");
    QTest::newRow("server on without a block") << QByteArray("pool a\n") << Operation([](ntp_sysconf& n) { return n.server_on(true); })
                                               << false << QByteArray("pool a\n");
    QTest::newRow("set_server empty: server lines commented, kept")
        << replaced(kConf, "#server 10.0.0.1", "server 10.0.0.1") << Operation([](ntp_sysconf& n) { return n.set_server(""); }) << true
        << replaced(kConf, "#server 10.0.0.1", "#server 10.0.0.1");
    QTest::newRow("set_server text: trimmed, block moved to the end")
        << kConf << Operation([](ntp_sysconf& n) { return n.set_server("  server 10.9.9.9 iburst \t"); }) << true
        << replaced(kConf, "# External NTP server:\n#server 10.0.0.1 iburst\n\n", "")
               + "\n# External NTP server:\nserver 10.9.9.9 iburst\n";
    QTest::newRow("set_server with a line break refused")
        << kConf << Operation([](ntp_sysconf& n) { return n.set_server("server 1.1.1.1\nrestrict default"); }) << false << kConf;
}

void TestNtpCommands::edits()
{
    QFETCH(QByteArray, before);
    QFETCH(Operation, operation);
    QFETCH(bool, result);
    QFETCH(QByteArray, after);
    FakeCommandContext ctx;
    putConf(ctx, before);
    QCOMPARE(operation(ctx.ntp_editor()), result);
    QCOMPARE(conf(ctx), after);
}

void TestNtpCommands::gpsOnTwiceLeavesOneCopy()
{
    FakeCommandContext ctx;
    putConf(ctx, kConf);
    QVERIFY(ctx.ntp_editor().gps_on(true));
    const QByteArray once = conf(ctx);
    QVERIFY(ctx.ntp_editor().gps_on(true));
    QCOMPARE(conf(ctx), once);
    QCOMPARE(conf(ctx).count("# GPS Serial data reference"), 1);
    QVERIFY(ctx.ntp_editor().is_gps_on());
    QVERIFY(ctx.ntp_editor().gps_on(false));
    QCOMPARE(conf(ctx), kConf);
}

void TestNtpCommands::failedReadWritesNothing()
{
    FakeCommandContext ctx;
    ntp_sysconf& ntp = ctx.ntp_editor();
    QVERIFY(!ntp.gps_on(true));
    QVERIFY(!ntp.set_server("server 1.2.3.4"));
    QVERIFY(!ntp.server_on(false));
    QVERIFY(!ntp.is_pool_on());
    QCOMPARE(conf(ctx), QByteArray("<missing>"));
}

void TestNtpCommands::handEditBetweenCommandsKept()
{
    FakeCommandContext ctx;
    putConf(ctx, kConf);
    QVERIFY(ctx.ntp_editor().gps_on(true));
    putConf(ctx, conf(ctx) + "tos minsane 2\n");
    QVERIFY(ctx.ntp_editor().pool_on(false));
    QVERIFY(conf(ctx).endsWith("tos minsane 2\n"));
    QVERIFY(conf(ctx).contains(kGpsLines));
}

void TestNtpCommands::ntpconfigGet()
{
    FakeCommandContext ctx;
    putConf(ctx, kConf);
    QCOMPARE(NTPConfigCommandHandler(ctx).exec(obj(R"({"cmd":"get"})")).object(),
             obj(R"({"result":true,"gps":false,"pool":true,"server":false})"));
    putConf(ctx, replaced(kConf, "#server 10.0.0.1", "server 10.0.0.1") + kGpsLines);
    QCOMPARE(NTPConfigCommandHandler(ctx).exec(obj(R"({"cmd":"get"})")).object(),
             obj(R"({"result":true,"gps":true,"pool":true,"server":true,"server_str":"server 10.0.0.1 iburst"})"));
    QVERIFY(ctx.recorder.calls().isEmpty());
}

void TestNtpCommands::ntpconfigSet_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("records");
    QTest::newRow("only cmd: restart") << kConf << QByteArray(R"({"cmd":"set"})") << true << QStringList();
    QTest::newRow("server on without an external block")
        << QByteArray("pool a\n") << QByteArray(R"({"cmd":"set","server":true})") << false
        << QStringList{"Base station parameters change error: ntp_server_on"};
    QTest::newRow("pool off") << kConf << QByteArray(R"({"cmd":"set","pool":false})") << true
                              << QStringList{"Base station parameters changed: ntp_pool_off"};
    QTest::newRow("refused server text")
        << kConf << QByteArray(R"({"cmd":"set","server_str":"server a\u0007"})") << false
        << QStringList{QString("Base station parameters change error: ntp_set_server to server a") + QChar(7)};
    QTest::newRow("unknown cmd") << kConf << QByteArray(R"({"cmd":"SET"})") << false << QStringList();
}

void TestNtpCommands::ntpconfigSet()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, request);
    QFETCH(bool, result);
    QFETCH(QStringList, records);
    FakeCommandContext ctx;
    putConf(ctx, file);
    QCOMPARE(NTPConfigCommandHandler(ctx).exec(obj(request)).object(), (QJsonObject{{"result", result}}));
    QCOMPARE(FakeCommandContext::alarmTexts(errlog::EVENT_CONF_CHANGED), records);
    const QStringList restart = obj(request).value("cmd") == "set" ? QStringList{"sudo /etc/init.d/ntp restart"} : QStringList();
    QCOMPARE(ctx.recorder.commandLines(), restart);
    for (const QString& record : records)
        QVERIFY(FakeCommandContext::fileText(ctx.path("bsevent.log")).contains(record.toUtf8()));
}

void TestNtpCommands::ntpconfigSetOrder()
{
    FakeCommandContext ctx;
    putConf(ctx, kConf);
    // Pool, GPS, the server text, then the server switch: the new block ends up switched off.
    QCOMPARE(NTPConfigCommandHandler(ctx)
                 .exec(obj(R"({"cmd":"set","server":false,"server_str":"server 10.2.2.2","gps":true,"pool":false})"))
                 .object(),
             obj(R"({"result":true})"));
    const QByteArray text = conf(ctx);
    QVERIFY(text.contains("\n#pool 0.debian.pool.ntp.org iburst\n"));
    QVERIFY(text.indexOf("# GPS Serial") < text.indexOf("# External NTP server:"));
    QVERIFY2(text.endsWith("# External NTP server:\n#server 10.2.2.2\n"), text.constData());
    QCOMPARE(FakeCommandContext::alarmTexts(errlog::EVENT_CONF_CHANGED),
             (QStringList{"Base station parameters changed: ntp_server_off", "Base station parameters changed: ntp_set_server to server 10.2.2.2",
                          "Base station parameters changed: gps_ntp_on", "Base station parameters changed: ntp_pool_off"}));
}

// A server text goes into ntp.conf: longer than 255 characters is refused before anything is
// changed or restarted, like a wrong value.
void TestNtpCommands::ntpconfigServerTextLimit_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("255 characters") << 255 << true;
    QTest::newRow("256 characters") << 256 << false;
    QTest::newRow("1 MiB") << (1 << 20) << false;
}

void TestNtpCommands::ntpconfigServerTextLimit()
{
    QFETCH(int, length);
    QFETCH(bool, accepted);
    FakeCommandContext ctx;
    putConf(ctx, kConf);
    const QString server = "server " + QString(length - 7, 'a');
    const QJsonObject request{{"cmd", "set"}, {"pool", false}, {"server_str", server}};
    QCOMPARE(NTPConfigCommandHandler(ctx).exec(request).object(), (QJsonObject{{"result", accepted}}));
    if (accepted) {
        QVERIFY(conf(ctx).endsWith("# External NTP server:\n" + server.toUtf8() + "\n"));
        QCOMPARE(ctx.recorder.commandLines(), QStringList{"sudo /etc/init.d/ntp restart"});
        return;
    }
    QCOMPARE(conf(ctx), kConf);
    QVERIFY(ctx.recorder.calls().isEmpty());
    QVERIFY(FakeCommandContext::alarmTexts(errlog::EVENT_CONF_CHANGED).isEmpty());
    const QByteArray log = ctx.logText();
    QVERIFY2(log.contains(QString(" NTP settings refused: \"server_str\" must be a string of at most 255 characters, not %1\n").arg(length).toUtf8()),
             log.constData());
    QVERIFY(log.size() < 1000);
}

void TestNtpCommands::gpsconfig()
{
    FakeCommandContext ctx;
    putConf(ctx, kConf);
    QCOMPARE(GPSConfigCommandHandler(ctx).exec(obj(R"({"cmd":"ntp_on"})")).object(), obj(R"({"result":true})"));
    QVERIFY(conf(ctx).contains(kGpsLines));
    QCOMPARE(ctx.recorder.commandLines(), QStringList{"sudo /etc/init.d/ntp restart"});
    QCOMPARE(GPSConfigCommandHandler(ctx).exec(obj(R"({"cmd":"get_gps"})")).object(),
             obj(R"({"result":false,"latitude":0,"longitude":0,"ntp":true})"));
    ctx.coords = qMakePair(55.75, 37.61);
    QCOMPARE(GPSConfigCommandHandler(ctx).exec(obj(R"({"cmd":"ntp_off"})")).object(), obj(R"({"result":true})"));
    QCOMPARE(conf(ctx), kConf);
    QCOMPARE(GPSConfigCommandHandler(ctx).exec(obj(R"({"cmd":"get_gps"})")).object(),
             obj(R"({"result":false,"latitude":55.75,"longitude":37.61,"ntp":false})"));
    QCOMPARE(FakeCommandContext::alarmTexts(errlog::EVENT_CONF_CHANGED),
             (QStringList{"Base station parameters changed: gps_ntp_off ", "Base station parameters changed: gps_ntp_on "}));
    // A file that cannot be read: the error text, and the restart all the same.
    QVERIFY(QFile::remove(ctx.paths.ntpConf));
    QCOMPARE(GPSConfigCommandHandler(ctx).exec(obj(R"({"cmd":"ntp_on"})")).object(), obj(R"({"result":false})"));
    QCOMPARE(FakeCommandContext::alarmTexts(errlog::EVENT_CONF_CHANGED).value(0), QString("Base station parameters change error: gps_ntp_on "));
    QCOMPARE(ctx.recorder.commandLines().size(), 3);
    QCOMPARE(GPSConfigCommandHandler(ctx).exec(obj(R"({"cmd":"reboot"})")).object(), obj(R"({"result":false})"));
}

QTEST_GUILESS_MAIN(TestNtpCommands)
#include "tst_ntp_commands.moc"
