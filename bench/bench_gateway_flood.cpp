// A TCPBS station (tolvar-sim with a RabbitMQ of its own) under the gateway port's worst peers,
// all at once and at full speed: one connection offering a new heartbeat id each time;
// connections that each register 16 new ids and close; valid records of new modem ids on a
// connection whose heartbeat carries no id. Meanwhile a good gateway on a connection of its own
// sends a record every second. Printed: the good gateway's records taken off the broker queue
// and the longest time from sending to the queue (target 2 s), then the time SIGTERM takes to
// stop the station (target 10 s). The gateway port has no login: any peer on the station's
// network can do what the flood does.
//
// Usage: bench_gateway_flood [seconds]   (default 60)
#include "AmqpClient.h"
#include "AmqpQueue.h"
#include "GatewayRecords.h"
#include "StationProcess.h"
#include "TestBroker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr quint32 kGoodGateway = 0x610000;
constexpr quint32 kGoodModem = 0x620000;
constexpr qint64 kMaxDelayMs = 2000;
constexpr qint64 kMaxStopMs = 10000;
const QString kExchange = QStringLiteral("kavro.messages");
const QString kRoutingKey = QStringLiteral("backend.vexa_uplink");
const QString kQueue = QStringLiteral("flood_uplinks");

std::atomic<bool> stopping{false};

qint64 nowMs()
{
    static QElapsedTimer clock;
    static std::once_flag started;
    std::call_once(started, [] { clock.start(); });
    return clock.elapsed();
}

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

// A blocking connection to the station's gateway port; -1 when it cannot be made.
int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A send never blocks the flood for long: the station may stop reading a refused peer.
    timeval limit{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const QByteArray& bytes)
{
    qint64 sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

// One connection offering a new heartbeat id each time; connected again whenever it is closed.
void newIdEachTime(quint16 port, std::atomic<quint64>& offered)
{
    quint32 next = 0x700000;
    while (!stopping) {
        const int fd = connectTo(port);
        if (fd < 0)
            continue;
        while (!stopping && sendAll(fd, gwrec::heartbeatWithId(next++)))
            ++offered;
        ::close(fd);
    }
}

// Connections that each register 16 new ids, then close.
void sixteenAConnection(quint16 port, std::atomic<quint64>& offered)
{
    quint32 next = 0x800000;
    while (!stopping) {
        const int fd = connectTo(port);
        if (fd < 0)
            continue;
        QByteArray hbs;
        for (int i = 0; i < 16; ++i)
            hbs += gwrec::heartbeatWithId(next++);
        if (sendAll(fd, hbs))
            offered += 16;
        ::close(fd);
    }
}

// Valid records of new modem ids, 100 a write, on a connection whose heartbeat has no id.
void newModems(quint16 port, std::atomic<quint64>& offered)
{
    quint32 next = 0x900000;
    while (!stopping) {
        const int fd = connectTo(port);
        if (fd < 0)
            continue;
        bool open = sendAll(fd, "heartbeat");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        while (open && !stopping) {
            QByteArray batch;
            for (int i = 0; i < 100; ++i, ++next)
                batch += gwrec::kindD(0x18, next & 0xFFFFFF, 0, gwrec::payload(quint8(next)), 0);
            open = sendAll(fd, batch);
            if (open)
                offered += 100;
        }
        ::close(fd);
    }
}

QByteArray goodPayload(quint32 seq)
{
    QByteArray p("GOOD");
    for (int i = 3; i >= 0; --i)
        p.append(char((seq >> (8 * i)) & 0xFF));
    return p;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? QByteArray(argv[1]).toInt() : 60;
    nowMs();

    TestBroker broker;
    std::printf("starting a private RabbitMQ...\n");
    if (!broker.start() || !broker.declareTestQueue(kExchange, QStringLiteral("topic"), kQueue, kRoutingKey)) {
        std::fprintf(stderr, "broker: %s\n", qPrintable(broker.errorString()));
        return 1;
    }
    QTemporaryDir dir;
    // BENCH_KEEP=1 keeps the station's folder (its logs) and names it.
    if (qEnvironmentVariableIntValue("BENCH_KEEP") == 1) {
        dir.setAutoRemove(false);
        std::printf("station folder: %s\n", qPrintable(dir.path()));
    }
    StationProcess station(dir.path());
    station.writeIni(QStringLiteral("[BASE_STATION]\nBS_TYPE=TCPBS_TYPE\nBS_ID=1235\nQORM=true\nLOG_FILE_PATH=station.log\n"
                                    "ERR_LOG_FILE_PATH=errlog.db3\nUSE_BINARY=false\nSAVE_TO_DISK=true\nR_LOGIN=%1\n"
                                    "R_EXCHANGE=kavro.messages\nR_ROUTING_KEY=backend.vexa_uplink\nMODE=bench\n"
                                    "TIME_SYNC=false\n[TRANSMITTER]\nSEND_DL=true\n")
                         .arg(broker.url()));
    station.writeScenario(QString());
    if (!station.start({QStringLiteral("--gateway-port"), QStringLiteral("0")}) ||
        !waitFor([&] { return station.gatewayPort() != 0; }, 60000)) {
        std::fprintf(stderr, "the station did not start:\n%s\n", station.output().right(2000).constData());
        return 1;
    }
    const quint16 port = station.gatewayPort();

    // The good gateway's records as they reach the queue.
    std::mutex m;
    std::map<quint32, qint64> sentAt;
    std::map<quint32, qint64> arrivedAt;
    quint64 taken = 0;
    AmqpClient client;
    client.connectToHost(broker.url());
    if (!waitFor([&] { return client.isConnected(); }, 60000)) {
        std::fprintf(stderr, "consumer did not connect\n");
        return 1;
    }
    AmqpQueue* queue = client.createQueue(kQueue);
    const QByteArray goodId = QByteArray::number(kGoodModem);
    QObject::connect(queue, &AmqpQueue::messageReceived, [&] {
        while (!queue->isEmpty()) {
            const QByteArray body = queue->dequeue().payload();
            ++taken;
            if (!body.contains(goodId))
                continue;
            const QJsonObject o = QJsonDocument::fromJson(body).object();
            if (quint32(o.value("modem_id").toInt()) != kGoodModem)
                continue;
            const QByteArray payload = QByteArray::fromHex(o.value("payload").toString().toLatin1());
            if (payload.size() != 8 || !payload.startsWith("GOOD"))
                continue;
            quint32 seq = 0;
            for (int i = 4; i < 8; ++i)
                seq = (seq << 8) | quint8(payload[i]);
            std::lock_guard<std::mutex> lock(m);
            arrivedAt.emplace(seq, nowMs());
        }
    });
    if (!waitFor([&] { return queue->isOpen(); }, 60000) || !queue->consume(AmqpQueue::coNoAck) ||
        !waitFor([&] { return queue->isConsuming(); }, 60000)) {
        std::fprintf(stderr, "consumer did not start\n");
        return 1;
    }

    std::atomic<quint64> idsOffered{0}, sixteenOffered{0}, modemsOffered{0};
    std::atomic<bool> goodClosed{false};
    std::thread good([&] {
        const int fd = connectTo(port);
        if (fd < 0 || !sendAll(fd, gwrec::heartbeatWithId(kGoodGateway))) {
            goodClosed = true;
            return;
        }
        for (quint32 seq = 0; !stopping; ++seq) {
            const qint64 due = nowMs() + 1000;
            QByteArray out;
            if (seq % 5 == 0)
                out += gwrec::heartbeatWithId(kGoodGateway);
            out += gwrec::kindD(0x18, kGoodModem, 0, goodPayload(seq), 0);
            {
                std::lock_guard<std::mutex> lock(m);
                sentAt.emplace(seq, nowMs());
            }
            if (!sendAll(fd, out)) {
                goodClosed = true;
                break;
            }
            while (!stopping && nowMs() < due)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::close(fd);
    });
    std::vector<std::thread> flood;
    flood.emplace_back(newIdEachTime, port, std::ref(idsOffered));
    flood.emplace_back(sixteenAConnection, port, std::ref(sixteenOffered));
    flood.emplace_back(newModems, port, std::ref(modemsOffered));

    std::printf("flooding port %u for %d s...\n", unsigned(port), seconds);
    waitFor([] { return false; }, seconds * 1000);
    stopping = true;
    for (auto& t : flood)
        t.join();
    good.join();
    const quint64 takenAtStop = taken;
    // What the flood left queued still goes out; the good gateway's last records may follow it.
    waitFor([&] {
        std::lock_guard<std::mutex> lock(m);
        return arrivedAt.size() >= sentAt.size();
    }, 60000);

    qint64 worst = 0;
    int late = 0;
    int missing = 0;
    {
        std::lock_guard<std::mutex> lock(m);
        for (const auto& [seq, at] : sentAt) {
            const auto arrived = arrivedAt.find(seq);
            if (arrived == arrivedAt.end()) {
                ++missing;
                continue;
            }
            const qint64 delay = arrived->second - at;
            worst = std::max(worst, delay);
            if (delay > kMaxDelayMs && ++late <= 10)
                std::printf("  late: record %u, sent %lld ms into the run, %lld ms to the queue\n", seq,
                            static_cast<long long>(at), static_cast<long long>(delay));
        }
    }
    std::printf("flood of %d s against one station\n", seconds);
    std::printf("  new heartbeat ids offered on one connection   %10llu\n",
                static_cast<unsigned long long>(idsOffered.load()));
    std::printf("  ids offered 16 a connection                   %10llu\n",
                static_cast<unsigned long long>(sixteenOffered.load()));
    std::printf("  records of new modems offered                 %10llu\n",
                static_cast<unsigned long long>(modemsOffered.load()));
    std::printf("  records taken off the queue during the flood  %10llu\n",
                static_cast<unsigned long long>(takenAtStop));
    std::printf("  good gateway: %zu records sent, %d missing, %d later than %lld ms%s\n", sentAt.size(), missing, late,
                static_cast<long long>(kMaxDelayMs), goodClosed ? " (its connection was closed)" : "");
    std::printf("  longest delay to the queue %8lld ms  target <= %lld ms: %s\n", static_cast<long long>(worst),
                static_cast<long long>(kMaxDelayMs), missing == 0 && worst <= kMaxDelayMs ? "met" : "missed");

    QElapsedTimer stop;
    stop.start();
    const bool ended = station.terminate(120000);
    const qint64 stopMs = stop.elapsed();
    std::printf("  SIGTERM to exit            %8lld ms  target <= %lld ms: %s (exit code %d)\n",
                static_cast<long long>(stopMs), static_cast<long long>(kMaxStopMs),
                ended && stopMs <= kMaxStopMs ? "met" : "missed", station.exitCode());
    client.disconnectFromHost();
    broker.stop();
    return 0;
}
