#pragma once

#include "dl_message_point.h"

#include <QString>
#include <QTime>

// Pieces of the downlink side's log lines.

// Local time of day, "hh:mm:ss:zzz".
inline QString dl_time()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss:zzz"));
}

// A modem id in upper-case hexadecimal without leading zeros.
inline QString dl_id(quint32 id)
{
    return QString::number(id, 16).toUpper();
}

// The first 8 payload bytes in lower-case hexadecimal.
inline QString dl_payload(const dl_message_point& m)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(m.payload), 8).toHex());
}

// The request's power as the signed dBm value its byte holds.
inline int dl_power_dbm(const dl_message_point& m)
{
    return int(qint8(m.strength));
}
