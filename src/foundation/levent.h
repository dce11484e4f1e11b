#pragma once

#include <QString>

// Name of the station's event log, relative to the working directory.
extern const char* const fnameEventLog;

// One record for the event log, written by streaming it into any logger.
//  NOEVENT: appends "<stamp>:    <alarm>".
//  UPDATE:  renews the stamp on line 1 (the time of the last heartbeat).
//  START:   appends "<line 1>:    TOLVAR stopped" and "<now>:    TOLVAR started".
class levent {
public:
    enum EVENT { NOEVENT = 0, UPDATE = 1, START = 2 };

    levent(const QString& alarm, const QString& logpath);
    levent(EVENT event, const QString& logpath);

    QString alarm;
    QString logpath;
    EVENT event = NOEVENT;

    // Current local time as "dd.MM.yyyy hh:mm:ss.zzz" (23 characters).
    static QString stamp();

    // Writes the record to its file under the process-wide event-log mutex, whatever object
    // streams it. Failures are silent: the event log never stops the station.
    void write() const;
};
