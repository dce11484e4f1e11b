// gw-sim with 1, 10, 100 and 1,000 gateways against the gateway link's receiving half in this
// process: accepted records a second and this process's CPU time per record. Each gateway
// sends 20 records at 10 a second after its first heartbeat.

#include "SettingsController.h"
#include "tcp_reader_receiver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

namespace {

constexpr int kRecordsPerGateway = 20;
constexpr qint64 kBoundMs = 120000;

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void raiseDescriptorLimit()
{
    rlimit l{};
    if (getrlimit(RLIMIT_NOFILE, &l) == 0 && l.rlim_cur < l.rlim_max) {
        l.rlim_cur = l.rlim_max;
        setrlimit(RLIMIT_NOFILE, &l);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    raiseDescriptorLimit();
    QTextStream out(stdout);
    QTemporaryDir dir;
    QFile ini(dir.filePath("station.ini"));
    if (!ini.open(QIODevice::WriteOnly))
        return 0;
    ini.write(QString("[BASE_STATION]\nLOG_FILE_PATH=%1\n").arg(dir.filePath("station.log")).toUtf8());
    ini.close();

    for (int gateways : {1, 10, 100, 1000}) {
        SettingsController settings;
        settings.initController(ini.fileName());
        tcp_reader_receiver rx(settings);
        rx.setListenAddress(QHostAddress::LocalHost, quint16(0));
        rx.start();
        const int expected = gateways * kRecordsPerGateway;
        int accepted = 0;
        QElapsedTimer wall;
        double cpuAtFirst = 0;
        qint64 msAtFirst = 0, msAtLast = 0;
        QObject::connect(&rx, &IReceiver::message_ready, [&] {
            if (accepted++ == 0) {
                cpuAtFirst = cpuSeconds();
                msAtFirst = wall.elapsed();
            }
            msAtLast = wall.elapsed();
        });
        QProcess sim;
        sim.setStandardOutputFile(QProcess::nullDevice());
        wall.start();
        sim.start(GW_SIM_PATH, {"--port", QString::number(rx.serverPort()), "--gateways", QString::number(gateways),
                                "--count", QString::number(kRecordsPerGateway), "--rate", "10", "--heartbeat-ms",
                                "4000"});
        sim.waitForStarted(10000);
        while (accepted < expected && wall.elapsed() < kBoundMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        const double cpu = cpuSeconds() - cpuAtFirst;
        sim.terminate();
        if (!sim.waitForFinished(10000))
            sim.kill();
        sim.waitForFinished(10000);
        rx.stopReader();

        const double seconds = double(std::max<qint64>(1, msAtLast - msAtFirst)) / 1000.0;
        const int offered = gateways * 10;
        out << gateways << " gateway(s): " << accepted << " of " << expected << " records accepted, "
            << QString::number(accepted / seconds, 'f', 0) << " records/s (offered " << offered << "/s), "
            << QString::number(accepted ? cpu / accepted * 1e6 : 0.0, 'f', 1) << " us CPU per record; "
            << "target: every record accepted at the offered rate: "
            << ((accepted == expected && accepted / seconds >= offered * 0.8) ? "met" : "missed") << '\n'
            << Qt::flush;
    }
    return 0;
}
