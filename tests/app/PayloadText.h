#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// A downlink payload of n bytes 00, 01, ... and its hex text with sep between the bytes, the
// forms servers write ("0001...", "00:01:...", "00 01 ...").
inline QString payloadText(int n, const QString& sep)
{
    QStringList bytes;
    for (int i = 0; i < n; ++i)
        bytes << QStringLiteral("%1").arg(i & 0xFF, 2, 16, QLatin1Char('0'));
    return bytes.join(sep);
}

inline QByteArray payloadBytes(int n)
{
    QByteArray out;
    for (int i = 0; i < n; ++i)
        out.append(char(i & 0xFF));
    return out;
}
