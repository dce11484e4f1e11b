#include "MessageFilter.h"

#include <cmath>
#include <cstring>

namespace {
constexpr float FOLDED_RSSI = -1000.0f;
constexpr float FLOAT_EPS = 1.1920929e-7f;
} // namespace

qint64 MessageFilter::window_ms(quint32 bitrate)
{
    switch (bitrate) {
    case 50: return 17280;
    case 125: return 6912;
    case 400: return 2160;
    case 3200: return 270;
    case 25600: return 33;
    default: return 17280;
    }
}

bool MessageFilter::same_message(const message_point& a, const message_point& b)
{
    if (a.TYPE != b.TYPE || a.ID != b.ID || a.FLAGS != b.FLAGS
        || std::memcmp(a.PAYLOAD, b.PAYLOAD, sizeof a.PAYLOAD) != 0)
        return false;
    return a.TYPE != Protocol_D || a.CRC8_D == b.CRC8_D;
}

bool MessageFilter::is_folded(float rssi)
{
    return std::fabs(rssi - FOLDED_RSSI) < FLOAT_EPS;
}

quint64 MessageFilter::key(const message_point& m)
{
    return (quint64(quint32(m.TYPE)) << 32) | quint64(m.ID);
}

void MessageFilter::add(const QSharedPointer<message_point>& mes, qint64 stamp)
{
    m_list.append(Entry{mes, stamp});
}

void MessageFilter::filter_messages()
{
    // Late copies of records that still wait for copies are dropped; the waiting record's
    // copy count stays as it is.
    QList<Entry> fixed_list;
    for (const Entry& m : m_list) {
        bool late = false;
        const quint64 k = key(*m.mes);
        for (auto it = waiting_.constFind(k); it != waiting_.constEnd() && it.key() == k; ++it) {
            if (!it.value()->processed && same_message(*m.mes, *it.value())) {
                late = true;
                break;
            }
        }
        if (late)
            m.mes->processed = true;
        else
            fixed_list.append(m);
    }
    m_list.clear();

    // Within the pass the strongest copy takes the others' counts.
    for (int i = 0; i < fixed_list.size(); ++i) {
        message_point& a = *fixed_list[i].mes;
        for (int j = i + 1; j < fixed_list.size(); ++j) {
            message_point& b = *fixed_list[j].mes;
            if (!same_message(a, b) || is_folded(a.RSSI) || is_folded(b.RSSI))
                continue;
            if (a.RSSI > b.RSSI) {
                b.RSSI = FOLDED_RSSI;
                a.num_of_copies += b.num_of_copies;
                a.num_of_copies_1_2 += b.num_of_copies_1_2;
            } else if (b.RSSI > a.RSSI) {
                a.RSSI = FOLDED_RSSI;
                b.num_of_copies += a.num_of_copies;
                b.num_of_copies_1_2 += a.num_of_copies_1_2;
            }
        }
    }

    QList<Entry> max_list;
    for (const Entry& e : fixed_list)
        if (!is_folded(e.mes->RSSI))
            max_list.append(e);

    // Copies of exactly equal level: the last one survives with the mean frequency.
    for (int i = 0; i < max_list.size(); ++i) {
        message_point& a = *max_list[i].mes;
        for (int j = i + 1; j < max_list.size(); ++j) {
            message_point& b = *max_list[j].mes;
            if (!same_message(a, b) || is_folded(a.RSSI))
                continue;
            a.RSSI = FOLDED_RSSI;
            b.num_of_copies += a.num_of_copies;
            b.FREQ += a.FREQ;
            b.num_of_copies_1_2 += a.num_of_copies_1_2;
            b.tmp_for_aver_freq += a.tmp_for_aver_freq;
        }
    }

    for (const Entry& e : max_list) {
        message_point& m = *e.mes;
        if (is_folded(m.RSSI))
            continue;
        if (m.tmp_for_aver_freq != 0)
            m.FREQ = m.FREQ / m.tmp_for_aver_freq;
        if (m.SNR < 0.0f || m.SNR > 200.0f || std::isnan(m.SNR))
            m.SNR = 0.0f;
        out_list.append(e);
        schedule(e);
        if (!m.processed)
            waiting_.insert(key(m), e.mes);
    }
}

void MessageFilter::schedule(const Entry& e)
{
    const quint64 serial = next_serial_++;
    live_.insert(e.mes.data(), serial);
    // Marked once its age exceeds the window; dropped once processed and KEEP_MS old.
    events_.push(Event{e.stamp + window_ms(e.mes->bitrate) + 1, serial, e.mes.data(), Due::Window});
    events_.push(Event{e.stamp + KEEP_MS, serial, e.mes.data(), Due::Keep});
}

void MessageFilter::remove_timeout_messages(qint64 now)
{
    // Stays are ended before windows, so a record marked in this run is not dropped in it
    // (its stay ends in a later run).
    QHash<const message_point*, quint64> gone;
    std::vector<Event> later;
    std::vector<Event> windows;
    while (!events_.empty() && events_.top().at <= now) {
        const Event ev = events_.top();
        events_.pop();
        const auto it = live_.constFind(ev.mes);
        if (it == live_.constEnd() || it.value() != ev.serial)
            continue;
        if (ev.due == Due::Window) {
            windows.push_back(ev);
        } else if (ev.mes->processed) {
            gone.insert(ev.mes, ev.serial);
        } else {
            later.push_back(ev); // still waiting for copies: it goes once marked, in a later run
        }
    }
    for (const Event& ev : windows) {
        auto* m = const_cast<message_point*>(ev.mes);
        if (m->processed || gone.contains(ev.mes))
            continue;
        m->processed = true;
        for (auto w = waiting_.find(key(*m)); w != waiting_.end() && w.key() == key(*m); ++w) {
            if (w.value().data() == m) {
                waiting_.erase(w);
                break;
            }
        }
    }
    for (Event& ev : later) {
        ev.at = now;
        events_.push(ev);
    }
    if (!gone.isEmpty())
        erase_entries(gone);
}

void MessageFilter::erase_entries(QHash<const message_point*, quint64>& gone)
{
    // Only the list's reference goes: a consumer still holding the record keeps it.
    for (auto it = out_list.begin(); it != out_list.end() && !gone.isEmpty();) {
        const message_point* m = it->mes.data();
        if (gone.remove(m)) {
            live_.remove(m);
            it = out_list.erase(it);
        } else {
            ++it;
        }
    }
}
