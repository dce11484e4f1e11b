#pragma once

#include <QDateTime>

// Time source of the outgoing queues. Records are stamped with the wall clock (the stamp is
// what the backup file keeps), but they age by the monotonic clock, so a clock that jumps
// back cannot pin records in memory and one that jumps ahead cannot flush them all at once.
// Tests give the queue a clock of their own to reach the save age without waiting.
class QueueClock
{
public:
    virtual ~QueueClock();

    virtual QDateTime now() const;      // local wall-clock time
    // The same reading as milliseconds since the epoch plus the local offset from UTC (the
    // stamp's local time read as if it were UTC): what the queues stamp and age records by,
    // without a time-zone lookup per record.
    virtual qint64 localMsecs() const;
    // Milliseconds since the epoch (UTC) of now().
    virtual qint64 utcMsecs() const;
    virtual qint64 monotonicMs() const; // milliseconds on a clock that never goes back

    // The process-wide real clock.
    static QueueClock* system();
};
