// Finding and mapping the peripheral block: the device-tree ranges parser and both mapping
// branches (/dev/mem as root, /dev/gpiomem otherwise), on fixture files.

#include "bcm283x.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

uint32_t read_le32(const QString& path, qint64 offset)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset))
        return 0xDEADBEEF;
    QByteArray b = f.read(4);
    if (b.size() != 4)
        return 0xDEADBEEF;
    return uint32_t(uint8_t(b[0])) | uint32_t(uint8_t(b[1])) << 8 | uint32_t(uint8_t(b[2])) << 16
        | uint32_t(uint8_t(b[3])) << 24;
}

// A sparse file standing in for a memory device.
bool make_sparse(const QString& path, off_t size)
{
    int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    bool ok = ::ftruncate(fd, size) == 0;
    ::close(fd);
    return ok;
}

} // namespace

class TestBcm283xMapping : public QObject {
    Q_OBJECT

private slots:
    void cleanup();

    void parse_ranges_data();
    void parse_ranges();
    void init_refuses_bad_ranges_data();
    void init_refuses_bad_ranges();
    void init_maps_dev_mem_as_root_data();
    void init_maps_dev_mem_as_root();
    void init_maps_gpiomem_otherwise();
    void init_fails_when_device_cannot_open_data();
    void init_fails_when_device_cannot_open();
    void close_without_mapping_is_harmless();

private:
    void write_ranges(const QByteArray& bytes);
    bcm283x_system fixture_system(bool root);

    QTemporaryDir dir_;
};

void TestBcm283xMapping::cleanup()
{
    bcm283x_close();
    bcm283x_set_system(bcm283x_system());
}

void TestBcm283xMapping::write_ranges(const QByteArray& bytes)
{
    QFile f(dir_.filePath("ranges"));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

bcm283x_system TestBcm283xMapping::fixture_system(bool root)
{
    bcm283x_system sys;
    sys.ranges_path = dir_.filePath("ranges").toStdString();
    sys.mem_path = dir_.filePath("mem").toStdString();
    sys.gpiomem_path = dir_.filePath("gpiomem").toStdString();
    sys.sysfs_gpio_root = dir_.filePath("gpio").toStdString();
    sys.is_root = [root] { return root; };
    return sys;
}

void TestBcm283xMapping::parse_ranges_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<uint>("base");
    QTest::addColumn<uint>("size");

    QTest::newRow("32-bit, base 0x20000000") << hex("7E000000 20000000 01000000") << true << 0x20000000u << 0x01000000u;
    QTest::newRow("32-bit, base 0x3F000000, more ranges")
        << hex("7E000000 3F000000 01000000 40000000 40000000 00001000") << true << 0x3F000000u << 0x01000000u;
    QTest::newRow("64-bit, base 0xFE000000") << hex("7E000000 00000000 FE000000 01800000") << true << 0xFE000000u << 0x01800000u;
    QTest::newRow("64-bit with more ranges")
        << hex("7E000000 00000000 FE000000 01800000 7C000000 00000000 FC000000") << true << 0xFE000000u << 0x01800000u;
    QTest::newRow("unknown base, 32-bit") << hex("7E000000 3E000000 01000000") << false << 0u << 0u;
    QTest::newRow("unknown base, 64-bit") << hex("7E000000 00000000 40000000 01000000") << false << 0u << 0u;
    QTest::newRow("other bus address") << hex("7F000000 3F000000 01000000") << false << 0u << 0u;
    QTest::newRow("short, base only") << hex("7E000000 3F000000") << false << 0u << 0u;
    QTest::newRow("short 64-bit, no size") << hex("7E000000 00000000 FE000000") << false << 0u << 0u;
    QTest::newRow("empty") << QByteArray() << false << 0u << 0u;
}

void TestBcm283xMapping::parse_ranges()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, ok);
    QFETCH(uint, base);
    QFETCH(uint, size);
    uint32_t b = 1, s = 1;
    QCOMPARE(bcm283x_parse_ranges(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()), &b, &s), ok);
    if (ok) {
        QCOMPARE(b, base);
        QCOMPARE(s, size);
    }
}

void TestBcm283xMapping::init_refuses_bad_ranges_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("missing file") << false << QByteArray();
    QTest::newRow("unknown base") << true << hex("7E000000 3E000000 01000000");
    QTest::newRow("short file") << true << hex("7E000000 3F000000");
    QTest::newRow("empty file") << true << QByteArray();
    QTest::newRow("block too small for SPI0") << true << hex("7E000000 3F000000 00100000");
}

// Developers and CI run as root on machines that are not the board: without a usable ranges
// file nothing may be mapped, least of all /dev/mem at a guessed address.
void TestBcm283xMapping::init_refuses_bad_ranges()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, bytes);
    QFile::remove(dir_.filePath("ranges"));
    if (present)
        write_ranges(bytes);
    QVERIFY(make_sparse(dir_.filePath("mem"), 0x40000000));
    bcm283x_set_system(fixture_system(true));

    QVERIFY(!bcm283x_init());
    QVERIFY(!bcm283x_gpio_mapped());
    QVERIFY(!bcm283x_spi_mapped());
    QCOMPARE(bcm283x_st_read(), 0u);
    // Register operations stay harmless.
    bcm283x_gpio_fsel(17, BCM283x_GPIO_FSEL_OUTP);
    QCOMPARE(int(bcm283x_gpio_lev(17)), 0);
    QVERIFY(!bcm283x_spi_begin());
}

void TestBcm283xMapping::init_maps_dev_mem_as_root_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("base");
    QTest::newRow("32-bit layout") << hex("7E000000 3F000000 01000000") << 0x3F000000u;
    QTest::newRow("64-bit layout") << hex("7E000000 00000000 FE000000 01800000") << 0xFE000000u;
}

void TestBcm283xMapping::init_maps_dev_mem_as_root()
{
    QFETCH(QByteArray, bytes);
    QFETCH(uint, base);
    write_ranges(bytes);
    const QString mem = dir_.filePath("mem");
    QVERIFY(make_sparse(mem, off_t(base) + 0x01800000));
    bcm283x_set_system(fixture_system(true));

    QVERIFY(bcm283x_init());
    QCOMPARE(bcm283x_peripherals_base, uint32_t(base));
    QVERIFY(bcm283x_gpio_mapped());
    QVERIFY(bcm283x_spi_mapped());

    // The registers land at base + block + register in the mapped device.
    bcm283x_gpio_fsel(17, BCM283x_GPIO_FSEL_OUTP); // GPFSEL1, bits 21..23
    bcm283x_gpio_set(40);                          // GPSET1, bit 8
    bcm283x_gpio_clr(3);                           // GPCLR0, bit 3
    QVERIFY(bcm283x_spi_begin());
    bcm283x_spi_setClockDivider(32);
    bcm283x_close();

    const qint64 gpio = qint64(base) + BCM283x_GPIO_BASE;
    const qint64 spi = qint64(base) + BCM283x_SPI0_BASE;
    QCOMPARE(read_le32(mem, gpio + 0x20), 1u << 8);
    QCOMPARE(read_le32(mem, gpio + 0x28), 1u << 3);
    // GPIO 7..9 in GPFSEL0 and 10..11 in GPFSEL1 on alternate function 0.
    QCOMPARE(read_le32(mem, gpio + 0x00), 4u << 21 | 4u << 24 | 4u << 27);
    QCOMPARE(read_le32(mem, gpio + 0x04), 1u << 21 | 4u << 0 | 4u << 3);
    QCOMPARE(read_le32(mem, spi + 0x00), 0x30u);
    QCOMPARE(read_le32(mem, spi + 0x08), 32u);
}

void TestBcm283xMapping::init_maps_gpiomem_otherwise()
{
    write_ranges(hex("7E000000 3F000000 01000000"));
    const QString gpiomem = dir_.filePath("gpiomem");
    QVERIFY(make_sparse(gpiomem, 0x01000000));
    // /dev/mem would map too, but a user who is not root must not use it.
    QVERIFY(make_sparse(dir_.filePath("mem"), 0x40000000));
    bcm283x_set_system(fixture_system(false));

    QVERIFY(bcm283x_init());
    QVERIFY(bcm283x_gpio_mapped());
    QVERIFY(!bcm283x_spi_mapped());
    QVERIFY(!bcm283x_spi_begin());
    QCOMPARE(bcm283x_st_read(), 0u);
    bcm283x_gpio_fsel(12, BCM283x_GPIO_FSEL_OUTP);
    bcm283x_close();
    // The GPIO block starts the mapping.
    QCOMPARE(read_le32(gpiomem, 0x04), 1u << 6);
}

void TestBcm283xMapping::init_fails_when_device_cannot_open_data()
{
    QTest::addColumn<bool>("root");
    QTest::newRow("root, no /dev/mem") << true;
    QTest::newRow("user, no /dev/gpiomem") << false;
}

void TestBcm283xMapping::init_fails_when_device_cannot_open()
{
    QFETCH(bool, root);
    write_ranges(hex("7E000000 3F000000 01000000"));
    QFile::remove(dir_.filePath("mem"));
    QFile::remove(dir_.filePath("gpiomem"));
    bcm283x_set_system(fixture_system(root));
    QVERIFY(!bcm283x_init());
    QVERIFY(!bcm283x_gpio_mapped());
    QVERIFY(!bcm283x_spi_mapped());
}

void TestBcm283xMapping::close_without_mapping_is_harmless()
{
    QVERIFY(bcm283x_close());
    QVERIFY(bcm283x_close());
    QVERIFY(!bcm283x_gpio_mapped());
    bcm283x_spi_end();
}

QTEST_GUILESS_MAIN(TestBcm283xMapping)
#include "test_bcm283x_mapping.moc"
