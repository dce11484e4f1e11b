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

QByteArray fileText(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList alarmTexts(errlog::EVENT_CODE code)
{
    QStringList texts;
    for (const QJsonValue& row : errlog::instance().select(QDateTime::fromSecsSinceEpoch(0), QDateTime::currentDateTime().addDays(1), 100)) {
        if (row.toObject().value("alarm_code").toInt() == code)
            texts << row.toObject().value("alarm_text").toString();
    }
    return texts;
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
    QTest::addColumn<QStringList>("commands");
    QTest::newRow("server 5 s ahead") << QByteArray(R"({"s_time":1700000005})") << true << QStringList{"sudo date +%s -s @1700000005"};
    QTest::newRow("same second") << QByteArray(R"({"s_time":1700000000})") << true << QStringList();
    QTest::newRow("server behind") << QByteArray(R"({"s_time":1699999000})") << true << QStringList();
    QTest::newRow("sync off") << QByteArray(R"({"s_time":1700000005})") << false << QStringList();
    QTest::newRow("no s_time") << QByteArray(R"({})") << true << QStringList();
    QTest::newRow("s_time a text") << QByteArray(R"({"s_time":"1700000005"})") << true << QStringList();
    QTest::newRow("s_time beyond year 9999") << QByteArray(R"({"s_time":1e300})") << true << QStringList();
}

void TestClockCommands::hbSetsOnlyAClockThatIsBehind()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, sync);
    QFETCH(QStringList, commands);
    FakeCommandContext ctx;
    ctx.clock = QDateTime::fromSecsSinceEpoch(kNow);
    ctx.timeSync = sync;
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
    QTRY_VERIFY_WITH_TIMEOUT(fileText(linkLog).contains(" Reconnect"), 10000);
    QCOMPARE(fileText(linkLog).count(" Reconnect"), 1);
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
    const QJsonObject reply = TimeConfigCommandHandler(ctx).exec(obj(request)).object();
    QCOMPARE(reply, (QJsonObject{{"result", !commands.isEmpty()}}));
    QCOMPARE(ctx.recorder.commandLines(), commands);
    const QString text = "System time is syncronized remotely";
    if (commands.isEmpty()) {
        QVERIFY(alarmTexts(errlog::EVENT_TIME_SYNC_REMOTE).isEmpty());
        QVERIFY(ctx.logText().contains("Clock not set"));
        return;
    }
    QCOMPARE(ctx.recorder.calls().first().timeoutMs, 10000);
    QCOMPARE(alarmTexts(errlog::EVENT_TIME_SYNC_REMOTE), QStringList{text});
    QVERIFY(fileText(ctx.path("bsevent.log")).contains(text.toUtf8()));
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
