// Frame-error rates of the service decoder. Each band is five standard deviations of its run
// around a centre measured with an independent plain SC decoder, so a correct decoder passes
// with any seed. Every word carries random data: ties decided as 0 favour the all-zero word.
#include "PolarDecoder_Simple.h"
#include "PolarTestKit.h"

#include <QtTest>

using namespace polartest;

class TestPolarFer : public QObject
{
    Q_OBJECT

private slots:
    void hardDecisions_data();
    void hardDecisions();
    void softDecisions_data();
    void softDecisions();

private:
    PolarDecoder_Simple dec;
};

void TestPolarFer::hardDecisions_data()
{
    QTest::addColumn<int>("flips");       // exactly this many flipped code bits, or -1
    QTest::addColumn<double>("p");        // else each bit flipped with this probability
    QTest::addColumn<double>("lo");       // band, percent
    QTest::addColumn<double>("hi");
    for (int k = 0; k <= 3; ++k)
        QTest::newRow(qPrintable(QString("k = %1").arg(k))) << k << 0.0 << 0.0 << 0.0;
    QTest::newRow("k = 4") << 4 << 0.0 << 0.0 << 0.22;
    QTest::newRow("k = 6") << 6 << 0.0 << 0.85 << 1.71;
    QTest::newRow("k = 8") << 8 << 0.0 << 4.50 << 6.20;
    QTest::newRow("k = 10") << 10 << 0.0 << 14.55 << 17.35;
    QTest::newRow("p = 0.02") << -1 << 0.02 << 1.55 << 2.70;
    QTest::newRow("p = 0.03") << -1 << 0.03 << 8.60 << 10.80;
}

void TestPolarFer::hardDecisions()
{
    QFETCH(int, flips);
    QFETCH(double, p);
    QFETCH(double, lo);
    QFETCH(double, hi);
    Source src(uint64_t(1000 + flips * 7 + int(p * 1000)));
    const int words = 20000;
    int errors = 0;
    for (int i = 0; i < words; ++i) {
        const std::vector<uint8_t> data = src.data();
        std::vector<uint8_t> v = encode_word(data);
        if (flips >= 0) {
            for (int pos : src.positions(flips))
                flip_bit(v, pos);
        } else {
            for (int pos = 0; pos < kCodeBits; ++pos)
                if (src.uniform() < p)
                    flip_bit(v, pos);
        }
        QVERIFY(dec.decode(v));
        errors += v != data;
    }
    const double fer = 100.0 * errors / words;
    qInfo("%s: %d of %d words wrong, FER %.3f %% (band %.2f .. %.2f %%)", QTest::currentDataTag(), errors, words,
          fer, lo, hi);
    QVERIFY2(fer >= lo && fer <= hi, qPrintable(QString("FER %1 % outside %2 .. %3 %").arg(fer).arg(lo).arg(hi)));
}

void TestPolarFer::softDecisions_data()
{
    QTest::addColumn<double>("ebn0");
    QTest::addColumn<int>("words");
    QTest::addColumn<double>("lo");
    QTest::addColumn<double>("hi");
    QTest::newRow("3.0 dB") << 3.0 << 20000 << 3.20 << 4.57;
    QTest::newRow("4.0 dB") << 4.0 << 200000 << 0.18 << 0.29;
}

void TestPolarFer::softDecisions()
{
    QFETCH(double, ebn0);
    QFETCH(int, words);
    QFETCH(double, lo);
    QFETCH(double, hi);
    Source src(uint64_t(2000 + ebn0 * 10));
    int errors = 0;
    std::vector<uint8_t> out;
    for (int i = 0; i < words; ++i) {
        const std::vector<uint8_t> data = src.data();
        QVERIFY(dec.decode_llrs(awgn_llrs(encode_word(data), ebn0, src), out));
        errors += out != data;
    }
    const double fer = 100.0 * errors / words;
    qInfo("Eb/N0 %.1f dB: %d of %d words wrong, FER %.3f %% (band %.2f .. %.2f %%)", ebn0, errors, words, fer, lo,
          hi);
    QVERIFY2(fer >= lo && fer <= hi, qPrintable(QString("FER %1 % outside %2 .. %3 %").arg(fer).arg(lo).arg(hi)));
}

QTEST_APPLESS_MAIN(TestPolarFer)
#include "tst_polar_fer.moc"
