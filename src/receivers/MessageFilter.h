#pragma once

#include "message_point.h"

#include <QList>
#include <QHash>
#include <QSharedPointer>
#include <functional>
#include <queue>
#include <vector>

// Folds the copies of one uplink message read in one pass into a single record and keeps the
// emitted records long enough to recognise late copies, then lets them go.
//
// Ages are counted on a monotonic clock (ms): a record's stamp is taken when it is decoded,
// set back by the same delay as its wall-clock time, so a step of the station clock neither
// freezes the ageing nor ends it early.
class MessageFilter
{
public:
    struct Entry {
        QSharedPointer<message_point> mes;
        qint64 stamp = 0; // monotonic ms of the estimated reception
    };

    // Processed records leave the list this long after their reception.
    static constexpr qint64 KEEP_MS = 20000;

    // Ms after which no further copies are expected (864 bit times). A bit rate without a
    // window gets the longest one, so that such records still leave the list.
    static qint64 window_ms(quint32 bitrate);
    static bool same_message(const message_point& a, const message_point& b);
    static bool is_folded(float rssi);

    // A record of the current pass.
    void add(const QSharedPointer<message_point>& mes, qint64 stamp);
    // Moves the records of the pass into out_list, dropping copies.
    void filter_messages();
    // Marks records whose window has passed as processed and drops processed records older
    // than KEEP_MS.
    void remove_timeout_messages(qint64 now);

    QList<Entry> m_list;
    QList<Entry> out_list; // read only outside the filter: its ageing keeps track of every entry

private:
    static quint64 key(const message_point& m);
    void schedule(const Entry& e);
    // Drops from out_list the records of `gone`, which lie near its front (oldest first).
    void erase_entries(QHash<const message_point*, quint64>& gone);

    // When the records of out_list next change state: the end of a record's window
    // (Window) and the end of its stay (Keep). Each pass looks only at what is due, so a
    // pass costs the same whatever the number of records of the last 20 s. An event is
    // stale when its record has left out_list (`live_` no longer holds its number).
    enum class Due { Window, Keep };
    struct Event {
        qint64 at;
        quint64 serial;
        const message_point* mes;
        Due due;
        bool operator>(const Event& o) const { return at > o.at; }
    };
    std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events_;
    QHash<const message_point*, quint64> live_; // records in out_list and their numbers
    quint64 next_serial_ = 0;
    // The records of out_list still waiting for copies, by type and id, so a new record is
    // compared only with the few that can be its copy.
    QMultiHash<quint64, QSharedPointer<message_point>> waiting_;
};
