#pragma once

#include <QString>
#include <QTime>

// Local wall-clock readings for log stamps, without asking the C library for the time zone
// on every call: the offset from UTC is read again once a second, so a time-zone or DST change
// shows within a second. Safe from any thread.
namespace LocalTime {

// Milliseconds since the epoch, local wall clock (UTC plus the current offset).
qint64 localMsecs();
QTime timeOfDay();
// "hh:mm:ss:zzz"
QString stamp();

} // namespace LocalTime
