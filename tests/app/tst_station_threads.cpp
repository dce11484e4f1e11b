// The whole simulated station with every thread busy at once, for the ThreadSanitizer build:
// the reader thread plays uplink records and spectra, spectrum clients keep the server thread
// busy, broker messages and replies keep the main thread busy, then SIGTERM stops it all. In the
// ThreadSanitizer tree any data race the station runs into makes it report and exit non-zero.
#include "StationProcess.h"
#include "TestBroker.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");
const int kStationId = 4321;

QString iniText(const QString& url)
{
    return QStringLiteral("[BASE_STATION]\n"
                          "BS_TYPE=QORM_TYPE\n"
                          "BS_ID=%1\n"
                          "QORM=true\n"
                          "LOG_FILE_PATH=station.log\n"
                          "ERR_LOG_FILE_PATH=errlog.db3\n"
                          "USE_BINARY=false\n"
                          "SAVE_TO_DISK=true\n"
                          "R_LOGIN=%2\n"
                          "R_EXCHANGE=kavro.messages\n"
                          "R_ROUTING_KEY=threads.uplink\n"
                          "TIME_SYNC=false\n"
                          "[TRANSMITTER]\n"
                          "SEND_DL=false\n")
        .arg(kStationId)
        .arg(url);
}

// Uplink records every 250 ms for the first 8 s, on both FIFOs.
QString scenarioText()
{
    QString text = QStringLiteral("set firmware 720\n"
                                  "set fft_word 0x0021019A\n"
                                  "set bitrate_mask 0x00FF0F03\n"
                                  "set spectrum 9999\n");
    for (int i = 0; i < 32; ++i) {
        text += QStringLiteral("at %1 message low type=D id=0x%2 payload=01020304050607%3 rate=50 freq=200 rssi=0x100000\n")
                    .arg(250 * (i + 1))
                    .arg(0xB000 + i, 6, 16, QLatin1Char('0'))
                    .arg(i % 100, 2, 10, QLatin1Char('0'));
    }
    text += QStringLiteral("at 4000 message high type=E id=0x12345678 iter=5 payload=1112131415161718 mic=0xABCDEF rate=3200 "
                           "freq=10 rotation=5 rssi=0x100000\n");
    return text;
}

// Spectrum clients that keep asking: each one that got its frame (the server closes it) comes
// back on a new connection, and one that got nothing yet (no spectrum) asks again. The first
// client sends its request in two pieces.
struct SpectrumClients {
    quint16 port = 0;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    int frames = 0;

    static QByteArray request(size_t index)
    {
        return index % 2 ? QByteArrayLiteral("x/20/600/8/192") : QByteArrayLiteral("x/20/600/5/96");
    }
    void open(size_t index)
    {
        auto& s = sockets[index];
        s.reset(new QTcpSocket);
        s->connectToHost(QHostAddress::LocalHost, port);
        if (!s->waitForConnected(5000))
            return;
        if (index == 0) {
            s->write(request(index).left(5));
            s->waitForBytesWritten(1000);
            QTest::qWait(20);
            s->write(request(index).mid(5));
        } else {
            s->write(request(index));
        }
        s->flush();
    }
    void start(size_t count)
    {
        sockets.resize(count);
        for (size_t i = 0; i < count; ++i)
            open(i);
    }
    void poll()
    {
        for (size_t i = 0; i < sockets.size(); ++i) {
            QTcpSocket& s = *sockets[i];
            if (s.state() == QAbstractSocket::UnconnectedState) {
                if (s.isOpen() && !s.readAll().isEmpty())
                    ++frames;
                open(i);
            } else if (s.bytesAvailable() == 0) {
                s.write(request(i));
                s.flush();
            }
        }
    }
};
} // namespace

class TestStationThreads : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyThreadBusyThenSigterm();

private:
    TestBroker broker_;
};

void TestStationThreads::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
    // Every report of the station, not only the first, ends up in its output.
    qputenv("TSAN_OPTIONS", qgetenv("TSAN_OPTIONS") + ":halt_on_error=0");
}

void TestStationThreads::cleanupTestCase()
{
    broker_.stop();
}

void TestStationThreads::everyThreadBusyThenSigterm()
{
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "threads_uplinks", "threads.uplink"));
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "threads_replies", "threads.replies"));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StationProcess station(dir.path());
    station.writeIni(iniText(broker_.url()));
    station.writeScenario(scenarioText());
    QVERIFY(station.start());
    QVERIFY2(waitUntil([&] { return station.spectrumPort() != 0; }, 60000), station.output().right(4000).constData());

    SpectrumClients clients;
    clients.port = station.spectrumPort();
    clients.start(4);
    QTcpSocket idle;  // connected and silent until the stop
    idle.connectToHost(QHostAddress::LocalHost, clients.port);
    QVERIFY(idle.waitForConnected(5000));

    // A command published before the station has bound its queue finds no queue: the first one
    // goes again until it is answered.
    auto command = [](int i) {
        return QStringLiteral(R"({"msg_type":"nosuch","cmd_id":"t-%1","sender":"threads.replies","data":{}})").arg(i).toUtf8();
    };
    int replies = 0;
    auto takeReplies = [&] {
        QByteArray body;
        while (broker_.get("threads_replies", &body, 30000))
            ++replies;
    };
    const bool bound = waitUntil(
        [&] {
            clients.poll();
            broker_.publish(kExchange, QStringLiteral("station_cmd.%1").arg(kStationId), command(0));
            takeReplies();
            return replies > 0;
        },
        120000);
    QVERIFY2(bound, station.output().right(4000).constData());

    // Broker messages while the clients keep asking: commands answered on the reply key, a
    // downlink the station has no transmitter for, and bodies that are not requests at all.
    for (int i = 1; i < 5; ++i) {
        QVERIFY(broker_.publish(kExchange, QStringLiteral("station_cmd.%1").arg(kStationId), command(i)));
        QVERIFY(broker_.publish(kExchange, QStringLiteral("station.%1").arg(kStationId),
                                R"({"modem_id":41394,"payload":"0102","phy":"DL_DBPSK_50_PROT_D","time_outdate":2000000000})"));
        QVERIFY(broker_.publish(kExchange, QStringLiteral("station.%1").arg(kStationId), "not json"));
        clients.poll();
    }

    Received uplinks;
    const bool busy = waitUntil(
        [&] {
            clients.poll();
            takeReplies();
            drainQueue(broker_, "threads_uplinks", uplinks);
            return replies >= 5 && uplinks.records.size() >= 20 && clients.frames >= 8;
        },
        120000);
    QVERIFY2(busy, qPrintable(QStringLiteral("replies %1, uplink records %2, spectrum frames %3\n%4")
                                  .arg(replies)
                                  .arg(uplinks.records.size())
                                  .arg(clients.frames)
                                  .arg(QString::fromUtf8(station.output().right(4000)))));

    // Stopped with clients still waiting for frames and one idle.
    QVERIFY(station.terminate(120000));
    const QByteArray output = station.output();
    const int report = output.indexOf("WARNING: ThreadSanitizer");
    if (report >= 0) {
        // A test message is cut short; the reports go out line by line, the first ones whole and
        // then the one-line summary of every report, so none hides behind the cut.
        for (const QByteArray& line : output.mid(report, 60000).split('\n'))
            qWarning("%s", line.constData());
        for (const QByteArray& line : output.mid(report).split('\n')) {
            if (line.startsWith("SUMMARY: ThreadSanitizer"))
                qWarning("%s", line.constData());
        }
    }
    QVERIFY2(report < 0, "ThreadSanitizer reported on the station (see the lines above)");
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestStationThreads)
#include "tst_station_threads.moc"
