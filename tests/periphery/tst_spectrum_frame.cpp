#include "SpectrumFrameBuilder.h"

#include "SpectrumFrameReading.h"

#include <QtTest>

#include <cmath>

namespace {

// A request at 10 frames per second, as spectrum clients send it.
_SpectrumRequest request(quint32 count, quint32 bits, quint32 widthHz)
{
    _SpectrumRequest r;
    r.fps = 10;
    r.count = count;
    r.bits = bits;
    r.widthHz = widthHz;
    return r;
}

std::vector<float> ramp(int n, float start = -170.0f, float step = 0.1f)
{
    std::vector<float> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        v[size_t(i)] = start + step * float(i);
    return v;
}

} // namespace

class TestSpectrumFrame : public QObject {
    Q_OBJECT
private slots:
    void parseRequest_data();
    void parseRequest();
    void servable_data();
    void servable();
    void codes_data();
    void codes();
    void decibelsSwapHalves();
    void decibelsOddSizeFillsEveryBin();
    void decibelsUsesNoMoreThanGiven();
    void averaging_data();
    void averaging();
    void picking();
    void pickingUpsampled();
    void frame8Bit();
    void frame5BitPacking();
    void frame5BitDropsTrailingPoints();
    void countZeroGivesHeaderOnly();
    void noSpectrumGivesEmptyFrame();
};

void TestSpectrumFrame::parseRequest_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<quint32>("fps");
    QTest::addColumn<quint32>("count");
    QTest::addColumn<quint32>("bits");
    QTest::addColumn<quint32>("width");
    QTest::newRow("plain") << "x/10/600/8/192" << true << 10u << 600u << 8u << 192u;
    QTest::newRow("any type text") << "spectrum please/1/128/5/96" << true << 1u << 128u << 5u << 96u;
    QTest::newRow("extra fields ignored") << "x/10/600/8/192/junk" << true << 10u << 600u << 8u << 192u;
    QTest::newRow("largest numbers") << "x/4294967295/4294967295/4294967295/4294967295" << true << 4294967295u
                                     << 4294967295u << 4294967295u << 4294967295u;
    QTest::newRow("four fields") << "x/10/600/8" << false << 0u << 0u << 0u << 0u;
    QTest::newRow("empty") << "" << false << 0u << 0u << 0u << 0u;
    QTest::newRow("slashes only") << "////" << false << 0u << 0u << 0u << 0u;
    QTest::newRow("fps word") << "x/ten/600/8/192" << false << 0u << 0u << 0u << 0u;
    QTest::newRow("negative count") << "x/10/-600/8/192" << false << 0u << 0u << 0u << 0u;
    QTest::newRow("too large") << "x/10/4294967296/8/192" << false << 0u << 0u << 0u << 0u;
    QTest::newRow("hex") << "x/10/0x10/8/192" << false << 0u << 0u << 0u << 0u;
    QTest::newRow("fraction") << "x/10/600/8.5/192" << false << 0u << 0u << 0u << 0u;
}

void TestSpectrumFrame::parseRequest()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    _SpectrumRequest r;
    QCOMPARE(SpectrumFrameBuilder::parseRequest(text, r), ok);
    if (!ok)
        return;
    QFETCH(quint32, fps);
    QFETCH(quint32, count);
    QFETCH(quint32, bits);
    QFETCH(quint32, width);
    QCOMPARE(r.fps, fps);
    QCOMPARE(r.count, count);
    QCOMPARE(r.bits, bits);
    QCOMPARE(r.widthHz, width);
}

void TestSpectrumFrame::servable_data()
{
    QTest::addColumn<quint32>("fps");
    QTest::addColumn<quint32>("count");
    QTest::addColumn<quint32>("bits");
    QTest::addColumn<bool>("servable");
    QTest::addColumn<quint64>("length");
    QTest::newRow("600 points 8 bit") << 10u << 600u << 8u << true << quint64(609);
    QTest::newRow("600 points 5 bit") << 10u << 600u << 5u << true << quint64(384);
    QTest::newRow("fps 0") << 0u << 600u << 8u << false << quint64(609);
    QTest::newRow("bits 0") << 10u << 600u << 0u << false << quint64(9);
    QTest::newRow("bits 7") << 10u << 600u << 7u << false << quint64(534);
    QTest::newRow("bits 16") << 10u << 600u << 16u << false << quint64(1209);
    QTest::newRow("8 bit fills buffer") << 10u << 10231u << 8u << true << quint64(10240);
    QTest::newRow("8 bit one past") << 10u << 10232u << 8u << false << quint64(10241);
    QTest::newRow("5 bit fills buffer") << 10u << 16371u << 5u << true << quint64(10240);
    QTest::newRow("5 bit one past") << 10u << 16372u << 5u << false << quint64(10241);
    // 32-bit arithmetic would wrap 4294967295 * 8 to a small length.
    QTest::newRow("count that wraps 32 bits") << 10u << 4294967295u << 8u << false << quint64(4294967295ull + 9);
    QTest::newRow("count 0") << 10u << 0u << 8u << true << quint64(9);
}

void TestSpectrumFrame::servable()
{
    QFETCH(quint32, fps);
    QFETCH(quint32, count);
    QFETCH(quint32, bits);
    QFETCH(bool, servable);
    QFETCH(quint64, length);
    _SpectrumRequest r;
    r.fps = fps;
    r.count = count;
    r.bits = bits;
    r.widthHz = 192;
    QCOMPARE(SpectrumFrameBuilder::frameLength(r), length);
    QCOMPARE(SpectrumFrameBuilder::isServable(r), servable);
    const QByteArray frame = SpectrumFrameBuilder::build(r, ramp(1024), -140.0f);
    QCOMPARE(quint64(frame.size()), servable ? length : quint64(0));
}

void TestSpectrumFrame::codes_data()
{
    QTest::addColumn<float>("db");
    QTest::addColumn<int>("code8");
    QTest::addColumn<int>("code5");
    QTest::newRow("-40 clamps to -50") << -40.0f << 255 << 31;
    QTest::newRow("-50") << -50.0f << 255 << 31;
    QTest::newRow("-112.5") << -112.5f << 127 << 15;
    QTest::newRow("-175") << -175.0f << 0 << 0;
    // Below the floor a point would wrap to a strong level (-180 gave 246); it is clamped.
    QTest::newRow("-180 clamps to -175") << -180.0f << 0 << 0;
    QTest::newRow("-300") << -300.0f << 0 << 0;
    QTest::newRow("placeholder") << SpectrumFrameBuilder::kPlaceholder << 0 << 0;
    QTest::newRow("-100") << -100.0f << 153 << 18;
}

void TestSpectrumFrame::codes()
{
    QFETCH(float, db);
    QFETCH(int, code8);
    QFETCH(int, code5);
    QCOMPARE(int(SpectrumFrameBuilder::code8(db)), code8);
    QCOMPARE(int(SpectrumFrameBuilder::code5(db)), code5);
}

void TestSpectrumFrame::decibelsSwapHalves()
{
    QVector<quint32> mags(1024, 0);
    mags[0] = 9;     // lands in the middle
    mags[512] = 99;  // lands at the start
    const std::vector<float> db = SpectrumFrameBuilder::toDecibels(mags, 1024, 210.0f);
    QCOMPARE(db.size(), size_t(1024));
    QCOMPARE(db[512], float(20.0 * std::log10(10.0) - 210.0));
    QCOMPARE(db[0], float(20.0 * std::log10(100.0) - 210.0));
    QCOMPARE(db[1], -210.0f);
    QCOMPARE(db[1023], -210.0f);
    for (float v : db)
        QVERIFY(v == -210.0f || v == -190.0f || v == -170.0f);
}

void TestSpectrumFrame::decibelsOddSizeFillsEveryBin()
{
    QVector<quint32> mags;
    for (quint32 m : {0u, 9u, 99u, 999u, 9999u})
        mags << m;
    const std::vector<float> db = SpectrumFrameBuilder::toDecibels(mags, 5, 0.0f);
    QCOMPARE(db.size(), size_t(5));
    std::vector<float> sorted = db;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(sorted, (std::vector<float>{0.0f, 20.0f, 40.0f, 60.0f, 80.0f}));
}

void TestSpectrumFrame::decibelsUsesNoMoreThanGiven()
{
    QVector<quint32> mags(16, 0);
    QCOMPARE(SpectrumFrameBuilder::toDecibels(mags, 4096, 210.0f).size(), size_t(16));
    QCOMPARE(SpectrumFrameBuilder::toDecibels(mags, 8, 210.0f).size(), size_t(8));
    QCOMPARE(SpectrumFrameBuilder::toDecibels(mags, 0, 210.0f).size(), size_t(0));
}

void TestSpectrumFrame::averaging_data()
{
    QTest::addColumn<int>("sourceSize");
    QTest::newRow("1024 values") << 1024;
    QTest::newRow("600 values") << 600;
    QTest::newRow("1200 values") << 1200;
    QTest::newRow("2048 values") << 2048;
    QTest::newRow("300 values") << 300;
    QTest::newRow("1 value") << 1;
}

void TestSpectrumFrame::averaging()
{
    QFETCH(int, sourceSize);
    const std::vector<float> source = ramp(sourceSize);
    const std::vector<float> points = SpectrumFrameBuilder::resample(source, 600);
    QCOMPARE(points.size(), size_t(600));

    // Independent reference: each point is the mean of the source values whose bin it is.
    std::vector<double> sum(600, 0.0);
    std::vector<int> n(600, 0);
    for (int k = 0; k < sourceSize; ++k) {
        const int b = int(600LL * k / sourceSize);
        sum[size_t(b)] += source[size_t(k)];
        ++n[size_t(b)];
    }
    int used = 0;
    for (int b = 0; b < 600; ++b) {
        if (n[size_t(b)] == 0) {
            QCOMPARE(points[size_t(b)], SpectrumFrameBuilder::kFloorDb);
            continue;
        }
        used += n[size_t(b)];
        QVERIFY2(std::fabs(points[size_t(b)] - float(sum[size_t(b)] / n[size_t(b)])) < 1e-3f, qPrintable(QString::number(b)));
    }
    QCOMPARE(used, sourceSize);
}

void TestSpectrumFrame::picking()
{
    const std::vector<float> source = ramp(1024);
    const std::vector<float> points = SpectrumFrameBuilder::resample(source, 256);
    QCOMPARE(points.size(), size_t(256));
    QCOMPARE(points[0], (source[0] + source[4]) / 2.0f);
    for (int i = 1; i < 256; ++i)
        QCOMPARE(points[size_t(i)], source[size_t(i) * 4]);

    const std::vector<float> one = SpectrumFrameBuilder::resample(source, 1);
    QCOMPARE(one, std::vector<float>{SpectrumFrameBuilder::kPlaceholder});
}

void TestSpectrumFrame::pickingUpsampled()
{
    const std::vector<float> source = ramp(4);
    const std::vector<float> points = SpectrumFrameBuilder::resample(source, 8);
    const float ph = SpectrumFrameBuilder::kPlaceholder;
    const std::vector<float> expected{ph,
                                      (source[1] + source[0]) / 2,
                                      source[1],
                                      (source[2] + source[1]) / 2,
                                      source[2],
                                      (source[3] + source[2]) / 2,
                                      source[3],
                                      ph};
    QCOMPARE(points, expected);
    // Placeholders that stay are sent as the floor level, never as stray bytes.
    _SpectrumRequest r = request(8, 8, 192);
    const QByteArray frame = SpectrumFrameBuilder::build(r, source, 0.0f);
    QCOMPARE(frame.size(), 17);
    QCOMPARE(frame.at(9), char(0));
    QCOMPARE(frame.at(16), char(0));
}

void TestSpectrumFrame::frame8Bit()
{
    _SpectrumRequest r = request(600, 8, 192);
    const std::vector<float> source(600, -112.5f);
    const QByteArray frame = SpectrumFrameBuilder::build(r, source, -130.5f);
    QCOMPARE(frame.size(), 609);
    QCOMPARE(uchar(frame.at(0)), uchar(600 & 0xFF));
    QCOMPARE(uchar(frame.at(1)), uchar(600 >> 8));
    QCOMPARE(uchar(frame.at(2)), uchar(96));
    QCOMPARE(uchar(frame.at(3)), uchar(0));
    QCOMPARE(uchar(frame.at(4)), uchar(100));
    QCOMPARE(frameHeaderNoise(frame), -130.5f);
    for (int i = 9; i < 609; ++i)
        QCOMPARE(uchar(frame.at(i)), uchar(127));
}

void TestSpectrumFrame::frame5BitPacking()
{
    _SpectrumRequest r = request(16, 5, 96);
    // Codes 0..15 on the first 16 points: level = -175 + code * 125 / 31 + a little.
    std::vector<float> source(16);
    for (int i = 0; i < 16; ++i)
        source[size_t(i)] = -175.0f + (float(i) + 0.5f) * 125.0f / 31.0f;
    const QByteArray frame = SpectrumFrameBuilder::build(r, source, 0.0f);
    QCOMPARE(frame.size(), 9 + 10);
    const std::vector<float> points = SpectrumFrameBuilder::resample(source, 16);
    for (int g = 0; g < 2; ++g) {
        quint64 word = 0;
        for (int b = 0; b < 5; ++b)
            word |= quint64(uchar(frame.at(9 + 5 * g + b))) << (8 * b);
        for (int k = 0; k < 8; ++k) {
            const int expected = int(SpectrumFrameBuilder::code5(points[size_t(g * 8 + k)]));
            QCOMPARE(int((word >> (5 * k)) & 31), expected);
        }
    }
    // Codes land in 5-bit slots, first point in the low bits.
    quint64 first = 0;
    for (int b = 0; b < 5; ++b)
        first |= quint64(uchar(frame.at(9 + b))) << (8 * b);
    QCOMPARE(int((first >> 5) & 31), 1);
    QCOMPARE(int((first >> 35) & 31), 7);
}

void TestSpectrumFrame::frame5BitDropsTrailingPoints()
{
    _SpectrumRequest r = request(10, 5, 192);
    const QByteArray frame = SpectrumFrameBuilder::build(r, std::vector<float>(10, -50.0f), 0.0f);
    QCOMPARE(frame.size(), 9 + 6);  // 9 + 10 * 5 / 8
    for (int i = 9; i < 14; ++i)
        QCOMPARE(uchar(frame.at(i)), uchar(0xFF));
    QCOMPARE(uchar(frame.at(14)), uchar(0));
}

void TestSpectrumFrame::countZeroGivesHeaderOnly()
{
    _SpectrumRequest r = request(0, 8, 192);
    const QByteArray frame = SpectrumFrameBuilder::build(r, ramp(1024), -141.25f);
    QCOMPARE(frame.size(), 9);
    QCOMPARE(uchar(frame.at(0)), uchar(0));
    QCOMPARE(frameHeaderNoise(frame), -141.25f);
}

void TestSpectrumFrame::noSpectrumGivesEmptyFrame()
{
    _SpectrumRequest r = request(600, 8, 192);
    QVERIFY(SpectrumFrameBuilder::build(r, {}, 0.0f).isEmpty());
}

QTEST_APPLESS_MAIN(TestSpectrumFrame)
#include "tst_spectrum_frame.moc"
