#include "tcp_reader_receiver.h"

#include "LogText.h"
#include "Message_Parser_Protocol_V1_1.h"
#include "SettingsController.h"
#include "downlink_route.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtDebug>

#include <algorithm>
#include <climits>
#include <iterator>
#include <utility>

namespace {

const QByteArray kHeartbeat = "heartbeat";
const QByteArray kIdMark = "_id:";

quint32 big_endian(const ParserBytes& v)
{
    quint32 out = 0;
    for (uint8_t b : v)
        out = (out << 8) | b;
    return out;
}

QString hex32from5(const char* rec)
{
    return QString::fromLatin1(QByteArray(rec + 5, 32).toHex());
}

// Text of a heartbeat: its bytes as UTF-8 up to the first zero byte.
QString heartbeat_text(const QByteArray& bytes)
{
    const int zero = bytes.indexOf('\0');
    return QString::fromUtf8(zero < 0 ? bytes : bytes.left(zero));
}

uint32_t bitrate_of(uint8_t phy)
{
    switch (phy) {
    case 0x15: case 0x1e: return 50;
    case 0x18: case 0x1f: return 400;
    case 0x1a: case 0x20: return 3200;
    case 0x1c: case 0x21: return 25600;
    case 0x22: case 0x23: return 100;
    default: return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(phy)));
    }
}

// A read or batch for the log: its length and no more than its first bytes.
QString bytes_for_log(const QByteArray& bytes, int limit, bool upper = false)
{
    QString hex = QString::fromLatin1(bytes.left(limit).toHex());
    if (upper)
        hex = hex.toUpper();
    if (bytes.size() > limit)
        hex += "...";
    return QString("%1 bytes: %2").arg(bytes.size()).arg(hex);
}

// Ids of a census line: a registry may hold tens of thousands, the line shows the first ones.
QString id_list(const QList<quint32>& ids)
{
    constexpr int kShown = 50;
    QStringList t;
    for (int i = 0; i < ids.size() && i < kShown; ++i)
        t << QString::number(ids[i]);
    QString out = t.join(',');
    if (ids.size() > kShown)
        out += QString(",... %1 more").arg(ids.size() - kShown);
    return out;
}

// The tail of a line written after others of its kind were held back.
QString held_back(int count, const char* what)
{
    return count ? QString(" (%1 more %2 since the last line)").arg(count).arg(what) : QString();
}

QString snr_text(float snr)
{
    return QString::number(double(snr), 'g', 6);
}

// A timer interval in ms from seconds, kept within what a timer takes.
int interval_ms(qint64 seconds)
{
    return int(std::min<qint64>(seconds * 1000, INT_MAX));
}

QElapsedTimer& process_clock()
{
    static QElapsedTimer t;
    if (!t.isValid())
        t.start();
    return t;
}

} // namespace

tcp_reader_receiver::tcp_reader_receiver(SettingsController& settings, QObject* parent)
    : IReceiver(parent), logger(QString()), setCtrlr(settings), msg_parser(new Message_Parser_Protocol_V1_1)
{
    const auto sink = [this](const QString& text, QTcpSocket* socket, unsigned int id) {
        print_to_log(text, socket, id);
    };
    sockets.set_logger(sink);
    sockets_rs.set_logger(sink);
}

tcp_reader_receiver::~tcp_reader_receiver()
{
    qDeleteAll(rs_timers);
}

void tcp_reader_receiver::setListenAddress(const QHostAddress& address, std::optional<quint16> port)
{
    listenAddress_ = address;
    listenPort_ = port;
}

void tcp_reader_receiver::setTiming(const Timing& timing)
{
    timing_ = timing;
    if (timing_.utcNow) {
        sockets.set_clock(timing_.utcNow);
        sockets_rs.set_clock(timing_.utcNow);
    }
    if (timing_.monotonicMs)
        sockets_rs.set_monotonic(timing_.monotonicMs);
    if (timing_.flushMs) {
        sockets.set_flush_delay(*timing_.flushMs);
        sockets_rs.set_flush_delay(*timing_.flushMs);
    }
    if (timing_.reconnectMs)
        sockets_rs.set_reconnect_interval(*timing_.reconnectMs);
}

void tcp_reader_receiver::setLimits(const Limits& limits)
{
    limits_ = limits;
}

int tcp_reader_receiver::openGatewayConnections() const
{
    // Closed connections stay objects while registered ids refer to them, which can be many:
    // only the connections not yet seen closed are looked at.
    int open = 0;
    for (QTcpSocket* s : open_)
        if (s->state() != QAbstractSocket::UnconnectedState)
            ++open;
    return open;
}

quint16 tcp_reader_receiver::serverPort() const
{
    return tcpServer && tcpServer->isListening() ? tcpServer->serverPort() : 0;
}

QString tcp_reader_receiver::logFilePath() const
{
    return getLogpath();
}

qint64 tcp_reader_receiver::monotonic() const
{
    return timing_.monotonicMs ? timing_.monotonicMs() : process_clock().elapsed();
}

bool tcp_reader_receiver::init()
{
    return true;
}

void tcp_reader_receiver::alarm_in(const QString&) {}

void tcp_reader_receiver::start()
{
    const BaseStationParams bs = setCtrlr.getBS_ParamsCopy();

    QStringList parts = bs.logpath_.toString().split('/');
    parts.last() = "tcp_" + parts.last();
    setLogpath(parts.join('/'));

    tcpServer.reset(new QTcpServer);
    const int port = listenPort_ ? int(*listenPort_) : bs.tcp_port_.toInt();
    const bool listening = tcpServer->isListening() || tcpServer->listen(listenAddress_, quint16(port));
    print_to_log(QString("Inited TCP listener port %1 %2").arg(port).arg(listening ? "success" : "fail"), nullptr, 0);
    connect(tcpServer.data(), &QTcpServer::newConnection, this, &tcp_reader_receiver::acceptConnection);
    if (listening)
        emit this->listening(tcpServer->serverAddress().toString(), tcpServer->serverPort());

    qint64 sweepSeconds = bs.tcp_ttl_timeout_.toLongLong();
    if (sweepSeconds <= 0 && !timing_.ttlSweepMs) {
        print_to_log(QString("TCP_TTL_TIMEOUT %1 s is not positive: the sweep runs every 60 minutes").arg(sweepSeconds),
                     nullptr, 0);
        sweepSeconds = 3600;
    }
    ttl_timer.reset(new QTimer);
    connect(ttl_timer.data(), &QTimer::timeout, ttl_timer.data(), [this] { sweep(); }, Qt::DirectConnection);
    ttl_timer->setInterval(timing_.ttlSweepMs ? std::max(1, *timing_.ttlSweepMs) : interval_ms(sweepSeconds));
    ttl_timer->start();

    const int idleMs = timing_.rsIdleMs ? *timing_.rsIdleMs : bs.tcp_rs_timeout_.toInt();
    for (const QString& entry : bs.tcp_rs_.toStringList()) {
        const QStringList hostPort = entry.split(':');
        if (hostPort.size() != 2)
            continue;
        QSharedPointer<QTcpSocket> client(new QTcpSocket);
        tcpClients.append(client);
        const quint16 rsPort = quint16(hostPort[1].toInt());
        client->connectToHost(hostPort[0], rsPort, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
        connect(client.data(), &QTcpSocket::readyRead, this, &tcp_reader_receiver::acceptMessageRS);
        connect(client.data(), &QAbstractSocket::errorOccurred, this, &tcp_reader_receiver::displayErrorRS,
                Qt::QueuedConnection);
        print_to_log("Conected to remote TCP-RS server", client.data(), 0);
        sockets_rs.append_list(client.data(), hostPort[0], rsPort);
        rs_datas.insert(client.data(), QByteArray());
        auto* idle = new QTimer;
        idle->setSingleShot(true);
        idle->setInterval(std::max(0, idleMs));
        connect(idle, &QTimer::timeout, this, &tcp_reader_receiver::acceptMessageRStimeout);
        rs_timers.insert(client.data(), idle);
    }
}

void tcp_reader_receiver::stopReader()
{
    // Everything of the link lives on this thread and goes here, before the thread ends.
    if (ttl_timer)
        ttl_timer->stop();
    ttl_timer.reset();
    qDeleteAll(rs_timers);
    rs_timers.clear();
    sockets.stop();
    sockets_rs.stop();
    for (const auto& client : tcpClients)
        client->abort();
    if (tcpServer) {
        tcpServer->close();
        for (QTcpSocket* s : tcpServer->findChildren<QTcpSocket*>())
            s->abort();
    }
}

void tcp_reader_receiver::acceptConnection()
{
    QTcpSocket* socket = tcpServer->nextPendingConnection();
    if (!socket)
        return;
    // Registered gateways, RS links and the broker keep their descriptors whatever connects here;
    // a connection that holds no registered id makes room for a newcomer.
    for (auto it = open_.begin(); it != open_.end();)
        it = (*it)->state() == QAbstractSocket::UnconnectedState ? open_.erase(it) : std::next(it);
    if (open_.size() >= std::max(0, limits_.maxConnections) && !makeRoom(socket)) {
        socket->abort();
        socket->setParent(nullptr);
        socket->deleteLater();
        int leftOut = 0;
        if (logDue(nullptr, "refused", leftOut))
            print_to_log(QString("Refused connection: %1 gateway connections are open").arg(limits_.maxConnections) +
                             held_back(leftOut, "refused"),
                         nullptr, 0);
        return;
    }
    acceptedOrder.insert(socket, ++order_);
    open_.insert(socket);
    // A peer that sends faster than the link reads would otherwise hand it megabytes in one
    // read, and every other gateway would wait for them: each connection gets at most this much
    // a turn, and the rest waits in the kernel, which slows the peer down.
    socket->setReadBufferSize(kReadBufferBytes);
    afterWait(socket, monotonic(), std::max(0, limits_.idleMs), [this](QTcpSocket* s) { closeIfIdle(s); });
    QPointer<QTcpSocket> guarded(socket);
    connect(socket, &QTcpSocket::readyRead, this, &tcp_reader_receiver::acceptMessage);
    // Queued: the handler may drop registry entries, which must not happen inside a write
    // to this very socket.
    connect(socket, &QAbstractSocket::errorOccurred, this, &tcp_reader_receiver::displayError, Qt::QueuedConnection);
    // The socket may be gone by the time this queued call runs (closed for being idle, say).
    connect(socket, &QAbstractSocket::disconnected, this, [this, guarded] {
        if (guarded)
            dropUnusedSocket(guarded);
    }, Qt::QueuedConnection);
    int leftOut = 0;
    if (logDue(nullptr, "accepted", leftOut))
        print_to_log("Accepted connection" + held_back(leftOut, "accepted"), socket, 0);
}

void tcp_reader_receiver::dropUnusedSocket(QTcpSocket* socket)
{
    if (!tcpServer || socket->parent() != tcpServer.data() || socket->state() != QAbstractSocket::UnconnectedState)
        return;
    if (sockets.refers_to(socket))
        return;
    sockets.forget_socket(socket);
    tails.remove(socket);
    heard.remove(socket);
    heartbeatIds.remove(socket);
    deferred.remove(socket);
    open_.remove(socket);
    acceptedOrder.remove(socket);
    for (auto it = repeats.begin(); it != repeats.end();)
        it = it.key().first == socket ? repeats.erase(it) : std::next(it);
    for (auto it = budgets.begin(); it != budgets.end();)
        it = it.key().first == socket ? budgets.erase(it) : std::next(it);
    socket->setParent(nullptr);
    socket->deleteLater();
}

void tcp_reader_receiver::closeIfIdle(QTcpSocket* socket)
{
    if (heard.contains(socket) || socket->state() == QAbstractSocket::UnconnectedState)
        return;
    int leftOut = 0;
    if (logDue(nullptr, "idle", leftOut))
        print_to_log(QString("Closed idle connection: no heartbeat or record within %1 ms").arg(limits_.idleMs) +
                         held_back(leftOut, "closed"),
                     socket, 0);
    tails.remove(socket);
    socket->abort();
    dropUnusedSocket(socket);
}

bool tcp_reader_receiver::makeRoom(QTcpSocket* newcomer)
{
    // Never heard, oldest first; else heard but holding no registered id (no gateway id, no
    // child of its own), least recently heard first. Registered gateways are never closed here.
    QTcpSocket* victim = nullptr;
    quint64 victimOrder = 0;
    const auto consider = [&](QTcpSocket* s, quint64 order) {
        if (!victim || order < victimOrder) {
            victim = s;
            victimOrder = order;
        }
    };
    const QList<QTcpSocket*> open = open_.values();
    for (QTcpSocket* s : open)
        if (s != newcomer && s->state() != QAbstractSocket::UnconnectedState && !heard.contains(s))
            consider(s, acceptedOrder.value(s));
    if (!victim) {
        const QSet<QTcpSocket*> registered = sockets.referenced_sockets();
        for (QTcpSocket* s : open)
            if (s != newcomer && s->state() != QAbstractSocket::UnconnectedState && !registered.contains(s))
                consider(s, heard.value(s));
    }
    if (!victim)
        return false;
    int leftOut = 0;
    if (logDue(nullptr, "made room", leftOut))
        print_to_log(QString("Closed connection to make room: %1 gateway connections are open")
                             .arg(limits_.maxConnections) +
                         held_back(leftOut, "closed"),
                     victim, 0);
    tails.remove(victim);
    victim->abort();
    dropUnusedSocket(victim);
    return true;
}

void tcp_reader_receiver::afterWait(QTcpSocket* socket, qint64 since, qint64 waitMs,
                                    const std::function<void(QTcpSocket*)>& then)
{
    const qint64 left = std::max<qint64>(0, since + waitMs - monotonic());
    const qint64 delay = timing_.checkMs ? std::min<qint64>(std::max(0, *timing_.checkMs), left) : left;
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(int(std::min<qint64>(delay, INT_MAX)), socket, [this, guarded, since, waitMs, then] {
        if (!guarded)
            return;
        if (monotonic() - since < waitMs)
            afterWait(guarded, since, waitMs, then);
        else
            then(guarded);
    });
}

void tcp_reader_receiver::markHeard(QTcpSocket* socket)
{
    heard.insert(socket, ++order_);
    // Strikes count bad records since the last good record or heartbeat.
    sockets.clear_strikes(socket);
}

bool tcp_reader_receiver::logDue(QTcpSocket* socket, const QString& kind, int& leftOut)
{
    Repeat& r = repeats[qMakePair(socket, kind)];
    const qint64 now = monotonic();
    if (r.written && now - r.lastMs < kRepeatLogMs) {
        ++r.leftOut;
        return false;
    }
    leftOut = std::exchange(r.leftOut, 0);
    r.lastMs = now;
    r.written = true;
    return true;
}

QTcpSocket* tcp_reader_receiver::limiterOf(QTcpSocket* socket) const
{
    // Connections that never sent anything good share one budget of lines: a peer that connects
    // again and again with junk writes no more than one that stays.
    return heard.contains(socket) ? socket : nullptr;
}

void tcp_reader_receiver::keepTail(QTcpSocket* socket, const Tail& tail)
{
    tails.insert(socket, tail);
    if (tail.bytes != kHeartbeat)
        return;
    // An old-style gateway's heartbeat may be all it sends: it is taken as one once its second
    // has passed without the rest of a heartbeat with id.
    const qint64 since = tail.since;
    afterWait(socket, since, kTailKeepMs, [this, since](QTcpSocket* s) { finishBareHeartbeat(s, since); });
}

void tcp_reader_receiver::finishBareHeartbeat(QTcpSocket* socket, qint64 since)
{
    const auto it = tails.constFind(socket);
    if (it == tails.constEnd() || it->bytes != kHeartbeat || it->since != since)
        return;
    tails.erase(it);
    oldStyleHeartbeat(socket, kHeartbeat);
}

void tcp_reader_receiver::displayError(QAbstractSocket::SocketError)
{
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    int leftOut = 0;
    if (heard.contains(socket) || logDue(nullptr, "error", leftOut))
        print_to_log(QString("Rejected socket error. %1").arg(socket->errorString()) + held_back(leftOut, "errors"), socket,
                     sockets.id(socket));
    sockets.reject(socket, true);
    tails.remove(socket);
    dropUnusedSocket(socket);
}

void tcp_reader_receiver::displayErrorRS(QAbstractSocket::SocketError)
{
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    print_to_log(QString("Rejected socket error. %1").arg(socket->errorString()), socket, 0);
    sockets_rs.reject(socket);
}

void tcp_reader_receiver::acceptMessage()
{
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    readTurn(socket);
}

void tcp_reader_receiver::readTurn(QTcpSocket* socket)
{
    // The station takes records more slowly than a flood can bring them. While many wait, the
    // gateways' bytes stay in their sockets (and the senders slow down) instead of piling up
    // in memory ahead of every other gateway's records.
    if (backlog_ && backlog_() >= kMaxWaitingRecords) {
        int leftOut = 0;
        if (logDue(nullptr, "backlog", leftOut))
            print_to_log(QString("Reading paused: %1 records wait to be sent").arg(kMaxWaitingRecords) +
                             held_back(leftOut, "pauses"),
                         nullptr, 0);
        if (deferred.contains(socket))
            return;
        deferred.insert(socket);
        QPointer<QTcpSocket> guarded(socket);
        QTimer::singleShot(kBacklogRetryMs, socket, [this, guarded] {
            if (!guarded)
                return;
            deferred.remove(guarded);
            if (guarded->bytesAvailable() > 0)
                readTurn(guarded);
        });
        return;
    }
    handleGatewayRead(socket, socket->readAll());
}

void tcp_reader_receiver::setBacklog(std::function<qint64()> waiting)
{
    backlog_ = std::move(waiting);
}

void tcp_reader_receiver::handleGatewayRead(QTcpSocket* socket, const QByteArray& bytes)
{
    // Connections that have sent nothing good yet share one budget for their read lines. A
    // heard one writes the line of every read that holds an accepted record, and the others
    // within its per-second budget; past it, the line waits to see whether a record comes.
    const QString line = "Recieved " + bytes_for_log(bytes, kLoggedReadBytes);
    int leftOut = 0;
    bool counted = false;
    if (!heard.contains(socket)) {
        if (logDue(nullptr, "read", leftOut))
            print_to_log(line + held_back(leftOut, "reads"), socket, 0);
    } else if (lineFits(socket, "read")) {
        print_to_log(line + held_back(readLinesLeftOut(socket), "reads"),
                     socket, 0);
        counted = true;
    } else {
        heldRead_ = HeldLine{socket, line};
    }
    const quint64 acceptedBefore = acceptedRecords_;
    processGatewayRead(socket, bytes);
    const bool held = heldRead_.has_value();
    heldRead_.reset();
    if (acceptedRecords_ != acceptedBefore)
        return;
    if (counted)
        takeLine(socket, "read", leftOut);
    else if (held)
        ++budgets[qMakePair(socket, QString("read"))].leftOut;
}

bool tcp_reader_receiver::lineFits(QTcpSocket* socket, const QString& kind)
{
    const auto it = budgets.find(qMakePair(socket, kind));
    if (it == budgets.end())
        return true;
    const qint64 now = monotonic();
    while (!it->stamps.isEmpty() && now - it->stamps.first() >= 1000)
        it->stamps.removeFirst();
    return it->stamps.size() < kLinesPerSecond;
}

bool tcp_reader_receiver::takeLine(QTcpSocket* socket, const QString& kind, int& leftOut)
{
    const bool fits = lineFits(socket, kind);
    Budget& b = budgets[qMakePair(socket, kind)];
    if (!fits) {
        ++b.leftOut;
        return false;
    }
    b.stamps.append(monotonic());
    leftOut = std::exchange(b.leftOut, 0);
    return true;
}

int tcp_reader_receiver::readLinesLeftOut(QTcpSocket* socket)
{
    return std::exchange(budgets[qMakePair(socket, QString("read"))].leftOut, 0);
}

void tcp_reader_receiver::writeHeldReadLine()
{
    if (!heldRead_)
        return;
    const HeldLine line = *std::exchange(heldRead_, std::nullopt);
    print_to_log(line.text + held_back(readLinesLeftOut(line.socket), "reads"),
                 line.socket, 0);
}

void tcp_reader_receiver::processGatewayRead(QTcpSocket* socket, const QByteArray& bytes)
{
    QByteArray data = bytes;
    Tail tail = tails.take(socket);
    bool fresh = !tail.bytes.isEmpty() && monotonic() - tail.since <= kTailKeepMs;
    // "heartbeat" alone at the end of a read: the rest of a heartbeat with id comes in this
    // read, or it was an old-style heartbeat.
    if (tail.bytes == kHeartbeat && !(fresh && (bytes.startsWith(kIdMark) || kIdMark.startsWith(bytes)))) {
        oldStyleHeartbeat(socket, tail.bytes);
        tail = Tail();
        fresh = false;
    }
    // TCP keeps no write boundaries: a heartbeat cut at the end of the last read goes on here.
    if (fresh && kHeartbeat.startsWith(tail.bytes.left(kHeartbeat.size()))) {
        const QByteArray joined = tail.bytes + bytes;
        if (heartbeatUnfinished(joined, 0)) {
            keepTail(socket, Tail{joined, tail.since});
            return;
        }
        if (joined.startsWith(kHeartbeat)) {
            data = joined;
            tail = Tail();
        }
    }

    QByteArray rest = data;
    if (data.startsWith(kHeartbeat)) {
        const int mark = data.indexOf(kIdMark);
        const int end = mark + kIdMark.size() + 4;
        if ((mark < 0 || data.size() < end) && data.size() < kRecordSize && heartbeatUnfinished(data, 0)) {
            keepTail(socket, Tail{data, monotonic()});
            return;
        }
        if (mark < 0) {
            oldStyleHeartbeat(socket, data);
            return;
        }
        if (data.size() < end) {
            // The id is cut short: nothing to register.
            sockets.reject(socket, false);
            return;
        }
        if (!heartbeatWithId(socket, data.left(end)))
            return;
        rest = data.mid(end);
        if (rest.isEmpty())
            return;
        tail = Tail();
    }

    int pos = 0;
    if (!tail.bytes.isEmpty()) {
        const int need = kRecordSize - tail.bytes.size();
        if (fresh && rest.size() < need) {
            tails.insert(socket, Tail{tail.bytes + rest, tail.since});
            return;
        }
        const QByteArray joined = tail.bytes + rest.left(need);
        if (fresh && recordPassesCrc(joined)) {
            if (handleRecord(socket, joined) == RecordResult::SocketClosed)
                return;
            pos = need;
        } else {
            if (sockets.reject(socket, false))
                return;  // the dropped tail was the last strike
            // Either the kept tail was junk and this read is aligned on records, or the tail was
            // the head of a bad record and the bytes that finished it are no record start. A good
            // record met on the way from the first byte tells the first case.
            if (fresh && !meetsGoodRecord(rest))
                pos = need;
        }
    }
    while (pos < rest.size()) {
        // A heartbeat where a record would begin: the gateway wrote it between records.
        if (heartbeatAt(rest, pos)) {
            if (heartbeatUnfinished(rest, pos))
                break;
            if (rest.mid(pos + kHeartbeat.size(), kIdMark.size()) != kIdMark) {
                oldStyleHeartbeat(socket, rest.mid(pos));
                return;
            }
            const int size = kHeartbeat.size() + kIdMark.size() + 4;
            if (!heartbeatWithId(socket, rest.mid(pos, size)))
                return;
            pos += size;
            continue;
        }
        if (rest.size() - pos < kRecordSize)
            break;
        const RecordResult r = handleRecord(socket, rest.mid(pos, kRecordSize));
        pos += kRecordSize;
        if (r == RecordResult::SocketClosed)
            return;  // the rest of a rejected gateway's read is not looked at
    }
    if (pos < rest.size())
        keepTail(socket, Tail{rest.mid(pos), monotonic()});
}

bool tcp_reader_receiver::heartbeatAt(const QByteArray& bytes, int pos)
{
    return bytes.at(pos) == kHeartbeat.at(0) && bytes.mid(pos, kHeartbeat.size()) == kHeartbeat.left(bytes.size() - pos);
}

bool tcp_reader_receiver::meetsGoodRecord(const QByteArray& bytes)
{
    // The scan of processGatewayRead, from the first byte, without acting on anything.
    int pos = 0;
    while (pos < bytes.size()) {
        if (heartbeatAt(bytes, pos)) {
            if (heartbeatUnfinished(bytes, pos) || bytes.mid(pos + kHeartbeat.size(), kIdMark.size()) != kIdMark)
                return false;  // an old-style heartbeat takes the rest of the read
            pos += kHeartbeat.size() + kIdMark.size() + 4;
            continue;
        }
        if (bytes.size() - pos < kRecordSize)
            return false;
        if (recordPassesCrc(bytes.mid(pos, kRecordSize)))
            return true;
        pos += kRecordSize;
    }
    return false;
}

bool tcp_reader_receiver::heartbeatUnfinished(const QByteArray& bytes, int pos)
{
    // Shorter than "heartbeat_id:" and its 4 id bytes, and the same as far as it goes. A lone
    // "heartbeat" is one too until the next read shows whether "_id:" follows.
    static const QByteArray withId = kHeartbeat + kIdMark;
    if (bytes.size() - pos >= withId.size() + 4)
        return false;
    return withId.startsWith(bytes.mid(pos, withId.size()));
}

void tcp_reader_receiver::oldStyleHeartbeat(QTcpSocket* socket, const QByteArray& bytes)
{
    const QString text = heartbeat_text(bytes).left(kHeartbeatTextLimit);
    sockets.save_last_hearbeat(0, socket, text);
    int leftOut = 0;
    if (takeLine(socket, "heartbeat", leftOut))
        print_to_log(QString("Heartbeat %1 bytes: %2").arg(bytes.size()).arg(LogText::escaped(text)) + held_back(leftOut, "heartbeats"),
                     socket, 0);
    markHeard(socket);
}

bool tcp_reader_receiver::heartbeatWithId(QTcpSocket* socket, const QByteArray& bytes)
{
    const auto* idBytes = reinterpret_cast<const uchar*>(bytes.constData()) + bytes.size() - 4;
    const quint32 id = quint32(idBytes[0]) | quint32(idBytes[1]) << 8 | quint32(idBytes[2]) << 16 |
                       quint32(idBytes[3]) << 24;
    // A gateway sends one id. A connection offering new ones without end would fill the
    // registry and the heartbeat table until the TTL.
    QSet<quint32>& offered = heartbeatIds[socket];
    if (!offered.contains(id)) {
        if (offered.size() >= kHeartbeatIdsPerConnection) {
            const bool closed = sockets.reject(socket, false);
            int leftOut = 0;
            if ((closed && heard.contains(socket)) || logDue(limiterOf(socket), "heartbeat ids", leftOut))
                print_to_log(QString("Refused heartbeat with id %1: this connection has already registered %2 ids.")
                                     .arg(id)
                                     .arg(kHeartbeatIdsPerConnection) +
                                 (closed ? " Rejected socket." : "") + held_back(leftOut, "refused"),
                             socket, 0);
            return !closed;
        }
        offered.insert(id);
    }
    const QByteArray rewritten = bytes.left(bytes.size() - 4) + QByteArray::number(id);
    const QString text = heartbeat_text(rewritten);
    int leftOut = 0;
    if (takeLine(socket, "heartbeat", leftOut))
        print_to_log(QString("Heartbeat %1 bytes: %2").arg(rewritten.size()).arg(LogText::escaped(text)) + held_back(leftOut, "heartbeats"),
                     socket, id);
    sockets.save_last_hearbeat(id, socket, text);
    if (sockets.append(id, socket))
        print_to_log("Appended parent modem", socket, id);
    markHeard(socket);
    return true;
}

QByteArray tcp_reader_receiver::rebuild(const QByteArray& record, QSharedPointer<message_point>& mp)
{
    const auto kind = static_cast<uint8_t>(record[0]);
    const char phy = record[1];
    QByteArray out(35, '\0');
    char type = char(0x0d);
    switch (kind) {
    case 0x0e: {
        std::vector<uint8_t> word(record.constBegin() + 4, record.constBegin() + kRecordSize);
        p_dec.decode(word);
        out.insert(5, QByteArray(reinterpret_cast<const char*>(word.data()), int(word.size())));
        type = char(0x0e);
        mp->SNR = 100.0f;
        mp->FREQ = 0;
        break;
    }
    case 0x0f: {
        const auto* f = reinterpret_cast<const uchar*>(record.constData()) + 2;
        mp->FREQ = quint64(f[0]) | quint64(f[1]) << 8 | quint64(f[2]) << 16 | quint64(f[3]) << 24;
        mp->SNR = float(static_cast<int8_t>(record[6]));
        out.insert(5, record.mid(7, 19));
        break;
    }
    case 0x0d:
        out.insert(5, record.mid(4, 16));
        mp->SNR = 100.0f;
        mp->FREQ = 0;
        break;
    default:
        // Taken as it stands; one zero byte after it gives the parser its 37 bytes.
        mp->FREQ = 0;
        return record + QByteArray(1, '\0');
    }
    out[33] = phy;
    out[34] = type;
    return out;
}

bool tcp_reader_receiver::recordPassesCrc(const QByteArray& record)
{
    auto probe = QSharedPointer<message_point>::create();
    const QByteArray rebuilt = rebuild(record, probe);
    return read_messages(probe.data(), rebuilt.constData(), 0, Check::Probe);
}

tcp_reader_receiver::RecordResult tcp_reader_receiver::handleRecord(QTcpSocket* socket, const QByteArray& record)
{
    auto mp = QSharedPointer<message_point>::create();
    const QByteArray rebuilt = rebuild(record, mp);
    // The frequency line goes with the record's other lines: with the rejection lines when
    // those are due, always for a good record.
    const auto logFreq = [&] {
        if (static_cast<uint8_t>(record[0]) == 0x0f)
            print_to_log(QString("Got FREQ= %1").arg(mp->FREQ), nullptr, 0);
    };
    if (!read_messages(mp.data(), rebuilt.constData(), bitrate_of(static_cast<uint8_t>(record[1])),
                       Check::FillQuietly)) {
        const bool closed = sockets.reject(socket, false);
        int leftOut = 0;
        if ((closed && heard.contains(socket)) || logDue(limiterOf(socket), "rejected", leftOut)) {
            // The cause, then the verdict; a socket that keeps sending junk gets these lines once
            // every 10 s, with the count of bad records in between.
            logFreq();
            message_point probe;
            read_messages(&probe, rebuilt.constData(), 0, Check::Fill);
            print_to_log(QString(closed ? "Rejected bad message. Rejected socket." : "Rejected bad message.") +
                             held_back(leftOut, "rejected"),
                         socket, 0);
        }
        return closed ? RecordResult::SocketClosed : RecordResult::Refused;
    }
    logFreq();
    markHeard(socket);

    const quint32 id = mp->ID;
    const vexa_sockets::LastHB hb = sockets.last_hertbeat(socket);
    if (hb.hb_str.isEmpty() || hb.id == 0) {
        if (sockets.append(id, socket))
            print_to_log(QString("Appended parent modem %1").arg(id), socket, id);
    } else if (hb.id == id) {
        if (sockets.append(id, socket))
            print_to_log(QString("Reappended parent modem %1").arg(id), socket, id);
    } else {
        // A copy that moves the modem to this gateway is still a copy: the parent switch and
        // the duplicate check are separate questions.
        if (sockets.append_child(id, socket, mp->SNR, mp.data()))
            print_to_log(QString("Appended child modem %1 (parent gw: %2)").arg(id).arg(sockets.id(socket)), socket, id);
        if (sockets.check_for_dublicate(id, socket, mp.data())) {
            print_to_log(QString("Child send message already received(snr:%1, gw:%2), is it dublicate? Message rejected.")
                             .arg(snr_text(mp->SNR))
                             .arg(sockets.id(socket)),
                         socket, id);
            return RecordResult::Refused;
        }
    }
    print_to_log(QString("Accepted good message modem(snr:%1, parent gw:%2)").arg(snr_text(mp->SNR)).arg(sockets.id(socket)),
                 socket, id);
    ++acceptedRecords_;
    emit message_ready(mp);
    return RecordResult::Accepted;
}

bool tcp_reader_receiver::read_messages(message_point* mp, const char* rec, uint32_t bitrate, Check check)
{
    const bool quiet = check != Check::Fill;
    const ParserBytes typeBytes = msg_parser->get_parameter(Protocol_Version, rec);
    const uint8_t type = typeBytes.empty() ? 0 : typeBytes[0];
    const auto copy_packet = [mp](const ParserBytes& data) {
        std::fill(std::begin(mp->packet), std::end(mp->packet), 0);
        std::copy_n(data.begin(), std::min<size_t>(data.size(), sizeof(mp->packet)), mp->packet);
    };
    if (type == RECORD_TYPE_D) {
        mp->TYPE = Protocol_D;
        copy_packet(msg_parser->get_parameter(Packet_Data, rec));
        mp->P_CRC = big_endian(msg_parser->get_parameter(CRC, rec));
        if (!msg_parser->is_crc32_of_packet_ok(rec)) {
            if (!quiet)
                print_to_log(QString("Message D CRC error: %1").arg(hex32from5(rec)), nullptr, 0);
            return false;
        }
        const ParserBytes c8 = msg_parser->get_parameter(CRC_8D, rec);
        mp->CRC8_D = c8.empty() ? 0 : c8[0];
    } else if (type == RECORD_TYPE_E) {
        mp->TYPE = Protocol_E;
        copy_packet(msg_parser->get_parameter(Packet_Data, rec));
        mp->P_CRC = big_endian(msg_parser->get_parameter(CRC, rec));
        const ParserBytes mic = msg_parser->get_parameter(Crypto_MIC, rec);
        mp->CRYPTO_MIC = big_endian(mic);
        mp->CRC8_D = mic.empty() ? 0 : mic.back();
        const ParserBytes iter = msg_parser->get_parameter(Crypto_Iter, rec);
        mp->CRYPTO_ITER = iter.empty() ? 0 : iter[0];
        if (!msg_parser->is_crc32_of_packet_ok(rec)) {
            if (!quiet)
                print_to_log(QString("Message E CRC error: %1").arg(hex32from5(rec)), nullptr, 0);
            return false;
        }
    } else {
        if (!quiet) {
            print_to_log("Wrong protocol type: " + QString::number(int(static_cast<int8_t>(type)), 16), nullptr, 0);
            print_to_log(QString("rbuf: %1").arg(hex32from5(rec)), nullptr, 0);
        }
        return false;
    }
    if (check == Check::Probe)
        return true;
    mp->ID = readMessageID(mp->TYPE, rec);
    const ParserBytes payload = msg_parser->get_parameter(Payload, rec);
    std::copy_n(payload.begin(), std::min<size_t>(payload.size(), 8), mp->PAYLOAD);
    const ParserBytes flags = msg_parser->get_parameter(Flags, rec);
    mp->FLAGS = flags.empty() ? 0 : flags[0];
    writeHeldReadLine();
    print_to_log(QString("rbuf: %1").arg(hex32from5(rec)), nullptr, 0);
    mp->rotation = 0;
    mp->band = false;
    mp->bitrate = bitrate;
    mp->RSSI = 50.0f;
    mp->NOISE = -150.0f;
    mp->demod_method = Demod_Methods(0);
    mp->time = QDateTime::currentDateTime().addMSecs(-3040);
    mp->total = 1;
    return true;
}

uint32_t tcp_reader_receiver::readMessageID(Protocol_Types type, const char* rec) const
{
    if (!rec || (type != Protocol_D && type != Protocol_E))
        return 0;
    const ParserBytes id = msg_parser->get_parameter(Message_ID, rec);
    const size_t n = type == Protocol_D ? 3 : 4;
    return big_endian(ParserBytes(id.begin(), id.begin() + std::min(n, id.size())));
}

void tcp_reader_receiver::acceptMessageRS()
{
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    QByteArray& pending = rs_datas[socket];
    pending += socket->readAll();
    if (pending.size() >= kRsBatchLimit) {
        // A device that never pauses is still read, in batches of 4 KiB.
        handleRsBatch(socket, std::exchange(pending, QByteArray()));
        return;
    }
    if (QTimer* idle = rs_timers.value(socket))
        idle->start();
}

void tcp_reader_receiver::acceptMessageRStimeout()
{
    QTcpSocket* socket = nullptr;
    for (auto it = rs_timers.constBegin(); it != rs_timers.constEnd(); ++it)
        if (it.value() == sender())
            socket = it.key();
    qDebug() << "RS batch ended:" << sender() << socket;
    if (!socket)
        return;
    handleRsBatch(socket, std::exchange(rs_datas[socket], QByteArray()));
}

void tcp_reader_receiver::handleRsBatch(QTcpSocket* socket, const QByteArray& bytes)
{
    print_to_log(bytes_for_log(bytes, kLoggedReadBytes, true), socket, 0);
    const auto rebuildRs = [](const QByteArray& rec) {
        QByteArray out(35, '\0');
        out.insert(1, rec);
        out[33] = char(0x1c);
        out[34] = char(0x0d);
        return out;
    };
    const auto passes = [&](const QByteArray& rec) {
        message_point probe;
        return rec.size() == kRsRecordSize && read_messages(&probe, rebuildRs(rec).constData(), 25600, Check::Probe);
    };
    const auto logRejected = [&](const QByteArray& rebuilt) {
        int leftOut = 0;
        if (logDue(socket, "rejected", leftOut)) {
            message_point probe;
            read_messages(&probe, rebuilt.constData(), 25600, Check::Fill);
            print_to_log("Rejected bad message." + held_back(leftOut, "rejected"), socket, 0);
        }
    };
    QByteArray data = bytes;
    const Tail tail = tails.take(socket);
    if (!tail.bytes.isEmpty() && monotonic() - tail.since <= kTailKeepMs) {
        // A record may come in any number of pieces within its second.
        if (tail.bytes.size() + data.size() < kRsRecordSize) {
            tails.insert(socket, Tail{tail.bytes + data, tail.since});
            return;
        }
        const int need = kRsRecordSize - tail.bytes.size();
        const QByteArray joined = tail.bytes + data.left(need);
        if (passes(joined)) {
            data = joined + data.mid(need);
        } else {
            logRejected(rebuildRs(joined));
            // A junk tail before a batch aligned on records, or the head of a bad record whose
            // rest opens this batch: a good record met from the first byte tells the first case.
            bool aligned = false;
            for (int at = 0; !aligned && data.size() - at >= kRsRecordSize; at += kRsRecordSize)
                aligned = passes(data.mid(at, kRsRecordSize));
            if (!aligned)
                data = data.mid(need);
        }
    }
    int pos = 0;
    for (; data.size() - pos >= kRsRecordSize; pos += kRsRecordSize) {
        auto mp = QSharedPointer<message_point>::create();
        mp->FREQ = 0;
        mp->SNR = 100.0f;
        const QByteArray rebuilt = rebuildRs(data.mid(pos, kRsRecordSize));
        if (!read_messages(mp.data(), rebuilt.constData(), 25600, Check::FillQuietly)) {
            logRejected(rebuilt);
            continue;
        }
        if (sockets_rs.append(mp->ID, socket))
            print_to_log("Appended modem", socket, mp->ID);
        print_to_log("Accepted good message modem", socket, mp->ID);
        emit message_ready(mp);
    }
    if (pos < data.size())
        tails.insert(socket, Tail{data.mid(pos), monotonic()});
}

void tcp_reader_receiver::sweep()
{
    const BaseStationParams bs = setCtrlr.getBS_ParamsCopy();
    qint64 ttl = bs.tcp_ttl_.toLongLong();
    if (ttl <= 0) {
        print_to_log(QString("TCP_TTL %1 s is not positive: 720 minutes apply").arg(ttl), nullptr, 0);
        ttl = 720 * 60;
    }
    const auto now = [this] { return timing_.utcNow ? timing_.utcNow() : QDateTime::currentDateTimeUtc(); };
    const QList<quint32> gone = sockets.clear(now().addSecs(-ttl));
    const QList<unsigned int> goneRs = sockets_rs.clear(now().addSecs(-ttl));
    print_to_log(QString("Closed by TTL %1 socket(s)").arg(gone.size()), nullptr, 0);
    print_to_log(QString("Closed by TTL %1 RS device(s)").arg(goneRs.size()), nullptr, 0);
    print_to_log(QString("Total active gateway(s): %1[%2]").arg(sockets.gw_size()).arg(id_list(sockets.gw_list())),
                 nullptr, 0);
    const QList<quint32> children = sockets.child_list();
    print_to_log(QString("Total childs(s): %1[%2]").arg(children.size()).arg(id_list(children)), nullptr, 0);

    // Closed gateway sockets that no entry refers to any more.
    if (tcpServer)
        for (QTcpSocket* s : tcpServer->findChildren<QTcpSocket*>())
            dropUnusedSocket(s);
}

void tcp_reader_receiver::write_socket_rx(unsigned int modem_id, QByteArray data)
{
    route_downlink(sockets_rs, sockets, modem_id, data,
                   [this](const QString& text, unsigned int id) { print_to_log(text, nullptr, id); });
}

receiver_info tcp_reader_receiver::info()
{
    receiver_info r;
    r.aver_noiseBand1 = -100.0f;
    r.aver_noiseBand2 = -100.0f;
    r.state = 4;
    r.active = true;
    r.band1_offset = 100;
    r.band2_offset = 100;
    r.fpga_info_.firmware_ver = 0;
    r.fpga_info_.hardware_ver = 0;
    r.fpga_info_.compilation_dt = QDateTime::fromSecsSinceEpoch(0, Qt::LocalTime);
    r.fpga_info_.fpga_bs_type = TCPBS;
    r.fpga_info_.fpga_rpi_protocol_version = 0;
    const QList<vexa_phy_channel_t> rates{UL_DBPSK_50_PROT_D, UL_PSK_200, UL_DBPSK_400_PROT_D, UL_PSK_500,
                                          UL_DBPSK_3200_PROT_D, UL_PSK_5000, UL_DBPSK_25600_PROT_D, UL_PSK_FASTDL,
                                          UL_DBPSK_50_PROT_E, UL_DBPSK_400_PROT_E, UL_DBPSK_3200_PROT_E,
                                          UL_DBPSK_25600_PROT_E};
    r.fpga_info_.supported_ul_bitrates_band1 = rates;
    r.fpga_info_.bandwidth1 = 100000;
    r.fpga_info_.bandwidth2 = 100000;
    r.fpga_info_.supported_ul_bitrates_band2 = rates;
    r.fpga_temperature_ = 25.0f;
    return r;
}

void tcp_reader_receiver::print_to_log(const QString& text, QTcpSocket* socket, uint32_t id)
{
    const QString esc = QString(QChar(0x1B));
    const QString time = esc + "[1;37m" + QDateTime::currentDateTimeUtc().toString("yyyy.MM.dd hh:mm:ss.zzz") + esc + "[0m";
    QString socketColumn(50, ' ');
    QString idColumn(9, ' ');
    if (socket || id != 0) {
        if (id == 0)
            id = sockets.id(socket);
        idColumn = esc + "[1;32m" + QString::number(id).rightJustified(9, ' ') + esc + "[0m";
        if (socket)
            socketColumn = QString("0x%1 %2:%3")
                               .arg(quintptr(socket), 16, 16, QChar('0'))
                               .arg(socket->peerAddress().toString())
                               .arg(socket->peerPort())
                               .leftJustified(50, ' ');
    }
    *this << QString("%1 %2 %3 - %4").arg(time, socketColumn, idColumn, text) << "\n";
}
