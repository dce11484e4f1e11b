#include "BrokerInput.h"

#include "BinaryConverter.h"
#include "FakeCommandContext.h"
#include "JsonKeyScanner.h"
#include "PayloadText.h"
#include "phy_names.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {
using FakeContext = FakeCommandContext;

QJsonObject obj(const char* json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

} // namespace

Q_DECLARE_METATYPE(BrokerInput::Road)

class TestBrokerInput : public QObject {
    Q_OBJECT
private slots:
    void decodeJson();
    void decodeAck();
    void decodeRefuses_data();
    void decodeRefuses();
    void road_data();
    void road();
    void shards_data();
    void shards();
    void downlinkFields();
    void downlinkFromAck();
    void payload_data();
    void payload();
    void oversizedFields_data();
    void oversizedFields();
    void numbers_data();
    void numbers();
    void unknownCommandType_data();
    void unknownCommandType();
};

void TestBrokerInput::decodeJson()
{
    QJsonObject m;
    QString error;
    QVERIFY(BrokerInput::decode(R"({"msg_type":"hb","cmd_id":"7"})", m, &error));
    QCOMPARE(m.value("msg_type").toString(), QString("hb"));
    // A valid document that is not an object counts as an empty object.
    QVERIFY(BrokerInput::decode("[1,2,3]", m, &error));
    QVERIFY(m.isEmpty());
}

void TestBrokerInput::decodeAck()
{
    BinaryConverter conv;
    QByteArray bin;
    QVERIFY(conv.Json2Binary<AckMsg>(QJsonDocument(obj(R"({"modem_id": 3000000000, "frequency": 446000000,
        "payload": "0102", "phy": "DL_DBPSK_400_PROT_D", "priority": 2, "time_outdate": 1700000000})")), bin));
    QJsonObject m;
    QString error;
    QVERIFY2(BrokerInput::decode(bin, m, &error), qPrintable(error));
    // Every Ack field is present, defaults included.
    for (const char* key : {"modem_id", "frequency", "time_outdate", "signal_strength", "payload", "f_system", "f_ack",
                            "f_multi", "phy", "type", "iterator", "vexa_ver", "priority", "placeholder", "crypto_iter",
                            "crypto_mic", "crypto_flags", "preambula"})
        QVERIFY2(m.contains(key), key);
    QCOMPARE(m.value("frequency").toInt(), 446000000);
    QCOMPARE(m.value("f_ack").toInt(), 0);
    QCOMPARE(BrokerInput::road(m, true, true), BrokerInput::Road::Downlink);
}

void TestBrokerInput::decodeRefuses_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("truncated varint") << QByteArray("\x08\xff\xff", 3);
    QTest::newRow("broken JSON, bad wire type") << QByteArray("{\"modem_id\": 12");
    // Qt's parser would keep memory it never gives back for these.
    QTest::newRow("repeated key, array first") << QByteArray("{\"modem_id\":[1,2],\"modem_id\":12}");
    QTest::newRow("repeated key in a command's data")
        << QByteArray("{\"msg_type\":\"hb\",\"data\":{\"k\":{},\"\\u006b\":1}}");
    // Looked at before the link's rights: the check's memory must not follow the body's size.
    QTest::newRow("nested too deep") << QByteArray(JsonKeyScanner::kMaxDepth + 1, '[') + "{\"modem_id\":1}"
            + QByteArray(JsonKeyScanner::kMaxDepth + 1, ']');
}

void TestBrokerInput::decodeRefuses()
{
    QFETCH(QByteArray, body);
    QJsonObject m{{"stale", 1}};
    QString error;
    QVERIFY(!BrokerInput::decode(body, m, &error));
    QVERIFY(!error.isEmpty());
}

void TestBrokerInput::road_data()
{
    using R = BrokerInput::Road;
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("hasCmd");
    QTest::addColumn<bool>("hasDl");
    QTest::addColumn<R>("road");

    QTest::newRow("command with data, cmd rights") << QByteArray(R"({"msg_type":"bsconfig","data":{}})") << true << false << R::Command;
    QTest::newRow("command with data, no cmd rights") << QByteArray(R"({"msg_type":"bsconfig","data":{}})") << false << true << R::NoCmdAccess;
    QTest::newRow("command without data, cmd rights") << QByteArray(R"({"msg_type":"admin"})") << true << false << R::Command;
    QTest::newRow("command without data, no cmd rights") << QByteArray(R"({"msg_type":"admin"})") << false << true << R::NoCmdAccess;
    QTest::newRow("bare hb, no cmd rights") << QByteArray(R"({"msg_type":"hb","sharded":4})") << false << false << R::Command;
    QTest::newRow("hb with data, no cmd rights") << QByteArray(R"({"msg_type":"hb","data":{}})") << false << false << R::NoCmdAccess;
    QTest::newRow("downlink, dl rights") << QByteArray(R"({"modem_id":5})") << false << true << R::Downlink;
    QTest::newRow("downlink, no dl rights") << QByteArray(R"({"modem_id":5})") << true << false << R::NoDlAccess;
    QTest::newRow("control keys only") << QByteArray(R"({"use_pb":true})") << true << true << R::NotARequest;
    QTest::newRow("empty object") << QByteArray("{}") << true << true << R::NotARequest;
}

void TestBrokerInput::road()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, hasCmd);
    QFETCH(bool, hasDl);
    QFETCH(BrokerInput::Road, road);
    QCOMPARE(BrokerInput::road(QJsonDocument::fromJson(json).object(), hasCmd, hasDl), road);
}

void TestBrokerInput::shards_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("present");
    QTest::newRow("absent") << QByteArray("{}") << 1 << false;
    QTest::newRow("4") << QByteArray(R"({"sharded":4})") << 4 << true;
    QTest::newRow("2") << QByteArray(R"({"sharded":2})") << 2 << true;
    QTest::newRow("1") << QByteArray(R"({"sharded":1})") << 1 << true;
    QTest::newRow("0") << QByteArray(R"({"sharded":0})") << 1 << true;
    QTest::newRow("negative") << QByteArray(R"({"sharded":-3})") << 1 << true;
    QTest::newRow("text") << QByteArray(R"({"sharded":"4"})") << 1 << true;
}

void TestBrokerInput::shards()
{
    QFETCH(QByteArray, json);
    QFETCH(int, count);
    QFETCH(bool, present);
    bool has = !present;
    QCOMPARE(BrokerInput::shard_count(QJsonDocument::fromJson(json).object(), &has, nullptr), count);
    QCOMPARE(has, present);
}

void TestBrokerInput::downlinkFields()
{
    dl_message_point r;
    QStringList notes;
    BrokerInput::fill_downlink(obj(R"({"modem_id": 1193046, "frequency": 446012345, "time_outdate": 1700000000.9,
        "signal_strength": 300, "payload": "0102030405060708", "f_system": 1, "f_ack": 1, "f_multi": 0,
        "phy": "DL_DBPSK_400_PROT_D", "type": 2, "iterator": 257, "vexa_ver": 3, "placeholder": "x",
        "crypto_flags": 4, "crypto_iter": 5, "crypto_mic": -1, "preambula": 6, "priority": 2})"),
                               r, &notes);
    QCOMPARE(r.modem_id, 1193046u);
    QCOMPARE(r.freq, 446012345u);
    QCOMPARE(r.time_out_dated.toSecsSinceEpoch(), qint64(1700000000));
    QCOMPARE(r.strength, quint8(300 & 0xFF));
    QCOMPARE(r.payload_len, quint8(8));
    QCOMPARE(r.pld_str, QString("0102030405060708"));
    QCOMPARE(r.f_system, quint8(1));
    QCOMPARE(r.f_ack, quint8(1));
    QCOMPARE(r.phy, QString("DL_DBPSK_400_PROT_D"));
    QCOMPARE(r.type, quint8(2));
    QCOMPARE(r.iterator, quint8(1));
    QCOMPARE(r.vexa_ver, 3u);
    QCOMPARE(r.placeholder, QString("x"));
    QCOMPARE(r.crypto_flags, 4u);
    QCOMPARE(r.crypto_iter, 5u);
    QCOMPARE(r.crypto_mic, 0xFFFFFFFFu);
    QCOMPARE(r.preambula, 6u);
    QCOMPARE(r.priority, dl_message_point::PRIORITY_HIGH);
    QCOMPARE(r.receiver, 0u);
    QCOMPARE(r.mac_iter, quint16(0));
    QVERIFY2(notes.isEmpty(), qPrintable(notes.join("; ")));

    // Absent keys read as 0 or empty; no priority is the lowest, no deadline the epoch.
    dl_message_point bare;
    QStringList bareNotes;
    BrokerInput::fill_downlink(obj(R"({"modem_id": 9})"), bare, &bareNotes);
    QCOMPARE(bare.priority, dl_message_point::PRIORITY_LOW);
    QCOMPARE(bare.time_out_dated.toSecsSinceEpoch(), qint64(0));
    QCOMPARE(bare.payload_len, quint8(0));
    QCOMPARE(bareNotes.size(), 1); // the empty phy name is not a known one
    QVERIFY(bareNotes.first().contains("phy"));

    // A MIC or preamble written as an unsigned number keeps all 32 bits.
    dl_message_point wide;
    BrokerInput::fill_downlink(obj(R"({"modem_id": 9, "crypto_mic": 4023233417, "preambula": 3405691582})"), wide,
                               nullptr);
    QCOMPARE(wide.crypto_mic, 0xEFCDAB89u);
    QCOMPARE(wide.preambula, 0xCAFEBABEu);
}

void TestBrokerInput::downlinkFromAck()
{
    BinaryConverter conv;
    QByteArray bin;
    QVERIFY(conv.Json2Binary<AckMsg>(QJsonDocument(obj(R"({"modem_id": 77, "payload": "ABCD", "phy": "DL_PSK_500",
        "time_outdate": 4000000000})")), bin));
    QJsonObject m;
    QVERIFY(BrokerInput::decode(bin, m, nullptr));
    dl_message_point r;
    BrokerInput::fill_downlink(m, r, nullptr);
    QCOMPARE(r.modem_id, 77u);
    QCOMPARE(r.payload_len, quint8(2));
    QCOMPARE(r.payload[0], quint8(0xAB));
    QCOMPARE(r.priority, dl_message_point::PRIORITY_LOW); // present and 0
    // An unsigned deadline past 2038 keeps all 32 bits.
    QCOMPARE(r.time_out_dated.toSecsSinceEpoch(), qint64(4000000000LL));
}

void TestBrokerInput::payload_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("noteWords");

    QTest::newRow("16 digits") << "0123456789abcdef" << QByteArray::fromHex("0123456789abcdef") << QStringList();
    QString digits300;
    for (int i = 0; i < 300; ++i)
        digits300 += QString::number(i % 10);
    QTest::newRow("300 digits cut to 128") << digits300 << QByteArray::fromHex(digits300.left(256).toLatin1())
                                           << QStringList{"150 bytes decoded, 128 kept"};
    QTest::newRow("non-hex skipped") << "12zz34" << QByteArray("\x12\x34", 2) << QStringList{"2 non-hexadecimal"};
    QTest::newRow("128 bytes with ':'") << payloadText(128, ":") << payloadBytes(128) << QStringList{"127 non-hexadecimal"};
    QTest::newRow("128 bytes with ' '") << payloadText(128, " ") << payloadBytes(128) << QStringList{"127 non-hexadecimal"};
    QTest::newRow("128 bytes with ', '") << payloadText(128, ", ") << payloadBytes(128) << QStringList{"254 non-hexadecimal"};
    QTest::newRow("odd digits: one-digit first byte, length by half") << "123" << QByteArray("\x01", 1)
                                                                      << QStringList{"2 bytes decoded, 1 kept"};
    QTest::newRow("empty") << "" << QByteArray() << QStringList();
}

void TestBrokerInput::payload()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, noteWords);
    QJsonObject m{{"modem_id", 1}, {"payload", text}, {"phy", "DL_PSK_200"}};
    dl_message_point r;
    QStringList notes;
    BrokerInput::fill_downlink(m, r, &notes);
    QCOMPARE(int(r.payload_len), bytes.size());
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(r.payload), r.payload_len), bytes);
    QCOMPARE(notes.size(), noteWords.size());
    for (int i = 0; i < notes.size(); ++i)
        QVERIFY2(notes.at(i).contains(noteWords.at(i)), qPrintable(notes.at(i)));
}

void TestBrokerInput::oversizedFields_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reason"); // how the refusal starts; empty: accepted

    const int longest = vexa_phy_name_max_length();
    QCOMPARE(longest, int(strlen("DL_DBPSK_25600_PROT_D")));
    QTest::newRow("phy, longest name") << "phy" << "DL_DBPSK_25600_PROT_D" << "";
    QTest::newRow("phy, unknown name of that length") << "phy" << QString(longest, 'Q') << "";
    QTest::newRow("phy, one character more") << "phy" << QString(longest + 1, 'Q') << "phy of 22 characters";
    QTest::newRow("phy, 65 characters") << "phy" << QString(65, 'P') << "phy of 65 characters";
    QTest::newRow("phy, 40 MiB") << "phy" << QString(40 * 1024 * 1024, 'P') << "phy of 41943040 characters";
    QCOMPARE(BrokerInput::kMaxPayloadBytes, 128);
    QCOMPARE(BrokerInput::kMaxPayloadChars, 1024);
    // The frame bound counts hex digits: separators between the bytes are skipped when decoded.
    const QString tooManyDigits = QStringLiteral("%1 of 257 hexadecimal digits, more than the largest frame takes (128 bytes, 256 digits)");
    for (const char* key : {"payload", "placeholder"}) {
        const QString k = QLatin1String(key);
        QTest::addRow("%s, 256 digits", key) << k << payloadText(128, "") << "";
        QTest::addRow("%s, 128 bytes with ':'", key) << k << payloadText(128, ":") << "";
        QTest::addRow("%s, 128 bytes with ' '", key) << k << payloadText(128, " ") << "";
        QTest::addRow("%s, 128 bytes with ', '", key) << k << payloadText(128, ", ") << "";
        QTest::addRow("%s, 256 digits in 1,024 characters", key) << k << payloadText(128, "") + QString(768, ' ') << "";
        QTest::addRow("%s, 257 digits", key) << k << payloadText(128, "") + "a" << tooManyDigits.arg(k);
        QTest::addRow("%s, 257 digits with ':'", key) << k << payloadText(128, ":") + ":a" << tooManyDigits.arg(k);
        QTest::addRow("%s, 1,025 characters", key) << k << "01" + QString(1023, ' ') << k + " of 1025 characters, longer than any payload text (1024)";
        QTest::addRow("%s, 2,000 characters", key) << k << "01" + QString(1998, ':') << k + " of 2000 characters";
        QTest::addRow("%s, 40 MiB", key) << k << QString(40 * 1024 * 1024, '0') << k + " of 41943040 characters";
    }
}

void TestBrokerInput::oversizedFields()
{
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QString, reason);
    QJsonObject m{{"modem_id", 7}, {"phy", "DL_PSK_200"}, {"payload", "01"}};
    m.insert(field, text);
    const QString refusal = BrokerInput::oversized_field(m);
    QCOMPARE(refusal.isEmpty(), reason.isEmpty());
    QVERIFY2(refusal.startsWith(reason) || reason.isEmpty(), qPrintable(refusal.left(300)));
    // One short line: the field and its length, never its text.
    QVERIFY2(refusal.toUtf8().size() < 150, qPrintable(refusal.left(300)));
}

void TestBrokerInput::numbers_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<qint32>("read");
    QTest::addColumn<quint32>("readUnsigned");
    QTest::newRow("int") << QJsonValue(42) << 42 << 42u;
    QTest::newRow("negative") << QJsonValue(-7) << -7 << 0xFFFFFFF9u;
    QTest::newRow("int32 minimum") << QJsonValue(-2147483648.0) << qint32(-2147483647 - 1) << 0x80000000u;
    QTest::newRow("above int32") << QJsonValue(3405691582.0) << 0 << 0xCAFEBABEu;
    QTest::newRow("uint32 maximum") << QJsonValue(4294967295.0) << 0 << 0xFFFFFFFFu;
    QTest::newRow("above uint32") << QJsonValue(4294967296.0) << 0 << 0u;
    QTest::newRow("below int32") << QJsonValue(-2147483649.0) << 0 << 0u;
    QTest::newRow("fraction") << QJsonValue(1.5) << 0 << 0u;
    QTest::newRow("text") << QJsonValue("42") << 0 << 0u;
    QTest::newRow("bool") << QJsonValue(true) << 0 << 0u;
    QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << 0 << 0u;
}

void TestBrokerInput::numbers()
{
    QFETCH(QJsonValue, value);
    QFETCH(qint32, read);
    QFETCH(quint32, readUnsigned);
    QCOMPARE(BrokerInput::json_int(value), read);
    QCOMPARE(BrokerInput::json_uint32(value), readUnsigned);
}

void TestBrokerInput::unknownCommandType_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("text");
    QTest::newRow("with sender") << QByteArray(R"({"msg_type":"frobnicate","cmd_id":"c1","sender":"srv.replies","data":{}})")
                                 << "srv.replies" << "frobnicatedoes not registered";
    QTest::newRow("without sender") << QByteArray(R"({"msg_type":"HB","cmd_id":5})") << "" << "HBdoes not registered";
    QTest::newRow("NUL byte in the type") << QByteArray(R"({"msg_type":"a\u0000b","sender":"s"})") << "s"
                                          << QString::fromUtf8("a\0bdoes not registered", 22);
}

void TestBrokerInput::unknownCommandType()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, sender);
    QFETCH(QString, text);
    FakeContext ctx;
    QString replyTo = "untouched";
    const QJsonObject reply = BrokerInput::run_command(QJsonDocument::fromJson(json).object(), ctx, &replyTo);
    QCOMPARE(replyTo, sender);
    // A failure in the factory leaves no "cmd_id" in the reply.
    QCOMPARE(reply, (QJsonObject{{"msg_type", "error"}, {"data", text}}));
}

QTEST_GUILESS_MAIN(TestBrokerInput)
#include "tst_broker_input.moc"
