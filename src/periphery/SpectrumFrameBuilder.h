#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <vector>

// One parsed spectrum request: "type/fps/count/bits/widthHz".
struct _SpectrumRequest {
    QString type;  // kept, not interpreted
    quint32 fps = 0;
    quint32 count = 0;
    quint32 bits = 0;
    quint32 widthHz = 0;
};

#pragma pack(push, 1)
// The first 9 bytes of every frame, little-endian on the wire.
struct _SpecHeader {
    quint16 length = 0;     // requested point count, low 16 bits
    quint16 bandwidth = 96;
    quint8 dbmax = 100;
    float meanNoise = 0.0f; // noise of the selected band, dB
};
#pragma pack(pop)
static_assert(sizeof(_SpecHeader) == 9, "the frame header is 9 bytes on the wire");

// Turns a stored spectrum (dB per bin, lowest to highest frequency) into the frame that spectrum
// display clients and the "spectrum" command receive. Stateless; the spectrum server adds the
// stored frames, the band selection and the pacing.
class SpectrumFrameBuilder {
public:
    static constexpr int kBufferSize = 10240;     // no frame is longer than this
    static constexpr int kHeaderSize = 9;
    static constexpr quint32 kAveragedCount = 600; // this point count averages, others pick
    static constexpr float kPlaceholder = -1000.0f;
    static constexpr float kFloorDb = -175.0f;     // lowest level the encodings express
    static constexpr float kCeilingDb = -50.0f;    // highest level the encodings express
    static constexpr quint32 kWidthBand1 = 192;
    static constexpr quint32 kWidthBand2 = 96;

    // Splits at "/" and reads fps, count, bits and widthHz as decimal unsigned numbers.
    // False for fewer than five fields or a number that does not parse.
    static bool parseRequest(const QString& text, _SpectrumRequest& request);

    // 9 + count * bits / 8, computed in 64 bits so that no request can wrap it.
    static quint64 frameLength(const _SpectrumRequest& request);

    // A request the builder can answer without dividing by zero or writing past the buffer:
    // fps above 0, 5 or 8 bits, and a frame that fits the buffer.
    static bool isServable(const _SpectrumRequest& request);

    // Magnitudes of one FFT to dB (20 log10(m + 1) - logOffset), with the two halves of the FFT
    // output swapped so that the band centre lands in the middle. Uses at most
    // min(size, magnitudes.size()) entries.
    static std::vector<float> toDecibels(const QVector<quint32>& magnitudes, quint32 size, float logOffset);

    // Resamples the stored values to `count` points: averaging for 600 points, picking otherwise.
    // Points that receive no value hold kPlaceholder (picking) or kFloorDb (averaging).
    static std::vector<float> resample(const std::vector<float>& source, quint32 count);

    // The whole frame: header plus encoded points. Empty when the request is not servable or
    // there is no stored spectrum.
    static QByteArray build(const _SpectrumRequest& request, const std::vector<float>& source, float meanNoise);

    // Encodes clamped points into `out` from byte 9 on (5 bits: groups of eight points in five
    // bytes; 8 bits: one byte per point).
    static void encode(const std::vector<float>& points, quint32 bits, QByteArray& out);

    static quint8 code8(float db);
    static quint8 code5(float db);
};
