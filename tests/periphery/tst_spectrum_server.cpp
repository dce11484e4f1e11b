#include "SpectrumPacer.h"
#include "spectrum_server.h"

#include "SpectrumFrameReading.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <cmath>
#include <thread>

namespace {

// A pacer on a clock the test moves by hand (milliseconds): sleeping advances the clock.
struct FakeTime {
    qint64 now = 1000;
    QList<qint64> sleeps;
};

SpectrumPacer* fakePacer(FakeTime& t)
{
    return new SpectrumPacer([&t] { return t.now * 1000; },
                             [&t](qint64 us) {
                                 t.sleeps << us / 1000;
                                 t.now += us / 1000;
                             });
}

QVector<quint32> flat(int n, quint32 value)
{
    return QVector<quint32>(n, value);
}

// Reads until the peer closes or `expected` bytes arrived.
QByteArray readFrame(QTcpSocket& socket, int expected)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (got.size() < expected && t.elapsed() < 20000) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(200)
            && socket.state() == QAbstractSocket::UnconnectedState)
            break;
        got += socket.readAll();
    }
    return got;
}

// The server on a thread of its own, as the station runs it.
struct ServerThread {
    spectrum_server* server = nullptr;
    QThread thread;
    quint16 port = 0;

    ServerThread(const QString& logPath, SpectrumPacer* pacer, int idleMs = spectrum_server::kIdleTimeoutMs)
    {
        server = new spectrum_server(logPath, QHostAddress::LocalHost, 0);
        server->setPacer(pacer);
        server->setIdleTimeout(idleMs);
        // Spectra stored before the thread starts (thread start orders them for the server thread).
        server->set_spectrum_data(flat(1024, 77), 1024, Band1);
        server->set_spectrum_data(flat(1024, 77), 1024, Band2);
        port = server->serverPort();
        server->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, server, &QObject::deleteLater);
        thread.start();
    }
    // Stops as the station does: close the listener, end the thread; returns the milliseconds taken.
    qint64 stop()
    {
        QElapsedTimer t;
        t.start();
        QMetaObject::invokeMethod(server, &spectrum_server::stopServer, Qt::QueuedConnection);
        thread.quit();
        thread.wait();
        return t.elapsed();
    }
    ~ServerThread()
    {
        if (thread.isRunning())
            stop();
    }
};

bool connectClient(QTcpSocket& client, quint16 port)
{
    client.connectToHost(QHostAddress::LocalHost, port);
    return client.waitForConnected(5000);
}

bool closedByPeer(QTcpSocket& client, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (client.state() != QAbstractSocket::UnconnectedState && t.elapsed() < timeoutMs)
        client.waitForDisconnected(100);
    return client.state() == QAbstractSocket::UnconnectedState;
}

QByteArray logText(const QString& path)
{
    QFile log(path);
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

} // namespace

class TestSpectrumServer : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qRegisterMetaType<Bands>("Bands");
        qRegisterMetaType<QVector<quint32>>("QVector<quint32>");
    }
    void init();
    void cleanup();

    void framePerBandWithItsNoise();
    void noSpectrumYetGivesEmptyFrame();
    void emptySpectrumKeepsThePreviousOne();
    void logOffsetApplies();
    void unknownBandIgnored();
    void pacingWithInjectedClock();
    void pacingLowerBoundOnRealClock();
    void listensAndLogs();
    void listenFailureIsLogged();

    void tcpServesOneFramePerConnection_data();
    void tcpServesOneFramePerConnection();
    void tcpMalformedRequestsKeepConnection_data();
    void tcpMalformedRequestsKeepConnection();
    void tcpRequestInPieces_data();
    void tcpRequestInPieces();
    void tcpRequestLength_data();
    void tcpRequestLength();
    void tcpRandomBytesNeverStall();
    void tcpClientGoneIsDeleted();
    void tcpClientLimit();
    void tcpIdleClientsClosed_data();
    void tcpIdleClientsClosed();
    void tcpFramelessClientsGiveWayAtTheIdleLimit();
    void tcpRefusalsLoggedAsACount();
    void tcpRepliesKeepTheSharedOrder();
    void queuedRepliesHoldUpNeitherServerNorStop();
    void commandWaitsAtMostOnePeriod();
    void stopServerRefusesNewButCommandStillWorks();

private:
    std::unique_ptr<QTemporaryDir> dir;
    FakeTime time;
    SpectrumPacer* pacer = nullptr;
    QString logPath() const { return dir->filePath(QStringLiteral("spectrum.log")); }
};

void TestSpectrumServer::init()
{
    dir.reset(new QTemporaryDir);
    time = FakeTime();
    pacer = fakePacer(time);
}

void TestSpectrumServer::cleanup()
{
    delete pacer;
    pacer = nullptr;
}

void TestSpectrumServer::framePerBandWithItsNoise()
{
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(pacer);
    s.set_current_noise_band1(-140.5f);
    s.set_current_noise_band2(-120.25f);
    s.set_spectrum_data(flat(1024, 0), 1024, Band1);
    s.set_spectrum_data(flat(1024, 999), 1024, Band2);

    const QByteArray b1 = s.get_current_frame(QStringLiteral("x/10/600/8/192"));
    QCOMPARE(b1.size(), 609);
    QCOMPARE(uchar(b1.at(0)) | (uchar(b1.at(1)) << 8), 600);
    QCOMPARE(uchar(b1.at(2)) | (uchar(b1.at(3)) << 8), 96);
    QCOMPARE(uchar(b1.at(4)), uchar(100));
    QCOMPARE(frameHeaderNoise(b1), -140.5f);
    // All magnitudes 0: every point is -LogOffset = -210 dB, clamped to the floor.
    for (int i = 9; i < b1.size(); ++i)
        QCOMPARE(uchar(b1.at(i)), uchar(0));

    const QByteArray b2 = s.get_current_frame(QStringLiteral("x/10/600/5/96"));
    QCOMPARE(b2.size(), 9 + 375);
    QCOMPARE(frameHeaderNoise(b2), -120.25f);
    // 20 log10(1000) - 210 = -150 dB: code 31 * 25 / 125 = 6 in every slot.
    quint64 word = 0;
    for (int b = 0; b < 5; ++b)
        word |= quint64(uchar(b2.at(9 + b))) << (8 * b);
    for (int k = 0; k < 8; ++k)
        QCOMPARE(int((word >> (5 * k)) & 31), 6);

    QVERIFY(s.get_current_frame(QStringLiteral("x/10/600/8/100")).isEmpty());
    QVERIFY(s.get_current_frame(QStringLiteral("x/ten/600/8/192")).isEmpty());
}

void TestSpectrumServer::noSpectrumYetGivesEmptyFrame()
{
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(pacer);
    QVERIFY(s.get_current_frame(QStringLiteral("x/10/600/8/192")).isEmpty());
    s.set_spectrum_data(flat(1024, 5), 1024, Band1);
    QVERIFY(s.get_current_frame(QStringLiteral("x/10/600/8/96")).isEmpty());
    QCOMPARE(s.get_current_frame(QStringLiteral("x/10/600/8/192")).size(), 609);
}

void TestSpectrumServer::emptySpectrumKeepsThePreviousOne()
{
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(pacer);
    s.set_spectrum_data(QVector<quint32>(), 1024, Band1);  // size larger than the data
    QVERIFY(s.get_current_frame(QStringLiteral("x/10/600/8/192")).isEmpty());
    s.set_spectrum_data(flat(1024, 0), 1024, Band1);
    s.set_spectrum_data(flat(1024, 0), 0, Band1);
    QCOMPARE(s.get_current_frame(QStringLiteral("x/10/600/8/192")).size(), 609);
}

void TestSpectrumServer::logOffsetApplies()
{
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(pacer);
    s.setLogOffset(150.0f);
    // 20 log10(1000) - 150 = -90 dB -> 255 * 85 / 125 = 173.4 -> 173
    s.set_spectrum_data(flat(1024, 999), 1024, Band1);
    const QByteArray f = s.get_current_frame(QStringLiteral("x/10/600/8/192"));
    QCOMPARE(f.size(), 609);
    QCOMPARE(uchar(f.at(9)), uchar(173));
    QCOMPARE(uchar(f.at(608)), uchar(173));
}

void TestSpectrumServer::unknownBandIgnored()
{
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(pacer);
    s.set_spectrum_data(flat(1024, 1), 1024, static_cast<Bands>(7));
    QVERIFY(s.get_current_frame(QStringLiteral("x/10/600/8/192")).isEmpty());
    QVERIFY(s.get_current_frame(QStringLiteral("x/10/600/8/96")).isEmpty());
}

void TestSpectrumServer::pacingWithInjectedClock()
{
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(pacer);
    s.set_spectrum_data(flat(1024, 1), 1024, Band1);

    // Empty answers neither wait nor move the delivery time; the first call starts the clock.
    QVERIFY(s.get_current_frame(QStringLiteral("x/0/600/8/192")).isEmpty());
    QVERIFY(time.sleeps.isEmpty());

    QVERIFY(!s.get_current_frame(QStringLiteral("x/10/600/8/192")).isEmpty());
    QCOMPARE(time.sleeps, QList<qint64>{100});  // the very first frame waits a full period
    time.now += 30;
    QVERIFY(!s.get_current_frame(QStringLiteral("x/10/600/8/192")).isEmpty());
    QCOMPARE(time.sleeps.last(), qint64(70));
    time.now += 500;
    QVERIFY(!s.get_current_frame(QStringLiteral("x/4/600/8/192")).isEmpty());
    QCOMPARE(time.sleeps.size(), 2);  // 500 ms already passed: no wait for the 250 ms period
    QVERIFY(!s.get_current_frame(QStringLiteral("x/3000/600/8/192")).isEmpty());
    QCOMPARE(time.sleeps.size(), 2);  // 1000 / 3000 = 0 ms
    QVERIFY(!s.get_current_frame(QStringLiteral("x/1/600/8/192")).isEmpty());
    QCOMPARE(time.sleeps.last(), qint64(1000));
}

void TestSpectrumServer::pacingLowerBoundOnRealClock()
{
    SpectrumPacer real;
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(&real);
    s.set_spectrum_data(flat(1024, 1), 1024, Band1);
    QElapsedTimer t;
    t.start();
    QVERIFY(!s.get_current_frame(QStringLiteral("x/10/600/8/192")).isEmpty());
    QVERIFY(t.elapsed() >= 100);  // the first frame waits a full period too
    QVERIFY(!s.get_current_frame(QStringLiteral("x/10/600/8/192")).isEmpty());
    QVERIFY(t.elapsed() >= 200);
}

void TestSpectrumServer::listensAndLogs()
{
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    QVERIFY(s.isListening());
    QVERIFY(s.serverPort() != 0);
    QFile log(logPath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QByteArray("Spectrum server: server started!\n"));
}

void TestSpectrumServer::listenFailureIsLogged()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
    spectrum_server s(logPath(), QHostAddress::LocalHost, holder.serverPort());
    QVERIFY(!s.isListening());
    QCOMPARE(s.serverPort(), quint16(0));
    QFile log(logPath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    QVERIFY2(text.startsWith("Spectrum server: unable to start the server: ") && text.endsWith(".\n"), text.constData());
    // Still keeps spectra and builds frames for the "spectrum" command.
    s.setPacer(pacer);
    s.set_spectrum_data(flat(1024, 1), 1024, Band1);
    QCOMPARE(s.get_current_frame(QStringLiteral("x/10/128/8/192")).size(), 137);
}

void TestSpectrumServer::tcpServesOneFramePerConnection_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("length");
    QTest::newRow("band 1, 8 bit") << "x/50/600/8/192" << 609;
    QTest::newRow("band 2, 5 bit") << "x/50/600/5/96" << 384;
    QTest::newRow("picking 1024") << "x/50/1024/8/192" << 1033;
    QTest::newRow("count 0") << "x/50/0/8/96" << 9;
}

void TestSpectrumServer::tcpServesOneFramePerConnection()
{
    QFETCH(QString, request);
    QFETCH(int, length);
    ServerThread st(logPath(), pacer);

    QTcpSocket client;
    QVERIFY(connectClient(client, st.port));
    client.write(request.toLatin1());
    QVERIFY(client.waitForBytesWritten(5000));
    const QByteArray frame = readFrame(client, length);
    QCOMPARE(frame.size(), length);
    QCOMPARE(uchar(frame.at(2)), uchar(96));
    // One frame per connection: the server closes it.
    if (client.state() != QAbstractSocket::UnconnectedState)
        QVERIFY(client.waitForDisconnected(5000));
    QCOMPARE(client.bytesAvailable(), qint64(0));
}

void TestSpectrumServer::tcpMalformedRequestsKeepConnection_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("empty fields") << QByteArray("////");
    QTest::newRow("fps 0") << QByteArray("x/0/600/8/192");
    QTest::newRow("fps word") << QByteArray("x/ten/600/8/192");
    QTest::newRow("bits 7") << QByteArray("x/10/600/7/192");
    QTest::newRow("bits 0") << QByteArray("x/10/600/0/192");
    QTest::newRow("bits huge") << QByteArray("x/10/600/4294967295/192");
    QTest::newRow("count beyond buffer") << QByteArray("x/10/20000/8/192");
    QTest::newRow("count wraps 32 bits") << QByteArray("x/10/536870912/8/192");
    QTest::newRow("count max") << QByteArray("x/10/4294967295/8/192");
    QTest::newRow("unknown width") << QByteArray("x/10/600/8/100");
    QTest::newRow("negative") << QByteArray("x/-10/600/8/192");
    QTest::newRow("binary") << QByteArray("\x00\xff\x2f\x80\x2f\x2f\x2f\x00", 8);
    QTest::newRow("six fields, 64 bytes") << (QByteArray(45, 'a') + "/10/600/8/100/x");
}

void TestSpectrumServer::tcpMalformedRequestsKeepConnection()
{
    QFETCH(QByteArray, request);
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(pacer);
    s.set_spectrum_data(flat(1024, 3), 1024, Band1);

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, s.serverPort());
    QVERIFY(client.waitForConnected(5000));
    client.write(request);
    client.flush();
    // Let the server read and answer nothing; the connection stays open.
    QTest::qWait(100);
    QCOMPARE(client.bytesAvailable(), qint64(0));
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);

    client.write("x/100/600/8/192");
    client.flush();
    QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() >= 609 || client.state() != QAbstractSocket::ConnectedState,
                             10000);
    QTRY_COMPARE_WITH_TIMEOUT(client.bytesAvailable(), qint64(609), 10000);
}

void TestSpectrumServer::tcpRequestInPieces_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::newRow("type apart") << QByteArrayList{"x", "/50/600/8/192"};
    QTest::newRow("inside fps") << QByteArrayList{"x/5", "0/600/8/192"};
    QTest::newRow("before the last slash") << QByteArrayList{"x/50/600/8", "/192"};
    QTest::newRow("three pieces") << QByteArrayList{"x/", "50/600/", "8/192"};
    QTest::newRow("byte by byte") << QByteArrayList{"x", "/", "5", "0", "/", "6", "0", "0", "/", "8", "/192"};
}

void TestSpectrumServer::tcpRequestInPieces()
{
    QFETCH(QByteArrayList, pieces);
    ServerThread st(logPath(), pacer);
    QTcpSocket client;
    QVERIFY(connectClient(client, st.port));
    client.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    for (const QByteArray& piece : pieces) {
        client.write(piece);
        QVERIFY(client.waitForBytesWritten(5000));
        // Give each piece its own arrival at the server.
        QTest::qWait(30);
    }
    QCOMPARE(readFrame(client, 609).size(), 609);
    QVERIFY(closedByPeer(client, 5000));
}

void TestSpectrumServer::tcpRequestLength_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<bool>("closed");
    const QByteArray tail("/50/600/8/192");  // 13 bytes
    const QByteArray type51(51, 't');
    QTest::newRow("complete in 64 bytes") << QByteArrayList{type51 + tail} << true << true;
    QTest::newRow("complete in 65 bytes") << QByteArrayList{type51 + "t" + tail} << false << true;
    QTest::newRow("64 bytes without a request") << QByteArrayList{QByteArray(64, 'a')} << false << false;
    QTest::newRow("65 bytes in two arrivals") << QByteArrayList{QByteArray(40, 'a'), QByteArray(25, '/')} << false << true;
    QTest::newRow("64 bytes in two arrivals") << QByteArrayList{type51, tail} << true << true;
    QTest::newRow("a flood") << QByteArrayList{QByteArray(200000, 'a')} << false << true;
}

void TestSpectrumServer::tcpRequestLength()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(bool, answered);
    QFETCH(bool, closed);
    ServerThread st(logPath(), pacer);
    QTcpSocket client;
    QVERIFY(connectClient(client, st.port));
    for (const QByteArray& piece : pieces) {
        client.write(piece);
        client.waitForBytesWritten(5000);  // may fail once the server has closed
        QTest::qWait(30);
    }
    if (answered)
        QCOMPARE(readFrame(client, 609).size(), 609);
    if (closed) {
        QVERIFY(closedByPeer(client, 5000));
        QCOMPARE(client.bytesAvailable(), qint64(0));
    } else {
        QVERIFY(!closedByPeer(client, 300));
        // Still waiting for the rest of a request: one more byte is too many.
        client.write("/");
        QVERIFY(closedByPeer(client, 5000));
    }
}

void TestSpectrumServer::tcpRandomBytesNeverStall()
{
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(pacer);
    s.set_spectrum_data(flat(1024, 3), 1024, Band1);
    s.set_spectrum_data(flat(512, 3), 512, Band2);
    QRandomGenerator rng(20240611);
    const QByteArray alphabet("0123456789/x-+ .\n\x00\xff", 20);
    for (int round = 0; round < 200; ++round) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, s.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(client.state() == QAbstractSocket::ConnectedState, 5000);
        QByteArray junk(int(rng.bounded(1, 64)), '\0');
        for (char& c : junk)
            c = alphabet.at(int(rng.bounded(alphabet.size())));
        client.write(junk);
        client.flush();
        QTest::qWait(1);
        client.abort();
    }
    // Still serving.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, s.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == QAbstractSocket::ConnectedState, 5000);
    client.write("x/100/600/5/96");
    client.flush();
    QTRY_COMPARE_WITH_TIMEOUT(client.bytesAvailable(), qint64(384), 10000);
}

void TestSpectrumServer::tcpClientGoneIsDeleted()
{
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(pacer);
    auto openSockets = [&s] { return s.findChildren<QTcpSocket*>().size(); };
    {
        QTcpSocket a;
        QTcpSocket b;
        a.connectToHost(QHostAddress::LocalHost, s.serverPort());
        b.connectToHost(QHostAddress::LocalHost, s.serverPort());
        QVERIFY(a.waitForConnected(5000));
        QVERIFY(b.waitForConnected(5000));
        a.write("x/10/600/8/192");  // no spectrum yet: stays open
        a.flush();
        QTRY_COMPARE_WITH_TIMEOUT(openSockets(), 2, 5000);
        a.disconnectFromHost();
        b.abort();
    }
    QTRY_COMPARE_WITH_TIMEOUT(openSockets(), 0, 5000);
}

void TestSpectrumServer::tcpClientLimit()
{
    ServerThread st(logPath(), pacer);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < spectrum_server::kMaxClients; ++i) {
        clients.emplace_back(new QTcpSocket);
        QVERIFY(connectClient(*clients.back(), st.port));
    }
    // The listener accepts at the TCP level; the server closes the one over the limit at once.
    QTcpSocket extra;
    QVERIFY(connectClient(extra, st.port));
    QVERIFY(closedByPeer(extra, 5000));
    QTRY_VERIFY_WITH_TIMEOUT(logText(logPath()).contains(
                                 "Spectrum server: 32 clients already connected, connection from 127.0.0.1 closed.\n"),
                             5000);
    // The others were kept, and they are served.
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(clients[i]->state(), QAbstractSocket::ConnectedState);
        clients[i]->write("x/1000/600/8/192");
        QCOMPARE(readFrame(*clients[i], 609).size(), 609);
    }
    // Their places are free again once they are gone.
    for (int i = 0; i < 3; ++i)
        QVERIFY(closedByPeer(*clients[i], 5000));
    QTcpSocket late;
    QVERIFY(connectClient(late, st.port));
    late.write("x/1000/600/8/96");
    QCOMPARE(readFrame(late, 609).size(), 609);
}

void TestSpectrumServer::tcpIdleClientsClosed_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("silent") << QByteArray();
    QTest::newRow("part of a request") << QByteArray("x/10/60");
    QTest::newRow("request without a frame") << QByteArray("x/10/600/8/100");
}

void TestSpectrumServer::tcpIdleClientsClosed()
{
    QFETCH(QByteArray, sent);
    const int idleMs = 300;
    ServerThread st(logPath(), pacer, idleMs);
    QTcpSocket client;
    QVERIFY(connectClient(client, st.port));
    QElapsedTimer t;
    t.start();
    if (!sent.isEmpty())
        client.write(sent);
    QVERIFY(closedByPeer(client, 10000));
    QVERIFY2(t.elapsed() >= idleMs - 50, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(client.bytesAvailable(), qint64(0));

    // A client whose frame waits for its slot longer than the idle time is not idle.
    QTcpSocket waiting;
    QVERIFY(connectClient(waiting, st.port));
    waiting.write("x/1/600/8/192");  // the first frame waits a full second
    QCOMPARE(readFrame(waiting, 609).size(), 609);
}

// Clients that keep asking for what gives no frame (fps 0) hold every place; they are idle all
// the same, so the idle limit closes them and a client that wants frames gets them.
void TestSpectrumServer::tcpFramelessClientsGiveWayAtTheIdleLimit()
{
    const int idleMs = 1000;
    ServerThread st(logPath(), pacer, idleMs);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < spectrum_server::kMaxClients; ++i) {
        clients.emplace_back(new QTcpSocket);
        QVERIFY(connectClient(*clients.back(), st.port));
    }
    QElapsedTimer t;
    t.start();
    QTcpSocket early;
    QVERIFY(connectClient(early, st.port));
    QVERIFY(closedByPeer(early, 5000));

    int open = int(clients.size());
    while (open > 0 && t.elapsed() < 30000) {
        open = 0;
        for (auto& c : clients) {
            if (c->state() != QAbstractSocket::ConnectedState)
                continue;
            ++open;
            c->write("x/0/600/8/192");
            c->flush();
        }
        QTest::qWait(50);
    }
    QCOMPARE(open, 0);
    QVERIFY2(t.elapsed() >= idleMs - 50, qPrintable(QString::number(t.elapsed())));
    for (auto& c : clients)
        QCOMPARE(c->bytesAvailable(), qint64(0));

    QTcpSocket real;
    QVERIFY(connectClient(real, st.port));
    real.write("x/100/600/8/192");
    QCOMPARE(readFrame(real, 609).size(), 609);
}

// A flood of connections over the limit writes a line when it starts and then one count per
// period, and every refusal is counted.
void TestSpectrumServer::tcpRefusalsLoggedAsACount()
{
    ServerThread st(logPath(), pacer);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < spectrum_server::kMaxClients; ++i) {
        clients.emplace_back(new QTcpSocket);
        QVERIFY(connectClient(*clients.back(), st.port));
    }
    const int refused = 10000;
    const int batch = 50;
    QElapsedTimer t;
    t.start();
    for (int done = 0; done < refused; done += batch) {
        std::vector<std::unique_ptr<QTcpSocket>> flood;
        for (int i = 0; i < batch; ++i) {
            flood.emplace_back(new QTcpSocket);
            flood.back()->connectToHost(QHostAddress::LocalHost, st.port);
        }
        for (auto& c : flood)
            QVERIFY2(closedByPeer(*c, 20000), qPrintable(QStringLiteral("after %1 refusals").arg(done)));
    }

    auto counted = [this] {
        int n = 0;
        for (const QByteArray& line : logText(logPath()).split('\n')) {
            if (line.endsWith("connection from 127.0.0.1 closed."))
                ++n;
            const int at = line.indexOf(" more connections closed in ");
            if (at > 0)
                n += line.left(at).mid(line.lastIndexOf(' ', at - 1) + 1).toInt();
        }
        return n;
    };
    QTRY_COMPARE_WITH_TIMEOUT(counted(), refused, 2 * spectrum_server::kRefusalLogMs + 5000);
    const int lines = logText(logPath()).count('\n');
    QVERIFY2(lines < 100, qPrintable(QString::number(lines)));
    // No more than one line per period (and the one that started the flood).
    QVERIFY2(lines <= 3 + int(t.elapsed() / spectrum_server::kRefusalLogMs), qPrintable(QString::number(lines)));
    for (auto& c : clients)
        QCOMPARE(c->state(), QAbstractSocket::ConnectedState);
}

void TestSpectrumServer::tcpRepliesKeepTheSharedOrder()
{
    // A slow request queued first is answered first, though the one behind it has a shorter period.
    SpectrumPacer real;
    ServerThread st(logPath(), &real);
    QTcpSocket slow;
    QTcpSocket fast;
    QVERIFY(connectClient(slow, st.port));
    QVERIFY(connectClient(fast, st.port));
    QElapsedTimer t;
    t.start();
    slow.write("x/4/600/8/192");  // 250 ms
    QVERIFY(slow.waitForBytesWritten(5000));
    QTest::qWait(50);
    fast.write("x/50/600/8/96");  // 20 ms, after the slow one's slot
    qint64 slowAt = -1;
    qint64 fastAt = -1;
    while ((slowAt < 0 || fastAt < 0) && t.elapsed() < 20000) {
        QTest::qWait(5);
        if (slowAt < 0 && slow.bytesAvailable() >= 609)
            slowAt = t.elapsed();
        if (fastAt < 0 && fast.bytesAvailable() >= 609)
            fastAt = t.elapsed();
    }
    QVERIFY2(slowAt >= 0 && fastAt >= 0, "both frames within 20 s");
    QVERIFY2(slowAt >= 250 && fastAt >= slowAt, qPrintable(QStringLiteral("slow %1 ms, fast %2 ms").arg(slowAt).arg(fastAt)));
}

void TestSpectrumServer::queuedRepliesHoldUpNeitherServerNorStop()
{
    // 31 clients at one frame per second queue 31 s of replies. Meanwhile the server still reads,
    // refuses and accepts, and its thread stops at once.
    SpectrumPacer real;
    ServerThread st(logPath(), &real);
    const int queued = spectrum_server::kMaxClients - 1;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < queued; ++i) {
        clients.emplace_back(new QTcpSocket);
        QVERIFY(connectClient(*clients.back(), st.port));
        clients.back()->write("x/1/600/8/192");
        QVERIFY(clients.back()->waitForBytesWritten(5000));
    }
    QCOMPARE(readFrame(*clients.front(), 609).size(), 609);  // one second after the first request
    QVERIFY(closedByPeer(*clients.front(), 5000));

    // Two more fill the server again; the next is refused at once.
    QTcpSocket idle1;
    QTcpSocket idle2;
    QVERIFY(connectClient(idle1, st.port));
    QVERIFY(connectClient(idle2, st.port));
    QTcpSocket extra;
    QVERIFY(connectClient(extra, st.port));
    QVERIFY2(closedByPeer(extra, 5000), "the server read the new client while replies were queued");

    const qint64 stopMs = st.stop();
    QVERIFY2(stopMs < 5000, qPrintable(QStringLiteral("stop took %1 ms").arg(stopMs)));
    // The queued clients are let go without their frames.
    int framesAfterStop = 0;
    for (size_t i = 1; i < clients.size(); ++i) {
        QVERIFY(closedByPeer(*clients[i], 5000));
        framesAfterStop += clients[i]->bytesAvailable() > 0;
    }
    QVERIFY2(framesAfterStop < queued - 1, "replies queued for later were not waited for");
}

void TestSpectrumServer::commandWaitsAtMostOnePeriod()
{
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(pacer);
    s.set_spectrum_data(flat(1024, 1), 1024, Band1);
    // Five TCP replies at one frame per second hold the next five seconds.
    for (int i = 1; i <= 5; ++i)
        QCOMPARE(pacer->reserve(1000), qint64(i) * 1000000);
    QVERIFY(!s.get_current_frame(QStringLiteral("x/10/600/8/192")).isEmpty());
    QCOMPARE(time.sleeps, QList<qint64>{100});
    // The command took no queued slot: the next TCP reply still follows the fifth.
    QCOMPARE(pacer->reserve(1000), qint64(6000 - 100) * 1000);
    // With the queue drained, the command takes its place in the order again.
    time.now += 10000;
    QVERIFY(!s.get_current_frame(QStringLiteral("x/10/600/8/192")).isEmpty());
    QCOMPARE(time.sleeps.size(), 1);  // its slot had come already
    QVERIFY(!s.get_current_frame(QStringLiteral("x/10/600/8/192")).isEmpty());
    QCOMPARE(time.sleeps.last(), qint64(100));
    QCOMPARE(pacer->reserve(1000), qint64(1000) * 1000);
}

void TestSpectrumServer::stopServerRefusesNewButCommandStillWorks()
{
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(pacer);
    s.set_spectrum_data(flat(1024, 3), 1024, Band1);
    const quint16 port = s.serverPort();
    s.stopServer();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!client.waitForConnected(3000));
    QCOMPARE(client.error(), QAbstractSocket::ConnectionRefusedError);
    QCOMPARE(s.get_current_frame(QStringLiteral("x/10/600/8/192")).size(), 609);
}

QTEST_GUILESS_MAIN(TestSpectrumServer)
#include "tst_spectrum_server.moc"
