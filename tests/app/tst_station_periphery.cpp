// The periphery of running simulated stations: the GSM modem's status files in a Quabo station's
// heartbeats, the simulated GPS position in a QORM station's heartbeats, and the spectrum port
// of a running tolvar-sim serving frames built from the simulated FPGA's spectrum. Heartbeats
// come every 30 s and the position from the second one on, so this takes about 70 s.
#include "StationProcess.h"
#include "TestBroker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cstring>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");

QString iniText(const QString& type, int id, const QString& url, const QString& routingKey)
{
    return QStringLiteral("[BASE_STATION]\n"
                          "BS_TYPE=%1\n"
                          "BS_ID=%2\n"
                          "QORM=true\n"
                          "LOG_FILE_PATH=station.log\n"
                          "ERR_LOG_FILE_PATH=errlog.db3\n"
                          "USE_BINARY=false\n"
                          "R_LOGIN=%3\n"
                          "R_EXCHANGE=kavro.messages\n"
                          "R_ROUTING_KEY=%4\n"
                          "TIME_SYNC=false\n"
                          "[TRANSMITTER]\n"
                          "SEND_DL=false\n")
        .arg(type)
        .arg(id)
        .arg(url, routingKey);
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// One request on a fresh connection. A request that finds no spectrum yet gets no answer and the
// connection stays open, so it is sent again until a frame comes and the server closes.
QByteArray requestFrame(quint16 port, const QByteArray& request, int timeoutMs)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000))
        return QByteArray();
    QByteArray frame;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs && socket.state() == QAbstractSocket::ConnectedState) {
        if (frame.isEmpty()) {
            socket.write(request);
            socket.flush();
        }
        socket.waitForReadyRead(1000);
        frame += socket.readAll();
    }
    frame += socket.readAll();
    return frame;
}
} // namespace

class TestStationPeriphery : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void heartbeatsAndSpectrumOfRunningStations();

private:
    TestBroker broker_;
};

void TestStationPeriphery::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
}

void TestStationPeriphery::cleanupTestCase()
{
    broker_.stop();
}

void TestStationPeriphery::heartbeatsAndSpectrumOfRunningStations()
{
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "periphery_qorm", "periphery.qorm"));
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", "periphery_quabo", "periphery.quabo"));

    QTemporaryDir qormDir;
    QTemporaryDir quaboDir;
    QVERIFY(qormDir.isValid() && quaboDir.isValid());

    // QORM: every spectrum bin of the simulated FPGA has magnitude 9999.
    StationProcess qorm(qormDir.path());
    qorm.writeIni(iniText("QORM_TYPE", 501, broker_.url(), "periphery.qorm"));
    qorm.writeScenario("set firmware 720\n"
                       "set fft_word 0x0021019A\n"
                       "set bitrate_mask 0x00FF0F03\n"
                       "set spectrum 9999\n");

    // Quabo: the modem scripts' status files in the simulation's system folder.
    StationProcess quabo(quaboDir.path());
    quabo.writeIni(iniText("QUABO_TYPE", 502, broker_.url(), "periphery.quabo"));
    quabo.writeScenario("set firmware 10043\n"
                        "set fft_word 0x0021119A\n"
                        "set bitrate_mask 0x00070301\n");
    const QString modemDir = quaboDir.filePath("sim-root/usr/bin/modem_scripts/");
    writeFile(modemDir + "phone.txt", "+CNUM: \"\",\"+79161234567\",145\r\n\r\nOK\r\n");
    writeFile(modemDir + "balance_enc.txt", "+CUSD: 0,\"0042\",15\r\n");
    writeFile(modemDir + "rssi.txt", "+CSQ: 17,99\r\n");

    QVERIFY(qorm.start({"--gps", "48.8584,2.2945"}));
    QVERIFY(quabo.start());

    // The Quabo board's transceivers were set up on the simulated board.
    QVERIFY2(waitUntil([&] { return quabo.log().contains("Axsem inited"); }, 30000), quabo.output().right(4000).constData());
    QVERIFY2(quabo.log().contains("AT86 inited"), quabo.log().constData());

    // Spectrum frames: 20 log10(9999 + 1) - 210 (the default log offset) = -130 dB in band 1, coded
    // 255 x (175 - 130) / 125 = 91.8 -> 91. Band 2 scales the magnitude by 32/20 (15998):
    // 84.08 - 210 = -125.92 dB -> 100.
    QVERIFY2(waitUntil([&] { return qorm.spectrumPort() != 0; }, 30000), qorm.output().right(4000).constData());
    const quint16 port = qorm.spectrumPort();
    const struct {
        QByteArray request;
        quint8 point;
    } bands[] = {{"x/10/600/8/192", 91}, {"x/10/600/8/96", 100}};
    for (const auto& band : bands) {
        const QByteArray frame = requestFrame(port, band.request, 30000);
        QVERIFY2(frame.size() == 609, qPrintable(QStringLiteral("%1: %2 bytes").arg(QString::fromLatin1(band.request)).arg(frame.size())));
        const auto* bytes = reinterpret_cast<const uchar*>(frame.constData());
        QCOMPARE(qFromLittleEndian<quint16>(bytes), quint16(600));
        QCOMPARE(qFromLittleEndian<quint16>(bytes + 2), quint16(96));
        QCOMPARE(int(bytes[4]), 100);
        const QByteArray points = frame.mid(9);
        QCOMPARE(points, QByteArray(600, char(band.point)));
    }

    // Two heartbeats of each station; the Quabo's status files change in between.
    Received fromQorm;
    Received fromQuabo;
    bool changed = false;
    const bool arrived = waitUntil(
        [&] {
            drainQueue(broker_, "periphery_qorm", fromQorm);
            drainQueue(broker_, "periphery_quabo", fromQuabo);
            if (!changed && !fromQuabo.heartbeats.isEmpty()) {
                writeFile(modemDir + "rssi.txt", "AT+CSQ\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
                QFile::remove(modemDir + "balance_enc.txt");
                changed = true;
            }
            return fromQorm.heartbeats.size() >= 2 && fromQuabo.heartbeats.size() >= 2;
        },
        150000);
    QVERIFY2(arrived, qPrintable(QStringLiteral("heartbeats: QORM %1, Quabo %2")
                                     .arg(fromQorm.heartbeats.size())
                                     .arg(fromQuabo.heartbeats.size())));

    QVERIFY(qorm.terminate());
    QVERIFY(quabo.terminate());
    QCOMPARE(qorm.exitCode(), 0);
    QCOMPARE(quabo.exitCode(), 0);

    // The poll runs on the heartbeat tick: the first heartbeat carries the never-fixed (0, 0), the
    // second the simulated position.
    const QJsonObject q1 = fromQorm.heartbeats.at(0);
    const QJsonObject q2 = fromQorm.heartbeats.at(1);
    QCOMPARE(q1.value("latitude").toDouble(), 0.0);
    QCOMPARE(q1.value("longitude").toDouble(), 0.0);
    QCOMPARE(q2.value("latitude").toDouble(), 48.8584);
    QCOMPARE(q2.value("longitude").toDouble(), 2.2945);
    QVERIFY(!q1.contains("gsm_data"));
    QCOMPARE(q2.value("bs_type").toString(), QString("QORM"));

    const QJsonObject b1 = fromQuabo.heartbeats.at(0);
    const QJsonObject b2 = fromQuabo.heartbeats.at(1);
    QCOMPARE(b1.value("bs_type").toString(), QString("Quabo"));
    QCOMPARE(b1.value("gsm_data").toObject(),
             (QJsonObject{{"sim_number", "+79161234567"}, {"balance", "0042"}, {"rssi", "-79"}}));
    // Every heartbeat reads the files again: a new signal level, a balance file gone.
    QCOMPARE(b2.value("gsm_data").toObject(), (QJsonObject{{"sim_number", "+79161234567"}, {"balance", ""}, {"rssi", "-73"}}));
}

QTEST_GUILESS_MAIN(TestStationPeriphery)
#include "tst_station_periphery.moc"
