// Noise passes over simulated spectra: warm-up, smoothing, folding into the higher bit
// rates, period averages, and the noise a message gets.
#include "NoiseLevels.h"
#include "message_point.h"

#include <QtTest>
#include <cmath>
#include <random>

namespace {

std::vector<uint8_t> spectrum(size_t bins, const std::function<uint32_t(size_t)>& word)
{
    std::vector<uint8_t> s(bins * 4);
    for (size_t i = 0; i < bins; ++i) {
        const uint32_t w = word(i);
        s[4 * i] = w & 0xFF;
        s[4 * i + 1] = (w >> 8) & 0xFF;
        s[4 * i + 2] = (w >> 16) & 0xFF;
        s[4 * i + 3] = w >> 24;
    }
    return s;
}

std::vector<uint8_t> constant(size_t bins, uint32_t magnitude)
{
    return spectrum(bins, [=](size_t) { return magnitude << 8; });
}

} // namespace

class TestNoiseLevels : public QObject
{
    Q_OBJECT

private slots:
    void constantSpectrum();
    void foldGroupsEightNeighbours();
    void periodAverageAndStateBit_data();
    void periodAverageAndStateBit();
    void band2_400AverageDoesNotOverflow();
    void band2SpectrumSizeChoosesPass();
    void messageNoise_data();
    void messageNoise();
    void warmUpEndsAtSpectrum400();
};

void TestNoiseLevels::constantSpectrum()
{
    NoiseLevels n;
    n.initNoiseLev();
    const auto s = constant(1024, 9);
    for (int i = 0; i < 410; ++i)
        n.calc_noise_levels(s, Band1);

    // P = 1 + 81 = 82, a block sums ten of them.
    for (float v : n.noise_lev50_band1.noise_lev_aver)
        QCOMPARE(v, 820.0f);
    for (float v : n.noise_lev_aver_400_band1)
        QCOMPARE(v, 8 * 820.0f);

    message_point m;
    m.bitrate = 50;
    QVERIFY(n.calcNOISE(&m, 100));
    QVERIFY(std::fabs(m.NOISE - (-190.86f)) < 0.01f);
    m.bitrate = 400;
    QVERIFY(n.calcNOISE(&m, 100));
    QVERIFY(std::fabs(m.NOISE - (-181.83f)) < 0.01f);
}

void TestNoiseLevels::foldGroupsEightNeighbours()
{
    NoiseLevels n;
    n.initNoiseLev();
    std::mt19937 rng(7);
    std::vector<uint32_t> mags(1024);
    for (auto& a : mags)
        a = rng() % 50 + 1;
    const auto s = spectrum(1024, [&](size_t i) { return mags[i] << 8; });
    for (int i = 0; i < 401; ++i)
        n.calc_noise_levels(s, Band1);

    const auto& aver = n.noise_lev50_band1.noise_lev_aver;
    for (size_t g = 0; g < 128; ++g) {
        double sum = 0;
        for (int k = -4; k < 4; ++k)
            sum += aver[(8 * g + 1024 + size_t(k)) % 1024];
        QVERIFY2(std::fabs(n.noise_lev_aver_400_band1[g] - sum) <= sum * 1e-5, qPrintable(QString::number(g)));
    }
    // Group 0 takes bins 1020..1023 and 0..3.
    double g0 = 0;
    for (size_t b : {1020, 1021, 1022, 1023, 0, 1, 2, 3})
        g0 += aver[b];
    QVERIFY(std::fabs(n.noise_lev_aver_400_band1[0] - g0) <= g0 * 1e-5);
}

void TestNoiseLevels::periodAverageAndStateBit_data()
{
    QTest::addColumn<float>("logOffset");
    QTest::addColumn<bool>("normal");
    // A constant spectrum of A = 9 gives an average of 10 log10(82) - offset.
    const float db82 = 10.0f * std::log10(82.0f);
    QTest::newRow("-140 dB is normal") << db82 + 140.0f << true;
    QTest::newRow("-120 dB is too loud") << db82 + 120.0f << false;
    QTest::newRow("-160 dB is too quiet") << db82 + 160.0f << false;
}

void TestNoiseLevels::periodAverageAndStateBit()
{
    QFETCH(float, logOffset);
    QFETCH(bool, normal);
    NoiseLevels n;
    NoiseLevels::Config c;
    c.LogOffset = logOffset;
    n.setConfig(c);
    n.initNoiseLev();
    QList<bool> verdicts;
    n.on_noise_state = [&](bool ok) { verdicts.append(ok); };
    const auto s = constant(1024, 9);
    for (int i = 0; i < 800; ++i)
        n.calc_noise_levels(s, Band1);
    // The first period ends before anything was folded up: its average is not a number one
    // can trust, and it is outside the window.
    QCOMPARE(verdicts.size(), 2);
    QCOMPARE(verdicts[0], false);
    QCOMPARE(verdicts[1], normal);
    QVERIFY(std::fabs(n.getAverNoise50Band1() - (10.0f * std::log10(82.0f) - logOffset)) < 0.01f);
}

void TestNoiseLevels::band2_400AverageDoesNotOverflow()
{
    NoiseLevels n;
    n.initNoiseLev();
    QList<bool> verdicts;
    n.on_noise_state = [&](bool ok) { verdicts.append(ok); };
    // The largest magnitude the FPGA can report.
    const auto s = spectrum(512, [](size_t) { return 0xFFFFFFFFu; });
    for (int i = 0; i < 800; ++i)
        n.calc_noise_levels(s, Band2);
    const double a = ((0xFFFFFFFFu >> 8) * 32u) / 20u;
    const double p = 1.0 + double(float(a)) * double(float(a));
    const double expected = 10.0 * std::log10(p) - 210.0;
    QVERIFY2(std::fabs(n.getAverNoise400Band2() - expected) < 0.05,
             qPrintable(QString("%1 vs %2").arg(n.getAverNoise400Band2()).arg(expected)));
    QCOMPARE(verdicts.last(), false);
}

void TestNoiseLevels::band2SpectrumSizeChoosesPass()
{
    NoiseLevels n;
    n.initNoiseLev();
    QList<QPair<uint, Bands>> frames;
    QVector<quint32> last;
    n.on_fft = [&](const QVector<quint32>& m, uint size, Bands b) {
        frames.append({size, b});
        last = m;
    };
    n.calc_noise_levels(constant(1024, 3), Band2);
    n.calc_noise_levels(spectrum(512, [](size_t i) { return uint32_t(i) << 8; }), Band2);
    n.calc_noise_levels(constant(100, 3), Band2); // neither size: ignored
    n.calc_noise_levels(constant(1024, 3), Band1);
    QCOMPARE(frames.size(), 3);
    QCOMPARE(frames[0], qMakePair(1024u, Band2));
    QCOMPARE(frames[1], qMakePair(1024u, Band2));
    QCOMPARE(frames[2], qMakePair(1024u, Band1));
    QCOMPARE(n.cnt50_band2.noise_count, 1u);
    QCOMPARE(n.cnt400_band2.noise_count, 1u);
    QCOMPARE(n.cnt50_band1.noise_count, 1u);

    // The 400 bit/s spectrum goes out with every bin twice, scaled by 32/20.
    n.calc_noise_levels(spectrum(512, [](size_t i) { return uint32_t(i) << 8; }), Band2);
    QCOMPARE(last.size(), 1024);
    for (int i = 0; i < 512; ++i) {
        QCOMPARE(last[2 * i], quint32(i * 32 / 20));
        QCOMPARE(last[2 * i + 1], quint32(i * 32 / 20));
    }
}

void TestNoiseLevels::messageNoise_data()
{
    QTest::addColumn<int>("bitrate");
    QTest::addColumn<bool>("band");
    QTest::addColumn<bool>("revLo");
    QTest::addColumn<bool>("hopping");
    QTest::addColumn<uint>("freq");
    QTest::addColumn<int>("entry"); // -1: no table
    QTest::addColumn<int>("table"); // which table holds the entry, see below

    // tables: 0 50/b1, 1 50/b2, 2 125, 3 400/b1, 4 400/b2, 5 3200/b1, 6 3200/b2, 7 25600/b1,
    // 8 25600/b2, 9 hopping 3200
    QTest::newRow("50 b1") << 50 << false << false << false << 10u << 10 << 0;
    QTest::newRow("50 b1 mirrored") << 50 << false << true << false << 0u << 1023 << 0;
    QTest::newRow("50 b1 beyond the table") << 50 << false << false << false << 5000u << 1023 << 0;
    QTest::newRow("50 b1 mirrored beyond") << 50 << false << true << false << 5000u << 0 << 0;
    QTest::newRow("50 b2") << 50 << true << false << false << 7u << 7 << 1;
    QTest::newRow("125 beyond") << 125 << false << false << false << 2048u << 2047 << 2;
    QTest::newRow("400 b1 beyond") << 400 << false << false << false << 1000u << 127 << 3;
    QTest::newRow("400 b2") << 400 << true << false << false << 500u << 500 << 4;
    QTest::newRow("3200 b1") << 3200 << false << false << false << 3u << 3 << 5;
    QTest::newRow("3200 b2 beyond") << 3200 << true << false << false << 64u << 63 << 6;
    QTest::newRow("25600 b1 beyond") << 25600 << false << false << false << 9u << 3 << 7;
    QTest::newRow("25600 b2") << 25600 << true << false << false << 5u << 5 << 8;
    QTest::newRow("3200 hopping") << 3200 << false << false << true << 20u << 15 << 9;
    QTest::newRow("3200 b2 hopping keeps its band's table") << 3200 << true << false << true << 5u << 5 << 6;
    QTest::newRow("unknown bit rate") << 0 << false << false << false << 1u << -1 << -1;
    QTest::newRow("25600 code-less rate") << 100 << false << false << false << 1u << -1 << -1;
}

void TestNoiseLevels::messageNoise()
{
    QFETCH(int, bitrate);
    QFETCH(bool, band);
    QFETCH(bool, revLo);
    QFETCH(bool, hopping);
    QFETCH(uint, freq);
    QFETCH(int, entry);
    QFETCH(int, table);

    NoiseLevels n;
    NoiseLevels::Config c;
    c.rev_lo = revLo;
    c.hopping = hopping;
    n.setConfig(c);
    n.initNoiseLev();
    std::vector<float>* tables[] = {&n.noise_lev50_band1.noise_lev_aver, &n.noise_lev50_band2.noise_lev_aver,
                                    &n.noise_lev125_band1.noise_lev_aver, &n.noise_lev_aver_400_band1,
                                    &n.noise_lev400_band2.noise_lev_aver, &n.noise_lev_aver_3200_band1,
                                    &n.noise_lev_aver_3200_band2, &n.noise_lev_aver_25600_band1,
                                    &n.noise_lev_aver_25600_band2, &n.noise_lev3200_band1.noise_lev_aver};
    // Every entry of every table holds a value of its own: 10 * (index + 1) * (table + 1).
    for (size_t t = 0; t < 10; ++t)
        for (size_t i = 0; i < tables[t]->size(); ++i)
            (*tables[t])[i] = 10.0f * float(i + 1) * float(t + 1);

    message_point m;
    m.bitrate = quint32(bitrate);
    m.band = band;
    m.NOISE = 5.0f;
    const bool ok = n.calcNOISE(&m, freq);
    if (entry < 0) {
        QVERIFY(!ok);
        QCOMPARE(m.NOISE, 0.0f);
        return;
    }
    QVERIFY(ok);
    const float v = 10.0f * float(entry + 1) * float(table + 1);
    QCOMPARE(m.NOISE, float(10.0 * std::log10(0.1f * v)) - 210.0f);
}

void TestNoiseLevels::warmUpEndsAtSpectrum400()
{
    NoiseLevels n;
    n.initNoiseLev();
    for (int i = 0; i < 399; ++i)
        n.calc_noise_levels(constant(1024, 9), Band1);
    QVERIFY(n.cnt50_band1.just_started);
    QCOMPARE(n.noise_lev_aver_400_band1[5], 0.0f);
    n.calc_noise_levels(constant(1024, 9), Band1);
    QVERIFY(!n.cnt50_band1.just_started);
    QCOMPARE(n.noise_lev_aver_400_band1[5], 0.0f);
    // From the 401st spectrum on, the smoothing and the fold run.
    n.calc_noise_levels(constant(1024, 9), Band1);
    QCOMPARE(n.noise_lev_aver_400_band1[5], 8 * 820.0f);
}

QTEST_GUILESS_MAIN(TestNoiseLevels)
#include "tst_noise_levels.moc"
