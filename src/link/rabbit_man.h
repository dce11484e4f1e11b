#pragma once

#include "AmqpMessage.h"
#include "logger.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

class AmqpClient;
class QSslError;
class AmqpExchange;
class AmqpQueue;
class QTimer;
class messque;

// One link to one AMQP 0-9-1 broker. Records handed to queue_string() wait in the link's
// outgoing queue (with its SQLite backup) and go out in confirmed bursts of at most 100; a
// 10 s timer republishes what stays unconfirmed. With a station id and downlink or command
// rights the link also consumes the station's queue "bs<id>" and hands every message to the
// core through data_received(). Main thread only.
class rabbit_man : public QObject, public logger
{
    Q_OBJECT
public:
    static constexpr quint16 MAXMESTORESEND = 100;
    static constexpr int kPublishTimerMs = 10000;
    static constexpr int kReconnectGuardMs = 10000;
    static constexpr quint32 kForcedDisconnectEvery = 20;
    static constexpr quint16 kStationPrefetch = 100;
    // The largest body taken from the station's queue; a larger one is logged, acknowledged and
    // dropped without being kept.
    static constexpr quint64 kMaxBodySize = quint64(64) * 1024 * 1024;

    // True when the AMQP client reads the URL as amqp or amqps with a host; *why tells what is
    // wrong otherwise (never the URL itself: it holds the password).
    static bool check_broker_url(const QString& url, QString* why);
    // Records of one link published and not yet confirmed, at most.
    static constexpr int kMaxInFlight = 1000;
    // A publishing channel the broker closed is opened again after this wait, doubled at each
    // close up to the longest, and back to the first after a confirm.
    static constexpr int kReopenFirstMs = 1000;
    static constexpr int kReopenLongestMs = 60000;

    rabbit_man(const QString& b_id, const QString& path, const QString& exch, const QString& vhost,
               const QString& key, const QString& backup_db_name, const QString& lp, bool has_ul,
               bool has_dl, bool has_cmd, bool save_to_disk);
    ~rabbit_man() override;

    void setLogpath(const QString& path);

    bool has_ul() const { return _has_ul; }
    bool has_dl() const { return _has_dl; }
    bool has_cmd() const { return _has_cmd; }
    bool has_save_to_disk() const { return _save_to_disk; }
    // Rights changes for downlink and commands take effect at the next queue declaration.
    void set_has_ul(bool b) { _has_ul = b; }
    void set_has_dl(bool b) { _has_dl = b; }
    void set_has_cmd(bool b) { _has_cmd = b; }

    const QString& get_connection_path() const { return connection_path; }
    const QString& get_rabbit_exchange() const { return rabbit_exchange; }
    QString get_full_routing_key() const;

    void set_binary_mode(bool b) { _use_binary = b; }
    void set_pub_shard_num(int n) { _pub_shard_num = n; }

    // The main link keeps records that reach the save age before its first connection in its
    // backup (a station that boots without network keeps its data); other links drop them.
    void set_main_link(bool main);

    // Orderly shutdown (SIGTERM, "exit"): when saving to disk is on, every record not yet
    // confirmed goes to the backup, so the next start publishes it. Skipped when the stop comes
    // from the disk guard. Returns the number of records written.
    int save_unconfirmed_to_disk();

    // The outgoing queue (for the core's diagnostics and for tests).
    messque& outgoing_queue() { return *que; }
    bool isConnected() const;

    // The publish timer's interval (republishing and the forced disconnection count its
    // expiries); a record is published again only once it has waited that long for its confirm.
    void set_publish_interval(int ms);
    int publish_interval() const;
    // Records published on the current channel and not yet confirmed.
    int in_flight() const { return int(inflight_ids.size()); }

    // Test seam: forget the last reconnection, as if the process had just started.
    static void reset_reconnect_guard();

    // Longest routing key AMQP can carry; a reply to a longer one is logged as not sent.
    static constexpr int kMaxRoutingKeyBytes = 255;

public slots:
    void queue_string(const QByteArray& bytes);
    void publish_string(const QByteArray& bytes, const QString& key, bool binary = false);
    bool reconnect_if_disconnected();
    void reconnect();

    // Why the link cannot connect or was dropped, as last logged (empty while none is known).
    QString failure_cause() const { return failure_cause_; }

signals:
    void conn_estimated();
    void conn_lost();
    void republish();
    void data_received(const QByteArray& payload, rabbit_man& link);
    // Every failed attempt to connect, and every close by the broker, with its cause; the log
    // takes a cause only when it changes.
    void connection_failed(const QString& cause);

private slots:
    void publish_next();
    void republish_message();
    void queueDeclared();
    void messageReceived();
    void connected();
    void disconnected();
    void resume_publishing();

private:
    void createExchange();
    void createStationQueue();
    void onAllDelivered(quint64 generation);
    void onNacked(quint64 generation, const QList<qint64>& tags);
    void onAcked(quint64 generation, const QList<qint64>& tags);
    void onExchangeOpened(quint64 generation);
    void onExchangeClosed(quint64 generation);
    void returnInFlight();
    bool canPublish() const;
    bool publish_one(qint64 republishBefore);
    void publish_burst(qint64 republishBefore);
    void start_pub_timer();
    bool flowPaused() const;
    enum class Delivery { Transient, Persistent };
    bool instant_publish(const QByteArray& bytes, const QString& routingKey, bool binary, Delivery delivery);
    QByteArray convert2binary(const QByteArray& bytes, bool* converted);
    void line(const QString& text);
    // Connects when the URL is one the client can read; a link with another URL stays down.
    void connect_to_broker();
    void ignore_tls_errors(const QList<QSslError>& errors);
    void on_client_error(int code);
    void on_socket_error(int error);
    // Logs the cause (link log and event log) when it differs from the one last logged.
    void note_failure_cause(const QString& cause);
    QString broker_address() const;
    // How many records wait, in memory and in the backup.
    void log_waiting();
    static QTimer* reconnectGuard();

    AmqpClient* client = nullptr;
    AmqpExchange* exchange = nullptr;
    AmqpQueue* queue = nullptr;
    AmqpMessage currentMessage;
    QString base_id;
    QString connection_path;
    bool url_refusal_logged = false;
    QString failure_cause_;
    bool was_connected_ = false; // connected since the last disconnection notice
    QSet<int> tls_errors_logged; // kinds of TLS error logged on the current connection
    QString rabbit_exchange;
    QString rabbit_routing_key;
    QString rabbit_vhost;
    messque* que = nullptr;
    quint32 session_id = 0;
    QTimer* pub_timer = nullptr;
    quint32 reconnect_counter = 0;
    bool _has_ul;
    bool _has_dl;
    bool _has_cmd;
    bool _save_to_disk;
    bool _use_binary = false;
    int _pub_shard_num = 1;

    quint64 exchange_generation = 0; // signals of an exchange that was replaced are ignored
    bool next_pending = false;       // a publish_next() call is already queued
    QHash<qint64, quint32> inflight_ids; // delivery tag -> record id, on the current exchange
    bool nack_backoff = false;       // a nack came: the next burst waits for the timer
    bool confirms_on = false;        // confirm.select went out on the open exchange channel
    QTimer* reopen_timer = nullptr;  // pending reopen of a channel the broker closed
    int reopen_delay_ms = kReopenFirstMs;
    // When the publish timer last started or expired (the queue's clock): a record still
    // unconfirmed that was published before that has waited a whole interval.
    qint64 pub_mark_ms = 0;
};
