// Phy names to codes, and codes to bit rates.

#include "phy_names.h"

#include <QtTest>

class TestPhyNames : public QObject {
    Q_OBJECT

private slots:
    void names_data();
    void names();
    void bitrates_data();
    void bitrates();
};

void TestPhyNames::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("sent_as");
    QTest::addColumn<int>("own");
    QTest::addColumn<bool>("known");
    struct Row {
        const char* name;
        int sent_as;
        int own;
    };
    const Row rows[] = {
        {"DL_PSK_200", 22, 0}, {"DL_PSK_500", 25, 1}, {"DL_PSK_5000", 27, 2}, {"DL_PSK_FASTDL", 29, 3},
        {"DL_DBPSK_50_PROT_D", 21, 10}, {"DL_DBPSK_50_PROT_E", 30, 14},
        {"DL_DBPSK_400_PROT_D", 24, 11}, {"DL_DBPSK_400_PROT_E", 31, 15},
        {"DL_DBPSK_3200_PROT_D", 26, 12}, {"DL_DBPSK_3200_PROT_E", 32, 16},
        {"DL_DBPSK_25600_PROT_D", 28, 13}, {"DL_DBPSK_25600_PROT_E", 33, 17},
        {"UL_DBPSK_50_PROT_C", 20, 20}, {"UL_DBPSK_50_PROT_D", 21, 21}, {"UL_DBPSK_50_PROT_E", 30, 30},
        {"UL_PSK_200", 22, 22}, {"UL_DBPSK_400_PROT_C", 23, 23}, {"UL_DBPSK_400_PROT_D", 24, 24},
        {"UL_DBPSK_400_PROT_E", 31, 31}, {"UL_PSK_500", 25, 25}, {"UL_DBPSK_3200_PROT_D", 26, 26},
        {"UL_DBPSK_3200_PROT_E", 32, 32}, {"UL_PSK_5000", 27, 27}, {"UL_DBPSK_25600_PROT_D", 28, 28},
        {"UL_DBPSK_25600_PROT_E", 33, 33}, {"UL_PSK_FASTDL", 29, 29}, {"UL_CARRIER", 50, 50},
    };
    for (const Row& r : rows)
        QTest::newRow(r.name) << QString(r.name) << r.sent_as << r.own << true;
    // Unknown names keep 0, which callers cannot tell from "DL_PSK_200" without the check.
    for (const char* name : {"", "dl_psk_200", "DL_PSK_200 ", " UL_CARRIER", "DL_DBPSK_100H_PROT_D",
             "UL_DBPSK_100H_PROT_D", "UL_DBPSK_100H_PROT_E", "OSC_CAL", "DL_PSK", "garbage"})
        QTest::newRow(qPrintable(QString("unknown '%1'").arg(name))) << QString(name) << 0 << 0 << false;
}

void TestPhyNames::names()
{
    QFETCH(QString, name);
    QFETCH(int, sent_as);
    QFETCH(int, own);
    QFETCH(bool, known);
    QCOMPARE(int(vexa_fhy_from_str(name)), sent_as);
    QCOMPARE(int(vexa_fhy_from_str_right(name)), own);
    QCOMPARE(vexa_phy_name_known(name), known);
}

void TestPhyNames::bitrates_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<uint>("rate");
    const uint table[34] = {200, 500, 5000, 57600, 0, 0, 0, 0, 0, 0, 50, 400, 3200, 25600, 50, 400, 3200,
        25600, 0, 0, 50, 50, 200, 400, 400, 500, 3200, 5000, 25600, 57600, 50, 400, 3200, 25600};
    for (int code = 0; code < 34; ++code)
        QTest::addRow("code %d", code) << code << table[code];
    for (int code : {34, 35, 36, 50, 51, 1000, -1, -34, int(0x80000000)})
        QTest::addRow("code %d", code) << code << 0u;
}

void TestPhyNames::bitrates()
{
    QFETCH(int, code);
    QFETCH(uint, rate);
    const vexa_phy_channel_t c = vexa_phy_channel_t(code);
    QCOMPARE(bitrate_from_phy(c), uint32_t(rate));
}

QTEST_GUILESS_MAIN(TestPhyNames)
#include "test_phy_names.moc"
