#include "vexa_rs_sockets.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

vexa_rs_sockets::vexa_rs_sockets() = default;

vexa_rs_sockets::~vexa_rs_sockets()
{
    // Timers without a parent that call back into this object go with it.
    delete reconnect_timer;
    qDeleteAll(timer);
}

void vexa_rs_sockets::set_logger(LogSink sink)
{
    log = std::move(sink);
}

void vexa_rs_sockets::set_clock(Clock utcNow)
{
    clock_ = std::move(utcNow);
}

void vexa_rs_sockets::set_monotonic(Monotonic msNow)
{
    monotonic_ = std::move(msNow);
}

void vexa_rs_sockets::set_flush_delay(int ms)
{
    flush_delay_ms_ = std::max(0, ms);
}

void vexa_rs_sockets::set_reconnect_interval(int ms)
{
    reconnect_interval_ms_ = std::max(1, ms);
    if (reconnect_timer)
        reconnect_timer->setInterval(reconnect_interval_ms_);
}

QDateTime vexa_rs_sockets::now() const
{
    return clock_ ? clock_() : QDateTime::currentDateTimeUtc();
}

qint64 vexa_rs_sockets::monotonic() const
{
    if (monotonic_)
        return monotonic_();
    static QElapsedTimer since;
    if (!since.isValid())
        since.start();
    return since.elapsed();
}

void vexa_rs_sockets::write_to_log(const QString& text, QTcpSocket* socket, uint32_t id) const
{
    if (log)
        log(text, socket, id);
}

bool vexa_rs_sockets::append(uint32_t id, QTcpSocket* socket)
{
    if (id < kFirstModemId)
        return false;
    update_date(id);
    const auto known = sockets.constFind(id);
    if (known != sockets.constEnd()) {
        if (known.value() == socket)
            return false;
        remove(id);
    }
    sockets.insert(id, socket);
    update_date(id);
    return true;
}

bool vexa_rs_sockets::append_list(QTcpSocket* socket, QString address, quint16 port)
{
    sockets_list.append(reconnect_t{socket, std::move(address), port, monotonic()});
    if (!reconnect_timer) {
        reconnect_timer = new QTimer;
        QObject::connect(reconnect_timer, &QTimer::timeout, reconnect_timer, [this] { reconnect(); });
        reconnect_timer->setInterval(reconnect_interval_ms_);
        reconnect_timer->start();
    }
    return true;
}

void vexa_rs_sockets::reconnect()
{
    const qint64 t = monotonic();
    for (reconnect_t& link : sockets_list) {
        const auto state = link.socket->state();
        if (state == QAbstractSocket::ConnectedState)
            continue;
        // A slow look-up or handshake gets time to finish before it is started again.
        const bool pending = state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState;
        if (pending && link.attempt_ms >= 0 && t - link.attempt_ms < kConnectGraceMs)
            continue;
        link.socket->close();
        link.socket->connectToHost(link.address, link.port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
        link.attempt_ms = t;
        write_to_log(QString("Try reconnect %1:%2").arg(link.address).arg(link.port), link.socket, 0);
    }
}

bool vexa_rs_sockets::write(uint32_t id, const QByteArray& data)
{
    if (!sockets.contains(id))
        return false;
    if (!timer.contains(id)) {
        auto* t = new QTimer;
        t->setSingleShot(true);
        QObject::connect(t, &QTimer::timeout, t, [this, id] { flush(id); });
        timer.insert(id, t);
    }
    if (buffer.value(id).size() > kFlushThreshold)
        flush(id);
    buffer[id].append(data);
    timer.value(id)->start(flush_delay_ms_);
    update_date(id);
    return true;
}

void vexa_rs_sockets::flush(uint32_t id)
{
    QTcpSocket* s = sockets.value(id, nullptr);
    write_to_log(QString("Flush to socket %1 byte(s)").arg(buffer.value(id).size()), s, id);
    if (s && s->state() == QAbstractSocket::ConnectedState) {
        s->write(buffer.value(id));
        s->flush();
    }
    // Bytes for a link that is down are not kept: the modem's next uplink brings a new request.
    buffer.remove(id);
}

bool vexa_rs_sockets::reject(QTcpSocket* socket)
{
    if (socket)
        socket->close();
    return true;
}

bool vexa_rs_sockets::contains(uint32_t id) const
{
    return sockets.contains(id);
}

bool vexa_rs_sockets::contains(QTcpSocket* socket) const
{
    for (QTcpSocket* s : sockets)
        if (s == socket)
            return true;
    return false;
}

QList<unsigned int> vexa_rs_sockets::clear(const QDateTime& before)
{
    QList<unsigned int> removed;
    const QList<unsigned int> keys = dates.keys();
    for (unsigned int id : keys) {
        if (dates.value(id) < before) {
            remove(id);
            removed.append(id);
        }
    }
    return removed;
}

void vexa_rs_sockets::remove(uint32_t id)
{
    sockets.remove(id);
    dates.remove(id);
    buffer.remove(id);
    if (QTimer* t = timer.take(id))
        delete t;
}

void vexa_rs_sockets::update_date(uint32_t id)
{
    dates[id] = now();
}
