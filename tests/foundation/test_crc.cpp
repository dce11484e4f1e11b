// CRC functions against catalogue check values and residues.

#include "crc.h"

#include <QtTest>

#include <random>
#include <vector>

namespace {

std::vector<unsigned char> check_string()
{
    const char* s = "123456789";
    return std::vector<unsigned char>(s, s + 9);
}

std::vector<unsigned char> random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

} // namespace

class TestCrc : public QObject {
    Q_OBJECT

private slots:
    void check_values();
    void empty_input();
    void crc16_single_byte();
    void crc32_table_entries_data();
    void crc32_table_entries();
    void residues_data();
    void residues();
    void crc32_update_is_incremental();
};

void TestCrc::check_values()
{
    auto s = check_string();
    QCOMPARE(int(CRC8(s.data(), 9)), 0xA1);                // CRC-8/MAXIM
    QCOMPARE(int(CRC16(s.data(), 9, 0xFFFF)), 0x4B37);     // CRC-16/MODBUS
    QCOMPARE(int(CRC16(s.data(), 9, 0x0000)), 0xBB3D);     // CRC-16/ARC
    QCOMPARE(CRC32(s.data(), 9), 0xFC891918u);             // CRC-32/BZIP2
}

void TestCrc::empty_input()
{
    unsigned char b = 0x55;
    QCOMPARE(int(CRC8(&b, 0)), 0);
    QCOMPARE(int(CRC16(&b, 0, 0x1234)), 0x1234);
    QCOMPARE(CRC32(&b, 0), 0u);
}

void TestCrc::crc16_single_byte()
{
    unsigned char b = 0x01;
    QCOMPARE(int(CRC16(&b, 1, 0xFFFF)), 0x807E);
}

void TestCrc::crc32_table_entries_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<uint>("entry");
    QTest::newRow("0") << 0 << 0x00000000u;
    QTest::newRow("1") << 1 << 0x04C11DB7u;
    QTest::newRow("2") << 2 << 0x09823B6Eu;
    QTest::newRow("128") << 128 << 0x690CE0EEu;
    QTest::newRow("255") << 255 << 0xB1F740B4u;
}

void TestCrc::crc32_table_entries()
{
    QFETCH(int, index);
    QFETCH(uint, entry);
    QCOMPARE(crc_table(static_cast<unsigned char>(index)), entry);
}

void TestCrc::residues_data()
{
    QTest::addColumn<int>("len");
    for (int len : {1, 9, 35, 100, 250})
        QTest::addRow("%d bytes", len) << len;
}

// A message followed by its own CRC, in the byte order of each algorithm, leaves the catalogue
// residue: a property of the polynomial, not of this implementation.
void TestCrc::residues()
{
    QFETCH(int, len);
    auto data = random_bytes(size_t(len), unsigned(len));

    auto with8 = data;
    with8.push_back(CRC8(data.data(), static_cast<unsigned char>(len)));
    QCOMPARE(int(CRC8(with8.data(), static_cast<unsigned char>(with8.size()))), 0);

    auto with16 = data;
    const unsigned short c16 = CRC16(data.data(), static_cast<unsigned short>(len), 0xFFFF);
    with16.push_back(static_cast<unsigned char>(c16 & 0xFF));
    with16.push_back(static_cast<unsigned char>(c16 >> 8));
    QCOMPARE(int(CRC16(with16.data(), static_cast<unsigned short>(with16.size()), 0xFFFF)), 0);

    auto with32 = data;
    const unsigned int c32 = CRC32(data.data(), static_cast<unsigned char>(len));
    for (int shift : {24, 16, 8, 0})
        with32.push_back(static_cast<unsigned char>(c32 >> shift));
    // CRC-32/BZIP2 residue 0xC704DD7B, seen through the final inversion.
    QCOMPARE(CRC32(with32.data(), static_cast<unsigned char>(with32.size())), ~0xC704DD7Bu);
}

void TestCrc::crc32_update_is_incremental()
{
    auto data = random_bytes(200, 5);
    const unsigned int whole = digital_update_crc32(0xFFFFFFFFu, data.data(), 200);
    const unsigned int first = digital_update_crc32(0xFFFFFFFFu, data.data(), 77);
    QCOMPARE(digital_update_crc32(first, data.data() + 77, 123), whole);
    QCOMPARE(~whole, CRC32(data.data(), 200));
}

QTEST_GUILESS_MAIN(TestCrc)
#include "test_crc.moc"
