// Texts from outside that a TCPBS station quotes in its log lines: an old-style gateway's
// heartbeat, a downlink request's phy name, a "file" command's file name. A line feed followed by
// a time stamp would forge a log line, an escape sequence would reach the terminal of whoever
// follows the log: both are written as \xHH, in the log file and on standard output alike.
#include "StationCommands.h"
#include "StationProcess.h"
#include "TestBroker.h"

#include <QJsonDocument>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <utility>
#include <vector>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");
const QString kSender = QStringLiteral("escapes.replies");
const int kStationId = 4323;

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The part of a file written after offset, in lines.
QList<QByteArray> linesAfter(const QString& path, qint64 offset)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset))
        return {};
    return f.readAll().split('\n');
}

QList<QByteArray> holding(const QList<QByteArray>& lines, const QByteArray& marker)
{
    QList<QByteArray> out;
    for (const QByteArray& line : lines)
        if (line.contains(marker))
            out << line;
    return out;
}
} // namespace

class TestLogEscapesE2E : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void quotedTextsEscaped_data();
    void quotedTextsEscaped();

private:
    TestBroker broker_;
    QTemporaryDir dir_;
    std::unique_ptr<StationProcess> station_;
    std::vector<std::unique_ptr<QTcpSocket>> gateways_;
    int asked_ = 0;
};

void TestLogEscapesE2E::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY(dir_.isValid());
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "escapes_replies", kSender));
    station_ = std::make_unique<StationProcess>(dir_.path());
    station_->writeIni(QStringLiteral("[BASE_STATION]\nBS_TYPE=TCPBS_TYPE\nBS_ID=%1\nQORM=true\nLOG_FILE_PATH=station.log\n"
                                      "ERR_LOG_FILE_PATH=errlog.db3\nUSE_BINARY=false\nSAVE_TO_DISK=false\nR_LOGIN=%2\n"
                                      "R_EXCHANGE=kavro.messages\nR_ROUTING_KEY=backend.vexa_uplink\nMODE=e2e\n"
                                      "TIME_SYNC=false\n[TRANSMITTER]\nSEND_DL=true\n")
                           .arg(QString::number(kStationId), broker_.url()));
    station_->writeScenario(QString());
    QVERIFY(station_->start({QStringLiteral("--gateway-port"), QStringLiteral("0")}));
    QVERIFY2(waitUntil([&] { return station_->gatewayPort() != 0; }, 30000), station_->output().right(4000).constData());
    // The queue takes downlinks and commands alike once a command is answered.
    QJsonObject reply;
    QVERIFY2(askUntilAnswered(broker_, kExchange, QStringLiteral("station_cmd.%1").arg(kStationId), "escapes_replies",
                              kSender, "ready", "file", R"({"cmd":"read","filename":"absent"})", &reply),
             station_->output().right(4000).constData());
}

void TestLogEscapesE2E::cleanupTestCase()
{
    gateways_.clear();
    if (station_) {
        QVERIFY(station_->terminate());
        QCOMPARE(station_->exitCode(), 0);
    }
    broker_.stop();
}

void TestLogEscapesE2E::quotedTextsEscaped_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("text");     // as the peer sends it
    QTest::addColumn<QString>("log");         // the log file that quotes it
    QTest::addColumn<QByteArray>("escaped");  // as the log line holds it
    QTest::addColumn<QByteArray>("forged");   // how a forged line would start; unique per row

    // At most 64 bytes: "heartbeat" and what a gateway may add to it.
    QTest::newRow("old-style gateway heartbeat")
        << "gateway" << QByteArray("heartbeat\r\x1b[2J\n2026.12.11 09:00:00.000 FORGED-HB") << "tcp_station.log"
        << QByteArray("heartbeat\\x0D\\x1B[2J\\x0A2026.12.11 09:00:00.000 FORGED-HB")
        << QByteArray("2026.12.11 09:00:00.000 FORGED-HB");
    // No longer than the longest phy name, or the request is refused unquoted.
    QTest::newRow("downlink request's phy name")
        << "downlink" << QByteArray("\r\x1b[2J\nFORGED-PHY") << "station.log" << QByteArray("\\x0D\\x1B[2J\\x0AFORGED-PHY")
        << QByteArray("FORGED-PHY");
    QTest::newRow("file command's file name")
        << "file" << QByteArray("f\r\x1b[2J\n2026.12.11 09:00:00.000 FORGED-FILE") << "station.log"
        << QByteArray("f\\x0D\\x1B[2J\\x0A2026.12.11 09:00:00.000 FORGED-FILE")
        << QByteArray("2026.12.11 09:00:00.000 FORGED-FILE");
}

void TestLogEscapesE2E::quotedTextsEscaped()
{
    QFETCH(QString, source);
    QFETCH(QByteArray, text);
    QFETCH(QString, log);
    QFETCH(QByteArray, escaped);
    QFETCH(QByteArray, forged);
    const QString logPath = station_->path(log);
    const QString outPath = station_->path("stdout.txt");
    const qint64 logFrom = QFileInfo(logPath).size();
    const qint64 outFrom = QFileInfo(outPath).size();

    if (source == "gateway") {
        gateways_.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket& gw = *gateways_.back();
        gw.connectToHost(QHostAddress::LocalHost, station_->gatewayPort());
        QVERIFY(gw.waitForConnected(10000));
        QCOMPARE(gw.write(text), qint64(text.size()));
        QVERIFY(gw.waitForBytesWritten(10000));
    } else if (source == "downlink") {
        const QJsonObject request{{"modem_id", 0x700050}, {"payload", "0102030405060708"}, {"phy", QString::fromUtf8(text)},
                                  {"frequency", 869100000}, {"time_outdate", 2000000000}};
        QVERIFY(broker_.publish(kExchange, QStringLiteral("station.%1").arg(kStationId), json(request)));
    } else {
        const QJsonObject data{{"cmd", "write"}, {"filename", QString::fromUtf8(text)}, {"body", "eA=="}};
        QVERIFY(broker_.publish(kExchange, QStringLiteral("station_cmd.%1").arg(kStationId),
                                commandBody("file", QStringLiteral("escapes-%1").arg(++asked_), kSender,
                                            QString::fromUtf8(json(data)))));
    }

    // The station's other lines come at any time: only the line holding this row's last word
    // counts.
    const QByteArray marker = forged.mid(forged.lastIndexOf(' ') + 1);
    QVERIFY2(waitUntil(
                 [&] {
                     return !holding(linesAfter(logPath, logFrom), marker).isEmpty()
                         && !holding(linesAfter(outPath, outFrom), marker).isEmpty();
                 },
                 30000),
             station_->output().right(4000).constData());
    for (const auto& [path, from] : {std::pair{logPath, logFrom}, std::pair{outPath, outFrom}}) {
        const QList<QByteArray> lines = linesAfter(path, from);
        const QList<QByteArray> quoting = holding(lines, marker);
        QVERIFY2(quoting.size() == 1, qPrintable(path + ": " + QString::number(quoting.size()) + " lines"));
        QVERIFY2(quoting.first().contains(escaped), quoting.first().toPercentEncoding(" :.[]\\").constData());
        for (const QByteArray& line : lines) {
            QVERIFY2(!line.startsWith(forged), qPrintable(path));
            QVERIFY2(!line.contains("\x1b[2J"), qPrintable(path));
        }
    }
}

QTEST_GUILESS_MAIN(TestLogEscapesE2E)
#include "tst_log_escapes_e2e.moc"
