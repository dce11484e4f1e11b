// The spidev transceiver without a spidev device: its guards and its error paths (a regular
// file refuses every spidev ioctl).

#include "CoutCapture.h"
#include "SPI_Tranciever.h"

#include <QtTest>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

int open_descriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

} // namespace

class TestSpiTranciever : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void closed_device_does_nothing();
    void open_failures_data();
    void open_failures();
    void ioctl_failures_are_reported();
    void reopen_closes_the_old_descriptor();
    void descriptor_zero_is_a_valid_device();

private:
    QTemporaryDir dir_;
    QString file_;
};

void TestSpiTranciever::initTestCase()
{
    file_ = dir_.filePath("spidev0.0");
    QFile f(file_);
    QVERIFY(f.open(QIODevice::WriteOnly));
}

void TestSpiTranciever::closed_device_does_nothing()
{
    SPI_Tranciever spi;
    CoutCapture out;
    std::vector<char> data = {1, 2, 3};
    QCOMPARE(spi.transfer_spi(data), -1);
    QCOMPARE(data, (std::vector<char>{1, 2, 3}));
    QCOMPARE(spi.write_data(data), -1);
    QCOMPARE(spi.get_speed_hz(), 0u);
    QVERIFY(!spi.set_max_speed_hz(1000000));
    uint8_t v = 7;
    QCOMPARE(spi.set_spi_mode(0), -1);
    QCOMPARE(spi.get_spi_mode(v), -1);
    QCOMPARE(spi.set_bits_per_word(8), -1);
    QCOMPARE(spi.get_bits_per_word(v), -1);
    QCOMPARE(int(v), 7);
    spi.close();
    QCOMPARE(out.text(), std::string());
}

void TestSpiTranciever::open_failures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("printed");
    QTest::newRow("empty path") << QString() << "Can't open empty port\n";
    QTest::newRow("missing device") << "/nonexistent/spidev9.9" << "Can't open port: /nonexistent/spidev9.9\n";
}

void TestSpiTranciever::open_failures()
{
    QFETCH(QString, path);
    QFETCH(QString, printed);
    SPI_Tranciever spi;
    CoutCapture out;
    QVERIFY(!spi.open(path.toStdString()));
    QVERIFY(!spi.is_open());
    QVERIFY(QString::fromStdString(out.text()).startsWith(printed));
}

void TestSpiTranciever::ioctl_failures_are_reported()
{
    SPI_Tranciever spi;
    CoutCapture out;
    QVERIFY(spi.open(file_.toStdString()));
    QVERIFY(out.text().find("Open port: " + file_.toStdString()) != std::string::npos);

    std::vector<char> empty;
    QCOMPARE(spi.transfer_spi(empty), -1);
    std::vector<char> data = {1, 2, 3};
    QVERIFY(spi.transfer_spi(data) < 0);
    QVERIFY(out.text().find("Can't transfer data. size=3") != std::string::npos);
    QVERIFY(spi.write_data(data) < 0);
    QVERIFY(out.text().find("Can't write data. size=3") != std::string::npos);
    QCOMPARE(spi.get_speed_hz(), 0u);
    QVERIFY(out.text().find("Can't read max speed hz") != std::string::npos);
    QVERIFY(!spi.set_max_speed_hz(500000));
    QVERIFY(out.text().find("Can't set max speed hz 500000") != std::string::npos);
    uint8_t v = 0;
    QVERIFY(spi.set_spi_mode(3) < 0);
    QVERIFY(out.text().find("Can't set mode for SPI: 3") != std::string::npos);
    QVERIFY(spi.get_spi_mode(v) < 0);
    QVERIFY(out.text().find("Can't get mode for SPI.") != std::string::npos);
    QVERIFY(spi.set_bits_per_word(8) < 0);
    QVERIFY(out.text().find("Can't set bits per word for SPI: 8") != std::string::npos);
    QVERIFY(spi.get_bits_per_word(v) < 0);
    QVERIFY(out.text().find("Can't get bits per word for SPI.") != std::string::npos);
}

void TestSpiTranciever::reopen_closes_the_old_descriptor()
{
    CoutCapture out;
    const int before = open_descriptors();
    {
        SPI_Tranciever spi;
        QVERIFY(spi.open(file_.toStdString()));
        QVERIFY(spi.open(file_.toStdString()));
        QVERIFY(spi.open(file_.toStdString()));
        QCOMPARE(open_descriptors(), before + 1);
        QVERIFY(!spi.open(std::string()));
        QVERIFY(!spi.is_open());
        QCOMPARE(open_descriptors(), before);
        QVERIFY(spi.open(file_.toStdString()));
    }
    QCOMPARE(open_descriptors(), before); // the destructor closes
}

void TestSpiTranciever::descriptor_zero_is_a_valid_device()
{
    const int saved = ::dup(0);
    QVERIFY(saved >= 0);
    ::close(0);
    bool was_open;
    int transfer;
    {
        CoutCapture out;
        SPI_Tranciever spi;
        const bool opened = spi.open(file_.toStdString());
        was_open = opened && spi.is_open();
        std::vector<char> data = {1};
        transfer = spi.transfer_spi(data);
        // It was really tried on the device, not refused as closed.
        was_open = was_open && out.text().find("Can't transfer data. size=1") != std::string::npos;
    }
    ::dup2(saved, 0);
    ::close(saved);
    QVERIFY(was_open);
    QVERIFY(transfer < 0);
}

QTEST_GUILESS_MAIN(TestSpiTranciever)
#include "test_spi_tranciever.moc"
