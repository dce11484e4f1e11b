#pragma once

#include <QByteArray>

#include <cstring>

// The band noise a spectrum frame carries in header bytes 5..8 (a little-endian float).
inline float frameHeaderNoise(const QByteArray& frame)
{
    quint32 bits = 0;
    for (int b = 0; b < 4; ++b)
        bits |= quint32(uchar(frame.at(5 + b))) << (8 * b);
    float f = 0;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
