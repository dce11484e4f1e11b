#pragma once

#include "message_point.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

class QTcpSocket;
class QTimer;

// Bookkeeping of the gateway link: connected gateways and their sockets, the modems heard
// through each gateway (with the best gateway as parent), last heartbeats, bad-message counts,
// activity times and the downlink bytes waiting per id. It never opens sockets; it closes them
// and owns its flush timers. Single-threaded: everything runs on the receiver's thread.
//
// Ids below 0x600000 are never registered.
class vexa_sockets {
public:
    using LogSink = std::function<void(const QString& text, QTcpSocket* socket, quint32 id)>;
    using Clock = std::function<QDateTime()>;

    struct LastHB {
        quint32 id = 0;
        QTcpSocket* socket = nullptr;
        QString hb_str;
        QDateTime dt;
    };

    struct ParentData {
        QDateTime last_message_dt;
        message_point last_message;
        float aver_snr = 0.0f;
        qint32 packets_via_non_parents = 0;
    };

    static constexpr quint32 kFirstModemId = 0x600000;
    static constexpr int kFlushThreshold = 400;   // more than this waiting: flush at the next write
    static constexpr int kMaxFails = 10;          // bad messages tolerated since the last good one
    static constexpr qint64 kDuplicateWindowMs = 60000;
    // A gateway that moves again within this time gets one line for all its children moved.
    static constexpr qint64 kMoveLinesMs = 10 * 60 * 1000;

    vexa_sockets();
    ~vexa_sockets();
    vexa_sockets(const vexa_sockets&) = delete;
    vexa_sockets& operator=(const vexa_sockets&) = delete;

    void set_logger(LogSink sink);
    // UTC now; tests give their own. Default: the system clock.
    void set_clock(Clock clock);
    // Delay from the latest write of an id to its flush (default 50 ms).
    void set_flush_delay(int ms);

    bool append(quint32 id, QTcpSocket* socket);
    bool append_child(quint32 id, QTcpSocket* socket, float snr, message_point* mes);
    bool check_for_dublicate(quint32 id, QTcpSocket* socket, message_point* mes);
    bool write(quint32 id, const QByteArray& data);
    bool reject(QTcpSocket* socket, bool immediate);
    // A good record or heartbeat: the socket's strikes start again from 0.
    void clear_strikes(QTcpSocket* socket);

    bool contains(QTcpSocket* socket) const;
    bool contains(quint32 id) const;
    quint32 id(QTcpSocket* socket) const;
    QTcpSocket* socket(quint32 id) const;

    bool save_last_hearbeat(quint32 id, QTcpSocket* socket, const QString& hb_str);
    LastHB last_hertbeat(quint32 id) const;
    LastHB last_hertbeat(QTcpSocket* socket) const;
    void remove_hertbeat(quint32 id);

    quint32 parent_varnok_id(quint32 id) const;
    // A gateway registered now: its own parent, with a socket.
    bool is_gateway(quint32 id) const;
    QList<quint32> clear(const QDateTime& date);
    QList<quint32> gw_list() const;
    QList<quint32> child_list() const;
    // Entries of the last-heartbeat table.
    int gw_size() const { return last_hb.size(); }

    // Whether an id is reached through this socket; a socket nobody refers to may be deleted,
    // after forget_socket() has dropped the heartbeats stored for it.
    bool refers_to(QTcpSocket* socket) const;
    // Every socket that a registered id (gateway or child) is reached through.
    QSet<QTcpSocket*> referenced_sockets() const;
    void forget_socket(QTcpSocket* socket);
    // Deletes the flush timers (waiting bytes stay); for shutdown on the owning thread.
    void stop();

    // Inspection, for status and tests; absent entries give defaults and add nothing.
    ParentData parent_data(quint32 modem, quint32 gateway) const;
    QByteArray waiting(quint32 id) const { return buffer.value(id); }
    bool has_timer(quint32 id) const { return timer.contains(id); }
    QDateTime date(quint32 id) const { return dates.value(id); }
    int fail_count(QTcpSocket* socket) const { return int(fails.value(socket)); }
    // Entries of every table together; 0 once everything has been swept.
    int entry_count() const;

    // Socket key under which a heartbeat without an id is kept.
    static quint32 socket_key(QTcpSocket* socket);

private:
    void write_to_log(const QString& text, QTcpSocket* socket, quint32 id) const;
    void remove(QTcpSocket* socket);
    void remove(quint32 id);
    void remove_ids(const QList<quint32>& gone);
    void remove_entries(quint32 id);
    void update_date(quint32 id);
    void flush(quint32 id);
    void send(quint32 id);
    void erase_heartbeats_if(const std::function<bool(const LastHB&)>& match);
    void erase_heartbeat(quint32 key);
    QDateTime now() const;
    // Every change of sockets, parents, last_hb and parents_data goes through these, so that
    // the indexes below stay the reverse of those tables.
    void set_socket(quint32 id, QTcpSocket* socket);
    void drop_socket(quint32 id);
    void set_parent(quint32 id, quint32 parent);
    void drop_parent(quint32 id);
    void store_records(quint32 id, const QHash<quint32, ParentData>& records);
    void drop_records(quint32 id);
    void note_move(quint32 gateway, const QDateTime& at);

    LogSink log;
    QHash<QTcpSocket*, quint32> fails;
    QHash<QTcpSocket*, quint32> ids;
    QHash<quint32, QDateTime> dates;
    QHash<quint32, QTcpSocket*> sockets;
    QHash<quint32, QByteArray> buffer;
    QHash<quint32, QTimer*> timer;
    QHash<quint32, LastHB> last_hb;
    QHash<quint32, quint64> hb_order;   // storing order of last_hb entries: newest wins per socket
    QHash<quint32, quint32> parents;
    QHash<quint32, QHash<quint32, ParentData>> parents_data;

    // Reverse indexes: a registration, a move or a removal touches only the entries it concerns,
    // however many ids the registry holds.
    QHash<QTcpSocket*, QSet<quint32>> ids_by_socket;    // of sockets
    QHash<quint32, QSet<quint32>> children_by_parent;   // of parents, gateways' own entries left out
    QHash<QTcpSocket*, QSet<quint32>> hb_by_socket;     // of last_hb: its keys per socket
    QHash<quint32, QSet<quint32>> relayed_by;           // of parents_data: modems per gateway
    // When each gateway last took children to a new socket; entries older than kMoveLinesMs go.
    QHash<quint32, QDateTime> last_move;
    int move_prune_at_ = 64;

    Clock clock_;
    int flush_delay_ms_ = 50;
    quint64 hb_counter_ = 0;
};
