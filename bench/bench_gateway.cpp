// gw-sim with 1, 10, 100 and 1,000 gateways against the gateway link's receiving half, which
// runs on a thread of its own as on a station. Each gateway sends 20 records at 10 a second
// after its first heartbeat, with a heartbeat every 4 seconds among them. Printed: records
// offered (written by gw-sim) and accepted (emitted by the link), accepted records a second, and
// the CPU time of the link's thread per accepted record (gw-sim and this program's main thread
// not counted).

#include "SettingsController.h"
#include "tcp_reader_receiver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <atomic>
#include <cstdio>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kRecordsPerGateway = 20;
constexpr int kRatePerGateway = 10;
// The whole run of one size, and how long the link may stay without a new record once gw-sim
// has written everything.
constexpr qint64 kBoundMs = 300000;
constexpr qint64 kDrainMs = 30000;

void raiseDescriptorLimit()
{
    rlimit l{};
    if (getrlimit(RLIMIT_NOFILE, &l) == 0 && l.rlim_cur < l.rlim_max) {
        l.rlim_cur = l.rlim_max;
        setrlimit(RLIMIT_NOFILE, &l);
    }
}

double threadCpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct Figures {
    int gateways = 0;
    quint64 offered = 0;
    int finishedGateways = 0;
    int accepted = 0;
    double seconds = 0;        // first to last accepted record
    double offeredSeconds = 0; // first to last record gw-sim reported written
    double cpuSeconds = 0;
};

Figures run(int gateways, const QString& iniPath)
{
    Figures f;
    f.gateways = gateways;
    SettingsController settings;
    settings.initController(iniPath);

    QThread readerThread;
    readerThread.setObjectName(QStringLiteral("gateway-reader"));
    auto* rx = new tcp_reader_receiver(settings);
    rx->setListenAddress(QHostAddress::LocalHost, quint16(0));
    rx->moveToThread(&readerThread);
    QObject::connect(&readerThread, &QThread::finished, rx, &QObject::deleteLater);
    readerThread.start();

    std::atomic<int> accepted{0};
    std::atomic<qint64> msAtFirst{-1};
    std::atomic<qint64> msAtLast{0};
    QElapsedTimer wall;
    wall.start();
    // Counted on the reader thread, where the records are emitted.
    QObject::connect(
        rx, &IReceiver::message_ready, rx,
        [&] {
            const qint64 now = wall.elapsed();
            qint64 none = -1;
            msAtFirst.compare_exchange_strong(none, now);
            msAtLast = now;
            ++accepted;
        },
        Qt::DirectConnection);
    clockid_t readerClock{};
    quint16 port = 0;
    QMetaObject::invokeMethod(
        rx,
        [&] {
            pthread_getcpuclockid(pthread_self(), &readerClock);
            rx->start();
            port = rx->serverPort();
        },
        Qt::BlockingQueuedConnection);
    const double cpuAtStart = threadCpuSeconds(readerClock);

    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(GW_SIM_PATH, {"--port", QString::number(port), "--gateways", QString::number(gateways), "--gateway-id",
                            "0x600000", "--first-modem", "0x700000", "--count", QString::number(kRecordsPerGateway),
                            "--rate", QString::number(kRatePerGateway), "--heartbeat-ms", "4000"});
    sim.waitForStarted(10000);
    QByteArray pending;
    qint64 msFirstOffered = -1, msLastOffered = 0;
    const auto readSim = [&] {
        pending += sim.readAllStandardOutput();
        int nl;
        while ((nl = pending.indexOf('\n')) >= 0) {
            const QJsonObject o = QJsonDocument::fromJson(pending.left(nl)).object();
            pending.remove(0, nl + 1);
            const QString event = o.value("event").toString();
            if (event == QLatin1String("uplink")) {
                ++f.offered;
                if (msFirstOffered < 0)
                    msFirstOffered = wall.elapsed();
                msLastOffered = wall.elapsed();
            }
            else if (event == QLatin1String("done"))
                ++f.finishedGateways;
        }
    };

    // Until everything gw-sim wrote has been accepted, or the link has stopped taking records
    // for a while after gw-sim finished, or the run's bound.
    int lastAccepted = 0;
    qint64 lastProgressMs = 0;
    while (wall.elapsed() < kBoundMs) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        readSim();
        if (accepted != lastAccepted) {
            lastAccepted = accepted;
            lastProgressMs = wall.elapsed();
        }
        const bool simDone = f.finishedGateways >= gateways;
        if (simDone && quint64(accepted) >= f.offered)
            break;
        if (simDone && wall.elapsed() - lastProgressMs > kDrainMs)
            break;
    }
    f.cpuSeconds = threadCpuSeconds(readerClock) - cpuAtStart;
    f.accepted = accepted;
    f.seconds = double(std::max<qint64>(1, msAtLast - std::max<qint64>(0, msAtFirst))) / 1000.0;
    f.offeredSeconds = double(std::max<qint64>(1, msLastOffered - std::max<qint64>(0, msFirstOffered))) / 1000.0;

    // The link stops before gw-sim goes, so nothing is counted from a closing gateway.
    QMetaObject::invokeMethod(rx, [rx] { rx->stopReader(); }, Qt::BlockingQueuedConnection);
    readerThread.quit();
    readerThread.wait();
    sim.terminate();
    if (!sim.waitForFinished(10000)) {
        sim.kill();
        sim.waitForFinished(10000);
    }
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    raiseDescriptorLimit();
    // The link echoes every log line to standard output; the figures go to the real one.
    const int figuresFd = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    if (figuresFd >= 0 && devNull >= 0) {
        std::fflush(stdout);
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
    QFile figures;
    if (figuresFd < 0 || !figures.open(figuresFd, QIODevice::WriteOnly))
        figures.open(stderr, QIODevice::WriteOnly);
    QTextStream out(&figures);

    QTemporaryDir dir;
    QFile ini(dir.filePath("station.ini"));
    if (!ini.open(QIODevice::WriteOnly))
        return 0;
    ini.write(QString("[BASE_STATION]\nLOG_FILE_PATH=%1\n").arg(dir.filePath("station.log")).toUtf8());
    ini.close();

    for (int gateways : {1, 10, 100, 1000}) {
        const Figures f = run(gateways, ini.fileName());
        // The gateways connect one after another, so gw-sim's own pace over the run is below the
        // nominal gateways x rate; the link is measured against what gw-sim really wrote.
        const int nominalRate = gateways * kRatePerGateway;
        const double offeredRate = double(f.offered) / f.offeredSeconds;
        const double rate = f.accepted / f.seconds;
        const bool all = f.finishedGateways == gateways && quint64(f.accepted) == f.offered &&
                         f.offered == quint64(gateways) * kRecordsPerGateway;
        out << gateways << " gateway(s): " << f.accepted << " of " << f.offered << " records offered accepted ("
            << f.finishedGateways << " of " << gateways << " gateways finished); target every record: "
            << (all ? "met" : "missed") << "\n  " << QString::number(rate, 'f', 0) << " records/s accepted, "
            << QString::number(offeredRate, 'f', 0) << "/s written by gw-sim (nominal " << nominalRate
            << "/s); target at least 80% of the written rate: "
            << (rate >= offeredRate * 0.8 ? "met" : "missed") << "\n  "
            << QString::number(f.accepted ? f.cpuSeconds / f.accepted * 1e6 : 0.0, 'f', 1)
            << " us CPU of the link's thread per record, heartbeats and connections included ("
            << QString::number(f.cpuSeconds, 'f', 2) << " s in all)\n"
            << Qt::flush;
    }
    return 0;
}
