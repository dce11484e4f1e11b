#include "RecordingHostCommandRunner.h"
#include "SimGpsHostCommandRunner.h"
#include "gpspos.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

using Position = QPair<double, double>;
Q_DECLARE_METATYPE(Position)

namespace {

HostCommandResult output(const QByteArray& text, bool timedOut = true)
{
    HostCommandResult r;
    r.started = true;
    r.timedOut = timedOut;
    r.exitCode = timedOut ? -1 : 0;
    r.output = text;
    return r;
}

} // namespace

class TestGpsPos : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<Position>("QPair<double,double>"); }
    void pollRunsTheClient();
    void positionFromOutput_data();
    void positionFromOutput();
    void clientNotStarted();
    void onItsOwnThread();
    void simulatedClient();
};

void TestGpsPos::pollRunsTheClient()
{
    auto runner = std::make_shared<RecordingHostCommandRunner>();
    gpspos gps(runner);
    gps.getPos();
    const QList<RecordingHostCommandRunner::Call> calls = runner->calls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls[0].program, QStringLiteral("gpxlogger"));
    QCOMPARE(calls[0].arguments, (QStringList{"-m", "1000", "-e", "sockets"}));
    QCOMPARE(calls[0].timeoutMs, 3000);
}

void TestGpsPos::positionFromOutput_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("emitted");
    QTest::addColumn<double>("lat");
    QTest::addColumn<double>("lon");
    const QByteArray head = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<gpx version=\"1.1\" creator=\"GPSD\">\n";
    QTest::newRow("track point") << head + "<trk><trkseg><trkpt lat=\"10.5\" lon=\"20.25\">" << true << 10.5 << 20.25;
    QTest::newRow("south-east, full digits")
        << head + "  <trkpt lat=\"-33.868820\" lon=\"151.209296\">\n    <ele>41.0</ele>\n" << true << -33.86882
        << 151.209296;
    QTest::newRow("lon first in the text") << QByteArray("<trkpt lon=\"7.25\" lat=\"46.5\">") << true << 46.5 << 7.25;
    QTest::newRow("first point counts")
        << QByteArray("<trkpt lat=\"1.5\" lon=\"2.5\"></trkpt><trkpt lat=\"3.5\" lon=\"4.5\">") << true << 1.5 << 2.5;
    QTest::newRow("header only, no fix") << head << false << 0.0 << 0.0;
    QTest::newRow("empty") << QByteArray() << false << 0.0 << 0.0;
    QTest::newRow("lat only") << QByteArray("<trkpt lat=\"10.5\">") << false << 0.0 << 0.0;
    QTest::newRow("empty latitude") << QByteArray("<trkpt lat=\"\" lon=\"20.25\">") << false << 0.0 << 0.0;
    QTest::newRow("latitude not a number") << QByteArray("<trkpt lat=\"abc\" lon=\"20.25\">") << false << 0.0 << 0.0;
    QTest::newRow("longitude not a number") << QByteArray("<trkpt lat=\"1\" lon=\"2,5\">") << false << 0.0 << 0.0;
    QTest::newRow("nan") << QByteArray("<trkpt lat=\"nan\" lon=\"20.25\">") << false << 0.0 << 0.0;
    QTest::newRow("inf") << QByteArray("<trkpt lat=\"10\" lon=\"inf\">") << false << 0.0 << 0.0;
    QTest::newRow("cut before the closing quote") << QByteArray("<trkpt lon=\"20.25\" lat=\"10.5") << false << 0.0 << 0.0;
    QTest::newRow("names at the very end") << QByteArray("lon=lat=") << false << 0.0 << 0.0;
    QTest::newRow("binary") << QByteArray("lat=\"\x00\xff\" lon=\"\x80\"", 17) << false << 0.0 << 0.0;
}

void TestGpsPos::positionFromOutput()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, emitted);
    QFETCH(double, lat);
    QFETCH(double, lon);
    auto runner = std::make_shared<RecordingHostCommandRunner>();
    runner->scriptProgram(QStringLiteral("gpxlogger"), output(text));
    gpspos gps(runner);
    QSignalSpy spy(&gps, &gpspos::position);
    gps.getPos();
    QCOMPARE(spy.count(), emitted ? 1 : 0);
    if (emitted) {
        const Position p = spy.at(0).at(0).value<Position>();
        QCOMPARE(p.first, lat);
        QCOMPARE(p.second, lon);
    }
    // The same output from a client that ended by itself gives the same answer.
    runner->scriptProgram(QStringLiteral("gpxlogger"), output(text, false));
    gps.getPos();
    QCOMPARE(spy.count(), emitted ? 2 : 0);
}

void TestGpsPos::clientNotStarted()
{
    auto runner = std::make_shared<RecordingHostCommandRunner>();
    runner->scriptProgram(QStringLiteral("gpxlogger"), HostCommandResult());
    gpspos gps(runner);
    QSignalSpy spy(&gps, &gpspos::position);
    gps.getPos();
    QCOMPARE(spy.count(), 0);
}

void TestGpsPos::onItsOwnThread()
{
    auto runner = std::make_shared<RecordingHostCommandRunner>();
    runner->scriptProgram(QStringLiteral("gpxlogger"), output("<trkpt lat=\"55.75\" lon=\"37.625\">"));
    auto* gps = new gpspos(runner);
    QThread thread;
    gps->moveToThread(&thread);
    connect(&thread, &QThread::finished, gps, &QObject::deleteLater);
    thread.start();

    Position got;
    int received = 0;
    connect(gps, &gpspos::position, this, [&](Position p) {
        QCOMPARE(QThread::currentThread(), qApp->thread());
        got = p;
        ++received;
    }, Qt::QueuedConnection);
    QMetaObject::invokeMethod(gps, "getPos", Qt::QueuedConnection);
    QTRY_COMPARE(received, 1);
    QCOMPARE(got, qMakePair(55.75, 37.625));
    thread.quit();
    thread.wait();
}

void TestGpsPos::simulatedClient()
{
    auto others = std::make_shared<RecordingHostCommandRunner>();
    auto sim = std::make_shared<SimGpsHostCommandRunner>(others, 48.137154, 11.576124);
    gpspos gps(sim);
    QSignalSpy spy(&gps, &gpspos::position);
    gps.getPos();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<Position>(), qMakePair(48.137154, 11.576124));

    sim->set_fix(false);
    gps.getPos();
    QCOMPARE(spy.count(), 1);
    sim->set_fix(true);
    sim->set_position(-1.5, -2.25);
    gps.getPos();
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).value<Position>(), qMakePair(-1.5, -2.25));

    // Other commands reach the runner behind it.
    QVERIFY(others->calls().isEmpty());
    sim->run(QStringLiteral("sudo"), {QStringLiteral("reboot")}, 30000);
    QCOMPARE(others->commandLines(), QStringList{QStringLiteral("sudo reboot")});
}

QTEST_GUILESS_MAIN(TestGpsPos)
#include "tst_gpspos.moc"
