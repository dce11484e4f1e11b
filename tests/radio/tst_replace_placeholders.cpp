// Downlink time-stamp templates with a fixed clock (2024-05-01 12:00:00 UTC = 0x66322EC0).
// Expected payloads were worked out apart from the code (the XOR and the CRC-16/MODBUS of
// F5, the four time bytes and three zeros).
#include "dl_message_point.h"
#include "replacePlaceholders.h"

#include <QtTest>

namespace {
const QDateTime kNow(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);

// A request with payload bytes 0, 1, ..., 11 and 12 of them to send.
dl_message_point request(const QString& placeholder, const QString& pldStr, const QString& phy)
{
    dl_message_point m;
    m.placeholder = placeholder;
    m.pld_str = pldStr;
    m.phy = phy;
    m.payload_len = 12;
    for (int i = 0; i < 12; ++i)
        m.payload[i] = quint8(i);
    return m;
}
} // namespace

class tst_replace_placeholders : public QObject
{
    Q_OBJECT
private slots:
    void substitutes_data()
    {
        QTest::addColumn<QString>("placeholder");
        QTest::addColumn<QString>("pldStr");
        QTest::addColumn<QString>("phy");
        QTest::addColumn<QString>("newPlaceholder");
        QTest::addColumn<QString>("newPldStr");
        QTest::addColumn<int>("payloadLen");
        QTest::addColumn<QByteArray>("payload"); // its first bytes
        QTest::newRow("negative N") << "" << "[t|-10]" << "DL_PSK_5000" << "" << "66322eb6" << 4 << QByteArray::fromHex("66322eb60405060708090a0b");
        QTest::newRow("PSK 200 leads by 5 s") << "" << "[t|10]" << "DL_PSK_200" << "" << "66322ecf" << 4 << QByteArray::fromHex("66322ecf0405060708090a0b");
        QTest::newRow("PSK 500 leads by 2 s") << "" << "[t|0]" << "DL_PSK_500" << "" << "66322ec2" << 4 << QByteArray::fromHex("66322ec20405060708090a0b");
        QTest::newRow("text around the template") << "" << "aa[t|0]bb" << "DL_PSK_5000" << "" << "aa66322ec0bb" << 6 << QByteArray::fromHex("aa66322ec0bb060708090a0b");
        QTest::newRow("odd and non-hex text") << "" << "zz1[t|0]" << "DL_PSK_5000" << "" << "zz166322ec0" << 4 << QByteArray::fromHex("166322ec0405060708090a0b");
        QTest::newRow("placeholder: XOR and CRC") << "[t|10]" << "" << "DL_PSK_200" << "66322ecf" << "" << 12 << QByteArray::fromHex("0067302dcb0506075a760a0b");
        QTest::newRow("placeholder: hex text before the template first") << "ab[t|0]" << "" << "DL_PSK_5000" << "ab66322ec0" << "" << 12 << QByteArray::fromHex("00aa64312a050607ac900a0b");
        QTest::newRow("placeholder too short: missing bytes read 0") << "[t|-1714564795]" << "" << "DL_PSK_5000" << "5" << "" << 12 << QByteArray::fromHex("00010203040506078f700a0b");
        QTest::newRow("over-long text cut at 128 bytes") << "" << QString(260, QLatin1Char('0')) + "[t|0]" << "DL_PSK_5000" << ""
                                                         << QString(260, QLatin1Char('0')) + "66322ec0" << 128
                                                         << QByteArray(128, '\0');
    }
    void substitutes()
    {
        QFETCH(QString, placeholder);
        QFETCH(QString, pldStr);
        QFETCH(QString, phy);
        QFETCH(QString, newPlaceholder);
        QFETCH(QString, newPldStr);
        QFETCH(int, payloadLen);
        QFETCH(QByteArray, payload);
        dl_message_point m = request(placeholder, pldStr, phy);
        replacePlaceholders(&m, kNow);
        QCOMPARE(m.placeholder, newPlaceholder);
        QCOMPARE(m.pld_str, newPldStr);
        QCOMPARE(int(m.payload_len), payloadLen);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(m.payload), payload.size()).toHex(), payload.toHex());
    }

    void leavesAlone_data()
    {
        QTest::addColumn<QString>("placeholder");
        QTest::addColumn<QString>("pldStr");
        QTest::newRow("no bracket") << "" << "0102";
        QTest::newRow("N not a number") << "" << "[t|x]";
        QTest::newRow("no number at all") << "" << "[t]";
        QTest::newRow("placeholder without a bracket blocks pld_str") << "abcd" << "[t|0]";
        QTest::newRow("placeholder with N not a number") << "[t|1e3]" << "";
    }
    void leavesAlone()
    {
        QFETCH(QString, placeholder);
        QFETCH(QString, pldStr);
        const dl_message_point before = request(placeholder, pldStr, QStringLiteral("DL_PSK_200"));
        dl_message_point m = before;
        replacePlaceholders(&m, kNow);
        QCOMPARE(m.placeholder, before.placeholder);
        QCOMPARE(m.pld_str, before.pld_str);
        QCOMPARE(m.payload_len, before.payload_len);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(m.payload), 128), QByteArray(reinterpret_cast<const char*>(before.payload), 128));
    }
};

QTEST_GUILESS_MAIN(tst_replace_placeholders)
#include "tst_replace_placeholders.moc"
