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
    };

    static constexpr int kRecordSize = 36;
    static constexpr int kRsRecordSize = 20;
    static constexpr int kRsBatchLimit = 4096;
    static constexpr qint64 kTailKeepMs = 1000;

    tcp_reader_receiver(SettingsController& settings, QObject* parent = nullptr);
    ~tcp_reader_receiver() override;

    // Before start(): where the gateway server listens (default any address, TCP_PORT).
    void setListenAddress(const QHostAddress& address, std::optional<quint16> port);
    void setTiming(const Timing& timing);
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

    RecordResult handleRecord(QTcpSocket* socket, const QByteArray& record);
    QByteArray rebuild(const QByteArray& record, QSharedPointer<message_point>& mp);
    bool recordPassesCrc(const QByteArray& record);
    bool read_messages(message_point* mp, const char* rec, uint32_t bitrate, bool quiet = false);
    uint32_t readMessageID(Protocol_Types type, const char* rec) const;
    void print_to_log(const QString& text, QTcpSocket* socket, uint32_t id);
    void dropUnusedSocket(QTcpSocket* socket);
    static bool heartbeatUnfinished(const QByteArray& bytes, int pos);
    void oldStyleHeartbeat(QTcpSocket* socket, const QByteArray& bytes);
    void heartbeatWithId(QTcpSocket* socket, const QByteArray& bytes);
    qint64 monotonic() const;

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

    struct Tail {
        QByteArray bytes;
        qint64 since = 0;
    };
    QHash<QTcpSocket*, Tail> tails;   // the unfinished record at the end of a gateway's last read

    QHostAddress listenAddress_ = QHostAddress::Any;
    std::optional<quint16> listenPort_;
    Timing timing_;
};
