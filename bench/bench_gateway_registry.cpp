// The gateway registry under many modems: 40,000 distinct modems, each heard through two
// gateways that send heartbeats with their id, then the TTL passes with no traffic and the
// sweep runs. Printed: the link's resident memory before, at the peak and after the sweep
// (also once freed heap pages are handed back), and the registry's entries left. Memory figures
// mean something only in a build without sanitizers (build/release, RelWithDebInfo).
//
// Then the registry's cost against its size: 200,000 distinct gateway ids, 16 a connection
// (what one connection may register), each with a heartbeat; the time per id over the first and
// the last 10,000 must stay within a factor of 4.

#include "SettingsController.h"
#include "ProcessMemory.h"
#include "crc.h"
#include "tcp_reader_receiver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <vector>

#include <malloc.h>

namespace {

constexpr int kModems = 40000;
constexpr int kPerRead = 100;
constexpr quint32 kGateway = 0x600000;
constexpr quint32 kFirstModem = 0x700000;
// What may stay of the growth once the sweep has run and the heap has handed its pages back.
constexpr double kLeftShare = 0.10;

// A gateway connection without a peer: the registry keeps and closes it.
class StandIn : public QTcpSocket {
public:
    StandIn() { QIODevice::open(QIODevice::ReadWrite); }

protected:
    qint64 writeData(const char*, qint64 len) override { return len; }
};

QByteArray heartbeat(quint32 id)
{
    QByteArray hb = "heartbeat_id:";
    for (int i = 0; i < 4; ++i)
        hb.append(char((id >> (8 * i)) & 0xFF));
    return hb;
}

// Kind 0x0f: protocol D with the gateway's frequency and SNR.
QByteArray record(quint32 modem, qint8 snr)
{
    QByteArray r(36, '\0');
    r[0] = char(0x0f);
    r[1] = char(0x18);
    r[6] = char(snr);
    for (int i = 0; i < 3; ++i)
        r[7 + i] = char((modem >> (8 * (2 - i))) & 0xFF);
    const quint32 crc = CRC32(reinterpret_cast<const unsigned char*>(r.constData()) + 7, 13) & 0xFFFFFF;
    for (int i = 0; i < 3; ++i)
        r[20 + i] = char((crc >> (8 * (2 - i))) & 0xFF);
    return r;
}

// Seconds per id for the first and the last block of ids registered, each block timed alone.
void registrationCost(SettingsController& settings)
{
    constexpr int kIds = 200000;
    constexpr int kBlock = 10000;
    constexpr int kPerConnection = tcp_reader_receiver::kHeartbeatIdsPerConnection;
    constexpr double kMaxRatio = 4.0;
    tcp_reader_receiver rx(settings);
    rx.setListenAddress(QHostAddress::LocalHost, quint16(0));
    rx.logoff(true);
    rx.start();
    std::vector<std::unique_ptr<StandIn>> connections;
    QList<double> perId;
    QElapsedTimer block;
    block.start();
    for (int i = 0; i < kIds; ++i) {
        if (i % kPerConnection == 0)
            connections.push_back(std::make_unique<StandIn>());
        rx.handleGatewayRead(connections.back().get(), heartbeat(0x800000 + quint32(i)));
        if ((i + 1) % kBlock == 0) {
            perId << double(block.nsecsElapsed()) / kBlock / 1000.0;
            block.restart();
        }
    }
    const int registered = rx.gatewayRegistry().gw_list().size();
    const double first = perId.first();
    const double last = perId.last();
    std::printf("gateway registry, %d ids by heartbeat, %d a connection (%d registered)\n", kIds, kPerConnection,
                registered);
    std::printf("  first %d ids           %8.2f us an id\n", kBlock, first);
    std::printf("  last %d ids            %8.2f us an id  target <= %.0f x the first: %s (%.2f x)\n", kBlock, last,
                kMaxRatio, last <= kMaxRatio * first ? "met" : "missed", last / first);
    rx.stopReader();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QFile ini(dir.filePath("station.ini"));
    if (!dir.isValid() || !ini.open(QIODevice::WriteOnly))
        return 1;
    ini.write(QString("[BASE_STATION]\nLOG_FILE_PATH=%1\nTCP_TTL=1\n").arg(dir.filePath("station.log")).toUtf8());
    ini.close();
    SettingsController settings;
    if (!settings.initController(ini.fileName()))
        return 1;

    QDateTime clock = QDateTime::currentDateTimeUtc();
    tcp_reader_receiver rx(settings);
    tcp_reader_receiver::Timing timing;
    timing.utcNow = [&clock] { return clock; };
    rx.setTiming(timing);
    rx.setListenAddress(QHostAddress::LocalHost, quint16(0));
    rx.logoff(true);  // the registry's memory, not the log's
    rx.start();

    const qint64 before = processStatusKb("VmRSS:");
    StandIn a, b;
    rx.handleGatewayRead(&a, heartbeat(kGateway));
    rx.handleGatewayRead(&b, heartbeat(kGateway + 1));
    for (int first = 0; first < kModems; first += kPerRead) {
        QByteArray viaA, viaB;
        for (int i = first; i < first + kPerRead; ++i) {
            viaA += record(kFirstModem + quint32(i), 10);
            viaB += record(kFirstModem + quint32(i), 8);
        }
        rx.handleGatewayRead(&a, viaA);
        rx.handleGatewayRead(&b, viaB);
    }
    const int children = rx.gatewayRegistry().child_list().size();
    const qint64 peak = processStatusKb("VmHWM:");

    clock = clock.addSecs(61);
    rx.sweep();
    const int left = rx.gatewayRegistry().entry_count();
    const qint64 after = processStatusKb("VmRSS:");
    malloc_trim(0);
    const qint64 trimmed = processStatusKb("VmRSS:");

    const qint64 growth = peak - before;
    const qint64 allowed = before + qint64(double(growth) * kLeftShare);
    std::printf("gateway registry, %d modems through 2 gateways (%d children registered)\n", kModems, children);
    std::printf("  RSS before            %8lld KiB\n", static_cast<long long>(before));
    std::printf("  RSS at the peak       %8lld KiB  (+%lld KiB)\n", static_cast<long long>(peak),
                static_cast<long long>(growth));
    std::printf("  RSS after the sweep   %8lld KiB\n", static_cast<long long>(after));
    std::printf("  RSS after malloc_trim %8lld KiB  target <= %lld KiB (%.0f%% of the growth left): %s\n",
                static_cast<long long>(trimmed), static_cast<long long>(allowed), kLeftShare * 100,
                trimmed <= allowed ? "met" : "missed");
    std::printf("  registry entries left %8d      target 0: %s\n", left, left == 0 ? "met" : "missed");
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
    std::printf("  (AddressSanitizer keeps freed memory: memory figures hold only in a build without it)\n");
#endif
#endif
    rx.stopReader();

    registrationCost(settings);
    return 0;
}
