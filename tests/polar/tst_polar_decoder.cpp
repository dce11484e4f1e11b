// Decoding protocol-E code words: the list decoder walk on its own, the record decoder on fixed
// vectors, round trips through the downlink encoder, corrected bit errors, and agreement of the
// reference walk and the service path with an independently written naive decoder.
#include "PolarDecoder.h"
#include "PolarDecoder_Simple.h"
#include "PolarFastDecoder.h"
#include "PolarTestKit.h"

#include <QtTest>

using namespace polartest;

Q_DECLARE_METATYPE(std::vector<int16_t>)
Q_DECLARE_METATYPE(std::vector<uint8_t>)

namespace {

QByteArray hex(const std::vector<uint8_t>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), int(v.size())).toHex(' ');
}

// Runs the walk with list size 1 and returns the decided bits u (0 or 1).
std::vector<uint8_t> walk(PolarDecoder& d, const std::vector<int16_t>& llrs, const std::vector<float>& zero_nodes,
                          const std::vector<float>& cp, const std::vector<float>& cr)
{
    std::vector<std::vector<int8_t>> out(1);
    d.decode_polar_sc_list_rm(llrs, zero_nodes, 1, cp, cp, cr, out);
    std::vector<uint8_t> u;
    for (int8_t v : out[0])
        u.push_back(v == -1 ? 1 : 0);
    return u;
}

std::vector<uint8_t> naive_bits(const std::vector<int16_t>& llrs, const std::vector<float>& zero_nodes)
{
    std::vector<bool> frozen;
    for (float z : zero_nodes)
        frozen.push_back(z != 0.0f);
    std::vector<uint8_t> u(llrs.size(), 0);
    naive_sc(std::vector<int64_t>(llrs.begin(), llrs.end()), 0, frozen, u);
    return u;
}

} // namespace

class TestPolarDecoder : public QObject
{
    Q_OBJECT

private slots:
    void walkUnits_data();
    void walkUnits();
    void repetitionTieFeedsParent();
    void shortcutsAndWalkEnd();
    void vectors_data();
    void vectors();
    void bitOrder_data();
    void bitOrder();
    void refusedSizes_data();
    void refusedSizes();
    void roundTrips();
    void correctsFewErrors();
    void agreesWithNaiveDecoder();
    void servicePathMatchesWalk_data();
    void servicePathMatchesWalk();
    void servicePathRefusesOtherTables();

private:
    PolarDecoder_Simple dec;
};

void TestPolarDecoder::walkUnits_data()
{
    QTest::addColumn<bool>("shortcuts");
    QTest::addColumn<std::vector<int16_t>>("llrs");
    QTest::addColumn<std::vector<uint8_t>>("expected");  // empty: the naive decoder's bits

    Source src(17);
    for (int w = 0; w < 4; ++w) {
        std::vector<int16_t> soft(256);
        for (auto& v : soft)
            v = int16_t(int(src.raw() % 41) - 16);
        QTest::newRow(qPrintable(QString("plain SC, soft word %1").arg(w))) << false << soft << std::vector<uint8_t>();
    }
    QTest::newRow("plain SC, hard word") << false << hard_llrs(encode_word(src.data())) << std::vector<uint8_t>();

    // Strong LLRs for bit 1 everywhere: frozen bits stay 0, information bits follow the walk.
    std::vector<uint8_t> frozenZero(256, 2);
    for (uint16_t p : dec.frozen_indexes())
        frozenZero[p] = 0;
    QTest::newRow("frozen bits against strong LLRs")
        << true << std::vector<int16_t>(256, int16_t(-20000)) << frozenZero;
    QTest::newRow("LLR 0 decides 0") << true << std::vector<int16_t>(256, int16_t(0))
                                     << std::vector<uint8_t>(256, 0);
    QTest::newRow("LLR 0, plain SC") << false << std::vector<int16_t>(256, int16_t(0))
                                     << std::vector<uint8_t>(256, 0);
}

void TestPolarDecoder::walkUnits()
{
    QFETCH(bool, shortcuts);
    QFETCH(std::vector<int16_t>, llrs);
    QFETCH(std::vector<uint8_t>, expected);
    const std::vector<float> none_cp(511, 0.0f);
    const std::vector<float> none_cr(255, 0.0f);
    PolarDecoder d;
    const std::vector<uint8_t> u = walk(d, llrs, dec.zero_nodes(), shortcuts ? dec.hstack_cp() : none_cp,
                                        shortcuts ? dec.hstack_cr() : none_cr);
    if (!shortcuts) {
        QCOMPARE(d.last_walk().rate0, 0);
        QCOMPARE(d.last_walk().repetition, 0);
    }
    if (expected.empty())
        expected = naive_bits(llrs, dec.zero_nodes());
    QCOMPARE(u.size(), size_t(256));
    for (size_t p = 0; p < 256; ++p)
        if (expected[p] != 2 && u[p] != expected[p])
            QFAIL(qPrintable(QString("bit %1: %2, expected %3").arg(p).arg(u[p]).arg(expected[p])));
}

void TestPolarDecoder::repetitionTieFeedsParent()
{
    // A four-bit code: node 2 (bits 0, 1) is a repetition node, node 3 (bits 2, 3) carries data.
    // Its LLRs are 3 and -3, a tie: the node decides 0 and the right half is then computed with
    // partial sums +1. Partial sums of -1 or left at 0 would give other bits 2 and 3.
    const std::vector<float> zero_nodes{1, 0, 0, 0};
    const std::vector<float> cp{0.25f, 0.5f, 0, 1, 0, 0, 0};
    const std::vector<float> cr{0, 1, 0};
    const std::vector<int16_t> llrs{5, -5, 3, 3};
    PolarDecoder d;
    std::vector<std::vector<int8_t>> out(1);
    d.decode_polar_sc_list_rm(llrs, zero_nodes, 1, cp, cp, cr, out);
    QCOMPARE(d.last_walk().repetition, 1);
    QCOMPARE(out[0], (std::vector<int8_t>{1, 1, -1, -1}));
    QCOMPARE(naive_bits(llrs, zero_nodes), (std::vector<uint8_t>{0, 0, 1, 1}));

    // Not a tie: the node's LLRs 3 and -4 sum below zero, so its data bit is 1.
    d.decode_polar_sc_list_rm(std::vector<int16_t>{5, -5, 3, 4}, zero_nodes, 1, cp, cp, cr, out);
    QCOMPARE(out[0][1], int8_t(-1));
    QCOMPARE(out[0][0], int8_t(1));
}

void TestPolarDecoder::shortcutsAndWalkEnd()
{
    Source src(3);
    for (int w = 0; w < 20; ++w) {
        std::vector<uint8_t> word = encode_word(src.data());
        for (int p : src.positions(int(src.raw() % 8)))
            flip_bit(word, p);
        PolarDecoder d;
        // A row of zeros: every entry the walk writes becomes +1 or -1.
        std::vector<std::vector<int8_t>> out(1, std::vector<int8_t>(256, 0));
        d.decode_polar_sc_list_rm(hard_llrs(word), dec.zero_nodes(), 1, dec.hstack_ca(), dec.hstack_cp(),
                                  dec.hstack_cr(), out);
        QCOMPARE(d.last_walk().rate0, 4);
        QCOMPARE(d.last_walk().repetition, 16);
        QCOMPARE(d.last_walk().last_action, PolarDecoder::UR);
        QCOMPARE(d.last_walk().last_node, uint32_t(3));
        QCOMPARE(out[0].size(), size_t(256));
        for (int8_t v : out[0])
            QVERIFY(v == 1 || v == -1);
    }
    QCOMPARE(dec.rate0_nodes(), 4);
    QCOMPARE(dec.repetition_nodes(), 16);
}

void TestPolarDecoder::vectors_data()
{
    QTest::addColumn<std::vector<uint8_t>>("coded");
    QTest::addColumn<std::vector<uint8_t>>("data");
    QTest::newRow("all zero") << std::vector<uint8_t>(32, 0) << std::vector<uint8_t>(20, 0);
    std::vector<uint8_t> abcWord{0x6c, 0xc9, 0xc9, 0x9c, 0xc3, 0xcc, 0xcc, 0x33, 0x5f, 0x05, 0x05, 0xaf, 0xf0};
    abcWord.resize(32, 0);
    std::vector<uint8_t> abc{'a', 'b', 'c'};
    abc.resize(20, 0);
    QTest::newRow("abc") << abcWord << abc;
}

void TestPolarDecoder::vectors()
{
    QFETCH(std::vector<uint8_t>, coded);
    QFETCH(std::vector<uint8_t>, data);
    QCOMPARE(hex(encode_word(data)), hex(coded));

    std::vector<uint8_t> v = coded;
    v.reserve(1000);
    QVERIFY(dec.decode(v));
    QCOMPARE(v.size(), size_t(20));
    QCOMPARE(hex(v), hex(data));

    std::vector<uint8_t> r;
    QVERIFY(dec.decode_llrs_reference(hard_llrs(coded), r));
    QCOMPARE(hex(r), hex(data));
}

void TestPolarDecoder::bitOrder_data()
{
    QTest::addColumn<std::vector<uint8_t>>("coded");
    std::vector<uint8_t> w(32, 0);
    w[0] = 0x80;
    QTest::newRow("0x80: position 0") << w;
    w[0] = 0x01;
    QTest::newRow("0x01: position 7") << w;
    Source src(5);
    for (int i = 0; i < 8; ++i) {
        for (auto& b : w)
            b = uint8_t(src.raw());
        QTest::newRow(qPrintable(QString("random bytes %1").arg(i))) << w;
    }
}

void TestPolarDecoder::bitOrder()
{
    // Bit p of the coded bytes is bit 7 - p % 8 of byte p / 8 and becomes -1 at position p.
    QFETCH(std::vector<uint8_t>, coded);
    std::vector<int16_t> llrs(256);
    for (int p = 0; p < 256; ++p)
        llrs[size_t(p)] = (coded[size_t(p / 8)] >> (7 - p % 8)) & 1 ? -1 : 1;
    std::vector<uint8_t> v = coded;
    QVERIFY(dec.decode(v));
    QCOMPARE(hex(v), hex(naive_decode(llrs, dec.indexes())));
}

void TestPolarDecoder::refusedSizes_data()
{
    QTest::addColumn<int>("size");
    for (int n : {0, 1, 31, 33, 36, 256})
        QTest::newRow(qPrintable(QString::number(n))) << n;
}

void TestPolarDecoder::refusedSizes()
{
    QFETCH(int, size);
    std::vector<uint8_t> v(size_t(size), 0xA5);
    const std::vector<uint8_t> before = v;
    QVERIFY(!dec.decode(v));
    QCOMPARE(v, before);

    // decode_llrs takes exactly 256 values.
    std::vector<uint8_t> out(3, 7);
    if (size != 256) {
        QVERIFY(!dec.decode_llrs(std::vector<int16_t>(size_t(size), 1), out));
        QVERIFY(!dec.decode_llrs_reference(std::vector<int16_t>(size_t(size), 1), out));
        QCOMPARE(out, (std::vector<uint8_t>(3, 7)));
    }
    QVERIFY(!dec.decode_llrs(std::vector<int16_t>(255, 1), out));
    QVERIFY(!dec.decode_llrs(std::vector<int16_t>(257, 1), out));
    QCOMPARE(out, (std::vector<uint8_t>(3, 7)));
}

void TestPolarDecoder::roundTrips()
{
    Source src(100);
    for (int i = 0; i < 10000; ++i) {
        const std::vector<uint8_t> data = src.data();
        std::vector<uint8_t> v = encode_word(data);
        QVERIFY(dec.decode(v));
        if (v != data)
            QFAIL(qPrintable("word " + QString::number(i) + ": " + hex(data) + " came back as " + hex(v)));
    }
}

void TestPolarDecoder::correctsFewErrors()
{
    Source src(200);
    for (int w = 0; w < 16; ++w) {
        const std::vector<uint8_t> data = w == 0 ? std::vector<uint8_t>(20, 0) : src.data();
        const std::vector<uint8_t> word = encode_word(data);
        for (int p = 0; p < 256; ++p) {
            std::vector<uint8_t> v = word;
            flip_bit(v, p);
            QVERIFY(dec.decode(v));
            if (v != data)
                QFAIL(qPrintable(QString("word %1, bit %2 flipped: not corrected").arg(w).arg(p)));
            if (w >= 2)
                continue;
            for (int q = p + 1; q < 256; ++q) {
                std::vector<uint8_t> v2 = word;
                flip_bit(v2, p);
                flip_bit(v2, q);
                QVERIFY(dec.decode(v2));
                if (v2 != data)
                    QFAIL(qPrintable(QString("word %1, bits %2 and %3 flipped: not corrected").arg(w).arg(p).arg(q)));
            }
        }
    }
}

void TestPolarDecoder::agreesWithNaiveDecoder()
{
    Source src(300);
    for (int i = 0; i < 10000; ++i) {
        std::vector<uint8_t> word = encode_word(src.data());
        for (int p : src.positions(int(src.raw() % 17)))
            flip_bit(word, p);
        const std::vector<int16_t> llrs = hard_llrs(word);
        const std::vector<uint8_t> expected = naive_decode(llrs, dec.indexes());
        std::vector<uint8_t> service = word;
        std::vector<uint8_t> reference;
        QVERIFY(dec.decode(service));
        QVERIFY(dec.decode_llrs_reference(llrs, reference));
        if (service != expected || reference != expected)
            QFAIL(qPrintable(QString("word %1 (%2): naive %3, service %4, reference %5")
                                 .arg(i).arg(QString(hex(word)), QString(hex(expected)), QString(hex(service)),
                                             QString(hex(reference)))));
    }
}

void TestPolarDecoder::servicePathMatchesWalk_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<double>("ebn0");
    QTest::addColumn<int>("words");
    QTest::newRow("AWGN 0 dB") << "awgn" << 0.0 << 1500;
    QTest::newRow("AWGN 3 dB") << "awgn" << 3.0 << 1500;
    QTest::newRow("AWGN 6 dB") << "awgn" << 6.0 << 500;
    QTest::newRow("extreme values") << "extreme" << 0.0 << 2000;
    QTest::newRow("full-scale code words") << "fullscale" << 0.0 << 1000;
}

void TestPolarDecoder::servicePathMatchesWalk()
{
    // Large channel values make the path metrics exceed float's exact integers; both paths
    // must still take the same decisions.
    QFETCH(QString, kind);
    QFETCH(double, ebn0);
    QFETCH(int, words);
    Source src(400 + uint64_t(ebn0 * 10) + uint64_t(kind.size()));
    const int16_t extremes[] = {-32768, 32767, -32767, 0, 1, -1, 16384, -16384};
    for (int i = 0; i < words; ++i) {
        const std::vector<uint8_t> word = encode_word(src.data());
        std::vector<int16_t> llrs;
        if (kind == "awgn") {
            llrs = awgn_llrs(word, ebn0, src);
        } else if (kind == "extreme") {
            llrs.resize(256);
            for (auto& v : llrs) {
                const uint64_t r = src.raw();
                v = (r & 3) ? extremes[(r >> 2) % 8] : int16_t(r >> 16);
            }
        } else {
            llrs = hard_llrs(word);
            for (auto& v : llrs)
                v = int16_t(v > 0 ? 32767 : -32768);
            for (int p : src.positions(int(src.raw() % 40)))
                llrs[size_t(p)] = int16_t(src.raw() >> 48);
        }
        std::vector<uint8_t> service;
        std::vector<uint8_t> reference;
        QVERIFY(dec.decode_llrs(llrs, service));
        QVERIFY(dec.decode_llrs_reference(llrs, reference));
        QCOMPARE(service.size(), size_t(20));
        if (service != reference)
            QFAIL(qPrintable(QString("word %1: service %2, reference %3").arg(i).arg(QString(hex(service)),
                                                                                    QString(hex(reference)))));
    }
}

void TestPolarDecoder::servicePathRefusesOtherTables()
{
    // The service path is compiled for this code: tables that flag other shortcuts or frozen
    // positions would make it disagree with the walk, so they are refused.
    const auto zn = dec.zero_nodes();
    const auto cp = dec.hstack_cp();
    const auto cr = dec.hstack_cr();
    PolarFastDecoder ok(zn, cp, cr);
    QCOMPARE(ok.rate0_nodes(), 4);

    auto frozen = zn;
    frozen[255] = 1.0f;
    QVERIFY_EXCEPTION_THROWN(PolarFastDecoder(frozen, cp, cr), std::invalid_argument);
    auto noRepetition = cr;
    noRepetition[7] = 0.0f;  // node 8
    QVERIFY_EXCEPTION_THROWN(PolarFastDecoder(zn, cp, noRepetition), std::invalid_argument);
    auto noRate0 = cp;
    std::fill(noRate0.begin(), noRate0.end(), 0.0f);
    QVERIFY_EXCEPTION_THROWN(PolarFastDecoder(zn, noRate0, cr), std::invalid_argument);
    QVERIFY_EXCEPTION_THROWN(PolarFastDecoder(std::vector<float>(128, 0.0f), cp, cr), std::invalid_argument);
}

QTEST_APPLESS_MAIN(TestPolarDecoder)
#include "tst_polar_decoder.moc"
