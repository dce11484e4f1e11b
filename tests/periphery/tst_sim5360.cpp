#include "Quabo_Pin_Controller.h"
#include "SIM5360_Controller.h"
#include "SimPinWorker.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class TestSim5360 : public QObject {
    Q_OBJECT
private slots:
    void init();
    void phoneNumber_data();
    void phoneNumber();
    void balance_data();
    void balance();
    void rssi_data();
    void rssi();
    void missingFilesGiveEmptyValuesAndLog();
    void unreadableFileGivesEmptyValueSilently();
    void everyCallRereads();
    void defaultFolder();
    void pulses_data();
    void pulses();
    void pulsesWithoutController();

private:
    void write(const QString& name, const QByteArray& content);
    std::unique_ptr<QTemporaryDir> root;
    SystemPaths paths;
};

void TestSim5360::init()
{
    root.reset(new QTemporaryDir);
    paths = SystemPaths::under(root->path());
    QVERIFY(QDir().mkpath(paths.modemScriptsDir));
}

void TestSim5360::write(const QString& name, const QByteArray& content)
{
    QFile f(QDir(paths.modemScriptsDir).filePath(name));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

void TestSim5360::phoneNumber_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("number");
    QTest::newRow("reply") << QByteArray("+CNUM: \"\",\"+79161234567\",145") << "+79161234567";
    QTest::newRow("reply with OK") << QByteArray("\r\n+CNUM: \"\",\"+79161234567\",145,7,4\r\n\r\nOK\r\n")
                                   << "+79161234567";
    QTest::newRow("named line") << QByteArray("+CNUM: \"Voice\",\"+380501112233\",145") << "+380501112233";
    QTest::newRow("first of two") << QByteArray("+CNUM: \"\",\"+111\",145\n+CNUM: \"\",\"+222\",145") << "+111";
    QTest::newRow("number last, line end") << QByteArray("+CNUM: \"\",\"+79161234567\"\r\n") << "+79161234567";
    QTest::newRow("empty quoted field alone") << QByteArray("+CNUM: \"\"") << "";
    QTest::newRow("number without plus") << QByteArray("+CNUM: \"\",\"79161234567\",129") << "";
    QTest::newRow("empty file") << QByteArray() << "";
    QTest::newRow("binary") << QByteArray("\x00\xff\xfe,\x01", 5) << "";
    QTest::newRow("quote plus alone") << QByteArray("x,\"+,y") << "";
}

void TestSim5360::phoneNumber()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, number);
    write(QStringLiteral("phone.txt"), content);
    SIM5360_Controller modem(nullptr, paths);
    QCOMPARE(modem.get_phone_number(), number);
}

void TestSim5360::balance_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("balance");
    QTest::newRow("USSD reply") << QByteArray("+CUSD: 0,\"0042\",15\r\n") << "0042";
    QTest::newRow("text kept unchanged") << QByteArray("+CUSD: 0,\" Balans: 12,50 r. \",15") << " Balans: 12,50 r. ";
    QTest::newRow("no quote") << QByteArray("Balance 12.50") << "";
    QTest::newRow("empty quotes") << QByteArray("\"\"") << "";
    QTest::newRow("empty file") << QByteArray() << "";
}

void TestSim5360::balance()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, balance);
    write(QStringLiteral("balance_enc.txt"), content);
    SIM5360_Controller modem(nullptr, paths);
    QCOMPARE(modem.get_balance(), balance);
}

void TestSim5360::rssi_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<float>("dbm");
    QTest::newRow("17") << QByteArray("+CSQ: 17,99") << -79.0f;
    QTest::newRow("2 lowest") << QByteArray("+CSQ: 2,0") << -109.0f;
    QTest::newRow("30 highest") << QByteArray("+CSQ: 30,0") << -53.0f;
    QTest::newRow("in a reply") << QByteArray("AT+CSQ\r\n+CSQ: 20,99\r\n\r\nOK\r\n") << -73.0f;
    QTest::newRow("comma before the marker") << QByteArray("x,y\n+CSQ: 10,0") << -93.0f;
    QTest::newRow("without blank") << QByteArray("+CSQ:17,99") << -79.0f;
    QTest::newRow("99 unknown") << QByteArray("+CSQ: 99,99") << 0.0f;
    QTest::newRow("31") << QByteArray("+CSQ: 31,99") << 0.0f;
    QTest::newRow("1") << QByteArray("+CSQ: 1,99") << 0.0f;
    QTest::newRow("0") << QByteArray("+CSQ: 0,99") << 0.0f;
    QTest::newRow("no marker") << QByteArray("17,99") << 0.0f;
    QTest::newRow("no comma") << QByteArray("+CSQ: 17") << 0.0f;
    QTest::newRow("not a number") << QByteArray("+CSQ: ab,99") << 0.0f;
    QTest::newRow("negative") << QByteArray("+CSQ: -5,99") << 0.0f;
    QTest::newRow("empty file") << QByteArray() << 0.0f;
}

void TestSim5360::rssi()
{
    QFETCH(QByteArray, content);
    QFETCH(float, dbm);
    write(QStringLiteral("rssi.txt"), content);
    SIM5360_Controller modem(nullptr, paths);
    QCOMPARE(modem.rssi(), dbm);
}

void TestSim5360::missingFilesGiveEmptyValuesAndLog()
{
    SIM5360_Controller modem(nullptr, paths);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^File with phone number not found: .*phone\\.txt\"$"));
    QCOMPARE(modem.get_phone_number(), QString());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^File with balance not found: .*balance_enc\\.txt\"$"));
    QCOMPARE(modem.get_balance(), QString());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^File with rssi not found: .*rssi\\.txt\"$"));
    QCOMPARE(modem.rssi(), 0.0f);
}

void TestSim5360::unreadableFileGivesEmptyValueSilently()
{
    // A folder in place of the file exists but cannot be read as one (root reads any file).
    QVERIFY(QDir().mkpath(QDir(paths.modemScriptsDir).filePath(QStringLiteral("rssi.txt"))));
    SIM5360_Controller modem(nullptr, paths);
    QCOMPARE(modem.rssi(), 0.0f);
}

void TestSim5360::everyCallRereads()
{
    SIM5360_Controller modem(nullptr, paths);
    write(QStringLiteral("phone.txt"), "+CNUM: \"\",\"+111\",145");
    write(QStringLiteral("balance_enc.txt"), "\"10\"");
    write(QStringLiteral("rssi.txt"), "+CSQ: 17,99");
    QCOMPARE(modem.get_phone_number(), QStringLiteral("+111"));
    QCOMPARE(modem.get_balance(), QStringLiteral("10"));
    QCOMPARE(modem.rssi(), -79.0f);

    write(QStringLiteral("phone.txt"), "+CNUM: \"\",\"+222\",145");
    write(QStringLiteral("balance_enc.txt"), "\"9\"");
    write(QStringLiteral("rssi.txt"), "+CSQ: 30,99");
    QCOMPARE(modem.get_phone_number(), QStringLiteral("+222"));
    QCOMPARE(modem.get_balance(), QStringLiteral("9"));
    QCOMPARE(modem.rssi(), -53.0f);

    for (const char* name : {"phone.txt", "balance_enc.txt", "rssi.txt"})
        QVERIFY(QFile::remove(QDir(paths.modemScriptsDir).filePath(QLatin1String(name))));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^File with phone number not found"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^File with balance not found"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^File with rssi not found"));
    QCOMPARE(modem.get_phone_number(), QString());
    QCOMPARE(modem.get_balance(), QString());
    QCOMPARE(modem.rssi(), 0.0f);
}

void TestSim5360::defaultFolder()
{
    SIM5360_Controller modem(nullptr);
    QCOMPARE(modem.phoneFile(), QStringLiteral("/usr/bin/modem_scripts/phone.txt"));
    QCOMPARE(modem.balanceFile(), QStringLiteral("/usr/bin/modem_scripts/balance_enc.txt"));
    QCOMPARE(modem.rssiFile(), QStringLiteral("/usr/bin/modem_scripts/rssi.txt"));
}

void TestSim5360::pulses_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("pin");
    QTest::addColumn<int>("minMs");
    QTest::newRow("power on") << "on" << 22 << 200;
    QTest::newRow("power off") << "off" << 22 << 800;
    QTest::newRow("reset") << "reset" << 23 << 70;
}

void TestSim5360::pulses()
{
    QFETCH(QString, action);
    QFETCH(int, pin);
    QFETCH(int, minMs);
    auto w = std::make_unique<SimPinWorker>();
    SimPinWorker* worker = w.get();
    auto pins = std::make_shared<Quabo_Pin_Controller>(std::move(w));
    worker->clear_trace();
    SIM5360_Controller modem(pins, paths);
    if (action == "on")
        modem.power_on();
    else if (action == "off")
        modem.power_off();
    else
        modem.reset();
    QCOMPARE(worker->level(uint8_t(pin)), high);
    QTRY_COMPARE_WITH_TIMEOUT(worker->level(uint8_t(pin)), low, 10000);
    QTest::qWait(minMs + 100);  // the pulse happens once
    const std::vector<SimPinWorker::TraceEntry> trace = worker->trace();
    QCOMPARE(trace.size(), size_t(2));
    QCOMPARE(int(trace[0].pin), pin);
    QCOMPARE(trace[0].level, high);
    QCOMPARE(int(trace[1].pin), pin);
    QCOMPARE(trace[1].level, low);
    QVERIFY(trace[1].time - trace[0].time >= std::chrono::milliseconds(minMs));
}

void TestSim5360::pulsesWithoutController()
{
    SIM5360_Controller modem(nullptr, paths);
    modem.power_on();
    modem.reset();
    modem.on_timer_pwr_on_off_timeout();
    modem.on_timer_reset_timeout();
    QTest::qWait(300);  // no timer left running into a null controller
}

QTEST_GUILESS_MAIN(TestSim5360)
#include "tst_sim5360.moc"
