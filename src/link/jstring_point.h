#pragma once

#include <QByteArray>

#include <list>

// One record of an outgoing queue.
class jstring_point
{
public:
    enum StatusType { CREATED = 0, PUBLISHED = 1, DELIVERED = 2 };

    // A new record: the next id, CREATED, no session, stamped with `stamp_ms` (local wall
    // clock, see QueueClock::localMsecs); `born_ms` is the same moment on the monotonic clock
    // the queue ages records by.
    jstring_point(const QByteArray& text, qint64 stamp_ms, qint64 born_ms);
    // An empty record that a restore fills in (it draws an id all the same).
    jstring_point();

    quint32 id = 0;
    quint32 session_id = 0;
    StatusType status = CREATED;
    QByteArray string;
    qint64 stamp_ms = 0;     // creation time, local wall clock read as UTC (the backup's DT)

    qint64 born_ms = 0;      // monotonic time the record counts its age from
    bool in_backup = false;  // its row is still in the backup file, marked in flight

    // Place of the record in its queue: order of arrival, the last time it was published
    // (monotonic) and its node in the queue's waiting or in-flight list.
    quint64 seq = 0;
    qint64 published_ms = 0;
    bool in_flight_list = false;
    std::list<jstring_point*>::iterator pos;

    // One counter for the queues of all links.
    static quint32 get_next_id();
    // Sets the counter; it never goes down, so ids drawn earlier are never drawn again.
    static void set_id_counter(quint32 next);
    static quint32 peek_id_counter();

private:
    static quint32 id_counter;
};
