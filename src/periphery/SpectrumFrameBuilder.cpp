#include "SpectrumFrameBuilder.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstring>

bool SpectrumFrameBuilder::parseRequest(const QString& text, _SpectrumRequest& request)
{
    const QStringList fields = text.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    if (fields.size() < 5)
        return false;
    _SpectrumRequest r;
    r.type = fields.at(0);
    quint32* const targets[] = {&r.fps, &r.count, &r.bits, &r.widthHz};
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        *targets[i] = fields.at(i + 1).toUInt(&ok, 10);
        if (!ok)
            return false;
    }
    request = r;
    return true;
}

quint64 SpectrumFrameBuilder::frameLength(const _SpectrumRequest& request)
{
    return kHeaderSize + quint64(request.count) * quint64(request.bits) / 8u;
}

bool SpectrumFrameBuilder::isServable(const _SpectrumRequest& request)
{
    if (request.fps == 0)
        return false;
    if (request.bits != 5 && request.bits != 8)
        return false;
    return frameLength(request) <= quint64(kBufferSize);
}

std::vector<float> SpectrumFrameBuilder::toDecibels(const QVector<quint32>& magnitudes, quint32 size, float logOffset)
{
    const quint32 n = std::min<quint32>(size, quint32(magnitudes.size()));
    std::vector<float> db(n, kFloorDb);
    const quint32 half = n / 2;
    for (quint32 i = 0; i < n; ++i) {
        const double value = 20.0 * std::log10(double(magnitudes.at(int(i))) + 1.0) - double(logOffset);
        // A rotation by half the length: for even sizes the two halves swap; an odd size still
        // lands every bin exactly once.
        db[(i + half) % n] = float(value);
    }
    return db;
}

std::vector<float> SpectrumFrameBuilder::resample(const std::vector<float>& source, quint32 count)
{
    const quint64 s = source.size();
    if (s == 0 || count == 0)
        return std::vector<float>(count, kFloorDb);

    if (count == kAveragedCount) {
        std::vector<float> points(count, kFloorDb);
        quint64 bin = 0;
        double sum = 0.0;
        quint64 n = 0;
        for (quint64 k = 0; k < s; ++k) {
            const quint64 b = quint64(kAveragedCount) * k / s;
            if (b != bin && n > 0) {
                points[bin] = float(sum / double(n));
                sum = 0.0;
                n = 0;
            }
            bin = b;
            sum += source[k];
            ++n;
        }
        if (n > 0)
            points[bin] = float(sum / double(n));
        return points;
    }

    std::vector<float> points(count, kPlaceholder);
    std::vector<bool> placeholder(count, true);
    quint64 previousJ = 0;
    float last = source[0];
    for (quint64 i = 0; i < count; ++i) {
        const quint64 j = i * s / count;
        if (j == previousJ)
            continue;
        points[i] = source[j];
        placeholder[i] = false;
        if (i > 0 && placeholder[i - 1]) {
            points[i - 1] = (points[i] + last) / 2.0f;
            placeholder[i - 1] = false;
        }
        last = points[i];
        previousJ = j;
    }
    return points;
}

quint8 SpectrumFrameBuilder::code8(float db)
{
    const float p = std::clamp(db, kFloorDb, kCeilingDb);
    return quint8(int(255.0f * (p - kFloorDb) / 125.0f) & 0xFF);
}

quint8 SpectrumFrameBuilder::code5(float db)
{
    const float p = std::clamp(db, kFloorDb, kCeilingDb);
    return quint8(int(31.0f * (p - kFloorDb) / 125.0f) & 31);
}

void SpectrumFrameBuilder::encode(const std::vector<float>& points, quint32 bits, QByteArray& out)
{
    char* const data = out.data();
    const quint64 room = quint64(out.size());
    if (bits == 5) {
        const quint64 groups = points.size() / 8;
        for (quint64 g = 0; g < groups; ++g) {
            quint64 word = 0;
            for (int k = 0; k < 8; ++k)
                word |= quint64(code5(points[g * 8 + quint64(k)])) << (5 * k);
            const quint64 at = kHeaderSize + 5 * g;
            for (int b = 0; b < 5 && at + quint64(b) < room; ++b)
                data[at + quint64(b)] = char((word >> (8 * b)) & 0xFF);
        }
        return;
    }
    for (quint64 i = 0; i < points.size() && kHeaderSize + i < room; ++i)
        data[kHeaderSize + i] = char(code8(points[i]));
}

QByteArray SpectrumFrameBuilder::build(const _SpectrumRequest& request, const std::vector<float>& source, float meanNoise)
{
    if (!isServable(request) || source.empty())
        return QByteArray();

    QByteArray frame(int(frameLength(request)), '\0');
    _SpecHeader header;
    header.length = quint16(request.count & 0xFFFF);
    header.meanNoise = meanNoise;
    uchar* const h = reinterpret_cast<uchar*>(frame.data());
    h[0] = uchar(header.length & 0xFF);
    h[1] = uchar(header.length >> 8);
    h[2] = uchar(header.bandwidth & 0xFF);
    h[3] = uchar(header.bandwidth >> 8);
    h[4] = header.dbmax;
    quint32 noiseBits = 0;
    std::memcpy(&noiseBits, &header.meanNoise, sizeof noiseBits);
    for (int b = 0; b < 4; ++b)
        h[5 + b] = uchar((noiseBits >> (8 * b)) & 0xFF);

    encode(resample(source, request.count), request.bits, frame);
    return frame;
}
