// "file" commands to a running tolvar-sim through a private RabbitMQ: every name lands inside its
// sim-root, whatever it says, so that a test run as root never touches the machine's files; a
// reply to a "sender" no routing key can carry is logged as not sent.
#include "StationCommands.h"
#include "StationProcess.h"
#include "TestBroker.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");
const QString kSender = QStringLiteral("files.replies");
const int kStationId = 4322;

QString json(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
} // namespace

class TestSimFileCommands : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void pathsStayInsideSimRoot_data();
    void pathsStayInsideSimRoot();
    void replyToAnOverlongSender();

private:
    QJsonObject ask(const QString& id, const QJsonObject& data);

    TestBroker broker_;
    QTemporaryDir dir_;
    std::unique_ptr<StationProcess> station_;
    QString cmdKey_;
    int asked_ = 0;
};

void TestSimFileCommands::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY(dir_.isValid());
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "files_replies", kSender));
    station_ = std::make_unique<StationProcess>(dir_.path());
    QVERIFY(QDir().mkpath(station_->path("sim-root/etc")));
    station_->writeIni(simStationIni(kStationId, broker_.url(), false));
    station_->writeScenario(QStringLiteral("set firmware 720\n"));
    QVERIFY(station_->start());
    cmdKey_ = QStringLiteral("station_cmd.%1").arg(kStationId);
    QJsonObject reply;
    QVERIFY2(askUntilAnswered(broker_, kExchange, cmdKey_, "files_replies", kSender, "ready", "file",
                              R"({"cmd":"read","filename":"absent"})", &reply),
             station_->output().right(4000).constData());
}

void TestSimFileCommands::cleanupTestCase()
{
    if (station_) {
        QVERIFY(station_->terminate());
        QCOMPARE(station_->exitCode(), 0);
    }
    broker_.stop();
}

QJsonObject TestSimFileCommands::ask(const QString& id, const QJsonObject& data)
{
    const QString cmdId = QStringLiteral("%1-%2").arg(id).arg(++asked_);
    if (!broker_.publish(kExchange, cmdKey_, commandBody("file", cmdId, kSender, json(data))))
        return QJsonObject{{"error", "not published"}};
    QJsonObject reply;
    if (!waitUntil([&] { return takeReply(broker_, "files_replies", cmdId, &reply); }, 30000))
        return QJsonObject{{"error", "no reply"}};
    return reply.value("data").toObject();
}

void TestSimFileCommands::pathsStayInsideSimRoot_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("inside"); // where it lands under sim-root; empty: refused
    QTest::newRow("/etc/hostname") << "/etc/hostname" << "etc/hostname";
    QTest::newRow("x") << "x" << "x";
    QTest::newRow("../x") << "../x" << "";
    QTest::newRow("a/../../x") << "a/../../x" << "";
}

void TestSimFileCommands::pathsStayInsideSimRoot()
{
    QFETCH(QString, name);
    QFETCH(QString, inside);
    // "../x" from sim-root would be this file, beside it.
    const QString outside = station_->path("x");
    putFile(outside, "outside");
    if (!inside.isEmpty())
        putFile(station_->path("sim-root/" + inside), "before");

    // Read first: a name that escaped would show another file before anything is written.
    const QJsonObject read = ask("read", QJsonObject{{"cmd", "read"}, {"filename", name}});
    if (inside.isEmpty()) {
        QCOMPARE(read, (QJsonObject{{"result", false}}));
        QCOMPARE(ask("write", QJsonObject{{"cmd", "write"}, {"filename", name}, {"body", "d3JpdHRlbg=="}}), (QJsonObject{{"result", false}}));
        QCOMPARE(fileContent(outside), QByteArray("outside"));
        QVERIFY2(waitUntil([&] { return station_->log().contains("the name leaves "); }, 10000), station_->log().right(2000).constData());
        return;
    }
    QCOMPARE(read, (QJsonObject{{"result", true}, {"filename", name}, {"body", "YmVmb3Jl"}}));
    QCOMPARE(ask("write", QJsonObject{{"cmd", "write"}, {"filename", name}, {"body", "d3JpdHRlbg=="}}), (QJsonObject{{"result", true}}));
    QCOMPARE(fileContent(station_->path("sim-root/" + inside)), QByteArray("written"));
    QCOMPARE(fileContent(outside), QByteArray("outside"));
}

// 300 characters is no routing key AMQP can carry: the reply is logged as not sent, and the
// link goes on answering.
void TestSimFileCommands::replyToAnOverlongSender()
{
    QVERIFY(broker_.publish(kExchange, cmdKey_,
                            commandBody("file", "long-sender", QString(300, 's'), R"({"cmd":"read","filename":"absent"})")));
    const QByteArray line = "Reply not sent: its routing key (the request's \"sender\") is 300 bytes long, more than 255";
    QVERIFY2(waitUntil([&] { return station_->log().contains(line); }, 30000), station_->log().right(2000).constData());
    QCOMPARE(ask("after", QJsonObject{{"cmd", "read"}, {"filename", "absent"}}), (QJsonObject{{"result", false}}));
}

QTEST_GUILESS_MAIN(TestSimFileCommands)
#include "tst_sim_file_commands.moc"
