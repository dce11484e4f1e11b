// "admin" and "admin_base64" on a fake station: the request reaches the shell as its one command
// argument, the reply is standard output up to a zero byte, Base64 bodies are checked before
// anything runs, and the reply follows the shell's end without blocking.
#include "AdminBase64CommandHandler.h"
#include "AdminCommandHandler.h"
#include "BrokerInput.h"
#include "FakeCommandContext.h"
#include "RealHostCommandRunner.h"
#include "errlog.h"

#include <QJsonDocument>
#include <QtTest>

namespace {
// The fake station with the real runner: a real /bin/sh behind the handler.
class RealShellContext : public FakeCommandContext {
public:
    HostCommandRunner& runner() override { return real; }
    RealHostCommandRunner real;
};
} // namespace

class TestAdminCommands : public QObject {
    Q_OBJECT
private slots:
    void shellGetsTheRequestAsOneArgument_data();
    void shellGetsTheRequestAsOneArgument();
    void base64Bodies_data();
    void base64Bodies();
    void replyFollowsTheShellsEnd();
    void replyOfARealShell_data();
    void replyOfARealShell();
    void spectrum_data();
    void spectrum();
};

void TestAdminCommands::shellGetsTheRequestAsOneArgument_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QJsonObject>("data");
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<QString>("logText");
    QTest::addColumn<QString>("resultText");
    const QString nasty = QStringLiteral("echo a; rm -rf \"$HOME\" `id` \n reboot");
    QTest::newRow("admin") << "admin" << QJsonObject{{"request", nasty}} << nasty << 240000
                           << "Admin request received from server: " << "Admin request result: \n";
    QTest::newRow("admin without request") << "admin" << QJsonObject() << QString() << 240000
                                           << "Admin request received from server: " << "Admin request result: \n";
    QTest::newRow("admin_base64") << "admin_base64" << QJsonObject{{"body", QString::fromLatin1(nasty.toUtf8().toBase64())}}
                                  << nasty << 120000 << "admin_base64 request received from server: "
                                  << "admin_base64 request result: \n";
    QTest::newRow("admin_base64 cut at a zero byte")
        << "admin_base64" << QJsonObject{{"body", QString::fromLatin1(QByteArray("ls\0rm x", 7).toBase64())}} << "ls" << 120000
        << "admin_base64 request received from server: " << "admin_base64 request result: \n";
}

void TestAdminCommands::shellGetsTheRequestAsOneArgument()
{
    QFETCH(QString, type);
    QFETCH(QJsonObject, data);
    QFETCH(QString, request);
    QFETCH(int, limitMs);
    QFETCH(QString, logText);
    QFETCH(QString, resultText);
    FakeCommandContext ctx;
    HostCommandResult scripted{true, 0, false, QByteArray("out\0hidden", 10)};
    ctx.recorder.scriptProgram(QStringLiteral("/bin/sh"), scripted);
    const QJsonObject message{{"msg_type", type}, {"cmd_id", "7"}, {"data", data}};
    QString sender;
    const QJsonObject reply = BrokerInput::run_command(message, ctx, &sender);
    QCOMPARE(reply.value("msg_type").toString(), QString("response"));
    QCOMPARE(reply.value("data").toObject(), (QJsonObject{{"reply", "out"}}));

    QCOMPARE(ctx.recorder.calls().size(), 1);
    const RecordingHostCommandRunner::Call call = ctx.recorder.calls().first();
    QCOMPARE(call.program, QString("/bin/sh"));
    QCOMPARE(call.arguments, (QStringList{"-c", request}));
    QCOMPARE(call.timeoutMs, limitMs);
    const QString log = QString::fromUtf8(ctx.logText());
    QVERIFY(log.contains(QStringLiteral(" ") + logText + request + "\n"));
    QVERIFY(log.endsWith(resultText + "out"));
    QCOMPARE(FakeCommandContext::alarmTexts(errlog::EVENT_ADMIN_REQUEST).value(0), logText + request);
}

void TestAdminCommands::base64Bodies_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("runs"); // empty: refused, nothing run
    QTest::newRow("padded") << "ZWNobyBoaQ==" << "echo hi";
    QTest::newRow("unpadded") << "ZWNobyBoaQ" << "echo hi";
    QTest::newRow("line-wrapped") << "ZWNo\r\nbyBo aQ==\n" << "echo hi";
    QTest::newRow("outside the alphabet") << "ZWNo*byBoaQ==" << QString();
    QTest::newRow("length 1 mod 4") << "ZWNob" << QString();
}

void TestAdminCommands::base64Bodies()
{
    QFETCH(QString, body);
    QFETCH(QString, runs);
    FakeCommandContext ctx;
    const QJsonObject data{{"body", body}};
    const QJsonObject reply = AdminBase64CommandHandler(ctx).exec(data).object();
    QCOMPARE(reply, (QJsonObject{{"reply", ""}}));
    if (runs.isEmpty()) {
        QVERIFY(ctx.recorder.calls().isEmpty());
        QVERIFY(ctx.logText().contains(" admin_base64 request refused: \"body\" is not Base64\n"));
        QVERIFY(!ctx.logText().contains("request received"));
        QVERIFY(FakeCommandContext::alarmTexts(errlog::EVENT_ADMIN_REQUEST).isEmpty());
    } else {
        QCOMPARE(ctx.recorder.commandLines(), QStringList{"/bin/sh -c " + runs});
    }
}

void TestAdminCommands::replyFollowsTheShellsEnd()
{
    FakeCommandContext ctx;
    ctx.recorder.setHoldStarts(true);
    QList<QJsonObject> replies;
    BrokerInput::start_command(QJsonObject{{"msg_type", "admin"}, {"cmd_id", "9"}, {"sender", "srv"}, {"data", QJsonObject{{"request", "sleep 1000"}}}},
                               ctx, [&replies](const QJsonObject& reply, const QString& sender) {
                                   QCOMPARE(sender, QString("srv"));
                                   replies.append(reply);
                               });
    QVERIFY(replies.isEmpty());
    QCOMPARE(ctx.recorder.heldStarts(), 1);
    HostCommandResult late;
    late.started = true;
    late.timedOut = true;
    late.output = "so far\n";
    QVERIFY(ctx.recorder.completeStart(late));
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first(), (QJsonObject{{"cmd_id", "9"}, {"msg_type", "response"}, {"data", QJsonObject{{"reply", "so far\n"}}}}));
}

void TestAdminCommands::replyOfARealShell_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<QString>("reply");
    const QString mib(HostCommandResult::kOutputLimit, QLatin1Char('a'));
    QTest::newRow("200 MB on standard output") << "head -c 200000000 /dev/zero | tr '\\0' a" << 120000
                                               << mib + "\n[198951424 bytes of output left out]\n";
    QTest::newRow("200 MB on standard error") << "echo out; head -c 200000000 /dev/zero >&2" << 120000 << "out\n";
    QTest::newRow("1 MiB + 1 byte") << "head -c 1048577 /dev/zero | tr '\\0' a" << 60000
                                    << mib + "\n[1 bytes of output left out]\n";
    QTest::newRow("1 MiB, nothing cut") << "head -c 1048576 /dev/zero | tr '\\0' a" << 60000 << mib;
    QTest::newRow("empty output") << "true" << 60000 << "";
    // The reply ends at a zero byte; past the limit the line counts what the reply lacks.
    QTest::newRow("NUL bytes") << "printf 'ab\\000cd'" << 60000 << "ab";
    QTest::newRow("NUL byte, then past the limit") << "printf 'ab\\000'; head -c 1048576 /dev/zero | tr '\\0' a" << 60000
                                                   << "ab\n[1048577 bytes of output left out]\n";
    QTest::newRow("past its time limit") << "printf early; exec sleep 30" << 300 << "early";
}

void TestAdminCommands::replyOfARealShell()
{
    QFETCH(QString, request);
    QFETCH(int, limitMs);
    QFETCH(QString, reply);
    RealShellContext ctx;
    const AdminCommandHandler::Texts texts{" Admin request received from server: ", "Admin request received from server: ",
                                           "Admin request result: \n", limitMs};
    bool answered = false;
    QJsonDocument document;
    AdminCommandHandler::runShell(ctx, request, texts, false, [&](const QJsonDocument& d) {
        document = d;
        answered = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(answered, limitMs + 60000);
    const QString text = document.object().value("reply").toString();
    QCOMPARE(text.size(), reply.size());
    QVERIFY(text == reply);
}

void TestAdminCommands::spectrum_data()
{
    QTest::addColumn<bool>("server");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<QJsonObject>("reply");
    QTest::newRow("frame") << true << QByteArray("\x01\x00\xff", 3) << 0 << QJsonObject{{"result", true}, {"reply", "AQD/"}};
    QTest::newRow("frame held back") << true << QByteArray("ab") << 40 << QJsonObject{{"result", true}, {"reply", "YWI="}};
    QTest::newRow("request not understood") << true << QByteArray() << 0 << QJsonObject{{"result", false}, {"reply", ""}};
    QTest::newRow("no spectrum server") << false << QByteArray("ab") << 40 << QJsonObject{{"result", false}, {"reply", ""}};
}

void TestAdminCommands::spectrum()
{
    QFETCH(bool, server);
    QFETCH(QByteArray, frame);
    QFETCH(int, waitMs);
    QFETCH(QJsonObject, reply);
    FakeCommandContext ctx;
    ctx.hasSpectrumServer = server;
    ctx.spectrumFrame = frame;
    ctx.spectrumWaitMs = waitMs;
    QList<QJsonObject> replies;
    BrokerInput::start_command(QJsonObject{{"msg_type", "spectrum"}, {"cmd_id", "s1"}, {"data", QJsonObject{{"request", "fft/10/1/8/125000"}}}},
                               ctx, [&replies](const QJsonObject& r, const QString&) { replies.append(r); });
    QCOMPARE(ctx.spectrumRequests, QStringList{"fft/10/1/8/125000"});
    if (server && waitMs > 0) {
        // Held back on the station's timer, never in a sleep.
        QVERIFY(replies.isEmpty());
        QCOMPARE(ctx.laterDelays, QList<int>{waitMs});
        ctx.laterActions.takeFirst()();
    }
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first().value("data").toObject(), reply);
}

QTEST_GUILESS_MAIN(TestAdminCommands)
#include "tst_admin_commands.moc"
