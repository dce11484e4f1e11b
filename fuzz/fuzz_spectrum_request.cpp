// Spectrum requests from the network: any bytes give either no frame or a frame of exactly the
// announced length within the buffer, whatever stored spectrum they meet.
#include "SpectrumFrameBuilder.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // First two bytes: stored spectrum size (0..4095) and its level pattern.
    const quint32 stored = (quint32(data[0]) << 4 | data[1] >> 4) & 0xFFF;
    QVector<quint32> mags(static_cast<int>(stored));
    for (quint32 i = 0; i < stored; ++i)
        mags[int(i)] = (i * 2654435761u) >> (data[1] & 0x0F);
    const std::vector<float> source = SpectrumFrameBuilder::toDecibels(mags, stored, 210.0f);

    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data + 2), int(size - 2));
    _SpectrumRequest request;
    if (!SpectrumFrameBuilder::parseRequest(text, request))
        return 0;
    const QByteArray frame = SpectrumFrameBuilder::build(request, source, -140.0f);
    if (frame.isEmpty())
        return 0;
    if (!SpectrumFrameBuilder::isServable(request) || source.empty()
        || quint64(frame.size()) != SpectrumFrameBuilder::frameLength(request)
        || frame.size() > SpectrumFrameBuilder::kBufferSize)
        std::abort();
    return 0;
}
