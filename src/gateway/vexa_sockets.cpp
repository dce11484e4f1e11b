#include "vexa_sockets.h"

#include <QSet>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

template <typename Key>
void unindex(QHash<Key, QSet<quint32>>& index, Key key, quint32 id)
{
    const auto it = index.find(key);
    if (it == index.end())
        return;
    it->remove(id);
    if (it->isEmpty())
        index.erase(it);
}

} // namespace

vexa_sockets::vexa_sockets() = default;

vexa_sockets::~vexa_sockets()
{
    // The flush timers are ours and call back into this object: they go with it.
    qDeleteAll(timer);
}

void vexa_sockets::set_logger(LogSink sink)
{
    log = std::move(sink);
}

void vexa_sockets::set_clock(Clock clock)
{
    clock_ = std::move(clock);
}

void vexa_sockets::set_flush_delay(int ms)
{
    flush_delay_ms_ = std::max(0, ms);
}

QDateTime vexa_sockets::now() const
{
    return clock_ ? clock_() : QDateTime::currentDateTimeUtc();
}

void vexa_sockets::write_to_log(const QString& text, QTcpSocket* socket, quint32 id) const
{
    if (log)
        log(text, socket, id);
}

quint32 vexa_sockets::socket_key(QTcpSocket* socket)
{
    return static_cast<quint32>(reinterpret_cast<quintptr>(socket) & 0xFFFFFFFFu);
}

bool vexa_sockets::append(quint32 id, QTcpSocket* socket)
{
    if (id < kFirstModemId)
        return false;
    update_date(id);
    bool changed = false;
    const auto known = sockets.constFind(id);
    if (known == sockets.constEnd()) {
        write_to_log(QString("Appending socket %1 ...").arg(id), socket, id);
        changed = true;
    } else if (known.value() != socket) {
        write_to_log(QString("Reappending socket %1 ... ").arg(id), socket, id);
        // Only a socket that belongs to this gateway is closed: an id heard so far as a modem
        // through another gateway shares that gateway's socket.
        QTcpSocket* old = known.value();
        if (ids.contains(old) && ids.value(old) == id)
            remove(old);
        changed = true;
    }
    if (changed) {
        set_socket(id, socket);
        ids[socket] = id;
        fails[socket] = 0;
    }
    set_parent(id, id);

    // The children follow their gateway to its new socket.
    const auto kids = children_by_parent.constFind(id);
    if (kids == children_by_parent.constEnd())
        return changed;
    QList<quint32> moving;
    for (quint32 k : *kids) {
        const auto s = sockets.constFind(k);
        if (s != sockets.constEnd() && s.value() != socket)
            moving.append(k);
    }
    if (moving.isEmpty())
        return changed;
    // Anyone can make a gateway move by sending its heartbeat on a new connection; a gateway
    // relaying thousands of modems would then write a line per modem each time. One that moved
    // lately gets one line for them all.
    const QDateTime at = now();
    const auto last = last_move.constFind(id);
    const bool movedLately = last != last_move.constEnd() && last->msecsTo(at) < kMoveLinesMs;
    for (quint32 k : moving) {
        set_socket(k, socket);
        if (!movedLately)
            write_to_log(QString("Updated socket for child %1 as parent %2").arg(k).arg(id), socket, id);
    }
    if (movedLately)
        write_to_log(QString("Updated socket for %1 children as parent %2 (moved again within 10 minutes)")
                         .arg(moving.size())
                         .arg(id),
                     socket, id);
    note_move(id, at);
    return changed;
}

void vexa_sockets::note_move(quint32 gateway, const QDateTime& at)
{
    last_move.insert(gateway, at);
    if (last_move.size() <= move_prune_at_)
        return;
    for (auto it = last_move.begin(); it != last_move.end();)
        it = it->msecsTo(at) >= kMoveLinesMs ? last_move.erase(it) : std::next(it);
    move_prune_at_ = std::max(64, 2 * int(last_move.size()));
}

bool vexa_sockets::append_child(quint32 id, QTcpSocket* socket, float snr, message_point* mes)
{
    if (id < kFirstModemId)
        return false;
    // A gateway relayed by another gateway stays a gateway.
    if (parents.contains(id) && parents.value(id) == id)
        return false;
    const quint32 g = ids.value(socket, 0);
    bool result = false;
    const auto known = sockets.constFind(id);
    if (known == sockets.constEnd()) {
        set_socket(id, socket);
        set_parent(id, g);
        result = true;
    } else if (known.value() != socket && parents.value(id, 0) == g) {
        set_socket(id, socket);
        result = true;
    }
    const quint32 parent = parents.value(id, 0);

    QHash<quint32, ParentData> records = parents_data.value(id);
    if (records.isEmpty())
        records.insert(g, ParentData());
    ParentData& via = records[g];
    via.aver_snr = static_cast<float>(0.8 * double(via.aver_snr) + 0.2 * double(snr));
    via.last_message_dt = now().toLocalTime();
    if (mes)
        via.last_message = *mes;
    if (parent != g)
        ++records[parent].packets_via_non_parents;
    // Heard now: the sweep removes a child once it has not been heard for the TTL.
    dates[id] = now();

    const float viaSnr = records[g].aver_snr;
    const float parentSnr = records[parent].aver_snr;
    // A parent that is no registered gateway (removed, or none) offers no route: a registered
    // gateway that hears the modem takes it at once.
    const bool parentGone = parent != g && is_gateway(g) && !is_gateway(parent);
    if (parentGone || viaSnr > 3.0f + parentSnr || records[parent].packets_via_non_parents > 10) {
        write_to_log(QString("Parent changed from %1(snr:%2) to %3(snr:%4)")
                         .arg(parent)
                         .arg(QString::number(double(parentSnr), 'g', 6))
                         .arg(g)
                         .arg(QString::number(double(viaSnr), 'g', 6)),
                     socket, id);
        records[parent].packets_via_non_parents = 0;
        records[g].packets_via_non_parents = 0;
        set_socket(id, socket);
        set_parent(id, g);
        result = true;
    }
    store_records(id, records);
    return result;
}

bool vexa_sockets::check_for_dublicate(quint32 id, QTcpSocket* socket, message_point* mes)
{
    if (id < kFirstModemId || !mes)
        return false;
    const auto records = parents_data.constFind(id);
    if (records == parents_data.constEnd())
        return false;
    const quint32 g = ids.value(socket, 0);
    // Only a recent relay counts: a modem that repeats its message later is heard again.
    const QDateTime since = now().addMSecs(-kDuplicateWindowMs);
    for (auto it = records->constBegin(); it != records->constEnd(); ++it) {
        if (it.key() == g)
            continue;
        const ParentData& other = it.value();
        if (!other.last_message_dt.isValid() || other.last_message_dt < since)
            continue;
        const message_point& last = other.last_message;
        if (last.TYPE != mes->TYPE || last.ID != mes->ID || last.FLAGS != mes->FLAGS)
            continue;
        if (mes->TYPE == Protocol_D && last.CRC8_D != mes->CRC8_D)
            continue;
        if (mes->TYPE == Protocol_E && (last.CRYPTO_ITER != mes->CRYPTO_ITER || last.CRYPTO_MIC != mes->CRYPTO_MIC))
            continue;
        if (!std::equal(std::begin(last.PAYLOAD), std::end(last.PAYLOAD), std::begin(mes->PAYLOAD)))
            continue;
        write_to_log(QString("Dublicate detected: p1=%1 mes=%2 p2=%3 mes=%4")
                         .arg(g)
                         .arg(mes->getPayload())
                         .arg(it.key())
                         .arg(last.getPayload()),
                     socket, id);
        return true;
    }
    return false;
}

bool vexa_sockets::write(quint32 id, const QByteArray& data)
{
    const quint32 p = parent_varnok_id(id);
    if (p != 0 && p != id) {
        if (!sockets.contains(id))
            return false;
        if (sockets.contains(p) && sockets.value(id) != sockets.value(p)) {
            write_to_log(QString("Need to update child's socket as parent %1 ?").arg(p), sockets.value(id), id);
            set_socket(id, sockets.value(p));
            write_to_log(QString("Updated child's socket as parent %1").arg(p), sockets.value(id), id);
        }
    }
    if (!sockets.contains(id))
        return false;
    // A gateway connection that has closed is no route: the frame is not written into it.
    QTcpSocket* target = sockets.value(id);
    if (!target || !target->isOpen())
        return false;
    if (!timer.contains(id)) {
        auto* t = new QTimer;
        t->setSingleShot(true);
        QObject::connect(t, &QTimer::timeout, t, [this, id] { flush(id); });
        timer.insert(id, t);
    }
    if (buffer.value(id).size() > kFlushThreshold) {
        write_to_log(QString("Flush to socket %1 byte(s)").arg(buffer.value(id).size()), sockets.value(id), id);
        send(id);
    }
    buffer[id].append(data);
    timer.value(id)->start(flush_delay_ms_);
    update_date(id);
    return true;
}

void vexa_sockets::flush(quint32 id)
{
    write_to_log(QString("Flush to socket %1 byte(s)").arg(buffer.value(id).size()), sockets.value(id, nullptr), id);
    if (sockets.contains(id))
        send(id);
}

void vexa_sockets::send(quint32 id)
{
    QTcpSocket* s = sockets.value(id);
    // Bytes for a connection that closed meanwhile have no route: they are dropped.
    if (s && s->isOpen()) {
        s->write(buffer.value(id));
        s->flush();
    }
    buffer.remove(id);
}

bool vexa_sockets::reject(QTcpSocket* socket, bool immediate)
{
    if (!socket)
        return false;
    if (!fails.contains(socket)) {
        socket->close();
        return true;
    }
    if (immediate || fails.value(socket) > quint32(kMaxFails)) {
        remove(ids.value(socket, 0));
        if (fails.contains(socket))
            remove(socket);
        return true;
    }
    ++fails[socket];
    return false;
}

void vexa_sockets::clear_strikes(QTcpSocket* socket)
{
    const auto it = fails.find(socket);
    if (it != fails.end())
        *it = 0;
}

int vexa_sockets::entry_count() const
{
    int n = fails.size() + ids.size() + dates.size() + sockets.size() + buffer.size() + timer.size() +
            last_hb.size() + hb_order.size() + parents.size() + last_move.size();
    for (const auto& records : parents_data)
        n += 1 + records.size();
    for (const auto* index : {&ids_by_socket, &hb_by_socket})
        for (const auto& keys : *index)
            n += 1 + keys.size();
    for (const auto* index : {&children_by_parent, &relayed_by})
        for (const auto& keys : *index)
            n += 1 + keys.size();
    return n;
}

void vexa_sockets::remove(QTcpSocket* socket)
{
    socket->close();
    ids.remove(socket);
    fails.remove(socket);
}

void vexa_sockets::remove(quint32 id)
{
    remove_ids({id});
}

void vexa_sockets::remove_ids(const QList<quint32>& gone)
{
    QSet<quint32> gateways;
    for (quint32 id : gone) {
        // A modem shares its gateway's socket: only the socket registered to this id is closed.
        QTcpSocket* s = sockets.value(id, nullptr);
        if (s && ids.contains(s) && ids.value(s) == id)
            remove(s);
        if (parents.value(id, 0) == id)
            gateways.insert(id);
        remove_entries(id);
    }
    if (gateways.isEmpty())
        return;
    // The children keep their removed gateway as parent (a downlink to them has no route until
    // it registers again and takes them to its new socket); they leave by their own activity
    // time. What the removed gateways heard of any modem starts again.
    const QDateTime epoch = QDateTime::fromSecsSinceEpoch(0);
    for (quint32 g : gateways) {
        for (quint32 modem : relayed_by.value(g)) {
            const auto records = parents_data.find(modem);
            if (records == parents_data.end())
                continue;
            const auto r = records->find(g);
            if (r == records->end())
                continue;
            r->aver_snr = 0.0f;
            r->packets_via_non_parents = 0;
            r->last_message_dt = epoch;
        }
    }
}

void vexa_sockets::remove_entries(quint32 id)
{
    drop_socket(id);
    dates.remove(id);
    buffer.remove(id);
    if (QTimer* t = timer.take(id))
        delete t;
    erase_heartbeat(id);
    drop_parent(id);
    drop_records(id);
}

void vexa_sockets::set_socket(quint32 id, QTcpSocket* socket)
{
    const auto it = sockets.find(id);
    if (it != sockets.end()) {
        if (it.value() == socket)
            return;
        unindex(ids_by_socket, it.value(), id);
        it.value() = socket;
    } else {
        sockets.insert(id, socket);
    }
    ids_by_socket[socket].insert(id);
}

void vexa_sockets::drop_socket(quint32 id)
{
    const auto it = sockets.find(id);
    if (it == sockets.end())
        return;
    unindex(ids_by_socket, it.value(), id);
    sockets.erase(it);
}

void vexa_sockets::set_parent(quint32 id, quint32 parent)
{
    const auto it = parents.find(id);
    if (it != parents.end()) {
        if (it.value() == parent)
            return;
        if (it.value() != id)
            unindex(children_by_parent, it.value(), id);
        it.value() = parent;
    } else {
        parents.insert(id, parent);
    }
    if (parent != id)
        children_by_parent[parent].insert(id);
}

void vexa_sockets::drop_parent(quint32 id)
{
    const auto it = parents.find(id);
    if (it == parents.end())
        return;
    if (it.value() != id)
        unindex(children_by_parent, it.value(), id);
    parents.erase(it);
}

void vexa_sockets::store_records(quint32 id, const QHash<quint32, ParentData>& records)
{
    for (auto it = records.constBegin(); it != records.constEnd(); ++it)
        relayed_by[it.key()].insert(id);
    parents_data.insert(id, records);
}

void vexa_sockets::drop_records(quint32 id)
{
    const auto it = parents_data.find(id);
    if (it == parents_data.end())
        return;
    for (auto r = it->constBegin(); r != it->constEnd(); ++r)
        unindex(relayed_by, r.key(), id);
    parents_data.erase(it);
}

QList<quint32> vexa_sockets::clear(const QDateTime& date)
{
    QList<quint32> removed;
    for (auto it = dates.constBegin(); it != dates.constEnd(); ++it)
        if (it.value() < date)
            removed.append(it.key());
    remove_ids(removed);
    const QDateTime at = now();
    for (auto it = last_move.begin(); it != last_move.end();)
        it = it->msecsTo(at) >= kMoveLinesMs ? last_move.erase(it) : std::next(it);
    return removed;
}

bool vexa_sockets::contains(QTcpSocket* socket) const
{
    return ids.contains(socket);
}

bool vexa_sockets::contains(quint32 id) const
{
    return sockets.contains(id);
}

quint32 vexa_sockets::id(QTcpSocket* socket) const
{
    return ids.value(socket, 0);
}

QTcpSocket* vexa_sockets::socket(quint32 id) const
{
    return sockets.value(id, nullptr);
}

bool vexa_sockets::save_last_hearbeat(quint32 id, QTcpSocket* socket, const QString& hb_str)
{
    const quint32 key = id != 0 ? id : socket_key(socket);
    const auto old = last_hb.constFind(key);
    if (old != last_hb.constEnd() && old->socket != socket)
        unindex(hb_by_socket, old->socket, key);
    last_hb.insert(key, LastHB{id, socket, hb_str, now()});
    hb_by_socket[socket].insert(key);
    hb_order.insert(key, ++hb_counter_);
    return true;
}

vexa_sockets::LastHB vexa_sockets::last_hertbeat(quint32 id) const
{
    const auto own = last_hb.constFind(id);
    if (own != last_hb.constEnd())
        return own.value();
    const auto s = sockets.constFind(id);
    if (s != sockets.constEnd())
        return last_hb.value(socket_key(s.value()));
    return LastHB();
}

vexa_sockets::LastHB vexa_sockets::last_hertbeat(QTcpSocket* socket) const
{
    // The newest heartbeat of the socket, whatever the hash order.
    const auto keys = hb_by_socket.constFind(socket);
    if (keys == hb_by_socket.constEnd())
        return LastHB();
    quint32 best = 0;
    quint64 bestOrder = 0;
    for (quint32 key : *keys) {
        const quint64 order = hb_order.value(key);
        if (order >= bestOrder) {
            best = key;
            bestOrder = order;
        }
    }
    return last_hb.value(best);
}

void vexa_sockets::remove_hertbeat(quint32 id)
{
    if (last_hb.contains(id)) {
        erase_heartbeat(id);
        return;
    }
    erase_heartbeats_if([id](const LastHB& hb) { return hb.id == id; });
}

void vexa_sockets::update_date(quint32 id)
{
    if (!last_hertbeat(id).hb_str.isEmpty())
        dates[id] = now();
}

bool vexa_sockets::is_gateway(quint32 id) const
{
    return id != 0 && sockets.contains(id) && parents.value(id, 0) == id;
}

quint32 vexa_sockets::parent_varnok_id(quint32 id) const
{
    const auto p = parents.constFind(id);
    if (p != parents.constEnd())
        return p.value();
    return sockets.contains(id) ? id : 0;
}

QList<quint32> vexa_sockets::gw_list() const
{
    QList<quint32> out;
    for (auto it = sockets.constBegin(); it != sockets.constEnd(); ++it) {
        const quint32 p = parent_varnok_id(it.key());
        if (p != 0 && p == it.key())
            out.append(it.key());
    }
    return out;
}

QList<quint32> vexa_sockets::child_list() const
{
    QList<quint32> out;
    for (auto it = sockets.constBegin(); it != sockets.constEnd(); ++it) {
        const quint32 p = parent_varnok_id(it.key());
        if (p != 0 && p != it.key())
            out.append(it.key());
    }
    return out;
}

vexa_sockets::ParentData vexa_sockets::parent_data(quint32 modem, quint32 gateway) const
{
    return parents_data.value(modem).value(gateway);
}

bool vexa_sockets::refers_to(QTcpSocket* socket) const
{
    return ids.contains(socket) || fails.contains(socket) || ids_by_socket.contains(socket);
}

QSet<QTcpSocket*> vexa_sockets::referenced_sockets() const
{
    QSet<QTcpSocket*> out;
    for (auto it = ids.constBegin(); it != ids.constEnd(); ++it)
        out.insert(it.key());
    for (auto it = ids_by_socket.constBegin(); it != ids_by_socket.constEnd(); ++it)
        out.insert(it.key());
    return out;
}

void vexa_sockets::forget_socket(QTcpSocket* socket)
{
    for (quint32 key : hb_by_socket.value(socket))
        erase_heartbeat(key);
}

void vexa_sockets::stop()
{
    qDeleteAll(timer);
    timer.clear();
}

void vexa_sockets::erase_heartbeats_if(const std::function<bool(const LastHB&)>& match)
{
    QList<quint32> keys;
    for (auto it = last_hb.constBegin(); it != last_hb.constEnd(); ++it)
        if (match(it.value()))
            keys.append(it.key());
    for (quint32 key : keys)
        erase_heartbeat(key);
}

void vexa_sockets::erase_heartbeat(quint32 key)
{
    const auto it = last_hb.find(key);
    if (it == last_hb.end())
        return;
    unindex(hb_by_socket, it->socket, key);
    last_hb.erase(it);
    hb_order.remove(key);
}
