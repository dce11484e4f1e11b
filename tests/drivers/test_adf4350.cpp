// ADF4350 register words: the station's reference cases, the refusals, and a property test that
// decodes the words and checks them against the synthesizer's frequency relation.

#include "adf4350.h"

#include <QtTest>

#include <cstring>
#include <random>

namespace {

struct Decoded {
    uint32_t int_value, frac, mod, r, div_sel, band_sel;
    bool prescaler_8_9, doubler, div2;
};

Decoded decode(const uint32_t* regs)
{
    Decoded d;
    d.int_value = (regs[0] >> 15) & 0xFFFF;
    d.frac = (regs[0] >> 3) & 0xFFF;
    d.mod = (regs[1] >> 3) & 0xFFF;
    d.prescaler_8_9 = regs[1] & (1u << 27);
    d.r = (regs[2] >> 14) & 0x3FF;
    d.doubler = regs[2] & (1u << 25);
    d.div2 = regs[2] & (1u << 24);
    d.div_sel = (regs[4] >> 20) & 7;
    d.band_sel = (regs[4] >> 12) & 0xFF;
    return d;
}

uint32_t reference_gcd(uint32_t a, uint32_t b)
{
    for (uint32_t d = std::min(a, b); d > 1; --d)
        if (a % d == 0 && b % d == 0)
            return d;
    return 1;
}

} // namespace

class TestAdf4350 : public QObject {
    Q_OBJECT

private slots:
    void init_config_defaults();
    void station_words_data();
    void station_words();
    void out_of_range_data();
    void out_of_range();
    void prescaler_boundary();
    void unusable_reference_leaves_words_data();
    void unusable_reference_leaves_words();
    void band_select_clamped_data();
    void band_select_clamped();
    void gcd_data();
    void gcd();
    void words_follow_frequency_relation();
    void words_follow_relation_for_other_references();
};

void TestAdf4350::init_config_defaults()
{
    adf4350_platform_data pd;
    adf4350_state st;
    init_config(&st, &pd);
    QCOMPARE(st.pdata, &pd);
    QCOMPARE(st.clkin, 40000000u);
    QCOMPARE(st.chspc, 1000u);
    QCOMPARE(st.fpfd, 20000000u);
    QCOMPARE(int(pd.ref_div_factor), 2);
    QCOMPARE(int(pd.ref_doubler_en), 0);
    QCOMPARE(int(pd.ref_div2_en), 0);
    QCOMPARE(pd.r2_user_settings, 0x8E42u);
    QCOMPARE(pd.r3_user_settings, 0x4B3u);
    QCOMPARE(pd.r4_user_settings, 0xAA003Cu);
}

void TestAdf4350::station_words_data()
{
    QTest::addColumn<qulonglong>("freq");
    QTest::addColumn<QVector<uint>>("words");
    QTest::addColumn<qlonglong>("result");
    QTest::newRow("868.8 MHz") << 868800000ULL
        << QVector<uint>{0x01B20020, 0x00008029, 0x00028E42, 0x000004B3, 0x00A2003C, 0x00580005} << 868800000LL;
    QTest::newRow("446 MHz") << 446000000ULL
        << QVector<uint>{0x01BE0000, 0x00008009, 0x00028E42, 0x000004B3, 0x00B2003C, 0x00580005} << 446000000LL;
    QTest::newRow("lowest") << 34375000ULL
        << QVector<uint>{0x01130000, 0x00008009, 0x00028E42, 0x000004B3, 0x00E2003C, 0x00580005} << 34375000LL;
    QTest::newRow("highest") << 4400000000ULL
        << QVector<uint>{0x02260000, 0x08008009, 0x00028E42, 0x000004B3, 0x0082003C, 0x00580005} << 4400000000LL;
    QTest::newRow("truncated") << 868812345ULL
        << QVector<uint>{0x01B26588, 0x0000FD01, 0x00028E42, 0x000004B3, 0x00A2003C, 0x00580005} << 868812250LL;
}

void TestAdf4350::station_words()
{
    QFETCH(qulonglong, freq);
    QFETCH(QVector<uint>, words);
    QFETCH(qlonglong, result);
    adf4350_platform_data pd;
    adf4350_state st;
    init_config(&st, &pd);
    QCOMPARE(qlonglong(adf4350_set_freq(&st, freq)), result);
    for (int i = 0; i < 6; ++i)
        QCOMPARE(st.regs[i], uint32_t(words[i]));
    QCOMPARE(st.chspc, 1000u); // the spacing is widened on a copy only
}

void TestAdf4350::out_of_range_data()
{
    QTest::addColumn<qulonglong>("freq");
    QTest::newRow("below") << 34374999ULL;
    QTest::newRow("above") << 4400000001ULL;
    QTest::newRow("zero") << 0ULL;
    QTest::newRow("huge") << ~0ULL;
}

void TestAdf4350::out_of_range()
{
    QFETCH(qulonglong, freq);
    adf4350_platform_data pd;
    adf4350_state st;
    init_config(&st, &pd);
    for (uint32_t& r : st.regs)
        r = 0xA5A5A5A5;
    const adf4350_state before = st;
    QCOMPARE(adf4350_set_freq(&st, freq), int64_t(-1));
    QVERIFY(std::memcmp(&st, &before, sizeof(st)) == 0);
}

void TestAdf4350::prescaler_boundary()
{
    adf4350_platform_data pd;
    adf4350_state st;
    init_config(&st, &pd);
    QVERIFY(adf4350_set_freq(&st, 3000000000ULL) > 0);
    QCOMPARE(st.regs[1] & ADF4350_PRESCALER_8_9, 0u);
    QVERIFY(adf4350_set_freq(&st, 3000000001ULL) > 0);
    QCOMPARE(st.regs[1] & ADF4350_PRESCALER_8_9, ADF4350_PRESCALER_8_9);
}

void TestAdf4350::unusable_reference_leaves_words_data()
{
    QTest::addColumn<uint>("clkin");
    QTest::addColumn<uint>("chspc");
    QTest::newRow("no reference") << 0u << 1000u;
    QTest::newRow("no spacing") << 40000000u << 0u;
    QTest::newRow("reference below the divider") << 1u << 1000u;
    QTest::newRow("spacing above the phase-detector frequency") << 40000000u << 50000000u;
}

void TestAdf4350::unusable_reference_leaves_words()
{
    QFETCH(uint, clkin);
    QFETCH(uint, chspc);
    adf4350_platform_data pd;
    adf4350_state st;
    init_config(&st, &pd);
    st.clkin = clkin;
    st.chspc = chspc;
    for (uint32_t& r : st.regs)
        r = 0x5A5A5A5A;
    QCOMPARE(adf4350_set_freq(&st, 868800000ULL), int64_t(-1));
    for (uint32_t r : st.regs)
        QCOMPARE(r, 0x5A5A5A5Au);
}

void TestAdf4350::band_select_clamped_data()
{
    QTest::addColumn<uint>("clkin");
    QTest::addColumn<uint>("chspc");
    QTest::addColumn<uint>("fpfd");
    QTest::addColumn<uint>("band");
    QTest::newRow("32 MHz rounds to 256") << 64000000u << 10000u << 32000000u << 255u;
    QTest::newRow("31.9 MHz") << 63800000u << 10000u << 31900000u << 255u;
    QTest::newRow("62.5 kHz rounds down to 0") << 6250000u << 1000u << 62500u << 1u;
    QTest::newRow("62.501 kHz rounds up to 1") << 6250100u << 100u << 62501u << 1u;
    QTest::newRow("4 MHz") << 40000000u << 1000u << 4000000u << 32u;
}

void TestAdf4350::band_select_clamped()
{
    QFETCH(uint, clkin);
    QFETCH(uint, chspc);
    QFETCH(uint, fpfd);
    QFETCH(uint, band);
    adf4350_platform_data pd;
    adf4350_state st;
    init_config(&st, &pd);
    st.clkin = clkin;
    st.chspc = chspc;
    // The reference divider search starts at ref_div_factor: pick the divider that gives fpfd.
    pd.ref_div_factor = uint16_t(clkin / fpfd);
    QVERIFY(adf4350_set_freq(&st, 868800000ULL) > 0);
    QCOMPARE(st.fpfd, fpfd);
    QCOMPARE(decode(st.regs).band_sel, band);
}

void TestAdf4350::gcd_data()
{
    QTest::addColumn<uint>("a");
    QTest::addColumn<uint>("b");
    QTest::addColumn<uint>("d");
    QTest::newRow("800, 4000") << 800u << 4000u << 800u;
    QTest::newRow("3249, 4000") << 3249u << 4000u << 1u;
    QTest::newRow("equal") << 7u << 7u << 7u;
    QTest::newRow("one") << 1u << 4095u << 1u;
    QTest::newRow("2048, 4095") << 2048u << 4095u << 1u;
    QTest::newRow("1200, 4000") << 1200u << 4000u << 400u;
}

void TestAdf4350::gcd()
{
    QFETCH(uint, a);
    QFETCH(uint, b);
    QFETCH(uint, d);
    QCOMPARE(::gcd(a, b), uint32_t(d));
    QCOMPARE(::gcd(b, a), uint32_t(d));
}

// RFout = fPFD * (INT + FRAC / MOD) / 2^div, fPFD = REFin * (1 + D) / (R * (1 + T)).
void TestAdf4350::words_follow_frequency_relation()
{
    std::mt19937_64 rng(20240611);
    std::uniform_int_distribution<uint64_t> pick(ADF4350_MIN_OUT_FREQ, ADF4350_MAX_OUT_FREQ);
    adf4350_platform_data pd;
    adf4350_state st; // one state for every frequency, as the station uses it
    init_config(&st, &pd);

    for (int i = 0; i < 5000; ++i) {
        const uint64_t freq = i < 3 ? (i == 0 ? ADF4350_MIN_OUT_FREQ : i == 1 ? ADF4350_MAX_OUT_FREQ : 3000000000ULL)
                                    : pick(rng);
        const int64_t result = adf4350_set_freq(&st, freq);
        QVERIFY2(result > 0, qPrintable(QString::number(freq)));
        const Decoded d = decode(st.regs);

        const uint64_t fpfd = uint64_t(40000000) * (d.doubler ? 2 : 1) / (uint64_t(d.r) * (d.div2 ? 2 : 1));
        QCOMPARE(fpfd, uint64_t(st.fpfd));
        QVERIFY(fpfd <= ADF4350_MAX_FREQ_PFD);
        QVERIFY(d.mod >= 1 && d.mod <= ADF4350_MAX_MODULUS);
        QVERIFY(d.frac < d.mod);
        if (d.frac == 0)
            QCOMPARE(d.mod, 1u);
        else
            QCOMPARE(reference_gcd(d.frac, d.mod), 1u);
        QCOMPARE(d.prescaler_8_9, freq > 3000000000ULL);
        QVERIFY(d.int_value >= (d.prescaler_8_9 ? 75u : 23u));

        // The returned frequency is the one the words produce.
        const uint64_t produced = (uint64_t(d.int_value) * d.mod + d.frac) * fpfd / (uint64_t(d.mod) << d.div_sel);
        QCOMPARE(uint64_t(result), produced);
        // The VCO runs in its band, and the output is within one channel step below the wish.
        const uint64_t vco = (uint64_t(d.int_value) * d.mod + d.frac) * fpfd / d.mod;
        QVERIFY(vco >= ADF4350_MIN_VCO_FREQ - fpfd && vco <= ADF4350_MAX_OUT_FREQ);
        QVERIFY(uint64_t(result) <= freq);
        QVERIFY2(freq - uint64_t(result) <= 1000, qPrintable(QString::number(freq)));

        QCOMPARE(d.band_sel, 32u);
        QCOMPARE(st.regs[3], 0x4B3u);
        QCOMPARE(st.regs[5], 0x580005u);
        QCOMPARE(st.regs[4] & 0xFFF, 0x03Cu);
        QCOMPARE(st.regs[2] & 0x3FFF, 0x0E42u);
    }
}

void TestAdf4350::words_follow_relation_for_other_references()
{
    std::mt19937_64 rng(77);
    std::uniform_int_distribution<uint64_t> pick(ADF4350_MIN_OUT_FREQ, ADF4350_MAX_OUT_FREQ);
    std::uniform_int_distribution<uint32_t> ref(10000000, 250000000);
    std::uniform_int_distribution<uint32_t> spacing(200, 100000);
    for (int i = 0; i < 1000; ++i) {
        adf4350_platform_data pd;
        adf4350_state st;
        init_config(&st, &pd);
        st.clkin = ref(rng);
        st.chspc = spacing(rng);
        pd.ref_doubler_en = uint8_t(rng() & 1);
        pd.ref_div2_en = uint8_t(rng() & 1);
        pd.ref_div_factor = uint16_t(rng() % 4);
        const uint64_t freq = pick(rng);
        const int64_t result = adf4350_set_freq(&st, freq);
        QVERIFY(result > 0);
        const Decoded d = decode(st.regs);
        QCOMPARE(d.doubler, pd.ref_doubler_en != 0);
        QCOMPARE(d.div2, pd.ref_div2_en != 0);
        QVERIFY(d.r >= 1 && d.r <= ADF4350_MAX_R_CNT);
        const uint64_t fpfd = uint64_t(st.clkin) * (d.doubler ? 2 : 1) / (uint64_t(d.r) * (d.div2 ? 2 : 1));
        QCOMPARE(fpfd, uint64_t(st.fpfd));
        QVERIFY(fpfd <= ADF4350_MAX_FREQ_PFD);
        QVERIFY(d.mod >= 1 && d.frac < d.mod);
        QVERIFY(d.band_sel >= 1);
        const uint64_t produced = (uint64_t(d.int_value) * d.mod + d.frac) * fpfd / (uint64_t(d.mod) << d.div_sel);
        QCOMPARE(uint64_t(result), produced);
        QVERIFY(uint64_t(result) <= freq);
    }
}

QTEST_GUILESS_MAIN(TestAdf4350)
#include "test_adf4350.moc"
