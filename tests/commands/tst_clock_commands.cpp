// "hb" and "timeconfig" on a fake station: the broker watchdog, and the clock command only when
// the server's time is ahead (or, for "set_utc", a plausible time).
#include "FakeCommandContext.h"
#include "HBCommandHandler.h"
#include "TimeConfigCommandHandler.h"
#include "errlog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {
const qint64 kNow = 1700000000; // the fake station's clock

QJsonObject obj(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}


} // namespace

class TestClockCommands : public QObject {
    Q_OBJECT
private slots:
    void hbSetsOnlyAClockThatIsBehind_data();
    void hbSetsOnlyAClockThatIsBehind();
    void hbRearmsTheWatchdogOnThePrimaryLink();
    void setUtc_data();
    void setUtc();
    void getUtcAndOthers();
};

void TestClockCommands::hbSetsOnlyAClockThatIsBehind_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("sync");
    QTest::addColumn<bool>("maySetClock");
    QTest::addColumn<QStringList>("commands");
    QTest::newRow("server 5 s ahead") << QByteArray(R"({"s_time":1700000005})") << true << true
                                      << QStringList{"sudo date +%s -s @1700000005"};
    QTest::newRow("same second") << QByteArray(R"({"s_time":1700000000})") << true << true << QStringList();
    QTest::newRow("server behind") << QByteArray(R"({"s_time":1699999000})") << true << true << QStringList();
    QTest::newRow("sync off") << QByteArray(R"({"s_time":1700000005})") << false << true << QStringList();
    QTest::newRow("no s_time") << QByteArray(R"({})") << true << true << QStringList();
    QTest::newRow("s_time a text") << QByteArray(R"({"s_time":"1700000005"})") << true << true << QStringList();
    QTest::newRow("s_time beyond year 9999") << QByteArray(R"({"s_time":1e300})") << true << true << QStringList();
    QTest::newRow("ahead, no command rights") << QByteArray(R"({"s_time":1700000005})") << true << false << QStringList();
}

void TestClockCommands::hbSetsOnlyAClockThatIsBehind()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, sync);
    QFETCH(bool, maySetClock);
    QFETCH(QStringList, commands);
    FakeCommandContext ctx;
    ctx.clock = QDateTime::fromSecsSinceEpoch(kNow);
    ctx.timeSync = sync;
    ctx.maySetClock = maySetClock;
    const QJsonDocument reply = HBCommandHandler(ctx).exec(obj(request));
    QVERIFY(reply.isEmpty());
    QCOMPARE(ctx.recorder.commandLines(), commands);
    QVERIFY(ctx.logText().contains(" HB received from server with DT:"));
    if (!commands.isEmpty())
        QVERIFY(ctx.logText().contains(" Run: sudo date +%s -s @1700000005\n"));
}

void TestClockCommands::hbRearmsTheWatchdogOnThePrimaryLink()
{
    FakeCommandContext ctx;
    ctx.addLink(0, true, true, true, false);
    ctx.addLink(1, false, false, true, false);
    HBCommandHandler(ctx).exec(obj(R"({"s_time":0})"));
    HBCommandHandler(ctx).exec(obj(R"({"s_time":0})"));
    QCOMPARE(ctx.receiveTimer.interval(), 300000);
    QVERIFY(ctx.receiveTimer.isActive());

    // One timeout reconnects the primary link once, however many heartbeats came before.
    ctx.receiveTimer.setSingleShot(true);
    ctx.receiveTimer.start(10);
    const QString linkLog = ctx.path("link.log");
    QTRY_VERIFY_WITH_TIMEOUT(FakeCommandContext::fileText(linkLog).contains(" Reconnect"), 10000);
    QCOMPARE(FakeCommandContext::fileText(linkLog).count(" Reconnect"), 1);
}

void TestClockCommands::setUtc_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QStringList>("commands");
    QTest::newRow("valid") << QByteArray(R"({"cmd":"set_utc","timestamp":1700000123})") << QStringList{"sudo date +%s -s @1700000123"};
    QTest::newRow("2020-01-01") << QByteArray(R"({"cmd":"set_utc","timestamp":1577836800})") << QStringList{"sudo date +%s -s @1577836800"};
    QTest::newRow("after 2038") << QByteArray(R"({"cmd":"set_utc","timestamp":2200000000})") << QStringList{"sudo date +%s -s @2200000000"};
    QTest::newRow("no timestamp") << QByteArray(R"({"cmd":"set_utc"})") << QStringList();
    QTest::newRow("zero") << QByteArray(R"({"cmd":"set_utc","timestamp":0})") << QStringList();
    QTest::newRow("2019") << QByteArray(R"({"cmd":"set_utc","timestamp":1546300800})") << QStringList();
    QTest::newRow("fraction") << QByteArray(R"({"cmd":"set_utc","timestamp":1700000123.5})") << QStringList();
    QTest::newRow("text") << QByteArray(R"({"cmd":"set_utc","timestamp":"1700000123"})") << QStringList();
    QTest::newRow("huge") << QByteArray(R"({"cmd":"set_utc","timestamp":1e300})") << QStringList();
}

void TestClockCommands::setUtc()
{
    QFETCH(QByteArray, request);
    QFETCH(QStringList, commands);
    FakeCommandContext ctx;
    ctx.recorder.setHoldStarts(true);
    const QJsonObject reply = TimeConfigCommandHandler(ctx).exec(obj(request)).object();
    QCOMPARE(reply, (QJsonObject{{"result", !commands.isEmpty()}}));
    QCOMPARE(ctx.recorder.commandLines(), commands);
    const QString text = "System time is syncronized remotely";
    QVERIFY(FakeCommandContext::alarmTexts(errlog::EVENT_TIME_SYNC_REMOTE).isEmpty());
    if (commands.isEmpty()) {
        QVERIFY(ctx.logText().contains("Clock not set"));
        return;
    }
    QCOMPARE(ctx.recorder.calls().first().timeoutMs, 10000);
    // The alarm and the log line follow the end of the clock set.
    QVERIFY(!ctx.logText().contains(" Finished\n"));
    QVERIFY(ctx.recorder.completeStart(HostCommandResult{true, 0, false, ""}));
    QCOMPARE(FakeCommandContext::alarmTexts(errlog::EVENT_TIME_SYNC_REMOTE), QStringList{text});
    QVERIFY(FakeCommandContext::fileText(ctx.path("bsevent.log")).contains(text.toUtf8()));
    QVERIFY(ctx.logText().contains(" Finished\n"));
}

void TestClockCommands::getUtcAndOthers()
{
    FakeCommandContext ctx;
    ctx.clock = QDateTime::fromSecsSinceEpoch(kNow);
    QCOMPARE(TimeConfigCommandHandler(ctx).exec(obj(R"({"cmd":"get_utc"})")).object(), (QJsonObject{{"result", true}, {"timestamp", kNow}}));
    QCOMPARE(TimeConfigCommandHandler(ctx).exec(obj(R"({"cmd":"GET_UTC"})")).object(), (QJsonObject{{"result", false}}));
    QCOMPARE(TimeConfigCommandHandler(ctx).exec(obj(R"({})")).object(), (QJsonObject{{"result", false}}));
    QVERIFY(ctx.recorder.calls().isEmpty());
}

QTEST_GUILESS_MAIN(TestClockCommands)
#include "tst_clock_commands.moc"
