#include "RealHostCommandRunner.h"
#include "gpspos.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using Position = QPair<double, double>;
Q_DECLARE_METATYPE(Position)

// The poll with a real child process: a stand-in "gpxlogger" on PATH prints a track point and
// keeps running, as the real client does; what it printed within the wait is used.
class TestGpsPosClient : public QObject {
    Q_OBJECT
private slots:
    void outputOfARunningClientIsUsed();
};

void TestGpsPosClient::outputOfARunningClientIsUsed()
{
    qRegisterMetaType<Position>("QPair<double,double>");
    QTemporaryDir bin;
    QFile script(bin.filePath(QStringLiteral("gpxlogger")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\n"
                 "[ \"$*\" = \"-m 1000 -e sockets\" ] || exit 3\n"
                 "printf '<gpx>\\n<trkpt lat=\"12.25\" lon=\"-8.5\">\\n'\n"
                 "exec sleep 30\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toLocal8Bit() + ":" + path);

    gpspos gps(std::make_shared<RealHostCommandRunner>());
    QSignalSpy spy(&gps, &gpspos::position);
    QElapsedTimer t;
    t.start();
    gps.getPos();
    const qint64 elapsed = t.elapsed();
    qputenv("PATH", path);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<Position>(), qMakePair(12.25, -8.5));
    QVERIFY(elapsed >= 3000);  // waited the full time for the running client
}

QTEST_GUILESS_MAIN(TestGpsPosClient)
#include "tst_gpspos_client.moc"
