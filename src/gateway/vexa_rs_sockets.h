#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QVector>

#include <cstdint>
#include <functional>

class QTcpSocket;
class QTimer;

// Registry of the RS devices the station connects to: which modem is reached through which RS
// link (stamped for the TTL sweep), downlink bytes waiting per modem, and the periodic
// reconnection of every link that is not connected. The sockets belong to the receiver; the
// registry closes and reconnects them and owns its timers. Single-threaded.
class vexa_rs_sockets {
public:
    using LogSink = std::function<void(const QString& text, QTcpSocket* socket, unsigned int id)>;
    using Clock = std::function<QDateTime()>;
    using Monotonic = std::function<qint64()>;

    struct reconnect_t {
        QTcpSocket* socket = nullptr;
        QString address;
        quint16 port = 0;
        qint64 attempt_ms = -1;   // monotonic time of the last connection attempt
    };

    static constexpr quint32 kFirstModemId = 0x600000;
    static constexpr int kFlushThreshold = 400;
    static constexpr qint64 kConnectGraceMs = 30000;   // a pending connection is left alone this long

    vexa_rs_sockets();
    ~vexa_rs_sockets();
    vexa_rs_sockets(const vexa_rs_sockets&) = delete;
    vexa_rs_sockets& operator=(const vexa_rs_sockets&) = delete;

    void set_logger(LogSink sink);
    void set_clock(Clock utcNow);
    void set_monotonic(Monotonic msNow);
    void set_flush_delay(int ms);
    void set_reconnect_interval(int ms);

    bool append(uint32_t id, QTcpSocket* socket);
    bool append_list(QTcpSocket* socket, QString address, quint16 port);
    bool write(uint32_t id, const QByteArray& data);
    bool reject(QTcpSocket* socket);
    bool contains(uint32_t id) const;
    bool contains(QTcpSocket* socket) const;
    QList<unsigned int> clear(const QDateTime& before);

    // The reconnect timer's step: reconnects every link that is not connected.
    void reconnect();

    // Inspection, for status and tests.
    QTcpSocket* socket(uint32_t id) const { return sockets.value(id, nullptr); }
    QByteArray waiting(uint32_t id) const { return buffer.value(id); }
    bool has_timer(uint32_t id) const { return timer.contains(id); }
    QDateTime date(uint32_t id) const { return dates.value(id); }
    int links() const { return sockets_list.size(); }
    bool reconnecting() const { return reconnect_timer != nullptr; }

private:
    void remove(uint32_t id);
    void update_date(uint32_t id);
    void write_to_log(const QString& text, QTcpSocket* socket, uint32_t id) const;
    void flush(uint32_t id);
    QDateTime now() const;
    qint64 monotonic() const;

    LogSink log;
    QTimer* reconnect_timer = nullptr;
    QVector<reconnect_t> sockets_list;
    QHash<unsigned int, QDateTime> dates;
    QHash<unsigned int, QTcpSocket*> sockets;
    QHash<unsigned int, QByteArray> buffer;
    QHash<unsigned int, QTimer*> timer;

    Clock clock_;
    Monotonic monotonic_;
    int flush_delay_ms_ = 50;
    int reconnect_interval_ms_ = 5000;
};
