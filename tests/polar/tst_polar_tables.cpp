// The code tables built by PolarDecoder_Simple: information and frozen positions (checked against
// the downlink encoder), per-node counts, fractions and node kinds, the generator matrix, and the
// LLR regions of the list decoder.
#include "PolarDecoder.h"
#include "PolarDecoder_Simple.h"
#include "PolarTestKit.h"

#include <QtTest>

#include <numeric>
#include <set>

using namespace polartest;

Q_DECLARE_METATYPE(std::vector<int>)

namespace {

// Inverse of the encoder's transform; the transform over GF(2) is its own inverse:
// u[p] = xor of x[q] over every q whose bits include those of p.
std::vector<uint8_t> transform(const std::vector<uint8_t>& x)
{
    std::vector<uint8_t> u(kCodedBytes, 0);
    for (int p = 0; p < kCodeBits; ++p) {
        bool v = false;
        for (int q = 0; q < kCodeBits; ++q)
            if ((q & p) == p && bit_at(x, q))
                v = !v;
        if (v)
            flip_bit(u, p);
    }
    return u;
}

// Nodes (heap numbers) whose entry is exactly 1.0.
std::vector<int> flagged(const std::vector<float>& table)
{
    std::vector<int> nodes;
    for (size_t i = 0; i < table.size(); ++i)
        if (table[i] == 1.0f)
            nodes.push_back(int(i) + 1);
    return nodes;
}

} // namespace

class TestPolarTables : public QObject
{
    Q_OBJECT

private slots:
    void positions();
    void positionsAreTheEncoders();
    void nodeCounts();
    void nodeKinds_data();
    void nodeKinds();
    void innerRates();
    void generatorMatrix();
    void levelRegions();

private:
    PolarDecoder_Simple dec;
};

void TestPolarTables::positions()
{
    const auto& info = dec.indexes();
    const auto& frozen = dec.frozen_indexes();
    QCOMPARE(info.size(), size_t(160));
    QCOMPARE(info.front(), uint16_t(31));
    QCOMPARE(info.back(), uint16_t(255));
    QCOMPARE(frozen.size(), size_t(96));
    QCOMPARE(frozen.front(), uint16_t(0));
    QCOMPARE(frozen.back(), uint16_t(192));
    QVERIFY(std::is_sorted(info.begin(), info.end()));
    QVERIFY(std::is_sorted(frozen.begin(), frozen.end()));
    std::set<int> all(info.begin(), info.end());
    all.insert(frozen.begin(), frozen.end());
    QCOMPARE(all.size(), size_t(256));
    QCOMPARE(*all.rbegin(), 255);

    const auto& zn = dec.zero_nodes();
    QCOMPARE(zn.size(), size_t(256));
    QCOMPARE(std::accumulate(zn.begin(), zn.end(), 0.0f), 96.0f);
    for (uint16_t p : frozen)
        QCOMPARE(zn[p], 1.0f);
    QCOMPARE(dec.power(), uint8_t(8));
    QCOMPARE(dec.list_size(), uint8_t(1));
}

void TestPolarTables::positionsAreTheEncoders()
{
    // A unit data word, encoded and transformed back, shows where the encoder put data bit k.
    for (int k = 0; k < 160; ++k) {
        std::vector<uint8_t> data(kDataBytes, 0);
        data[size_t(k / 8)] = uint8_t(0x80u >> (k % 8));
        const std::vector<uint8_t> u = transform(encode_word(data));
        std::vector<int> ones;
        for (int p = 0; p < kCodeBits; ++p)
            if (bit_at(u, p))
                ones.push_back(p);
        QCOMPARE(ones.size(), size_t(1));
        QCOMPARE(ones[0], int(dec.indexes()[size_t(k)]));
    }
}

void TestPolarTables::nodeCounts()
{
    const auto& ca = dec.hstack_ca();
    const auto& cp = dec.hstack_cp();
    const auto& da = dec.hstack_da();
    const auto& dp = dec.hstack_dp();
    for (const auto* t : {&ca, &cp, &da, &dp})
        QCOMPARE(t->size(), size_t(511));
    QCOMPARE(dec.hstack_cr().size(), size_t(255));
    QCOMPARE(dec.hstack_cs().size(), size_t(255));

    const std::vector<float> caHead{96, 78, 18, 54, 24, 17, 1};
    QCOMPARE(std::vector<float>(ca.begin(), ca.begin() + 7), caHead);
    QCOMPARE(std::vector<float>(cp.begin(), cp.begin() + 3), (std::vector<float>{0.375f, 0.609375f, 0.140625f}));
    QCOMPARE(std::vector<float>(da.begin(), da.begin() + 3), (std::vector<float>{160, 50, 110}));
    QCOMPARE(std::vector<float>(dp.begin(), dp.begin() + 3), (std::vector<float>{0.625f, 0.390625f, 0.859375f}));

    // Leaf level: frozen tables equal zero_nodes1, information tables its complement.
    const auto& zn = dec.zero_nodes();
    for (size_t p = 0; p < 256; ++p) {
        QCOMPARE(ca[255 + p], zn[p]);
        QCOMPARE(cp[255 + p], zn[p]);
        QCOMPARE(da[255 + p], 1.0f - zn[p]);
        QCOMPARE(dp[255 + p], 1.0f - zn[p]);
    }
    // Every inner node adds up its children, and its fractions are exact.
    for (int k = 1; k < 256; ++k) {
        QCOMPARE(ca[size_t(k - 1)], ca[size_t(2 * k - 1)] + ca[size_t(2 * k)]);
        QCOMPARE(ca[size_t(k - 1)] + da[size_t(k - 1)], float(256 >> int(std::log2(k))));
        QCOMPARE(cp[size_t(k - 1)] + dp[size_t(k - 1)], 1.0f);
    }
}

void TestPolarTables::nodeKinds_data()
{
    QTest::addColumn<bool>("repetition");
    QTest::addColumn<std::vector<int>>("nodes");
    const std::vector<int> pairs{143, 151, 155, 156, 169, 170, 172, 177, 178, 180, 195, 197, 198, 201, 202, 224};
    std::vector<int> rep{8, 17, 18, 35, 37, 38, 48, 71, 75, 77, 84, 88, 97, 98, 100};
    std::vector<int> spc{7, 14, 28, 39, 43, 45, 56, 78, 85, 86, 89, 90, 99, 101, 112};
    rep.insert(rep.end(), pairs.begin(), pairs.end());
    spc.insert(spc.end(), pairs.begin(), pairs.end());
    QTest::newRow("repetition") << true << rep;
    QTest::newRow("single parity check") << false << spc;
}

void TestPolarTables::nodeKinds()
{
    QFETCH(bool, repetition);
    QFETCH(std::vector<int>, nodes);
    const auto& table = repetition ? dec.hstack_cr() : dec.hstack_cs();
    QCOMPARE(flagged(table), nodes);
    for (float v : table)
        QVERIFY(v == 0.0f || v == 1.0f);
}

void TestPolarTables::innerRates()
{
    const auto& cp = dec.hstack_cp();
    int rate0 = 0;
    int rate1 = 0;
    for (size_t i = 0; i < 255; ++i) {
        rate0 += cp[i] == 1.0f;
        rate1 += cp[i] == 0.0f;
    }
    QCOMPARE(rate0, 61);
    QCOMPARE(rate1, 122);
    QCOMPARE(cp[15], 1.0f);  // node 16: positions 0 .. 15
    QCOMPARE(cp[7], 31.0f / 32.0f);  // node 8: positions 0 .. 31, only 31 carries data
}

void TestPolarTables::generatorMatrix()
{
    const auto& F = dec.generator();
    QCOMPARE(F.rows, size_t(256));
    QCOMPARE(F.cols, size_t(256));
    for (size_t i = 0; i < 256; ++i)
        for (size_t j = 0; j < 256; ++j) {
            const uint16_t expected = (i & j) == i ? 1 : 0;
            if (F.at(i, j) != expected)
                QFAIL(qPrintable(QString("F(%1, %2) = %3").arg(i).arg(j).arg(F.at(i, j))));
            if (j < i)
                QCOMPARE(F.at(i, j), uint16_t(0));
        }
    for (size_t j = 0; j < 256; ++j) {
        QCOMPARE(F.at(0, j), uint16_t(1));
        QCOMPARE(F.at(255, j), uint16_t(j == 255 ? 1 : 0));
        QCOMPARE(F.at(j, j), uint16_t(1));
    }
}

void TestPolarTables::levelRegions()
{
    PolarDecoder d;
    const std::vector<int16_t> llrs(256, 1);
    std::vector<std::vector<int8_t>> out;
    d.decode_polar_sc_list_rm(llrs, dec.zero_nodes(), 1, dec.hstack_ca(), dec.hstack_cp(), dec.hstack_cr(), out);
    std::vector<int> offsets;
    for (uint16_t level = 0; level <= 8; ++level)
        offsets.push_back(d.calc_offset_large_mem(level));
    QCOMPARE(offsets, (std::vector<int>{0, 256, 384, 448, 480, 496, 504, 508, 510}));
    QVERIFY(PolarDecoder::is_equal(1.0f, 1.0f + 1e-8f));
    QVERIFY(!PolarDecoder::is_equal(1.0f, 1.0f + 2.4e-7f));
}

QTEST_APPLESS_MAIN(TestPolarTables)
#include "tst_polar_tables.moc"
