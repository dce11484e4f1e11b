#include "StationProcess.h"

#include "TestBroker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

StationProcess::StationProcess(const QString& dir) : dir_(dir)
{
    process_.setWorkingDirectory(dir_);
    process_.setStandardOutputFile(path(QStringLiteral("stdout.txt")), QIODevice::Append);
    process_.setStandardErrorFile(path(QStringLiteral("stderr.txt")), QIODevice::Append);
}

StationProcess::~StationProcess()
{
    if (running()) {
        process_.kill();
        process_.waitForFinished(10000);
    }
}

QString StationProcess::binary()
{
    return QStringLiteral(TOLVAR_BINARY_DIR "/src/app/tolvar-sim");
}

QString StationProcess::path(const QString& name) const
{
    return QDir(dir_).absoluteFilePath(name);
}

static void writeFile(const QString& path, const QString& text)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(text.toUtf8());
}

static QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void StationProcess::writeIni(const QString& text)
{
    writeFile(path(QStringLiteral("station.ini")), text);
}

void StationProcess::writeScenario(const QString& text)
{
    writeFile(path(QStringLiteral("station.scn")), text);
}

bool StationProcess::start(const QStringList& extraArgs)
{
    process_.start(binary(), QStringList{QStringLiteral("-c"), QStringLiteral("station.ini"), QStringLiteral("--scenario"),
                                         QStringLiteral("station.scn"), QStringLiteral("--spectrum-port"), QStringLiteral("0")}
                                 + extraArgs);
    return process_.waitForStarted(10000);
}

bool StationProcess::terminate(int timeoutMs)
{
    if (!running())
        return true;
    process_.terminate();
    return process_.waitForFinished(timeoutMs);
}

QByteArray StationProcess::log() const
{
    return readFile(path(QStringLiteral("station.log")));
}

QByteArray StationProcess::output() const
{
    return readFile(path(QStringLiteral("stdout.txt"))) + readFile(path(QStringLiteral("stderr.txt")));
}

quint16 StationProcess::spectrumPort() const
{
    static const QRegularExpression line(QStringLiteral("Spectrum server listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QRegularExpressionMatch m = line.match(QString::fromUtf8(log()));
    return m.hasMatch() ? quint16(m.captured(1).toUInt()) : 0;
}

quint16 StationProcess::gatewayPort() const
{
    static const QRegularExpression line(QStringLiteral("Gateway server listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QRegularExpressionMatch m = line.match(QString::fromUtf8(log()));
    return m.hasMatch() ? quint16(m.captured(1).toUInt()) : 0;
}

void drainQueue(const TestBroker& broker, const QString& queue, Received& into)
{
    QByteArray body;
    while (broker.get(queue, &body)) {
        const QJsonDocument doc = QJsonDocument::fromJson(body);
        if (!doc.isObject()) {
            into.other << body;
            continue;
        }
        const QJsonObject o = doc.object();
        if (o.value(QStringLiteral("msg_type")).toString().contains(QStringLiteral("beat")))
            into.heartbeats << o;
        else
            into.records << o;
    }
}

QList<QJsonObject> readJsonLines(const QString& path)
{
    QList<QJsonObject> lines;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            lines.append(QJsonDocument::fromJson(line).object());
    }
    return lines;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(250);
    }
    return true;
}

void putFile(const QString& path, const QByteArray& text)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(text), qint64(text.size()));
}

QByteArray fileContent(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
