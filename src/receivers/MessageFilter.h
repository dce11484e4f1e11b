#pragma once

#include "message_point.h"

#include <QList>
#include <QHash>
#include <QSharedPointer>
#include <functional>

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
    QList<Entry> out_list;

private:
    static quint64 key(const message_point& m);
    // The records of out_list still waiting for copies, by type and id, so a new record is
    // compared only with the few that can be its copy.
    QMultiHash<quint64, QSharedPointer<message_point>> waiting_;
};
