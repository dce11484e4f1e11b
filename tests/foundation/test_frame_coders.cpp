// Downlink coders: the worked examples, linearity, and the polar code's structure checked
// with an independent statement of the transform.

#include "frame_coders.h"

#include <QtTest>

#include <array>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes from_hex(const char* text)
{
    QByteArray b = QByteArray::fromHex(QByteArray(text).replace(' ', ""));
    return Bytes(b.begin(), b.end());
}

Bytes random_bytes(size_t n, std::mt19937& rng)
{
    Bytes v(n);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

Bytes xor_of(const Bytes& a, const Bytes& b)
{
    Bytes r(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        r[i] = static_cast<unsigned char>(a[i] ^ b[i]);
    return r;
}

Bytes zcode(const Bytes& in, unsigned flag)
{
    Bytes out(16);
    ZCODE_Append(in.data(), out.data(), flag);
    return out;
}

Bytes polar(const Bytes& in)
{
    Bytes out(32);
    encode(8, in.data(), out.data());
    return out;
}

int bit(const Bytes& b, unsigned p)
{
    return (b[p / 8] >> (7 - p % 8)) & 1;
}

// The information positions, written out from their ranges.
std::vector<unsigned> info_positions()
{
    std::vector<unsigned> pos = {31, 47, 55};
    auto range = [&pos](unsigned a, unsigned b) {
        for (unsigned p = a; p <= b; ++p)
            pos.push_back(p);
    };
    range(57, 63);
    range(78, 79);
    pos.push_back(83);
    range(85, 87);
    range(89, 95);
    pos.push_back(99);
    range(101, 103);
    range(105, 127);
    pos.push_back(135);
    pos.push_back(139);
    range(141, 143);
    pos.push_back(147);
    range(149, 159);
    range(162, 191);
    range(193, 255);
    return pos;
}

// x = u * F^(x)8 with F = [[1,0],[1,1]]: x_j is the XOR of u_i over every i whose bits include j's.
Bytes polar_transform(const Bytes& u)
{
    Bytes x(32, 0);
    for (unsigned j = 0; j < 256; ++j) {
        int v = 0;
        for (unsigned i = 0; i < 256; ++i)
            if ((i & j) == j)
                v ^= bit(u, i);
        if (v)
            x[j / 8] = static_cast<unsigned char>(x[j / 8] | (0x80u >> (j % 8)));
    }
    return x;
}

} // namespace

class TestFrameCoders : public QObject {
    Q_OBJECT

private slots:
    void zcode_examples_data();
    void zcode_examples();
    void polar_examples_data();
    void polar_examples();
    void both_coders_are_linear();
    void polar_word_carries_data_on_information_positions();
};

void TestFrameCoders::zcode_examples_data()
{
    QTest::addColumn<Bytes>("in");
    QTest::addColumn<uint>("flag");
    QTest::addColumn<Bytes>("out");
    const Bytes zero(16, 0);
    Bytes bit0(16, 0);
    bit0[0] = 0x80;
    QTest::newRow("zero, flag 0") << zero << 0u << Bytes(16, 0);
    QTest::newRow("zero, flag 1") << zero << 1u << Bytes(16, 0);
    QTest::newRow("data bit 0, flag 0") << bit0 << 0u << from_hex("55 5F FF FF FF FF FF FF AA AA AA AA AA AA BF FF");
    QTest::newRow("data bit 0, flag 1") << bit0 << 1u << from_hex("AA AF FF FF FF FF FF FF 55 55 55 55 55 55 5F FF");
    QTest::newRow("data bit 0, flag 7") << bit0 << 7u << from_hex("AA AF FF FF FF FF FF FF 55 55 55 55 55 55 5F FF");
}

void TestFrameCoders::zcode_examples()
{
    QFETCH(Bytes, in);
    QFETCH(uint, flag);
    QFETCH(Bytes, out);
    QCOMPARE(zcode(in, flag), out);
}

void TestFrameCoders::polar_examples_data()
{
    QTest::addColumn<Bytes>("in");
    QTest::addColumn<Bytes>("out");
    Bytes first(20, 0), last(20, 0);
    first[0] = 0x80;
    last[19] = 0x01;
    Bytes first_out(32, 0);
    for (int i = 0; i < 4; ++i)
        first_out[size_t(i)] = 0xFF;
    QTest::newRow("zero") << Bytes(20, 0) << Bytes(32, 0);
    QTest::newRow("data bit 0") << first << first_out;
    QTest::newRow("data bit 159") << last << Bytes(32, 0xFF);
}

void TestFrameCoders::polar_examples()
{
    QFETCH(Bytes, in);
    QFETCH(Bytes, out);
    QCOMPARE(polar(in), out);
}

void TestFrameCoders::both_coders_are_linear()
{
    std::mt19937 rng(11);
    for (int i = 0; i < 200; ++i) {
        const Bytes a = random_bytes(16, rng), b = random_bytes(16, rng);
        for (unsigned flag : {0u, 1u})
            QCOMPARE(zcode(xor_of(a, b), flag), xor_of(zcode(a, flag), zcode(b, flag)));
        const Bytes c = random_bytes(20, rng), d = random_bytes(20, rng);
        QCOMPARE(polar(xor_of(c, d)), xor_of(polar(c), polar(d)));
    }
}

// The transform is its own inverse: transforming the code word again gives the placed data
// word back, with the data bits in order on the information positions and 0 everywhere else.
void TestFrameCoders::polar_word_carries_data_on_information_positions()
{
    const std::vector<unsigned> positions = info_positions();
    QCOMPARE(int(positions.size()), 160);
    std::array<bool, 256> is_info{};
    for (unsigned p : positions)
        is_info[p] = true;

    std::mt19937 rng(3);
    for (int i = 0; i < 50; ++i) {
        const Bytes data = random_bytes(20, rng);
        const Bytes code = polar(data);
        const Bytes u = polar_transform(code);
        for (unsigned k = 0; k < 160; ++k)
            QCOMPARE(bit(u, positions[k]), bit(data, k));
        for (unsigned p = 0; p < 256; ++p)
            if (!is_info[p])
                QCOMPARE(bit(u, p), 0);
        QCOMPARE(polar_transform(u), code);
    }
}

QTEST_GUILESS_MAIN(TestFrameCoders)
#include "test_frame_coders.moc"
