// The serial radio modem link on a pseudo-terminal, against tolvar-modem-sim in its own process:
// the round trip of one request (the modem's ID), and the time per downlink through the
// back-end when the modem keeps each frame queued for a set drain delay, with the check byte on
// (the queue is polled) and off (a written frame counts as sent). Figures with targets; always
// exits 0.
#include "AX8052f143Transmitter.h"
#include "SettingsController.h"
#include "ax_modem.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

const char* verdict(bool met)
{
    return met ? "met" : "missed";
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(p * double(v.size() - 1))];
}

// tolvar-modem-sim on a pseudo-terminal of its own, and station settings pointing at it.
struct Modem
{
    QTemporaryDir dir;
    QProcess process;
    SettingsController settings;

    bool start(bool crc, int airMs)
    {
        const QString portFile = dir.filePath(QStringLiteral("port.txt"));
        QStringList args{QStringLiteral("--port-file"), portFile, QStringLiteral("--air-ms"), QString::number(airMs)};
        if (crc)
            args << QStringLiteral("--crc");
        process.start(QStringLiteral(TOLVAR_BINARY_DIR "/sim/tolvar-modem-sim"), args);
        if (!process.waitForStarted(10000))
            return false;
        QString port;
        QElapsedTimer waited;
        waited.start();
        while (port.isEmpty() && waited.elapsed() < 20000) {
            QFile f(portFile);
            if (f.open(QIODevice::ReadOnly))
                port = QString::fromUtf8(f.readAll()).trimmed();
            if (port.isEmpty())
                QThread::msleep(20);
        }
        if (port.isEmpty())
            return false;
        QFile ini(dir.filePath(QStringLiteral("station.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            return false;
        ini.write(QStringLiteral("[Comunications]\nPortNum=%1\nBaudeRate=115200\nSLIP_CRC=%2\n")
                      .arg(port, crc ? QStringLiteral("true") : QStringLiteral("false"))
                      .toUtf8());
        ini.close();
        return settings.initController(ini.fileName());
    }

    ~Modem()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }
};

dl_message_point request(quint8 i)
{
    dl_message_point m;
    m.phy = QStringLiteral("DL_PSK_500");
    m.vexa_ver = 1;
    m.freq = 868800000u;
    m.modem_id = 0x123456;
    m.strength = 10;
    m.iterator = i;
    m.payload_len = 8;
    for (int b = 0; b < 8; ++b)
        m.payload[b] = quint8(b + i);
    return m;
}

// Mean ms per downlink of `count` requests through the back-end (the configuration is written
// once, before the timing starts).
double perDownlink(Modem& modem, int count, int* failed)
{
    AX8052f143Transmitter::forgetConfiguration();
    AX8052f143Transmitter tx(modem.settings, nullptr);
    tx.logoff(true);
    dl_message_point first = request(0);
    tx.sendDLMessage(&first, 0.0);
    QElapsedTimer t;
    t.start();
    *failed = 0;
    for (int i = 1; i <= count; ++i) {
        dl_message_point m = request(quint8(i));
        if (!tx.sendDLMessage(&m, 0.0))
            ++*failed;
    }
    return double(t.elapsed()) / count;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);

    {
        Modem modem;
        if (!modem.start(true, 50)) {
            std::printf("tolvar-modem-sim did not start; nothing measured\n");
            return 0;
        }
        ax_modem link(modem.settings);
        if (!link.open()) {
            std::printf("the pseudo-terminal did not open; nothing measured\n");
            return 0;
        }
        std::vector<double> ms;
        int failed = 0;
        for (int i = 0; i < 500; ++i) {
            QElapsedTimer t;
            t.start();
            if (link.getID() == 0)
                ++failed;
            ms.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        const double p50 = percentile(ms, 0.5);
        const double p99 = percentile(ms, 0.99);
        std::printf("ID round trip on the pseudo-terminal (500 requests): p50 %.2f ms, p99 %.2f ms, %d unanswered; "
                    "target p99 < 20 ms (a fifth of the link's 100 ms wait): %s\n",
                    p50, p99, failed, verdict(p99 < 20.0 && failed == 0));
    }

    const int drainMs = 200;
    const int count = 20;
    {
        Modem modem;
        if (modem.start(true, drainMs)) {
            int failed = 0;
            const double each = perDownlink(modem, count, &failed);
            // The queue is polled every 200 ms once past the first polls: up to one interval late.
            std::printf("Downlinks with the check byte on, drain delay %d ms (%d frames): %.1f ms each, %d failed; "
                        "target < %d ms (drain + one poll interval + 50 ms): %s\n",
                        drainMs, count, each, failed, drainMs + 250, verdict(each < drainMs + 250 && failed == 0));
        }
    }
    {
        Modem modem;
        if (modem.start(false, drainMs)) {
            int failed = 0;
            const double each = perDownlink(modem, count, &failed);
            std::printf("Downlinks with the check byte off, drain delay %d ms (%d frames): %.1f ms each, %d failed; "
                        "target < 20 ms (written is sent, no queue poll): %s\n",
                        drainMs, count, each, failed, verdict(each < 20.0 && failed == 0));
        }
    }
    return 0;
}
