#pragma once

#include "PolarDecoder_Simple.h"
#include "interfaces/IReceiver.h"
#include "logger.h"
#include "vexa_rs_sockets.h"
#include "vexa_sockets.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QSharedPointer>

#include <functional>
#include <memory>
#include <optional>

class BaseMessageParser;
class QTcpServer;
class QTcpSocket;
class QTimer;
class SettingsController;

// The uplink half of the gateway link, the TCPBS station's reader. Gateways connect to its
// server and send heartbeats and 36-byte records; it connects to the RS devices of TCP_RS,
// which stream 20-byte records. Every record is rebuilt into the receiver record layout,
// checked against its CRC and emitted with message_ready. It owns both registries, so downlink
// frames (write_socket_rx) are written here too. Everything runs on the thread that runs
// start(); nothing exists before it.
class tcp_reader_receiver : public IReceiver, public logger {
    Q_OBJECT
public:
    // Clocks and intervals, for tests; unset values come from the settings or the defaults.
    struct Timing {
        std::function<QDateTime()> utcNow;      // registries' stamps, the TTL limits
        std::function<qint64()> monotonicMs;    // age of kept record tails
        std::optional<int> flushMs;             // registries' write coalescing (50)
        std::optional<int> reconnectMs;         // RS reconnect tick (5000)
        std::optional<int> rsIdleMs;            // TCP_RS_TIMEOUT
        std::optional<int> ttlSweepMs;          // TCP_TTL_TIMEOUT
        // How often a wait on monotonicMs (a bare heartbeat's second, a connection's idle
        // limit) looks at that clock; unset: once, when the wait is over.
        std::optional<int> checkMs;
    };

    // What a gateway connection may take of the station's descriptors.
    struct Limits {
        int idleMs = 60000;          // to send a first heartbeat or valid record, from connecting
        int maxConnections = 1000;   // gateway connections open at once
    };

    static constexpr int kRecordSize = 36;
    static constexpr int kRsRecordSize = 20;
    static constexpr int kRsBatchLimit = 4096;
    static constexpr qint64 kTailKeepMs = 1000;
    static constexpr int kLoggedReadBytes = 64;      // of a read, the bytes its log line shows
    static constexpr int kReadBufferBytes = 64 * 1024;   // of a gateway connection, read in one turn
    static constexpr qint64 kMaxWaitingRecords = 2000;
    static constexpr int kBacklogRetryMs = 5;
    static constexpr int kHeartbeatTextLimit = 64;   // of a heartbeat, the characters kept
    static constexpr qint64 kRepeatLogMs = 10000;    // one line per cause and socket in this time
    // Heartbeat lines, and lines of reads that hold no accepted record: per connection and
    // kind, this many in any second.
    static constexpr int kLinesPerSecond = 20;
    // Distinct ids a connection may register through heartbeats with an id.
    static constexpr int kHeartbeatIdsPerConnection = 16;

    tcp_reader_receiver(SettingsController& settings, QObject* parent = nullptr);
    ~tcp_reader_receiver() override;

    // Before start(): where the gateway server listens (default any address, TCP_PORT).
    void setListenAddress(const QHostAddress& address, std::optional<quint16> port);
    void setTiming(const Timing& timing);
    void setLimits(const Limits& limits);
    // Before start(): the number of records emitted that the station has not yet taken. From
    // kMaxWaitingRecords on, gateway connections are not read until it falls below.
    void setBacklog(std::function<qint64()> waiting);
    // Gateway connections open now.
    int openGatewayConnections() const;
    // After start(): the port the server listens on, 0 when it does not.
    quint16 serverPort() const;
    QString logFilePath() const;

    receiver_info info() override;

    // One read from a gateway socket and one batch from an RS socket; the slots call them, and
    // so do tests and the fuzz target with stand-in sockets.
    void handleGatewayRead(QTcpSocket* socket, const QByteArray& bytes);
    void handleRsBatch(QTcpSocket* socket, const QByteArray& bytes);
    void sweep();

    vexa_sockets& gatewayRegistry() { return sockets; }
    vexa_rs_sockets& rsRegistry() { return sockets_rs; }

public slots:
    void stopReader() override;
    void start() override;
    void alarm_in(const QString& alarm) override;
    bool init() override;
    void write_socket_rx(unsigned int modem_id, QByteArray data);

signals:
    // The gateway server has started listening.
    void listening(const QString& address, quint16 port);

private slots:
    void acceptConnection();
    void acceptMessage();
    void acceptMessageRS();
    void acceptMessageRStimeout();
    void displayError(QAbstractSocket::SocketError socketError);
    void displayErrorRS(QAbstractSocket::SocketError socketError);

private:
    enum class RecordResult { Accepted, Refused, SocketClosed };
    struct Tail {
        QByteArray bytes;
        qint64 since = 0;
    };

    RecordResult handleRecord(QTcpSocket* socket, const QByteArray& record);
    QByteArray rebuild(const QByteArray& record, QSharedPointer<message_point>& mp);
    bool recordPassesCrc(const QByteArray& record);
    // Fill: fill the record, log why it fails; FillQuietly: the same without the failure lines;
    // Probe: only the type and CRC check, no log line.
    enum class Check { Fill, FillQuietly, Probe };
    bool read_messages(message_point* mp, const char* rec, uint32_t bitrate, Check check = Check::Fill);
    uint32_t readMessageID(Protocol_Types type, const char* rec) const;
    void print_to_log(const QString& text, QTcpSocket* socket, uint32_t id);
    void dropUnusedSocket(QTcpSocket* socket);
    static bool heartbeatUnfinished(const QByteArray& bytes, int pos);
    // Whether a heartbeat, whole or cut by the end of the read, begins at pos.
    static bool heartbeatAt(const QByteArray& bytes, int pos);
    // Whether a scan of a read from its first byte meets a record that passes its check.
    bool meetsGoodRecord(const QByteArray& bytes);
    void oldStyleHeartbeat(QTcpSocket* socket, const QByteArray& bytes);
    // False when the heartbeat was refused and its socket closed.
    bool heartbeatWithId(QTcpSocket* socket, const QByteArray& bytes);
    qint64 monotonic() const;
    void keepTail(QTcpSocket* socket, const Tail& tail);
    void finishBareHeartbeat(QTcpSocket* socket, qint64 since);
    void markHeard(QTcpSocket* socket);
    void closeIfIdle(QTcpSocket* socket);
    // Calls then(socket) once waitMs have passed on the monotonic clock since since, unless
    // the socket is gone by then.
    void afterWait(QTcpSocket* socket, qint64 since, qint64 waitMs, const std::function<void(QTcpSocket*)>& then);
    // At the connection cap: closes a connection that holds no registered id for a newcomer;
    // false when every connection holds one.
    bool makeRoom(QTcpSocket* newcomer);
    void processGatewayRead(QTcpSocket* socket, const QByteArray& bytes);
    // One turn of a gateway connection: what its buffer holds, unless the station is behind.
    void readTurn(QTcpSocket* socket);
    // The per-second budget of a connection's lines of one kind: whether one more fits now,
    // and taking a place in it (leftOut: lines of the kind left out since the last one).
    bool lineFits(QTcpSocket* socket, const QString& kind);
    bool takeLine(QTcpSocket* socket, const QString& kind, int& leftOut);
    // The read lines of a connection left out since its last one written; the count starts again.
    int readLinesLeftOut(QTcpSocket* socket);
    // A held-back read line is written before the lines of a record it turns out to hold.
    void writeHeldReadLine();
    // Whether a line of this kind may be written now; when it may, leftOut is the number of
    // such lines held back since the last one.
    bool logDue(QTcpSocket* socket, const QString& kind, int& leftOut);
    QTcpSocket* limiterOf(QTcpSocket* socket) const;

    SettingsController& setCtrlr;
    std::unique_ptr<BaseMessageParser> msg_parser;
    QList<QSharedPointer<QTcpSocket>> tcpClients;
    QSharedPointer<QTcpServer> tcpServer;
    QSharedPointer<QTimer> ttl_timer;
    PolarDecoder_Simple p_dec;
    vexa_sockets sockets;
    vexa_rs_sockets sockets_rs;
    QMap<QTcpSocket*, QTimer*> rs_timers;
    QMap<QTcpSocket*, QByteArray> rs_datas;

    QHash<QTcpSocket*, Tail> tails;   // the unfinished record at the end of a gateway's last read
    // Gateway sockets that sent a heartbeat or a valid record, with the order of the latest;
    // and the order in which connections were accepted.
    QHash<QTcpSocket*, quint64> heard;
    QHash<QTcpSocket*, QSet<quint32>> heartbeatIds;   // distinct ids of each connection's heartbeats
    QHash<QTcpSocket*, quint64> acceptedOrder;
    quint64 order_ = 0;
    struct Budget {
        QList<qint64> stamps;   // of the lines written in the last second
        int leftOut = 0;
    };
    QHash<QPair<QTcpSocket*, QString>, Budget> budgets;
    struct HeldLine {
        QTcpSocket* socket = nullptr;
        QString text;
    };
    std::optional<HeldLine> heldRead_;
    quint64 acceptedRecords_ = 0;
    struct Repeat {
        qint64 lastMs = 0;
        bool written = false;
        int leftOut = 0;
    };
    QHash<QPair<QTcpSocket*, QString>, Repeat> repeats;   // held-back log lines per socket and kind

    QHostAddress listenAddress_ = QHostAddress::Any;
    std::optional<quint16> listenPort_;
    Timing timing_;
    std::function<qint64()> backlog_;
    QSet<QTcpSocket*> deferred;   // connections waiting for the backlog to fall
    QSet<QTcpSocket*> open_;      // accepted gateway connections, until seen closed
    Limits limits_;
};
