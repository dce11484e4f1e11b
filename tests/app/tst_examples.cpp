// Each example station of examples/ runs from its INI and scenario file as shipped: only the
// broker address (and the port of the simulated device the type needs) is put in, as the
// walkthroughs do. It must start, log, publish its first uplink record and stop with exit code 0.
#include "ModemSimProcess.h"
#include "StationProcess.h"
#include "TestBroker.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kExchange = QStringLiteral("kavro.messages");

QString exampleText(const QString& name)
{
    if (name.isEmpty())
        return QString();
    QFile f(QStringLiteral(TOLVAR_SOURCE_DIR "/examples/") + name);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Replaces the value of KEY=... in an INI text; false when the key is not there.
bool setKey(QString& ini, const QString& key, const QString& value)
{
    const QRegularExpression line(QStringLiteral("^%1=.*$").arg(key), QRegularExpression::MultilineOption);
    if (!line.match(ini).hasMatch())
        return false;
    ini.replace(line, key + QLatin1Char('=') + value);
    return true;
}
} // namespace

class TestExamples : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void exampleStationPublishes_data();
    void exampleStationPublishes();

private:
    TestBroker broker_;
};

void TestExamples::initTestCase()
{
    QVERIFY2(QFile::exists(StationProcess::binary()), "tolvar-sim is not built");
    QVERIFY2(broker_.start(), qPrintable(broker_.errorString()));
}

void TestExamples::cleanupTestCase()
{
    broker_.stop();
}

void TestExamples::exampleStationPublishes_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("stationId");
    QTest::addColumn<QString>("startLine"); // a line of the station log that shows its type ran

    QTest::newRow("qorm") << "station.ini" << "station.scn" << 1234 << "Spectrum server listening";
    QTest::newRow("qorm-modem") << "qorm-modem.ini" << "station.scn" << 1236 << "Spectrum server listening";
    QTest::newRow("qorm-lte") << "qorm-lte.ini" << "qorm-lte.scn" << 1237 << "Spectrum server listening";
    QTest::newRow("quabo") << "quabo.ini" << "quabo.scn" << 1238 << "AT86 inited";
    QTest::newRow("tcpbs") << "tcpbs-station.ini" << "" << 1235 << "Gateway server listening";
}

void TestExamples::exampleStationPublishes()
{
    QFETCH(QString, ini);
    QFETCH(QString, scenario);
    QFETCH(int, stationId);
    QFETCH(QString, startLine);

    const QString queue = QStringLiteral("examples_%1").arg(stationId);
    QVERIFY(broker_.declareTestQueue(kExchange, "topic", queue, "backend.vexa_uplink"));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    QString text = exampleText(ini);
    QVERIFY2(!text.isEmpty(), qPrintable(ini));
    QVERIFY(setKey(text, QStringLiteral("R_LOGIN"), broker_.url()));

    ModemSimProcess modem(dir.path());
    QProcess rs;
    if (text.contains(QLatin1String("[Comunications]"))) {
        QVERIFY(modem.start({QStringLiteral("--crc"), QStringLiteral("--air-ms"), QStringLiteral("300")}));
        QVERIFY(setKey(text, QStringLiteral("PortNum"), modem.portPath()));
    }
    if (text.contains(QLatin1String("TCP_RS="))) {
        rs.start(QStringLiteral(TOLVAR_BINARY_DIR "/sim/rs-sim"), {QStringLiteral("--count"), QStringLiteral("2")});
        QVERIFY(rs.waitForStarted(10000));
        QByteArray first;
        QVERIFY(waitUntil([&] { first += rs.readAllStandardOutput(); return first.contains('\n'); }, 10000));
        const QByteArray port = first.left(first.indexOf('\n')).split(':').last();
        QVERIFY2(port.toInt() > 0, first.constData());
        QVERIFY(setKey(text, QStringLiteral("TCP_RS"), QStringLiteral("127.0.0.1:") + QString::fromLatin1(port)));
    }

    StationProcess station(dir.path());
    station.writeIni(text);
    station.writeScenario(exampleText(scenario));
    QVERIFY(station.start());

    QVERIFY2(waitUntil([&] { return station.log().contains(startLine.toUtf8()); }, 30000),
             station.output().right(3000).constData());
    Received got;
    const auto fromStation = [&] {
        for (const QJsonObject& r : got.records) {
            if (r.value(QLatin1String("bs_id")).toInt() == stationId)
                return true;
        }
        return false;
    };
    QVERIFY2(waitUntil([&] { drainQueue(broker_, queue, got); return fromStation(); }, 60000),
             station.log().right(3000).constData());

    QVERIFY(station.terminate());
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 0);
    if (rs.state() != QProcess::NotRunning) {
        rs.terminate();
        rs.waitForFinished(10000);
    }
}

QTEST_GUILESS_MAIN(TestExamples)
#include "tst_examples.moc"
