// Record parsers of both layouts against records made by the simulated FPGA's record builder.
#include "FpgaRecordBuilder.h"
#include "Message_Parser_Protocol_V1_0.h"
#include "Message_Parser_Protocol_V1_1.h"
#include "RecordDecoder.h"

#include <QtTest>
#include <memory>

using Layout = FpgaRecordBuilder::Layout;
Q_DECLARE_METATYPE(Layout)

namespace {

ParserBytes slice(const QByteArray& r, int first, int count)
{
    ParserBytes v;
    for (int i = 0; i < count; ++i)
        v.push_back(static_cast<uint8_t>(r[first + i]));
    return v;
}

std::unique_ptr<BaseMessageParser> parser_for(Layout l)
{
    if (l == Layout::V1_0)
        return std::make_unique<Message_Parser_Protocol_V1_0>();
    return std::make_unique<Message_Parser_Protocol_V1_1>();
}

FpgaRecordBuilder::Fields sample(uint8_t type)
{
    FpgaRecordBuilder::Fields f;
    f.type = type;
    f.id = type == 0x0E ? 0x8A0B0C0D : 0x9A0B0C;
    f.crypto_iter = 0x77;
    f.flags = 0x5A;
    f.payload = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xFF};
    f.crc8 = 0xC8;
    f.mic = 0xABCDEF;
    f.freq_num = 0x01C8;
    f.rotation = 0x85;
    f.rssi = 0x0102030405ull;
    f.bitrate_code = FpgaRecordBuilder::CODE_400;
    f.logs2 = 0x52;
    f.demod = 1;
    return f;
}

} // namespace

class TestMessageParsers : public QObject
{
    Q_OBJECT

private slots:
    void fields_data();
    void fields();
    void crc_data();
    void crc();
    void crcComparesUnsignedBytes();
    void typeCNeedsAll32Bits();
    void unknownTypeAndUnknownId();
    void emptyFifoRecord_data();
    void emptyFifoRecord();
};

void TestMessageParsers::fields_data()
{
    QTest::addColumn<Layout>("layout");
    QTest::addColumn<int>("type");
    // Field positions: id, flags, payload, crc (first, len), crc input length, packet length,
    // freq, crypto iterator (-1: none), mic (-1: none), crc8 (-1: none), logs2 (-1: none)
    QTest::addColumn<QVector<int>>("pos");

    QTest::newRow("1.1 C") << Layout::V1_1 << 0x0C << QVector<int>{3, 8, 9, 17, 4, 12, 16, 31, 9, 19, -1, 35};
    QTest::newRow("1.1 D") << Layout::V1_1 << 0x0D << QVector<int>{3, 8, 9, 18, 3, 13, 16, 31, 9, 19, 17, 35};
    QTest::newRow("1.1 E") << Layout::V1_1 << 0x0E << QVector<int>{4, 10, 11, 22, 3, 17, 17, 31, 9, 19, -1, 35};
    QTest::newRow("1.0 C") << Layout::V1_0 << 0x0C << QVector<int>{3, 8, 9, 17, 4, 12, 16, 23, -1, -1, -1, -1};
    QTest::newRow("1.0 D") << Layout::V1_0 << 0x0D << QVector<int>{3, 8, 9, 18, 3, 13, 16, 23, -1, -1, 17, -1};
    QTest::newRow("1.0 E") << Layout::V1_0 << 0x0E << QVector<int>{4, 9, 10, 20, 3, 15, 18, 23, -1, -1, -1, -1};
}

void TestMessageParsers::fields()
{
    QFETCH(Layout, layout);
    QFETCH(int, type);
    QFETCH(QVector<int>, pos);
    const auto f = sample(static_cast<uint8_t>(type));
    const QByteArray r = FpgaRecordBuilder::build(f, layout);
    const char* buf = r.constData();
    auto p = parser_for(layout);

    QCOMPARE(static_cast<uint8_t>(p->get_protocol_version(buf)), static_cast<uint8_t>(type));
    QCOMPARE(p->get_parameter(Protocol_Version, buf), ParserBytes{static_cast<uint8_t>(type)});
    QCOMPARE(p->get_parameter(Message_ID, buf), slice(r, 5, pos[0]));
    QCOMPARE(p->get_parameter(Flags, buf), ParserBytes{0x5A});
    QCOMPARE(p->get_parameter(Flags, buf), slice(r, pos[1], 1));
    QCOMPARE(p->get_parameter(Payload, buf), (ParserBytes{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xFF}));
    QCOMPARE(p->get_parameter(Payload, buf), slice(r, pos[2], 8));
    QCOMPARE(p->get_parameter(CRC, buf), slice(r, pos[3], pos[4]));
    QCOMPARE(p->get_parameter(Packet_Data, buf), slice(r, 5, pos[6]));
    QCOMPARE(p->get_parameter(Freq_Num, buf), (ParserBytes{0xC8, 0x01}));
    QCOMPARE(p->get_parameter(Rotation, buf), ParserBytes{0x85});
    QCOMPARE(p->get_parameter(Bitrate, buf), ParserBytes{0x04});
    QCOMPARE(p->get_parameter(RSSI, buf), (ParserBytes{0x05, 0x04, 0x03, 0x02, 0x01}));
    QCOMPARE(p->get_parameter(Demod_Method, buf), ParserBytes{0x01});
    // The 1.1 accessors of the crypto fields are not guarded by type: on C and D they read
    // whatever lies there.
    if (pos[8] < 0)
        QVERIFY(p->get_parameter(Crypto_Iter, buf).empty());
    else
        QCOMPARE(p->get_parameter(Crypto_Iter, buf), type == 0x0E ? ParserBytes{0x77} : slice(r, 9, 1));
    if (type == 0x0E && pos[9] >= 0)
        QCOMPARE(p->get_parameter(Crypto_MIC, buf), (ParserBytes{0xAB, 0xCD, 0xEF}));
    else
        QCOMPARE(p->get_parameter(Crypto_MIC, buf), pos[9] < 0 ? ParserBytes{} : slice(r, 19, 3));
    QCOMPARE(p->get_parameter(CRC_8D, buf), pos[10] < 0 ? ParserBytes{} : ParserBytes{0xC8});
    QCOMPARE(p->get_parameter(Logs2, buf), pos[11] < 0 ? ParserBytes{} : ParserBytes{0x52});

    // The stored CRC is CRC-32/BZIP2 over the CRC input, big-endian, 24 bits for D and E.
    const uint32_t crc = FpgaRecordBuilder::crc_of(r, 5, pos[5]);
    uint32_t stored = 0;
    for (uint8_t b : slice(r, pos[3], pos[4]))
        stored = (stored << 8) | b;
    QCOMPARE(stored, pos[4] == 4 ? crc : (crc & 0xFFFFFF));
    QVERIFY(p->is_crc32_of_packet_ok(buf));
}

void TestMessageParsers::crc_data()
{
    QTest::addColumn<Layout>("layout");
    QTest::addColumn<int>("type");
    for (Layout l : {Layout::V1_0, Layout::V1_1})
        for (int t : {0x0C, 0x0D, 0x0E})
            QTest::addRow("%s type %X", l == Layout::V1_0 ? "1.0" : "1.1", t) << l << t;
}

void TestMessageParsers::crc()
{
    QFETCH(Layout, layout);
    QFETCH(int, type);
    auto p = parser_for(layout);
    const auto f = sample(static_cast<uint8_t>(type));
    QVERIFY(p->is_crc32_of_packet_ok(FpgaRecordBuilder::build(f, layout, true).constData()));
    QVERIFY(!p->is_crc32_of_packet_ok(FpgaRecordBuilder::build(f, layout, false).constData()));

    // Any change of a byte the CRC covers is caught; bytes outside it are not looked at.
    QByteArray r = FpgaRecordBuilder::build(f, layout, true);
    r[12] = static_cast<char>(r[12] ^ 0x10);
    QVERIFY(!p->is_crc32_of_packet_ok(r.constData()));
    r = FpgaRecordBuilder::build(f, layout, true);
    r[30] = static_cast<char>(r[30] ^ 0x10); // RSSI
    QVERIFY(p->is_crc32_of_packet_ok(r.constData()));

    // The layouts differ for type E: a record of one layout fails the other's check.
    if (type == 0x0E) {
        auto other = parser_for(layout == Layout::V1_0 ? Layout::V1_1 : Layout::V1_0);
        QVERIFY(!other->is_crc32_of_packet_ok(FpgaRecordBuilder::build(f, layout, true).constData()));
    }
}

void TestMessageParsers::crcComparesUnsignedBytes()
{
    // Find a type D record whose correct CRC ends in 0x9A (top bit set in every stored byte
    // position is not needed; the last one is enough to catch a signed comparison).
    Message_Parser_Protocol_V1_1 p;
    auto f = sample(0x0D);
    bool found = false;
    for (uint32_t id = 0; id < 100000 && !found; ++id) {
        f.id = id;
        const QByteArray r = FpgaRecordBuilder::build(f);
        if (static_cast<uint8_t>(r[20]) == 0x9A && static_cast<uint8_t>(r[18]) >= 0x80) {
            found = true;
            QVERIFY(p.is_crc32_of_packet_ok(r.constData()));
        }
    }
    QVERIFY(found);
}

void TestMessageParsers::typeCNeedsAll32Bits()
{
    Message_Parser_Protocol_V1_1 p;
    QByteArray c = FpgaRecordBuilder::build(sample(0x0C));
    c[17] = static_cast<char>(c[17] ^ 0x80); // top byte of the 32-bit CRC
    QVERIFY(!p.is_crc32_of_packet_ok(c.constData()));
}

void TestMessageParsers::unknownTypeAndUnknownId()
{
    for (Layout l : {Layout::V1_0, Layout::V1_1}) {
        auto p = parser_for(l);
        auto f = sample(0x0B);
        const QByteArray r = FpgaRecordBuilder::build(f, l);
        QVERIFY(!p->is_crc32_of_packet_ok(r.constData()));
        QVERIFY(p->get_parameter(Packet_Data, r.constData()).empty());
        QVERIFY(p->get_parameter(CRC, r.constData()).empty());
        QVERIFY(p->get_parameter(Message_ID, r.constData()).empty());
        QVERIFY(p->get_parameter(CRC_8D, r.constData()).empty());
        QVERIFY(p->get_parameter(15, r.constData()).empty());
        QVERIFY(p->get_parameter(-1, r.constData()).empty());
        QVERIFY(p->get_parameter(Protocol_Version, nullptr).empty());
    }
}

void TestMessageParsers::emptyFifoRecord_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("no type") << 0x00;
    QTest::newRow("type D") << 0x0D;
    QTest::newRow("type E") << 0x0E;
}

void TestMessageParsers::emptyFifoRecord()
{
    QFETCH(int, type);
    QByteArray r = FpgaRecordBuilder::empty();
    r[34] = static_cast<char>(type);
    QVERIFY(RecordDecoder::is_empty_record(r.constData()));
    r[20] = 0x6E;
    QVERIFY(!RecordDecoder::is_empty_record(r.constData()));
    r[20] = 0x6F;
    r[8] = 0x00; // bytes outside 9..20 are not looked at
    r[21] = 0x00;
    QVERIFY(RecordDecoder::is_empty_record(r.constData()));
}

QTEST_GUILESS_MAIN(TestMessageParsers)
#include "tst_message_parsers.moc"
