// The uplink road at full speed: receiver records built by FpgaRecordBuilder go through
// RecordDecoder, MessageFilter and the station core's uplink steps (station log and message
// log as examples/station.ini sets them) to the main broker link and a private RabbitMQ with a
// durable queue. Prints confirmed records per second beside amqp-publish -l sending the same
// texts to the same broker (alternating runs), once as transient and once as persistent
// messages (the station publishes its records persistent, so the persistent peer is the one
// it is held against), duplicates seen at the broker, and the memory
// that records waiting for a stopped broker take. Figures only: it always exits 0. The figures go
// to standard error, so that the station's own log (standard output, as the example sets it)
// can be sent elsewhere.
//
//   bench_uplink_road [--records N] [--runs R] [--rate R] [--road-only]
//
// --road-only runs the road once (no reference, no memory run); --rate paces the feed (records
// per second, 0: as fast as the road takes them). The road itself runs inside runRoad(), which
// scripts/profile-road gives to callgrind.
#include "FpgaRecordBuilder.h"
#include "HostCommandRunner.h"
#include "MessageFilter.h"
#include "Message_Parser_Protocol_V1_1.h"
#include "NoiseLevels.h"
#include "ProcessMemory.h"
#include "RecordDecoder.h"
#include "RecordingHostCommandRunner.h"
#include "SystemPaths.h"
#include "TOLVA.h"
#include "UplinkRecord.h"
#include "TestBroker.h"
#include "messque.h"
#include "rabbit_man.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const char* const kExchange = "kavro.messages";
const char* const kKey = "backend.vexa_uplink";
const char* const kQueue = "road_uplink";

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

template <typename Condition>
bool spinUntil(Condition condition, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// The example configuration with the link pointed at the private broker.
QString writeIni(const QString& dir, const QString& url)
{
    QFile example(QStringLiteral(TOLVAR_SOURCE_DIR "/examples/station.ini"));
    QString ini = example.open(QIODevice::ReadOnly) ? QString::fromUtf8(example.readAll()) : QString();
    QStringList lines = ini.split(QLatin1Char('\n'));
    for (QString& line : lines) {
        if (line.startsWith(QLatin1String("R_LOGIN=")))
            line = QStringLiteral("R_LOGIN=") + url;
    }
    const QString path = dir + QStringLiteral("/station.ini");
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(lines.join(QLatin1Char('\n')).toUtf8());
    return path;
}

struct Road {
    Message_Parser_Protocol_V1_1 parser;
    NoiseLevels noise;
    RecordDecoder decoder{&parser, &noise};
    MessageFilter filter;
    std::vector<QByteArray> records;

    Road(int n, quint32 firstId)
    {
        noise.initNoiseLev();
        RecordDecoder::Context ctx;
        ctx.station = QORM;
        ctx.fw_version = 720;
        ctx.uplink_freq = 868800000;
        ctx.uplink_freq2 = 868390400;
        decoder.setContext(ctx);
        records.reserve(size_t(n));
        for (int i = 0; i < n; ++i) {
            FpgaRecordBuilder::Fields f;
            f.type = (i % 2) ? 0x0E : 0x0D;
            f.id = firstId + quint32(i);
            f.payload = {uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 16), 2, 3, 4, 5, 6};
            f.freq_num = uint16_t(i % 1024);
            f.rssi = 1u << 20;
            f.bitrate_code = FpgaRecordBuilder::CODE_400;
            records.push_back(FpgaRecordBuilder::build(f));
        }
    }

    // One reader pass of `count` records from `first`: decode, filter, hand to the core.
    void pass(TOLVA& station, int first, int count, const QElapsedTimer& mono)
    {
        for (int i = first; i < first + count; ++i) {
            auto m = QSharedPointer<message_point>::create();
            const auto res = decoder.decode(records[size_t(i)].constData(), RecordDecoder::Fifo::LowRate, *m);
            if (res.status == RecordDecoder::Status::Accepted)
                filter.add(m, mono.elapsed());
        }
        const int before = filter.out_list.size();
        filter.filter_messages();
        for (int i = before; i < filter.out_list.size(); ++i)
            station.set_message(filter.out_list.at(i).mes);
        filter.remove_timeout_messages(mono.elapsed());
    }
};

struct RoadResult {
    double seconds = 0;
    bool complete = false;
};

// Feeds every record through the road and returns when the link has had them all confirmed.
RoadResult runRoad(TOLVA& station, Road& road, int rate)
{
    rabbit_man* link = station.get_rab_prim();
    const int n = int(road.records.size());
    const int passSize = 50;
    QElapsedTimer mono;
    mono.start();
    int fed = 0;
    QTimer feeder;
    // Paced feeding wakes every 10 ms; unpaced feeding runs a pass on every loop turn.
    feeder.setInterval(rate > 0 ? 10 : 0);
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        int count = passSize;
        if (rate > 0) {
            const qint64 due = mono.elapsed() * rate / 1000;
            count = int(qMin<qint64>(passSize, due - fed));
        }
        count = qMin(count, n - fed);
        if (count > 0) {
            road.pass(station, fed, count, mono);
            fed += count;
        }
        if (fed >= n)
            feeder.stop();
    });
    feeder.start();
    // Waits in the event loop (no spinning, which a profile would count) until all are confirmed.
    RoadResult r;
    QEventLoop loop;
    QTimer check;
    check.setInterval(20);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (fed >= n && link->outgoing_queue().size() == 0) {
            r.complete = true;
            loop.quit();
        }
    });
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    check.start();
    loop.exec();
    r.seconds = double(mono.nsecsElapsed()) / 1e9;
    return r;
}

enum class Delivery { Transient, Persistent };

// amqp-publish -l with the same texts, one per line.
double runReference(const TestBroker& broker, const QString& textsPath, Delivery delivery)
{
    QProcess p;
    p.setStandardInputFile(textsPath);
    QStringList args{QStringLiteral("-u"), broker.url(), QStringLiteral("-e"), QString::fromLatin1(kExchange),
                     QStringLiteral("-r"), QString::fromLatin1(kKey), QStringLiteral("-l")};
    if (delivery == Delivery::Persistent)
        args << QStringLiteral("-p");
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral("amqp-publish"), args);
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        return -1;
    return double(t.nsecsElapsed()) / 1e9;
}

void purge(const TestBroker& broker)
{
    broker.ctl({QStringLiteral("purge_queue"), QString::fromLatin1(kQueue)});
}

// Records per second of one reference run into an empty queue (0 when it failed).
double referenceRate(const TestBroker& broker, const QString& textsPath, Delivery delivery, int records)
{
    purge(broker);
    const double seconds = runReference(broker, textsPath, delivery);
    return seconds > 0 ? records / seconds : 0;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

const char* verdict(bool met)
{
    return met ? "met" : "missed";
}

StationPlatform platformUnder(const QString& dir)
{
    StationPlatform p;
    p.runner = std::make_shared<RecordingHostCommandRunner>();
    p.serverAddress = QHostAddress::LocalHost;
    p.spectrumPort = 0;
    p.paths = SystemPaths::under(dir);
    return p;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    int records = 100000;
    int runs = 5;
    int rate = 0;
    bool roadOnly = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--records") && i + 1 < args.size())
            records = qMax(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--runs") && i + 1 < args.size())
            runs = qMax(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--rate") && i + 1 < args.size())
            rate = qMax(0, args[++i].toInt());
        else if (args[i] == QLatin1String("--road-only"))
            roadOnly = true;
    }

    QTemporaryDir dir;
    TestBroker broker;
    // A busy machine can make the broker miss its start-up time: try again before giving up.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt)
        started = broker.start();
    if (!dir.isValid() || !started) {
        std::fprintf(stderr, "bench_uplink_road: no private broker (%s)\n", qPrintable(broker.errorString()));
        return 0;
    }
    QDir::setCurrent(dir.path());
    HostCommandRunner::setDefaultRunner(std::make_shared<RecordingHostCommandRunner>());
    broker.declareTestQueue(QString::fromLatin1(kExchange), QStringLiteral("topic"), QString::fromLatin1(kQueue),
                            QStringLiteral("backend.#"));
    const QString ini = writeIni(dir.path(), broker.url());

    std::fprintf(stderr, "uplink road: %d records per run, load average %s\n", records,
                qPrintable(QString::fromLatin1([] {
                    QFile f(QStringLiteral("/proc/loadavg"));
                    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray("?");
                }())));

    std::vector<double> roadRates, ratios, persistentRatios;
    qint64 duplicates = 0;
    qint64 lastStationId = 0x100000;
    for (int run = 0; run < (roadOnly ? 1 : runs); ++run) {
        purge(broker);
        Road road(records, quint32(lastStationId));
        lastStationId += records;
        QString textsPath;
        char runLine[128] = "";
        {
            TOLVA station(ini, platformUnder(dir.path()));
            rabbit_man* link = station.get_rab_prim();
            if (!link || !spinUntil([&] { return link->isConnected(); }, 60000)) {
                std::fprintf(stderr, "bench_uplink_road: the station did not connect\n");
                return 0;
            }
            const RoadResult r = runRoad(station, road, rate);
            const double perSec = records / r.seconds;
            roadRates.push_back(perSec);
            // Printed whole once the reference has run, so the station's output cannot split it.
            std::snprintf(runLine, sizeof runLine, "run %d: road %.0f confirmed records/s (%.2f s%s)", run + 1,
                          perSec, r.seconds, r.complete ? "" : ", NOT COMPLETE");
            if (roadOnly) {
                std::fprintf(stderr, "%s\n", runLine);
                station.shutdown();
                break;
            }
            // The same texts for the reference, one line each.
            textsPath = dir.filePath(QStringLiteral("texts.txt"));
            QFile texts(textsPath);
            texts.open(QIODevice::WriteOnly | QIODevice::Truncate);
            for (const MessageFilter::Entry& e : qAsConst(road.filter.out_list)) {
                QByteArray text = QJsonDocument(UplinkRecord::build(*e.mes, station.get_base_id())).toJson(QJsonDocument::Compact);
                texts.write(text + '\n');
            }
            texts.close();
            station.shutdown();
        }
        const int inQueue = broker.queueMessageCount(QString::fromLatin1(kQueue));
        duplicates += qMax(0, inQueue - records);
        const double refRate = referenceRate(broker, textsPath, Delivery::Transient, records);
        const double persistentRate = referenceRate(broker, textsPath, Delivery::Persistent, records);
        ratios.push_back(refRate > 0 ? roadRates.back() / refRate : 0);
        persistentRatios.push_back(persistentRate > 0 ? roadRates.back() / persistentRate : 0);
        std::fprintf(stderr,
                     "%s, amqp-publish -l %.0f records/s (ratio %.2f), amqp-publish -l -p %.0f records/s (ratio %.2f), "
                     "%d in queue\n",
                     runLine, refRate, ratios.back(), persistentRate, persistentRatios.back(), inQueue);
    }

    const double roadMedian = median(roadRates);
    std::fprintf(stderr, "\nconfirmed records/s (median)        %10.0f   target >= 20000: %s\n", roadMedian,
                verdict(roadMedian >= 20000));
    if (!roadOnly) {
        const double ratio = median(ratios);
        const double persistentRatio = median(persistentRatios);
        std::fprintf(stderr, "ratio to amqp-publish -l (median)   %10.2f   no target: that peer's messages are transient\n",
                     ratio);
        std::fprintf(stderr, "ratio to amqp-publish -l -p (median)%10.2f   target >= 0.5: %s\n", persistentRatio,
                     verdict(persistentRatio >= 0.5));
        std::fprintf(stderr, "duplicates at the broker            %10lld   target 0: %s\n", duplicates, verdict(duplicates == 0));

        // Memory of records waiting while the broker is down.
        broker.stop();
        Road road(records, quint32(lastStationId));
        TOLVA station(ini, platformUnder(dir.path()));
        spinUntil([] { return false; }, 2000);
        const qint64 before = processStatusKb("VmRSS:");
        QElapsedTimer mono;
        mono.start();
        for (int i = 0; i < records; i += 50) {
            road.pass(station, i, qMin(50, records - i), mono);
            QCoreApplication::processEvents();
        }
        spinUntil([] { return false; }, 1000);
        const qint64 after = processStatusKb("VmRSS:");
        const double growthMb = double(after - before) / 1024.0;
        const double perRecordKb = double(after - before) / records;
        std::fprintf(stderr, "RSS growth, %d records waiting    %8.1f MB   target <= 75 MB: %s\n", records, growthMb,
                    verdict(growthMb <= 75.0 * records / 100000));
        std::fprintf(stderr, "RSS per waiting record            %8.2f kB   target <= 0.75 kB: %s\n", perRecordKb,
                    verdict(perRecordKb <= 0.75));
        station.shutdown();
    }
    return 0;
}
