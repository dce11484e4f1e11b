// "meslog", "errlog" and "backup" on a fake station: an in-memory message log with a clock the
// test moves, and an alarm log in a temporary database.
#include "BackupConfigCommandHandler.h"
#include "ErrLogConfigCommandHandler.h"
#include "FakeCommandContext.h"
#include "MesLogConfigCommandHandler.h"
#include "dl_message_point.h"
#include "errlog.h"
#include "message_point.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {
QJsonObject obj(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

template <typename Handler>
QJsonDocument run(FakeCommandContext& ctx, const QByteArray& json)
{
    return Handler(ctx).exec(obj(json));
}

const qint64 kT0 = 1700000000; // 2023-11-14
const qint64 kAfter2038 = 2200000000;

// Uplinks from modems 1 and 2 and a downlink to modem 1, 100 s apart from kT0, and one uplink
// from modem 3 after 2038.
void fillMessages(FakeCommandContext& ctx)
{
    auto at = [&ctx](qint64 secs) { ctx.queueClock.setWallClock(QDateTime::fromSecsSinceEpoch(secs)); };
    message_point up;
    up.phy = UL_DBPSK_50_PROT_D;
    up.ID = 1;
    at(kT0);
    ctx.messages.append(up);
    up.ID = 2;
    at(kT0 + 100);
    ctx.messages.append(up);
    dl_message_point down;
    down.modem_id = 1;
    down.phy = QStringLiteral("DL_DBPSK_50_PROT_D");
    at(kT0 + 200);
    ctx.messages.append(down);
    up.ID = 3;
    at(kAfter2038);
    ctx.messages.append(up);
}

// "<modem id>/<UL or DL>" of each row, in reply order.
QStringList rows(const QJsonDocument& reply)
{
    QStringList out;
    for (const QJsonValue& row : reply.array())
        out << QStringLiteral("%1/%2").arg(row.toObject().value("modem_id").toInt()).arg(row.toObject().value("type").toString());
    return out;
}

QJsonArray alarms(FakeCommandContext& ctx)
{
    return run<ErrLogConfigCommandHandler>(ctx, R"({"cmd":"get","to":253402300799})").array();
}
} // namespace

class TestLogCommands : public QObject {
    Q_OBJECT
private slots:
    void meslogGet_data();
    void meslogGet();
    void meslogLimitDefault();
    void refusedRequests_data();
    void refusedRequests();
    void errlogSet_data();
    void errlogSet();
    void errlogGetAndClear();
    void errlogBoundsAfter2038AndBefore1970();
    void backup_data();
    void backup();
};

void TestLogCommands::meslogGet_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("defaults: epoch to now") << QByteArray(R"({"cmd":"get"})") << QStringList{"1/DL", "2/UL", "1/UL"};
    QTest::newRow("after 2038") << QByteArray(R"({"cmd":"get","from":2100000000,"to":2300000000})") << QStringList{"3/UL"};
    QTest::newRow("period") << QByteArray(R"({"cmd":"get","from":1700000050,"to":1700000150})") << QStringList{"2/UL"};
    QTest::newRow("ids") << QByteArray(R"({"cmd":"get","ids":[1]})") << QStringList{"1/DL", "1/UL"};
    QTest::newRow("types lower case filter nothing") << QByteArray(R"({"cmd":"get","types":["ul"]})")
                                                     << QStringList{"1/DL", "2/UL", "1/UL"};
    QTest::newRow("types UL DL UL") << QByteArray(R"({"cmd":"get","types":["UL","DL","UL"]})") << QStringList{"1/DL", "2/UL", "1/UL"};
    QTest::newRow("types DL") << QByteArray(R"({"cmd":"get","types":["DL"]})") << QStringList{"1/DL"};
    QTest::newRow("limit") << QByteArray(R"({"cmd":"get","limit":2})") << QStringList{"1/DL", "2/UL"};
    QTest::newRow("negative limit") << QByteArray(R"({"cmd":"get","limit":-5})") << QStringList();
    QTest::newRow("from wrong type reads 0") << QByteArray(R"({"cmd":"get","from":"1700000150"})") << QStringList{"1/DL", "2/UL", "1/UL"};
    QTest::newRow("huge bounds read 0") << QByteArray(R"({"cmd":"get","from":1e300,"to":1.5})") << QStringList();
    QTest::newRow("ids of wrong types") << QByteArray(R"({"cmd":"get","ids":"1"})") << QStringList{"1/DL", "2/UL", "1/UL"};
}

void TestLogCommands::meslogGet()
{
    QFETCH(QByteArray, request);
    QFETCH(QStringList, expected);
    FakeCommandContext ctx;
    ctx.clock = QDateTime::fromSecsSinceEpoch(kT0 + 1000);
    fillMessages(ctx);
    const QJsonDocument reply = run<MesLogConfigCommandHandler>(ctx, request);
    QVERIFY(reply.isArray());
    QCOMPARE(rows(reply), expected);
}

void TestLogCommands::meslogLimitDefault()
{
    FakeCommandContext ctx;
    ctx.queueClock.setWallClock(QDateTime::fromSecsSinceEpoch(kT0));
    message_point up;
    up.phy = UL_DBPSK_50_PROT_D;
    for (int i = 0; i < 1005; ++i) {
        up.ID = quint32(i);
        ctx.messages.append(up);
    }
    ctx.clock = QDateTime::fromSecsSinceEpoch(kT0 + 10);
    QCOMPARE(run<MesLogConfigCommandHandler>(ctx, R"({"cmd":"get"})").array().size(), 1000);
}

void TestLogCommands::refusedRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("meslog");
    QTest::newRow("meslog without cmd") << QByteArray(R"({"from":0})") << true;
    QTest::newRow("meslog other cmd") << QByteArray(R"({"cmd":"GET"})") << true;
    QTest::newRow("errlog without cmd") << QByteArray(R"({})") << false;
    QTest::newRow("errlog other cmd") << QByteArray(R"({"cmd":"drop"})") << false;
    QTest::newRow("errlog set without ts") << QByteArray(R"({"cmd":"set","code":20})") << false;
    QTest::newRow("errlog set without code") << QByteArray(R"({"cmd":"set","ts":1700000000000})") << false;
    // Stored as given or not at all: a part would be another text than the one sent.
    QTest::newRow("errlog set, alarm of 4097 characters")
        << QByteArray(R"({"cmd":"set","code":9,"ts":1700000000000,"alarm":")") + QByteArray(4097, 'a') + "\"}" << false;
}

void TestLogCommands::refusedRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, meslog);
    FakeCommandContext ctx;
    const QJsonArray before = alarms(ctx);
    const QJsonDocument reply = meslog ? run<MesLogConfigCommandHandler>(ctx, request) : run<ErrLogConfigCommandHandler>(ctx, request);
    QCOMPARE(reply.object(), obj(R"({"result":false})"));
    QCOMPARE(alarms(ctx), before);
}

void TestLogCommands::errlogSet_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QJsonObject>("stored");
    QTest::newRow("standard text, no value") << QByteArray(R"({"cmd":"set","code":20,"ts":1700000000123})")
                                             << obj(R"({"alarm_code":20,"time_saved":1700000000123,"alarm_text":"Base station configuration changed"})");
    QTest::newRow("own text and value") << QByteArray(R"({"cmd":"set","code":9,"ts":1700000000999.7,"alarm":"door","value":-3.5})")
                                        << obj(R"({"alarm_code":9,"time_saved":1700000000999,"alarm_text":"door","value":-3.5})");
    QTest::newRow("code not in the list") << QByteArray(R"({"cmd":"set","code":555,"ts":1700000000000,"alarm":"x"})")
                                          << obj(R"({"alarm_code":555,"time_saved":1700000000000,"alarm_text":"x"})");
    QTest::newRow("alarm of 4096 characters") << QByteArray(R"({"cmd":"set","code":9,"ts":1700000000000,"alarm":")") + QByteArray(4096, 'a') + "\"}"
                                              << QJsonObject{{"alarm_code", 9}, {"time_saved", 1700000000000.0}, {"alarm_text", QString(4096, 'a')}};
}

void TestLogCommands::errlogSet()
{
    QFETCH(QByteArray, request);
    QFETCH(QJsonObject, stored);
    FakeCommandContext ctx;
    QCOMPARE(run<ErrLogConfigCommandHandler>(ctx, request).object(), obj(R"({"result":true})"));
    const QJsonArray all = alarms(ctx);
    QCOMPARE(all.size(), 1);
    QJsonObject row = all.first().toObject();
    row.remove("id");
    QCOMPARE(row, stored);
}

void TestLogCommands::errlogGetAndClear()
{
    FakeCommandContext ctx;
    ctx.clock = QDateTime::fromSecsSinceEpoch(kT0 + 1000);
    for (int i = 0; i < 3; ++i) {
        const QByteArray req = QString(R"({"cmd":"set","code":%1,"ts":%2})").arg(20 + i).arg((kT0 + i * 100) * 1000).toUtf8();
        QCOMPARE(run<ErrLogConfigCommandHandler>(ctx, req).object(), obj(R"({"result":true})"));
    }
    const QJsonArray newest = run<ErrLogConfigCommandHandler>(ctx, R"({"cmd":"get","limit":2})").array();
    QCOMPARE(newest.size(), 2);
    QCOMPARE(newest.at(0).toObject().value("alarm_code").toInt(), 22);
    QCOMPARE(newest.at(1).toObject().value("alarm_code").toInt(), 21);
    QCOMPARE(run<ErrLogConfigCommandHandler>(ctx, R"({"cmd":"get","from":1700000050,"to":1700000150})").array().size(), 1);

    // The running-time mark of a station that has run survives a clear.
    QVERIFY(errlog::instance().run_update());
    QCOMPARE(run<ErrLogConfigCommandHandler>(ctx, R"({"cmd":"clear"})").object(), obj(R"({"result":true})"));
    const QJsonArray left = run<ErrLogConfigCommandHandler>(ctx, R"({"cmd":"get"})").array();
    QCOMPARE(left.size(), 0);
    QVERIFY(errlog::instance().get_last_running_time().toSecsSinceEpoch() != 0);
    // The clear itself is recorded, stamped by the alarm log's own clock.
    const QJsonArray after = alarms(ctx);
    QCOMPARE(after.size(), 1);
    QCOMPARE(after.first().toObject().value("alarm_code").toInt(), int(errlog::EVENT_CLEAR_LOG));
}

void TestLogCommands::errlogBoundsAfter2038AndBefore1970()
{
    FakeCommandContext ctx;
    QCOMPARE(run<ErrLogConfigCommandHandler>(ctx, QString(R"({"cmd":"set","code":20,"ts":%1})").arg(kAfter2038 * 1000).toUtf8()).object(),
             obj(R"({"result":true})"));
    QCOMPARE(run<ErrLogConfigCommandHandler>(ctx, R"({"cmd":"set","code":21,"ts":-86400000})").object(), obj(R"({"result":true})"));
    const QJsonArray late = run<ErrLogConfigCommandHandler>(ctx, R"({"cmd":"get","from":2199999999,"to":2200000001})").array();
    QCOMPARE(late.size(), 1);
    QCOMPARE(late.first().toObject().value("alarm_code").toInt(), 20);
    // -1 is a second before 1970, not the year 2106.
    const QJsonArray early = run<ErrLogConfigCommandHandler>(ctx, R"({"cmd":"get","from":-100000,"to":-1})").array();
    QCOMPARE(early.size(), 1);
    QCOMPARE(early.first().toObject().value("alarm_code").toInt(), 21);
    QCOMPARE(run<ErrLogConfigCommandHandler>(ctx, R"({"cmd":"clear","from":2199999999,"to":2200000001})").object(),
             obj(R"({"result":true})"));
    QCOMPARE(run<ErrLogConfigCommandHandler>(ctx, R"({"cmd":"get","from":2199999999,"to":2200000001})").array().size(), 0);
}

void TestLogCommands::backup_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QJsonObject>("reply");
    QTest::newRow("info") << QByteArray(R"({"cmd":"info"})") << QJsonObject();
    QTest::newRow("delete") << QByteArray(R"({"cmd":"delete"})") << obj(R"({"result":true})");
    QTest::newRow("other") << QByteArray(R"({"cmd":"restore"})") << obj(R"({"result":false})");
    QTest::newRow("no cmd") << QByteArray(R"({})") << obj(R"({"result":false})");
}

void TestLogCommands::backup()
{
    QFETCH(QByteArray, request);
    QFETCH(QJsonObject, reply);
    FakeCommandContext ctx;
    const QJsonDocument got = run<BackupConfigCommandHandler>(ctx, request);
    QVERIFY(got.isObject());
    QCOMPARE(got.object(), reply);
}

QTEST_GUILESS_MAIN(TestLogCommands)
#include "tst_log_commands.moc"
