#include "UplinkRecord.h"

#include "BinaryConverter.h"

#include <QJsonDocument>
#include <QtTest>

#include <limits>

#include <cstring>

namespace {
const quint32 UL1 = 868800000;
const quint32 UL2 = 868390400; // the band-2 base with the default IF frequencies and REV_LO

message_point make(Protocol_Types type, quint32 bitrate, quint32 id, quint8 crc8, quint64 freq, bool band = false)
{
    message_point m;
    m.TYPE = type;
    m.bitrate = bitrate;
    m.ID = id;
    m.CRC8_D = crc8;
    m.FREQ = freq;
    m.band = band;
    m.time = QDateTime::fromMSecsSinceEpoch(1700000000123LL);
    return m;
}
} // namespace

class TestUplinkRecord : public QObject {
    Q_OBJECT
private slots:
    void record_data();
    void record();
    void commonFields();
    void serialisesIntoTheBinaryPayload();
    void rounding_data();
    void rounding();
    void dlFreq_data();
    void dlFreq();
    void publishedText_data();
    void publishedText();
    void logLine_data();
    void logLine();
    void ownEcho_data();
    void ownEcho();
};

void TestUplinkRecord::record_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<quint32>("bitrate");
    QTest::addColumn<quint32>("id");
    QTest::addColumn<int>("crc8");
    QTest::addColumn<quint64>("freq");
    QTest::addColumn<bool>("band");
    QTest::addColumn<qint32>("expected");
    QTest::addColumn<int>("phy"); // -1: no "phy"
    QTest::addColumn<QString>("msgType");

    // C: (ID mod 226) * 100 + base + 2500 above the base, - 25000 below; CRC8 not used.
    QTest::newRow("C 50 above") << 1 << 50u << 1000u << 0 << quint64(868812345) << false << 868812100 << 20 << "msg_vexa_c";
    QTest::newRow("C 400 below ignores crc") << 1 << 400u << 1000u << 7 << quint64(868700000) << false << 868784600 << 23 << "msg_vexa_c";
    // Any type at 3200 bit/s: ((ID + CRC8) mod 210) * 100 + base + 2500 / - 23400.
    QTest::newRow("C 3200 uses crc, no phy") << 1 << 3200u << 1000u << 7 << quint64(868812345) << false << 868819200 << -1 << "msg_vexa_c";
    QTest::newRow("C 125 no phy") << 1 << 125u << 1000u << 0 << quint64(868812345) << false << 868812100 << -1 << "msg_vexa_c";
    QTest::newRow("D 3200 below") << 2 << 3200u << 0x123456u << 0x5A << quint64(868700000) << false << 868789200 << 26 << "msg_vexa_d";
    QTest::newRow("D 50 above") << 2 << 50u << 0x123456u << 0x5A << quint64(868812345) << false << 868810700 << 21 << "msg_vexa_d";
    QTest::newRow("D 400 below") << 2 << 400u << 0x123456u << 0x5A << quint64(868700000) << false << 868783200 << 24 << "msg_vexa_d";
    QTest::newRow("D 25600 above") << 2 << 25600u << 0x123456u << 0x5A << quint64(868812345) << false << 868810700 << 28 << "msg_vexa_d";
    QTest::newRow("D 125 no phy") << 2 << 125u << 0x123456u << 0x5A << quint64(868812345) << false << 868810700 << -1 << "msg_vexa_d";
    // E: window w = (B - 2 * rate - 2000) / 2, d = ((ID + CRC8) & 0xFF) * w / 255 around the centre.
    QTest::newRow("E 50 band1 above") << 3 << 50u << 0xABCDEF01u << 0 << quint64(868800500) << false << 868800096 << 30 << "msg_vexa_e";
    QTest::newRow("E 25600 band1 no window") << 3 << 25600u << 0x55u << 0 << quint64(868900000) << false << 868800000 << 33 << "msg_vexa_e";
    QTest::newRow("E 125 band2 below") << 3 << 125u << 0xFFu << 0 << quint64(868300000) << true << 868289125 << 35 << "msg_vexa_e";
    QTest::newRow("E 3200 band1 below") << 3 << 3200u << 0x10u << 0x10 << quint64(868700000) << false << 868797315 << 32 << "msg_vexa_e";
    QTest::newRow("E 400 band1 at centre") << 3 << 400u << 0x1u << 0 << quint64(868800000) << false << 868800094 << 31 << "msg_vexa_e";
    QTest::newRow("E 1000 no phy") << 3 << 1000u << 0x1u << 0 << quint64(868800000) << false << 868800092 << -1 << "msg_vexa_e";
    QTest::newRow("unknown type") << 7 << 50u << 1000u << 0 << quint64(868812345) << false << 868812100 << -1 << "";
}

void TestUplinkRecord::record()
{
    QFETCH(int, type);
    QFETCH(quint32, bitrate);
    QFETCH(quint32, id);
    QFETCH(int, crc8);
    QFETCH(quint64, freq);
    QFETCH(bool, band);
    QFETCH(qint32, expected);
    QFETCH(int, phy);
    QFETCH(QString, msgType);

    message_point m = make(Protocol_Types(type), bitrate, id, quint8(crc8), freq, band);
    QCOMPARE(UplinkRecord::calc_freq_expected(m, UL1, UL2), expected);

    vexa_phy_channel_t code = DL_PSK_500;
    QCOMPARE(UplinkRecord::phy_of(m, &code), phy >= 0);
    if (phy >= 0)
        QCOMPARE(int(code), phy);

    const QJsonObject o = UplinkRecord::build(m, 42);
    QCOMPARE(o.contains("phy"), phy >= 0);
    if (phy >= 0)
        QCOMPARE(o.value("phy").toInt(), phy);
    QCOMPARE(o.value("msg_type").toString(), msgType);
    QCOMPARE(o.contains("msg_type"), !msgType.isEmpty());
    QCOMPARE(o.contains("crypto_iter"), type == 3);
    QCOMPARE(o.contains("crypto_mic"), type == 3);
}

void TestUplinkRecord::commonFields()
{
    message_point m = make(Protocol_E, 400, 0x80000001u, 0xC3, 868812345);
    m.RSSI = -120.5f;
    m.SNR = 12.5f;
    m.FLAGS = 0xA5;
    m.CRYPTO_ITER = 9;
    m.CRYPTO_MIC = 0xFFFFFF;
    const unsigned char pld[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    std::memcpy(m.PAYLOAD, pld, 8);

    const QJsonObject o = UplinkRecord::build(m, 1234);
    QCOMPARE(o.value("version").toInt(), 1);
    QCOMPARE(o.value("crc_internal").toInt(), 0xC3);
    QCOMPARE(o.value("time_detected").toDouble(), 1700000000.123);
    QCOMPARE(o.value("bs_id").toInt(), 1234);
    QCOMPARE(o.value("signal_snr").toInt(), 13);
    QCOMPARE(o.value("signal_rssi").toInt(), -121);
    QCOMPARE(o.value("modem_id").toInt(), -2147483647); // bit 31 set: two's complement
    QCOMPARE(o.value("payload").toString(), QString("0123456789ABCDEF"));
    QCOMPARE(o.value("freq_channel").toInt(), 868812345);
    QCOMPARE(o.value("flags").toInt(), 0xA5);
    QCOMPARE(o.value("crypto_iter").toInt(), 9);
    QCOMPARE(o.value("crypto_mic").toInt(), 0xFFFFFF);
    QCOMPARE(o.keys().size(), 14);

    // Indented text with the keys in ascending order, as the links publish it.
    const QByteArray text = QJsonDocument(o).toJson(QJsonDocument::Indented);
    QVERIFY(text.startsWith("{\n    \"bs_id\": 1234,\n    \"crc_internal\": 195,\n"));
}

void TestUplinkRecord::serialisesIntoTheBinaryPayload()
{
    // Every key of every record kind must exist in the protobuf Payload, or binary mode fails.
    const struct {
        Protocol_Types type;
        quint32 rate;
    } kinds[] = {{Protocol_C, 50}, {Protocol_D, 3200}, {Protocol_E, 125}, {Protocol_C, 3200}};
    for (const auto& k : kinds) {
        message_point m = make(k.type, k.rate, 0x80000001u, 1, 868812345);
        m.CRYPTO_MIC = 0xFFFFFF;
        const QJsonDocument doc(UplinkRecord::build(m, 7));
        BinaryConverter conv;
        QByteArray bin;
        QVERIFY2(conv.Json2Binary<PayloadMsg>(doc, bin), qPrintable(conv.GetError()));
        QJsonDocument back;
        QVERIFY2(conv.Binary2Json<PayloadMsg>(bin, back), qPrintable(conv.GetError()));
        const QJsonObject b = back.object();
        QCOMPARE(b.value("modem_id").toInt(), -2147483647);
        QCOMPARE(b.value("msg_type").toString(), doc.object().value("msg_type").toString());
    }
}

void TestUplinkRecord::rounding_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("rounded");
    QTest::newRow("0.5 up") << 0.5f << 1;
    QTest::newRow("0.49 down") << 0.49f << 0;
    QTest::newRow("-0.5 away") << -0.5f << -1;
    QTest::newRow("-0.49 to 0") << -0.49f << 0;
    QTest::newRow("-120.5") << -120.5f << -121;
    QTest::newRow("-120.4") << -120.4f << -120;
    QTest::newRow("12.5") << 12.5f << 13;
    QTest::newRow("minus infinity") << -std::numeric_limits<float>::infinity() << 0;
    QTest::newRow("infinity") << std::numeric_limits<float>::infinity() << 0;
    QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << 0;
    QTest::newRow("beyond int") << 3.0e9f << 0;
}

void TestUplinkRecord::rounding()
{
    QFETCH(float, value);
    QFETCH(int, rounded);
    QCOMPARE(UplinkRecord::myround(value), rounded);
}

void TestUplinkRecord::dlFreq_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<quint32>("id");
    QTest::addColumn<qint32>("delta");
    QTest::addColumn<quint32>("dl");
    QTest::addColumn<quint32>("result");

    // base = dl + (ID mod 276) * 363; the offset scales by dl / uplink base.
    QTest::newRow("C offset +1000") << 1 << 1000u << 1000 << 446000000u << 446062949u;
    QTest::newRow("D no offset") << 2 << 276u << 0 << 446000000u << 446000000u;
    // E: k = (ID & 0xFF) * 50150 / 255, added for an odd ID, taken off for an even one.
    QTest::newRow("E odd") << 3 << 0x81u << 0 << 446000000u << 446025370u;
    QTest::newRow("E even, offset -2000") << 3 << 0x80u << -2000 << 446000000u << 445973800u;
    QTest::newRow("second frequency 0") << 1 << 0u << 0 << 0u << 0u;
}

void TestUplinkRecord::dlFreq()
{
    QFETCH(int, type);
    QFETCH(quint32, id);
    QFETCH(qint32, delta);
    QFETCH(quint32, dl);
    QFETCH(quint32, result);
    message_point m = make(Protocol_Types(type), 50, id, 0, 0);
    const qint32 expected = 868812100;
    m.FREQ = quint64(qint64(expected) + delta);
    QCOMPARE(UplinkRecord::calc_dl_freq(m, expected, dl, UL1), result);
}

// The text the links publish is written directly; it must stay byte for byte what Qt's JSON
// writer makes of the record object.
void TestUplinkRecord::publishedText_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<quint32>("bitrate");
    QTest::addColumn<quint32>("id");
    QTest::addColumn<float>("rssi");
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<int>("baseId");
    QTest::newRow("C 50") << int(Protocol_C) << 50u << 0xA1B2u << -126.4f << qint64(1684318830123) << 1234;
    QTest::newRow("D 3200, whole second") << int(Protocol_D) << 3200u << 0x00FFFFFFu << -99.5f << qint64(1684318830000) << 1;
    QTest::newRow("E 25600, high id") << int(Protocol_E) << 25600u << 0xFFFFFFFFu << 12.5f << qint64(1684318830001) << -7;
    QTest::newRow("D without phy") << int(Protocol_D) << 125u << 5u << -0.4f << qint64(999) << 0;
    QTest::newRow("unknown type") << 9 << 50u << 5u << std::numeric_limits<float>::quiet_NaN() << qint64(-1500) << 2147483647;
    QTest::newRow("before 1970, huge level") << int(Protocol_E) << 50u << 77u << 3.0e9f << qint64(-86400000123) << -2147483647 - 1;
}

void TestUplinkRecord::publishedText()
{
    QFETCH(int, type);
    QFETCH(quint32, bitrate);
    QFETCH(quint32, id);
    QFETCH(float, rssi);
    QFETCH(qint64, ms);
    QFETCH(int, baseId);
    message_point m = make(static_cast<Protocol_Types>(type), bitrate, id, 0xC3, 868812345u, true);
    m.RSSI = rssi;
    m.SNR = -rssi / 3;
    m.FLAGS = 0xE5;
    m.CRYPTO_ITER = 200;
    m.CRYPTO_MIC = 0xFEDCBA98;
    for (int i = 0; i < 8; ++i)
        m.PAYLOAD[i] = quint8(0x0F * i + 0xA0);
    m.time = QDateTime::fromMSecsSinceEpoch(ms);
    QCOMPARE(UplinkRecord::json_text(m, baseId),
             QJsonDocument(UplinkRecord::build(m, baseId)).toJson(QJsonDocument::Indented));
}

void TestUplinkRecord::logLine_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("line");

    QTest::newRow("D") << 2
                       << "12:34:56.789 ID=ABC      PLD:01 02 03 04 05 06 07 08 SAM IT= 5               PROTD CRC8:0A    "
                          "   50BPS DEMOD=CRC RSSI=-120.3 NOISE=-135.0 SNR= 14.7 FREQ=868812345 FREQS= 1 ROTATIONS= 3 "
                          "BAND= 0 MIC=000000 COPIES=    2(1) TOTAL=7\n";
    QTest::newRow("C") << 1
                       << "12:34:56.789 ID=ABC      PLD:01 02 03 04 05 06 07 08 SAM IT= 5               PROTC            "
                          "   50BPS DEMOD=CRC RSSI=-120.3 NOISE=-135.0 SNR= 14.7 FREQ=868812345 FREQS= 1 ROTATIONS= 3 "
                          "BAND= 0 MIC=000000 COPIES=    2(1) TOTAL=7\n";
    QTest::newRow("E") << 3
                       << "12:34:56.789 ID=ABC      PLD:01 02 03 04 05 06 07 08 SAM IT= 5 IT_crypto=  7 PROTE CRC:000ABC "
                          "   50BPS DEMOD=CRC RSSI=-120.3 NOISE=-135.0 SNR= 14.7 FREQ=868812345 FREQS= 1 ROTATIONS= 3 "
                          "BAND= 0 MIC=000000 COPIES=    2(1) TOTAL=7\n";
}

void TestUplinkRecord::logLine()
{
    QFETCH(int, type);
    QFETCH(QString, line);
    message_point m = make(Protocol_Types(type), 50, 0xABC, 0x0A, 868812345);
    for (int i = 0; i < 8; ++i)
        m.PAYLOAD[i] = quint8(i + 1);
    m.FLAGS = 0xE5;
    m.CRYPTO_ITER = 7;
    m.P_CRC = 0xABC;
    m.demod_method = Demod_CRC;
    m.RSSI = -120.3f;
    m.NOISE = -135.0f;
    m.SNR = 14.7f;
    m.tmp_for_aver_freq = 1;
    m.rotation = 3;
    m.num_of_copies = 2;
    m.num_of_copies_1_2 = 1;
    m.total = 7;
    QCOMPARE(UplinkRecord::log_line(m, QTime(12, 34, 56, 789)), line);
}

void TestUplinkRecord::ownEcho_data()
{
    QTest::addColumn<quint32>("id");
    QTest::addColumn<quint32>("own");
    QTest::addColumn<bool>("echo");

    QTest::newRow("the sender's own id") << 0x00123456u << 0x00123456u << true;
    QTest::newRow("0x6F0000 plus the low 16 bits") << 0x006F3456u << 0x00123456u << true;
    QTest::newRow("the same for an id with high bits") << 0x006FBEEFu << 0xDEADBEEFu << true;
    QTest::newRow("another modem") << 0x00123457u << 0x00123456u << false;
    QTest::newRow("0x6F0000 form of another id") << 0x006F3457u << 0x00123456u << false;
    // A sender without a modem id would otherwise swallow the records of modems 0 and 0x6F0000.
    QTest::newRow("no own id, modem 0") << 0u << 0u << false;
    QTest::newRow("no own id, modem 0x6F0000") << 0x006F0000u << 0u << false;
}

void TestUplinkRecord::ownEcho()
{
    QFETCH(quint32, id);
    QFETCH(quint32, own);
    QFETCH(bool, echo);
    QCOMPARE(UplinkRecord::is_own_echo(id, own), echo);
}

QTEST_GUILESS_MAIN(TestUplinkRecord)
#include "tst_uplink_record.moc"
