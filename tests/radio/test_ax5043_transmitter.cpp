// The AX5043 back-end on the simulated chip: power clamp and frequency correction per station
// type, the frame each phy and protocol version goes out as, the supported phys, the
// autocorrection rate, and its log lines.

#include "AX5043Transmitter.h"
#include "Ax5043Station.h"
#include "SettingsController.h"
#include "downlink_frames.h"
#include "phy_names.h"

#include <QTemporaryDir>
#include <QtTest>

using Bytes = std::vector<uint8_t>;

namespace {

struct Backend {
    explicit Backend(const QString& type)
    {
        QVERIFY(dir.isValid());
        const QString ini = dir.filePath("station.ini");
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("[BASE_STATION]\nBS_TYPE=%1\nBS_ID=1234\n").arg(type).toUtf8());
        f.close();
        settings.initController(ini);
        auto w = std::make_unique<SimPinWorker>();
        worker = w.get();
        pins = std::make_shared<Quabo_Pin_Controller>(std::move(w));
        const auto start = std::chrono::steady_clock::now();
        chip = std::make_unique<SimAx5043>(worker, [start] {
            return 50 * int64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - start).count());
        });
        worker->attach_device(CS1, chip.get());
        tx = std::make_unique<AX5043Transmitter>(settings, pins);
        tx->setLogpath(dir.filePath("dl.log"));
    }
    ~Backend()
    {
        tx.reset();
        worker->detach_device(chip.get());
        chip.reset();
    }
    QStringList log_lines() const
    {
        QFile f(dir.filePath("dl.log"));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir dir;
    SettingsController settings;
    SimPinWorker* worker = nullptr;
    std::shared_ptr<Quabo_Pin_Controller> pins;
    std::unique_ptr<SimAx5043> chip;
    std::unique_ptr<AX5043Transmitter> tx;
};

dl_message_point request(const QString& phy, quint32 ver, quint8 strength, quint32 freq = 868800000u)
{
    dl_message_point m;
    m.phy = phy;
    m.vexa_ver = ver;
    m.strength = strength;
    m.freq = freq;
    m.modem_id = 0x6E0C22;
    m.iterator = 37;
    m.f_ack = 1;
    m.preambula = 0xA1B2C3D4;
    m.crypto_iter = 7;
    m.crypto_flags = 3;
    m.crypto_mic = 0xABCDEF;
    m.payload_len = 9;
    for (int i = 0; i < 9; ++i)
        m.payload[i] = uint8_t(i + 1);
    return m;
}

uint32_t word_for(uint32_t hz)
{
    return radio_conv_freq_fromhz(int32_t(hz)) + (hz <= 800000000u ? 18 : 34);
}

} // namespace

class TestAx5043Transmitter : public QObject {
    Q_OBJECT

private slots:
    void power_clamp_data();
    void power_clamp();
    void correction_on_qorm_lte_only_data();
    void correction_on_qorm_lte_only();
    void frame_choice_data();
    void frame_choice();
    void supported_phys_data();
    void supported_phys();
    void autocorrection_rate_data();
    void autocorrection_rate();
};

void TestAx5043Transmitter::power_clamp_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("strength");
    QTest::addColumn<int>("after");
    QTest::addColumn<int>("txpwr");
    QTest::newRow("Quabo 30 -> 22") << "QUABO_TYPE" << 30 << 22 << int(rf_ax5043::power_table_864[41]);
    QTest::newRow("QORM_LTE 30 -> 26") << "QORM_LTE_TYPE" << 30 << 26 << int(rf_ax5043::power_table_864[45]);
    QTest::newRow("QORM_LTE 20 kept") << "QORM_LTE_TYPE" << 20 << 20 << int(rf_ax5043::power_table_864[39]);
    QTest::newRow("0xFB is -5 dBm") << "QUABO_TYPE" << 0xFB << 0xFB << int(rf_ax5043::power_table_864[14]);
}

void TestAx5043Transmitter::power_clamp()
{
    QFETCH(QString, type);
    QFETCH(int, strength);
    QFETCH(int, after);
    QFETCH(int, txpwr);
    Backend b(type);
    QCOMPARE(b.tx->get_max_power(), type == "QORM_LTE_TYPE" ? 26 : 22);
    dl_message_point m = request("DL_DBPSK_3200_PROT_D", 5, quint8(strength));
    QVERIFY(b.tx->sendDLMessage(&m, 0.0));
    QCOMPARE(int(m.strength), after);
    QCOMPARE(int(b.chip->packets().at(0).txpwr), txpwr);
    // The log keeps the unsigned number.
    QVERIFY2(b.log_lines().value(0).contains(QStringLiteral(" PWR:%1 ").arg(after)), qPrintable(b.log_lines().value(0)));
}

void TestAx5043Transmitter::correction_on_qorm_lte_only_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<double>("correction");
    QTest::addColumn<uint>("carrier");
    QTest::newRow("QORM_LTE -120.7") << "QORM_LTE_TYPE" << -120.7 << 868799879u;
    QTest::newRow("QORM_LTE +0.9 truncated") << "QORM_LTE_TYPE" << 0.9 << 868800000u;
    QTest::newRow("Quabo keeps the request's") << "QUABO_TYPE" << -120.7 << 868800000u;
}

void TestAx5043Transmitter::correction_on_qorm_lte_only()
{
    QFETCH(QString, type);
    QFETCH(double, correction);
    QFETCH(uint, carrier);
    Backend b(type);
    dl_message_point m = request("DL_DBPSK_25600_PROT_D", 5, 0);
    QVERIFY(b.tx->sendDLMessage(&m, correction));
    QCOMPARE(b.chip->packets().at(0).freq_word, word_for(carrier));
    // The log shows the request's own frequency.
    QVERIFY(b.log_lines().value(0).contains(" FREQ: 868800000 "));
}

void TestAx5043Transmitter::frame_choice_data()
{
    QTest::addColumn<QString>("phy");
    QTest::addColumn<int>("ver");
    QTest::addColumn<int>("frame"); // 0 PSK, 1 D v4, 2 D v5, 3 E v5
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QString>("lead");
    QTest::newRow("D 400 v5") << "DL_DBPSK_400_PROT_D" << 5 << 2 << true << " Send Zadov5 DL message by ax5043 to ID: 6E0C22 IT: 37";
    QTest::newRow("D 3200 v4") << "DL_DBPSK_3200_PROT_D" << 4 << 1 << true << " Send Zadar4 DL message by ax5043 to ID: ";
    QTest::newRow("D 3200 v3 as v4") << "DL_DBPSK_3200_PROT_D" << 3 << 1 << true << " Send Zadar4 DL message by ax5043 to ID: ";
    QTest::newRow("E 25600 v5") << "DL_DBPSK_25600_PROT_E" << 5 << 3 << true << " Send Zadov5 DL message by ax5043 to ID: ";
    QTest::newRow("PSK 5000") << "DL_PSK_5000" << 5 << 0 << true << " Send DL message by ax5043 to ID: ";
    QTest::newRow("FASTDL") << "DL_PSK_FASTDL" << 5 << 0 << true << " Send DL message by ax5043 to ID: ";
    QTest::newRow("unknown name: PSK, code 0") << "NO_SUCH_PHY" << 5 << 0 << true << " Send DL message by ax5043 to ID: ";
    QTest::newRow("protocol C refused") << "UL_DBPSK_400_PROT_C" << 5 << 0 << false << " Send DL message by ax5043 to ID: ";
}

void TestAx5043Transmitter::frame_choice()
{
    QFETCH(QString, phy);
    QFETCH(int, ver);
    QFETCH(int, frame);
    QFETCH(bool, sent);
    QFETCH(QString, lead);
    Backend b("QUABO_TYPE");
    const vexa_phy_channel_t code = vexa_fhy_from_str(phy);
    QCOMPARE(int(AX5043Transmitter::frame_for(code, quint32(ver))), frame);
    dl_message_point m = request(phy, quint32(ver), 0);
    QCOMPARE(b.tx->sendDLMessage(&m, 0.0), sent);
    const QStringList lines = b.log_lines();
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].mid(12).startsWith(lead), qPrintable(lines[0]));
    QVERIFY(lines[1].endsWith(sent ? "successful" : "failed"));
    if (!sent) {
        QVERIFY(b.chip->packets().empty());
        return;
    }
    const auto p = b.chip->packets().at(0);
    Bytes expected(DL_FRAME_SIZE);
    const uint8_t header = uint8_t(37 % 32 + 64);
    switch (frame) {
    case 0: {
        expected = {uint8_t(m.payload_len + 6), 0x6F, 0x6E, 0x0C, 0x22, header};
        expected.insert(expected.end(), m.payload, m.payload + m.payload_len);
        QCOMPARE(p.data, expected);
        QVERIFY(lines[0].endsWith(" PLD: 010203040506070809"));
        const uint32_t carrier = code == UL_PSK_FASTDL ? 869800000u : 868800000u;
        QCOMPARE(p.freq_word, word_for(carrier));
        if (code == DL_PSK_200) // the receive configuration: back to receiving afterwards
            QCOMPARE(int(b.chip->power_mode() & 0x0F), 0x09);
        return;
    }
    case 1: build_prot_d_ver4_frame(0x6E0C22, header, m.payload, m.payload[8], expected.data()); break;
    case 2: build_prot_d_ver5_frame(0xA1B2C3D4, 7, 3, m.payload, 0xABCDEF, expected.data()); break;
    case 3: build_prot_e_ver5_frame(0x6E0C22, 0xA1B2C3D4, 7, 3, m.payload, 0xABCDEF, expected.data()); break;
    }
    QCOMPARE(p.recovered, expected);
    QVERIFY(lines[0].endsWith(" PLD: 0102030405060708"));
}

void TestAx5043Transmitter::supported_phys_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("supported");
    for (const char* n : {"DL_PSK_200", "DL_PSK_500", "DL_PSK_5000", "DL_PSK_FASTDL", "DL_DBPSK_50_PROT_D",
             "DL_DBPSK_400_PROT_D", "DL_DBPSK_3200_PROT_D", "DL_DBPSK_25600_PROT_D", "DL_DBPSK_50_PROT_E",
             "DL_DBPSK_400_PROT_E", "DL_DBPSK_3200_PROT_E", "DL_DBPSK_25600_PROT_E"})
        QTest::newRow(n) << QString(n) << true;
    // The 100H modes have no name in the phy tables: such a name would read as code 0
    // (DL_PSK_200) and go out in the wrong modulation, so it is refused.
    QTest::newRow("DL_DBPSK_100H_PROT_D refused") << "DL_DBPSK_100H_PROT_D" << false;
    QTest::newRow("UL_DBPSK_400_PROT_D") << "UL_DBPSK_400_PROT_D" << false;
    QTest::newRow("unknown name refused") << "NO_SUCH_PHY" << false;
    QTest::newRow("wrong case refused") << "dl_psk_200" << false;
}

void TestAx5043Transmitter::supported_phys()
{
    QFETCH(QString, name);
    QFETCH(bool, supported);
    Backend b("QUABO_TYPE");
    QCOMPARE(b.tx->is_phy_supported(name), supported);
    QCOMPARE(b.tx->get_supported().size(), 12);
    QCOMPARE(b.tx->get_transmitter_id(), 0u);
    QVERIFY(!b.tx->isBusy());
}

void TestAx5043Transmitter::autocorrection_rate_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<double>("chip_rate");
    QTest::newRow("QORM_LTE at 50 bit/s") << "QORM_LTE_TYPE" << 200.0;
    QTest::newRow("Quabo at 400 bit/s") << "QUABO_TYPE" << 1600.0;
}

void TestAx5043Transmitter::autocorrection_rate()
{
    QFETCH(QString, type);
    QFETCH(double, chip_rate);
    Backend b(type);
    QVERIFY(b.tx->sendAutocorr(0x6E0C22, 868800000u, 10));
    const auto p = b.chip->packets().at(0);
    QVERIFY(std::abs(p.bitrate - chip_rate) < 1.0);
    Bytes expected(DL_FRAME_SIZE);
    build_autocorrection_frame(0x6E0C22, expected.data());
    QCOMPARE(p.recovered, expected);
    QCOMPARE(p.freq_word, word_for(868800000u));
    const QStringList lines = b.log_lines();
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].mid(12) == " Send autocorrection by ax5043 packet ID 6E0C22 at 868.8 MHz, 10 dBm", qPrintable(lines[0]));
    QVERIFY(lines[1].mid(12) == " Send autocorrection packet by ax5043 successful");
}

QTEST_GUILESS_MAIN(TestAx5043Transmitter)
#include "test_ax5043_transmitter.moc"
