#include "rabbit_man.h"

#include "AmqpClient.h"
#include "AmqpExchange.h"
#include "AmqpQueue.h"
#include "BinaryConverter.h"
#include "LocalTime.h"
#include "messque.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSslError>
#include <QTime>
#include <QTimer>
#include <QUrl>

namespace {

const char* const kBinaryType = "application/octet-stream";
const char* const kTextType = "text/plain";
// AMQP basic delivery mode: 1 transient, 2 persistent.
const int kPersistentDeliveryMode = 2;

QString timePrefix()
{
    return LocalTime::stamp();
}

// The broker's or the system's words, kept to one short line.
QString oneLine(QString text)
{
    text = text.left(200);
    for (QChar& c : text) {
        if (c < QLatin1Char(' '))
            c = QLatin1Char(' ');
    }
    return text;
}

} // namespace

rabbit_man::rabbit_man(const QString& b_id, const QString& path, const QString& exch,
                       const QString& vhost, const QString& key, const QString& backup_db_name,
                       const QString& lp, bool has_ul, bool has_dl, bool has_cmd, bool save_to_disk)
    : QObject(nullptr), logger(lp), base_id(b_id), connection_path(path), rabbit_exchange(exch),
      rabbit_routing_key(key), rabbit_vhost(vhost), _has_ul(has_ul), _has_dl(has_dl),
      _has_cmd(has_cmd), _save_to_disk(save_to_disk)
{
    Amqp::registerMetaTypes();

    client = new AmqpClient();
    connect_to_broker();
    client->setAutoReconnect(false, 0);
    // Given after the URL, so it is the one that reaches connection.open.
    client->setVirtualHost(rabbit_vhost);

    reopen_timer = new QTimer(this);
    reopen_timer->setSingleShot(true);
    connect(reopen_timer, &QTimer::timeout, this, [this] {
        if (exchange && client->isConnected() && !exchange->isOpen())
            exchange->reopen();
    });

    createExchange();

    connect(client, &AmqpClient::disconnected, this, &rabbit_man::disconnected, Qt::QueuedConnection);
    connect(client, &AmqpClient::connected, this, &rabbit_man::connected, Qt::QueuedConnection);
    // Direct: the socket takes the ignore only while its signal is being delivered.
    connect(client, &AmqpClient::sslErrors, this, &rabbit_man::ignore_tls_errors, Qt::DirectConnection);
    // A publisher that the socket or the broker holds back picks up again from here.
    connect(client, &AmqpClient::writeBufferDrained, this, &rabbit_man::resume_publishing, Qt::QueuedConnection);
    connect(client, &AmqpClient::unblocked, this, &rabbit_man::resume_publishing, Qt::QueuedConnection);
    // Direct: the client's error text is the one of this failure only while the signal is
    // being delivered.
    connect(client, QOverload<Amqp::Error>::of(&AmqpClient::error), this, [this](Amqp::Error e) { on_client_error(int(e)); },
            Qt::DirectConnection);
    connect(client, QOverload<QAbstractSocket::SocketError>::of(&AmqpClient::socketError), this,
            [this](QAbstractSocket::SocketError e) { on_socket_error(int(e)); }, Qt::DirectConnection);

    if (!base_id.isEmpty() && (_has_dl || _has_cmd))
        createStationQueue();

    pub_timer = new QTimer(this);
    pub_timer->setInterval(kPublishTimerMs);
    reconnect_counter = 0;
    connect(pub_timer, &QTimer::timeout, this, &rabbit_man::republish_message, Qt::QueuedConnection);

    que = new messque(backup_db_name, lp, save_to_disk);
    // The station queues records only: a backup row that is not one is damage.
    que->set_check_records(true);
    que->init();
    qDebug() << "Rabbit_man inited";
}

rabbit_man::~rabbit_man()
{
    pub_timer->stop();
    ++exchange_generation;
    if (queue) {
        queue->disconnect(this);
        delete queue;
        queue = nullptr;
    }
    if (exchange) {
        exchange->disconnect(this);
        exchange->close();
        exchange->deleteLater();
        exchange = nullptr;
    }
    client->disconnect(this);
    client->disconnect(client);
    client->disconnectFromHost();
    client->deleteLater();
    client = nullptr;
    if (que) {
        que->disconnect(this);
        delete que;
        que = nullptr;
    }
}

void rabbit_man::line(const QString& text)
{
    *this << (timePrefix() + text);
}

bool rabbit_man::check_broker_url(const QString& url, QString* why)
{
    // Read the way the client reads it.
    const QUrl parsed = QUrl::fromUserInput(url);
    QString problem;
    if (url.trimmed().isEmpty())
        problem = QStringLiteral("empty URL");
    else if (!parsed.isValid())
        problem = QStringLiteral("not a URL");
    else if (parsed.scheme() != QLatin1String("amqp") && parsed.scheme() != QLatin1String("amqps"))
        problem = QStringLiteral("scheme \"") + parsed.scheme().left(16) + QStringLiteral("\" is neither amqp nor amqps");
    else if (parsed.host().isEmpty())
        problem = QStringLiteral("no host");
    if (why)
        *why = problem;
    return problem.isEmpty();
}

void rabbit_man::connect_to_broker()
{
    QString why;
    if (!check_broker_url(connection_path, &why)) {
        // The client would keep its previous settings (localhost, guest) for such a URL.
        if (!url_refusal_logged)
            line(QStringLiteral(" Broker URL refused, the link stays down: ") + why + QLatin1Char('\n'));
        url_refusal_logged = true;
        return;
    }
    tls_errors_logged.clear();
    client->connectToHost(connection_path);
}

// The station does not verify its broker's certificate: brokers often use self-signed ones.
void rabbit_man::ignore_tls_errors(const QList<QSslError>& errors)
{
    for (const QSslError& e : errors) {
        if (tls_errors_logged.contains(int(e.error())))
            continue;
        tls_errors_logged.insert(int(e.error()));
        line(QStringLiteral(" TLS error ignored: ") + e.errorString() + QLatin1Char('\n'));
    }
    client->ignoreSslErrors(errors);
}

QString rabbit_man::broker_address() const
{
    return client->host() + QLatin1Char(':') + QString::number(client->port());
}

// connection.close from the broker (or a login it dropped without one): a refused login, a
// virtual host the user may not use, a broker closing the connection while it ran.
void rabbit_man::on_client_error(int code)
{
    const QString words = oneLine(client->errorString());
    if (code == int(Amqp::AccessRefusedError) && !client->isConnected()) {
        // A broker closes a refused login with its words, or drops the socket before they are
        // read (then the words are the client's own): one refusal is one cause either way, and
        // a retry that meets it in the other form keeps the form first written.
        const QString refusal = QStringLiteral("Broker %1 refused the login of user \"%2\" (")
                                    .arg(broker_address(), oneLine(client->username()).left(64));
        note_failure_cause(failure_cause_.startsWith(refusal)
                               ? failure_cause_
                               : refusal + QStringLiteral("%1 %2)").arg(code).arg(words));
        return;
    }
    note_failure_cause(
        QStringLiteral("Broker %1 closed the connection (%2 %3)").arg(broker_address()).arg(code).arg(words));
}

// Failures of the socket before the AMQP connection stands; a socket dropped later is told by
// " Disconnected" and by the close that came with it.
void rabbit_man::on_socket_error(int error)
{
    const QString words = oneLine(client->errorString());
    switch (QAbstractSocket::SocketError(error)) {
    case QAbstractSocket::ConnectionRefusedError:
        note_failure_cause(QStringLiteral("Broker %1 not listening (%2)").arg(broker_address(), words));
        break;
    case QAbstractSocket::HostNotFoundError:
    case QAbstractSocket::NetworkError:
    case QAbstractSocket::SocketTimeoutError:
        note_failure_cause(QStringLiteral("Broker %1 not reachable (%2)").arg(broker_address(), words));
        break;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        note_failure_cause(QStringLiteral("TLS handshake with broker %1 failed (%2)").arg(broker_address(), words));
        break;
    default:
        break;
    }
}

// Every retry meets the same cause again: it is written once, and again only when it changes
// (a connection that stood in between clears it).
void rabbit_man::note_failure_cause(const QString& cause)
{
    if (cause != failure_cause_) {
        failure_cause_ = cause;
        line(QLatin1Char(' ') + cause + QLatin1Char('\n'));
        *this << levent(cause, QString::fromLatin1(fnameEventLog));
    }
    emit connection_failed(cause);
}

void rabbit_man::log_waiting()
{
    const qint64 backup = que->backup_count();
    line(QStringLiteral(" Records waiting: %1 in the queue, %2\n")
             .arg(que->size())
             .arg(backup < 0 ? QStringLiteral("no backup") : QStringLiteral("%1 in the backup").arg(backup)));
}

void rabbit_man::setLogpath(const QString& path)
{
    logger::setLogpath(path);
    que->setLogpath(path);
}

void rabbit_man::set_main_link(bool main)
{
    que->set_save_before_connect(main);
}

int rabbit_man::save_unconfirmed_to_disk()
{
    if (!_save_to_disk || messque::stopped_by_disk_guard())
        return 0;
    return que->save_all();
}

bool rabbit_man::isConnected() const
{
    return client && client->isConnected();
}

QString rabbit_man::get_full_routing_key() const
{
    if (_pub_shard_num < 2)
        return rabbit_routing_key;
    bool ok = false;
    const qlonglong id = base_id.toLongLong(&ok);
    return rabbit_routing_key + QLatin1Char('_') + QString::number(ok ? id % _pub_shard_num : 0);
}

// ---------------------------------------------------------------------------------------------
// Channels

void rabbit_man::createExchange()
{
    // A new exchange opens with the connection; a reopen planned for the old one is void.
    reopen_timer->stop();
    inflight_ids.clear();
    nack_backoff = false;
    confirms_on = false;
    exchange = client->createExchange(rabbit_exchange, -1);
    const quint64 generation = ++exchange_generation;
    // Direct connections: the link must see a confirm or a nack at the moment the library
    // takes the tags off its list, not later, or a queued "all delivered" could clear records
    // that were published after it.
    connect(exchange, &AmqpExchange::allMessagesDelivered, this,
            [this, generation] { onAllDelivered(generation); }, Qt::DirectConnection);
    connect(exchange, &AmqpExchange::nacked, this,
            [this, generation](const QList<qint64>& tags) { onNacked(generation, tags); },
            Qt::DirectConnection);
    connect(exchange, &AmqpExchange::acked, this,
            [this, generation](const QList<qint64>& tags) { onAcked(generation, tags); },
            Qt::DirectConnection);
    // Confirm mode lives as long as the channel: select it once per opening.
    connect(exchange, &AmqpChannel::opened, this, [this, generation] { onExchangeOpened(generation); },
            Qt::DirectConnection);
    connect(exchange, &AmqpChannel::closed, this, [this, generation] { onExchangeClosed(generation); },
            Qt::DirectConnection);
}

void rabbit_man::onExchangeOpened(quint64 generation)
{
    if (generation != exchange_generation)
        return;
    exchange->enableConfirms(true);
    confirms_on = true;
    QMetaObject::invokeMethod(this, &rabbit_man::resume_publishing, Qt::QueuedConnection);
}

// The broker closed the publishing channel: what it carried can never be confirmed now.
// It waits again, and the channel is opened anew after a pause. A broker that closes it at
// every publish (an exchange that does not exist, a user without the right to write) would
// otherwise be answered by a reopen and a republish in a tight loop, at full CPU and with two
// log lines each time.
void rabbit_man::onExchangeClosed(quint64 generation)
{
    if (generation != exchange_generation)
        return;
    confirms_on = false;
    returnInFlight();
    if (client->isConnected()) {
        const QString reason = oneLine(exchange->errorString());
        line(QStringLiteral(" Exchange channel closed by the broker (%1 %2), reopening in %3 ms\n")
                 .arg(int(exchange->error()))
                 .arg(reason)
                 .arg(reopen_delay_ms));
        reopen_timer->start(reopen_delay_ms);
        reopen_delay_ms = qMin(reopen_delay_ms * 2, kReopenLongestMs);
    }
}

void rabbit_man::returnInFlight()
{
    que->return_to_waiting();
    inflight_ids.clear();
}

void rabbit_man::createStationQueue()
{
    queue = client->createQueue(QStringLiteral("bs") + base_id, -1);
    connect(queue, &AmqpQueue::declared, this, &rabbit_man::queueDeclared);
    queue->declare(int(AmqpQueue::Durable | AmqpQueue::AutoDelete), AmqpTable());
}

void rabbit_man::queueDeclared()
{
    if (sender() != queue || !queue)
        return;
    queue->setBodyLimit(kMaxBodySize);
    queue->qos(kStationPrefetch, 0);
    queue->consume(0);
    connect(queue, &AmqpQueue::messageReceived, this, &rabbit_man::messageReceived,
            Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
    if (_has_dl)
        queue->bind(exchange, QStringLiteral("station.") + base_id);
    if (_has_cmd)
        queue->bind(exchange, QStringLiteral("station_cmd.") + base_id);
    queue->bind(exchange, QStringLiteral("station_hb.") + base_id);
}

void rabbit_man::messageReceived()
{
    if (!queue || queue->isEmpty())
        return;
    currentMessage = queue->dequeue();
    queue->ack(currentMessage);
    if (currentMessage.bodySize() > kMaxBodySize) {
        line(QStringLiteral(" Message of %1 bytes dropped: larger than 64 MiB\n").arg(currentMessage.bodySize()));
        return;
    }
    emit data_received(currentMessage.payload(), *this);
}

// ---------------------------------------------------------------------------------------------
// Publishing

QByteArray rabbit_man::convert2binary(const QByteArray& bytes, bool* converted)
{
    *converted = false;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *this << (QStringLiteral("cannot convert to json, error: ") + parseError.errorString()
                  + QLatin1Char('\n'));
        return bytes;
    }
    const QString type = doc.object().value(QStringLiteral("msg_type")).toString();
    if (type.isEmpty())
        return bytes;
    BinaryConverter converter;
    QByteArray out;
    const bool ok = type.contains(QLatin1String("beat"))
        ? converter.Json2Binary<HeartBeatMsg>(doc, out)
        : converter.Json2Binary<PayloadMsg>(doc, out);
    if (!ok) {
        *this << (QStringLiteral("Json2Binary error: ") + converter.GetError() + QLatin1Char('\n'));
        *this << (QStringLiteral("check qwentity of json elements: ")
                  + QString::fromUtf8(doc.toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
        return bytes;
    }
    if (out.isNull())
        return bytes;
    *converted = true;
    return out;
}

bool rabbit_man::instant_publish(const QByteArray& bytes, const QString& routingKey, bool binary,
                                 Delivery delivery)
{
    if (bytes.isNull() || !exchange)
        return false;
    QByteArray payload = bytes;
    bool converted = false;
    if (binary)
        payload = convert2binary(bytes, &converted);
    // What could not be converted goes out as the JSON text it is.
    const QString type = QString::fromLatin1(converted ? kBinaryType : kTextType);
    // A record is forgotten once the broker confirms it, so the broker must keep it on disk:
    // a transient message in a durable queue is lost when the broker restarts.
    AmqpMessage::PropertyHash properties;
    if (delivery == Delivery::Persistent)
        properties.insert(AmqpMessage::DeliveryMode, kPersistentDeliveryMode);
    return exchange->publish(payload, routingKey, type, properties, AmqpExchange::poNoOptions);
}

// Takes the next record for the current session and publishes it: one still unconfirmed that
// went out before `republishBefore`, or else a waiting one. A record the library did not send
// goes straight back to waiting: it holds no delivery tag, so no confirm may clear it.
bool rabbit_man::publish_one(qint64 republishBefore)
{
    quint32 id = 0;
    const QByteArray text = que->take_next(session_id, republishBefore, &id);
    if (text.isNull())
        return false;
    if (!instant_publish(text, get_full_routing_key(), _use_binary, Delivery::Persistent)) {
        que->unpop(id);
        return false;
    }
    // Remember which record this delivery tag carries, for its ack or nack.
    const qint64 tag = exchange->lastDeliveryTag();
    if (tag > 0)
        inflight_ids.insert(tag, id);
    return true;
}

bool rabbit_man::flowPaused() const
{
    return client->isBlocked() || client->isWriteBufferFull();
}

// Publishing needs an open channel in confirm mode (or the records would carry no tag), a
// socket and broker that take more, and room under the in-flight cap.
bool rabbit_man::canPublish() const
{
    return confirms_on && exchange && exchange->isOpen() && client->isConnected() && !flowPaused()
        && inflight_ids.size() < kMaxInFlight;
}

void rabbit_man::publish_burst(qint64 republishBefore)
{
    for (int i = 0; i < MAXMESTORESEND; ++i) {
        if (!canPublish() || !publish_one(republishBefore))
            break;
    }
}

void rabbit_man::start_pub_timer()
{
    pub_timer->start();
    pub_mark_ms = que->now_ms();
}

void rabbit_man::queue_string(const QByteArray& bytes)
{
    if (!que->enqueue(bytes))
        return;
    if (!client->isConnected())
        return;
    if (!pub_timer->isActive()) {
        ++session_id;
        start_pub_timer();
    }
    if (canPublish())
        publish_one(messque::kNoRepublish);
}

void rabbit_man::publish_string(const QByteArray& bytes, const QString& key, bool binary)
{
    // AMQP carries a routing key of at most 255 bytes: a longer one cannot go out at all.
    const int keyBytes = key.toUtf8().size();
    if (keyBytes > kMaxRoutingKeyBytes) {
        line(QStringLiteral(" Reply not sent: its routing key (the request's \"sender\") is %1 bytes long, more than %2\n")
                 .arg(keyBytes)
                 .arg(kMaxRoutingKeyBytes));
        return;
    }
    if (bytes.isNull())
        return;
    if (!client->isConnected()) {
        line(QStringLiteral(" Reply not sent: the link is not connected\n"));
        return;
    }
    if (!instant_publish(bytes, key, binary, Delivery::Transient))
        line(QStringLiteral(" Reply not sent: the link could not publish it\n"));
}

// Inside the library's confirm handling: drop what the broker has now confirmed, and let
// whatever goes out from here on belong to a new session.
void rabbit_man::onAllDelivered(quint64 generation)
{
    if (generation != exchange_generation)
        return;
    // Each record left the queue with its own ack; a new session starts here.
    ++session_id;
    if (!next_pending) {
        next_pending = true;
        QMetaObject::invokeMethod(this, "publish_next", Qt::QueuedConnection);
    }
}

// A nack: the refused records go back to waiting (the others of the session stay in flight,
// to be cleared by their confirms). They go out again with the publish timer's next burst,
// so a broker that keeps refusing, a full queue for instance, is not hammered.
void rabbit_man::onNacked(quint64 generation, const QList<qint64>& tags)
{
    if (generation != exchange_generation)
        return;
    int returned = 0;
    for (qint64 tag : tags) {
        const auto it = inflight_ids.find(tag);
        if (it == inflight_ids.end())
            continue;
        que->unpop(it.value());
        inflight_ids.erase(it);
        ++returned;
    }
    nack_backoff = true;
    line(QStringLiteral(" Nack: %1 messages back to waiting\n").arg(returned));
}

// Each confirmed record leaves the queue at once, whatever session published it, and lets the
// next waiting record go.
void rabbit_man::onAcked(quint64 generation, const QList<qint64>& tags)
{
    if (generation != exchange_generation)
        return;
    // One ack may confirm many records: rows of restored ones leave the backup together.
    QList<quint32> ids;
    for (qint64 tag : tags) {
        const auto it = inflight_ids.find(tag);
        if (it == inflight_ids.end())
            continue;
        ids.append(it.value());
        inflight_ids.erase(it);
    }
    if (!ids.isEmpty())
        reopen_delay_ms = kReopenFirstMs; // the channel carries records again
    que->confirm(ids);
    int confirmed = ids.size();
    for (; confirmed > 0 && !nack_backoff && canPublish(); --confirmed) {
        if (!publish_one(messque::kNoRepublish))
            break;
    }
}

void rabbit_man::set_publish_interval(int ms)
{
    pub_timer->setInterval(qMax(1, ms));
}

int rabbit_man::publish_interval() const
{
    return pub_timer->interval();
}

void rabbit_man::publish_next()
{
    next_pending = false;
    emit conn_estimated();
    if (que->isEmpty()) {
        pub_timer->stop();
        return;
    }
    if (!client->isConnected())
        return;
    if (nack_backoff) {
        // Refused records wait for the timer's next burst.
        nack_backoff = false;
        start_pub_timer();
        return;
    }
    publish_burst(pub_mark_ms);
    start_pub_timer();
}

// The channel opened or the socket and broker take more again: waiting records go out. Only
// the publish timer republishes.
void rabbit_man::resume_publishing()
{
    if (!canPublish() || que->isEmpty())
        return;
    publish_burst(messque::kNoRepublish);
    start_pub_timer();
}

void rabbit_man::republish_message()
{
    if (que->isEmpty()) {
        pub_timer->stop();
        return;
    }
    // What went out before the previous start or expiry and is still unconfirmed has waited a
    // whole interval; anything younger is left alone.
    const qint64 republishBefore = pub_mark_ms;
    pub_mark_ms = que->now_ms();
    ++session_id;
    line(QStringLiteral(" Pub timer expired !!!\n"));
    emit republish();
    ++reconnect_counter;
    if (reconnect_counter >= kForcedDisconnectEvery) {
        reconnect_counter = 0;
        if (client->isConnected()) {
            line(QStringLiteral(" Disconnect!\n"));
            client->disconnectFromHost();
            return;
        }
    }
    if (!client->isConnected())
        return;
    line(QStringLiteral(" Republish!\n"));
    publish_burst(republishBefore);
    start_pub_timer();
}

// ---------------------------------------------------------------------------------------------
// Connection

void rabbit_man::connected()
{
    que->set_start_to_save(true);
    // A session never spans two connections.
    ++session_id;
    failure_cause_.clear();
    was_connected_ = true;
    line(QStringLiteral(" Connected\n"));
}

QTimer* rabbit_man::reconnectGuard()
{
    static QTimer* guard = [] {
        auto* t = new QTimer();
        t->setSingleShot(true);
        t->setInterval(kReconnectGuardMs);
        return t;
    }();
    return guard;
}

void rabbit_man::reset_reconnect_guard()
{
    reconnectGuard()->stop();
}

void rabbit_man::disconnected()
{
    // What was published on the lost connection and never confirmed waits to go out again.
    confirms_on = false;
    returnInFlight();
    emit conn_lost();
    line(QStringLiteral(" Disconnected\n"));
    // Told once per lost connection: a failed attempt brings disconnection notices too.
    if (was_connected_) {
        was_connected_ = false;
        log_waiting();
    }
    QTimer* guard = reconnectGuard();
    if (!guard->isActive() || guard->remainingTime() == 0) {
        reconnect();
        guard->start();
    }
}

bool rabbit_man::reconnect_if_disconnected()
{
    if (client->isConnected())
        return false;
    reconnect();
    return true;
}

void rabbit_man::reconnect()
{
    line(QStringLiteral(" Reconnect\n"));
    emit conn_lost();
    returnInFlight();
    log_waiting();
    if (client->isConnected()) {
        line(QStringLiteral(" Disconnect!\n"));
        client->disconnectFromHost();
    }
    connect_to_broker();

    line(QStringLiteral(" Delete exchange\n"));
    ++exchange_generation;
    exchange->disconnect(this);
    delete exchange;
    exchange = nullptr;
    client->setVirtualHost(rabbit_vhost);
    line(QStringLiteral(" Create exchange\n"));
    createExchange();

    if (queue && (base_id.isEmpty() || !(_has_dl || _has_cmd))) {
        // Rights withdrawn: the station queue is no longer consumed (it is auto-delete).
        queue->disconnect(this);
        delete queue;
        queue = nullptr;
    }
    if (!base_id.isEmpty() && (_has_dl || _has_cmd)) {
        line(QStringLiteral(" Delete queue\n"));
        if (queue) {
            queue->disconnect(this);
            delete queue;
            queue = nullptr;
        }
        line(QStringLiteral(" Create queue\n"));
        line(QStringLiteral(" Declare\n"));
        createStationQueue();
    }
}
