// The command family: which type text makes which handler, the exact failure text, and what the
// station's dispatcher makes of a handler's result.
#include "AdminBase64CommandHandler.h"
#include "AdminCommandHandler.h"
#include "BSConfigCommandHandler.h"
#include "SpectrumCommandHandler.h"
#include "BackupConfigCommandHandler.h"
#include "BrokerInput.h"
#include "CommandHandlersFactoryImpl.h"
#include "ErrLogConfigCommandHandler.h"
#include "FakeCommandContext.h"
#include "FileCommandHandler.h"
#include "GPSConfigCommandHandler.h"
#include "HBCommandHandler.h"
#include "MesLogConfigCommandHandler.h"
#include "NTPConfigCommandHandler.h"
#include "NetworkConfigCommandHandler.h"
#include "TimeConfigCommandHandler.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <functional>
#include <stdexcept>

using IsHandler = std::function<bool(ICommandHandler*)>;
Q_DECLARE_METATYPE(IsHandler)

namespace {
template <typename Handler>
IsHandler is()
{
    return [](ICommandHandler* h) { return dynamic_cast<Handler*>(h) != nullptr; };
}

QJsonObject obj(const char* json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}
} // namespace

class TestCommandFactory : public QObject {
    Q_OBJECT
private slots:
    void knownTypes_data();
    void knownTypes();
    void unknownTypes_data();
    void unknownTypes();
    void everyCommandGetsItsOwnHandler();
    void replies_data();
    void replies();
};

void TestCommandFactory::knownTypes_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<IsHandler>("isHandler");
    QTest::newRow("hb") << "hb" << is<HBCommandHandler>();
    QTest::newRow("admin") << "admin" << is<AdminCommandHandler>();
    QTest::newRow("admin_base64") << "admin_base64" << is<AdminBase64CommandHandler>();
    QTest::newRow("bsconfig") << "bsconfig" << is<BSConfigCommandHandler>();
    QTest::newRow("file") << "file" << is<FileCommandHandler>();
    QTest::newRow("spectrum") << "spectrum" << is<SpectrumCommandHandler>();
    QTest::newRow("gpsconfig") << "gpsconfig" << is<GPSConfigCommandHandler>();
    QTest::newRow("timeconfig") << "timeconfig" << is<TimeConfigCommandHandler>();
    QTest::newRow("ntpconfig") << "ntpconfig" << is<NTPConfigCommandHandler>();
    QTest::newRow("network") << "network" << is<NetworkConfigCommandHandler>();
    QTest::newRow("meslog") << "meslog" << is<MesLogConfigCommandHandler>();
    QTest::newRow("errlog") << "errlog" << is<ErrLogConfigCommandHandler>();
    QTest::newRow("backup") << "backup" << is<BackupConfigCommandHandler>();
}

void TestCommandFactory::knownTypes()
{
    QFETCH(QString, type);
    QFETCH(IsHandler, isHandler);
    FakeCommandContext ctx;
    const std::shared_ptr<ICommandHandler> handler = CommandHandlersFactoryImpl::create(type, ctx);
    QVERIFY(handler);
    QVERIFY(isHandler(handler.get()));
    QCOMPARE(handler->type(), type);
}

void TestCommandFactory::unknownTypes_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("text");
    QTest::newRow("letter case") << "HB" << "HBdoes not registered";
    QTest::newRow("trailing blank") << "hb " << "hb does not registered";
    QTest::newRow("case of a built type") << "BSCONFIG" << "BSCONFIGdoes not registered";
    QTest::newRow("empty") << "" << "does not registered";
    QTest::newRow("unknown") << "frobnicate" << "frobnicatedoes not registered";
    // The reply names at most 255 characters of the type, whatever a sender put there.
    QTest::newRow("255 characters") << QString(255, 'q') << QString(255, 'q') + "does not registered";
    QTest::newRow("256 characters") << QString(256, 'q') << QString(255, 'q') + "does not registered";
    QTest::newRow("a pair of surrogates at the cut") << QString(254, 'q') + QString::fromUtf8("\xF0\x9F\x93\xA1")
                                                     << QString(254, 'q') + "does not registered";
}

void TestCommandFactory::unknownTypes()
{
    QFETCH(QString, type);
    QFETCH(QString, text);
    FakeCommandContext ctx;
    try {
        CommandHandlersFactoryImpl::create(type, ctx);
        QFAIL("no exception");
    } catch (const std::runtime_error& e) {
        QCOMPARE(QString::fromUtf8(e.what()), text);
    }
}

void TestCommandFactory::everyCommandGetsItsOwnHandler()
{
    FakeCommandContext ctx;
    const auto first = CommandHandlersFactoryImpl::create("errlog", ctx);
    const auto second = CommandHandlersFactoryImpl::create("errlog", ctx);
    QVERIFY(first.get() != second.get());
}

void TestCommandFactory::replies_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QJsonObject>("reply");
    QTest::newRow("object in data") << QByteArray(R"({"msg_type":"backup","cmd_id":"c1","sender":"s","data":{"cmd":"delete"}})")
                                    << obj(R"({"cmd_id":"c1","msg_type":"response","data":{"result":true}})");
    QTest::newRow("array in data") << QByteArray(R"({"msg_type":"meslog","cmd_id":"c2","sender":"s","data":{"cmd":"get"}})")
                                   << obj(R"({"cmd_id":"c2","msg_type":"response","data":[]})");
    QTest::newRow("no data: the whole message") << QByteArray(R"({"msg_type":"backup","cmd":"info","cmd_id":"c3"})")
                                                << obj(R"({"cmd_id":"c3","msg_type":"response","data":{}})");
    QTest::newRow("data not an object") << QByteArray(R"({"msg_type":"backup","cmd_id":"c4","data":[1]})")
                                        << obj(R"({"cmd_id":"c4","msg_type":"response","data":{"result":false}})");
    QTest::newRow("empty document: data null") << QByteArray(R"({"msg_type":"hb","cmd_id":"c6","data":{"s_time":0}})")
                                                << obj(R"({"cmd_id":"c6","msg_type":"response","data":null})");
    QTest::newRow("failure inside exec keeps cmd_id")
        << QByteArray(R"({"msg_type":"bsconfig","cmd_id":"c5","data":{"cmd":"change_params","ntp":true}})")
        << obj(R"({"cmd_id":"c5","msg_type":"error","data":"ntp service failed"})");
}

void TestCommandFactory::replies()
{
    QFETCH(QByteArray, message);
    QFETCH(QJsonObject, reply);
    FakeCommandContext ctx;
    ctx.ntpThrows = QStringLiteral("ntp service failed");
    QString sender;
    QCOMPARE(BrokerInput::run_command(QJsonDocument::fromJson(message).object(), ctx, &sender), reply);
}

QTEST_GUILESS_MAIN(TestCommandFactory)
#include "tst_command_factory.moc"
