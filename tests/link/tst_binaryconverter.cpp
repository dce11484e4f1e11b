// JSON <-> protobuf conversion, with the bytes checked against `protoc --encode` of the same
// record and the printed JSON checked key by key.
#include "BinaryConverter.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

namespace {

QJsonDocument json(const char* text)
{
    QJsonParseError err;
    QJsonDocument d = QJsonDocument::fromJson(text, &err);
    if (err.error != QJsonParseError::NoError)
        qFatal("bad fixture: %s", qPrintable(err.errorString()));
    return d;
}

bool haveProtoc()
{
    return !QStandardPaths::findExecutable("protoc").isEmpty();
}

// Runs protoc on the station's own schema files.
QByteArray protoc(const QStringList& mode, const QByteArray& input, const QString& file)
{
    QProcess p;
    QStringList args{"-I", QStringLiteral(TOLVAR_SOURCE_DIR "/src/link")};
    args << mode << file;
    p.start("protoc", args);
    if (!p.waitForStarted())
        return "protoc did not start";
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(-1);
    if (p.exitCode() != 0)
        return "protoc failed: " + p.readAllStandardError();
    return p.readAllStandardOutput();
}

QByteArray encodeEnvelope(const QByteArray& text)
{
    return protoc({"--encode=binary_struct.ComplexMessage"}, text, "complex_message.proto");
}

const char* kUplink = R"({
  "version": 1, "msg_type": "msg_vexa_d", "bs_id": 4711, "crc_internal": 200,
  "crypto_iter": 3, "crypto_mic": -123456, "flags": 35, "freq_channel": 868801234,
  "modem_id": -1412567295, "payload": "0A1B2C3D4E5F6071", "phy": 24,
  "signal_rssi": -131, "signal_snr": 12, "time_detected": 1765370000.125
})";

const char* kUplinkText = R"(payload {
  version: 1 msg_type: "msg_vexa_d" bs_id: 4711 crc_internal: 200 crypto_iter: 3
  crypto_mic: -123456 flags: 35 freq_channel: 868801234 modem_id: -1412567295
  payload: "0A1B2C3D4E5F6071" phy: 24 signal_rssi: -131 signal_snr: 12
  time_detected: 1765370000.125
})";

const char* kHeartbeat = R"({
  "version": 1, "msg_type": "hb", "bs_id": 7, "bs_state": 1, "bs_type": "QORM",
  "latitude": 55.75, "longitude": null,
  "bs_revisions": {"ax_rev": "1.2", "tolva_rev": "3.5.1", "fpga_rev": 40, "hw_rev": "B"},
  "fpga_temperature": 41.5,
  "receiver": {"enabled": true,
               "bands": [{"ul_freq_plan": 1, "ul_bitrates": [50, 400], "noise": -140.25}],
               "ul_base_freqs": [868800000, 869100000]},
  "stats": [{"aver_noise": -139, "dl_aver_power": 20, "dl_modems_total": 2, "dl_total": 3,
             "period": 60, "ts": 1765370000, "ul_aver_rssi": -120, "ul_modems_total": 5,
             "ul_total": 9}],
  "temperature": 38, "time_published": 1765370030,
  "transmitter": {"bands": [{"dl_freq_plan": 2, "dl_bitrates": [50]}], "busyness": 0.25,
                  "busyness_aver": 0.125, "dl_base_freqs": [869100000, -5], "enabled": true,
                  "lbt": false, "max_duty_cycle": 100, "max_power": 26},
  "gsm_data": {"sim_number": "+10000000000", "balance": "12.5", "rssi": "-71"},
  "mode": "normal"
})";

const char* kHeartbeatText = R"(type: MsgHb
heartbeat {
  version: 1 msg_type: "hb" bs_id: 7 bs_state: 1 bs_type: "QORM"
  latitude { value: 55.75 }
  bs_revisions { ax_rev: "1.2" tolva_rev: "3.5.1" fpga_rev: 40 hw_rev: "B" }
  fpga_temperature: 41.5
  receiver { enabled: true bands { ul_freq_plan: 1 ul_bitrates: [50, 400] noise: -140.25 }
             ul_base_freqs: [868800000, 869100000] }
  stats { aver_noise: -139 dl_aver_power: 20 dl_modems_total: 2 dl_total: 3 period: 60
          ts: 1765370000 ul_aver_rssi: -120 ul_modems_total: 5 ul_total: 9 }
  temperature: 38 time_published: 1765370030
  transmitter { bands { dl_freq_plan: 2 dl_bitrates: [50] } busyness: 0.25 busyness_aver: 0.125
                dl_base_freqs: [869100000, -5] enabled: true lbt: false max_duty_cycle: 100
                max_power: 26 }
  gsm_data { sim_number: "+10000000000" balance: "12.5" rssi: "-71" }
  mode: "normal"
})";

const char* kAckText = R"(modem_id: 4000000000 frequency: 869100000 time_outdate: 1765370100
signal_strength: -3 payload: "0102030405060708" f_system: 0 f_ack: 1 f_multi: 0
phy: "DL_DBPSK_400_PROT_D" type: 0 iterator: 5 vexa_ver: 5 priority: 2
placeholder: "" crypto_iter: 9 crypto_mic: -2 crypto_flags: 1 preambula: 305419896)";

const QStringList kAckKeys{"modem_id", "frequency", "time_outdate", "signal_strength", "payload",
                           "f_system", "f_ack", "f_multi", "phy", "type", "iterator", "vexa_ver",
                           "priority", "placeholder", "crypto_iter", "crypto_mic", "crypto_flags",
                           "preambula"};

} // namespace

class TestBinaryConverter : public QObject
{
    Q_OBJECT

private slots:
    void bytesEqualProtoc_data();
    void bytesEqualProtoc();
    void payloadRoundTrip();
    void heartbeatPrintsEveryScalar();
    void ackFromBroker();
    void ackEmptyAndRoundTrip();
    void failures_data();
    void failures();
    void errorSurvivesSuccess();
};

void TestBinaryConverter::bytesEqualProtoc_data()
{
    QTest::addColumn<bool>("heartbeat");
    QTest::addColumn<QByteArray>("doc");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("uplink record") << false << QByteArray(kUplink) << QByteArray(kUplinkText);
    QTest::newRow("version only") << false << QByteArray(R"({"version": 1})")
                                  << QByteArray("payload { version: 1 }");
    QTest::newRow("camelCase member") << false << QByteArray(R"({"msgType": "x", "modemId": 5})")
                                      << QByteArray(R"(payload { msg_type: "x" modem_id: 5 })");
    QTest::newRow("empty record") << false << QByteArray("{}") << QByteArray("payload { }");
    QTest::newRow("heartbeat") << true << QByteArray(kHeartbeat) << QByteArray(kHeartbeatText);
    QTest::newRow("heartbeat no position") << true << QByteArray(R"({"version": 1, "msg_type": "hb"})")
                                           << QByteArray(R"(type: MsgHb heartbeat { version: 1 msg_type: "hb" })");
}

void TestBinaryConverter::bytesEqualProtoc()
{
    if (!haveProtoc())
        QSKIP("protoc is not installed");
    QFETCH(bool, heartbeat);
    QFETCH(QByteArray, doc);
    QFETCH(QByteArray, text);
    BinaryConverter conv;
    QByteArray out;
    const bool ok = heartbeat ? conv.Json2Binary<HeartBeatMsg>(json(doc), out)
                              : conv.Json2Binary<PayloadMsg>(json(doc), out);
    QVERIFY2(ok, qPrintable(conv.GetError()));
    QCOMPARE(out.toHex(' '), encodeEnvelope(text).toHex(' '));
    if (QTest::currentDataTag() == QByteArray("version only"))
        QCOMPARE(out, QByteArray::fromHex("12020801"));
}

void TestBinaryConverter::payloadRoundTrip()
{
    BinaryConverter conv;
    QByteArray bytes;
    QVERIFY(conv.Json2Binary<PayloadMsg>(json(kUplink), bytes));
    QJsonDocument back;
    QVERIFY2(conv.Binary2Json<PayloadMsg>(bytes, back), qPrintable(conv.GetError()));
    QCOMPARE(back.object(), json(kUplink).object());
    QJsonDocument any;
    QVERIFY(conv.AnyBinary2Json(bytes, any));
    QCOMPARE(any, back);
}

void TestBinaryConverter::heartbeatPrintsEveryScalar()
{
    BinaryConverter conv;
    QByteArray bytes;
    QVERIFY(conv.Json2Binary<HeartBeatMsg>(json(R"({"version": 1, "latitude": 0.5})"), bytes));
    QJsonDocument doc;
    QVERIFY2(conv.Binary2Json<HeartBeatMsg>(bytes, doc), qPrintable(conv.GetError()));
    const QJsonObject o = doc.object();
    // Zero and empty scalars appear under their proto names; an absent wrapper does not.
    for (const char* key : {"version", "msg_type", "bs_id", "bs_state", "bs_type", "fpga_temperature",
                            "stats", "temperature", "time_published", "mode"})
        QVERIFY2(o.contains(key), key);
    QCOMPARE(o.value("bs_id").toInt(-1), 0);
    QCOMPARE(o.value("bs_type").toString("x"), QString());
    QCOMPARE(o.value("latitude").toDouble(), 0.5);
    QVERIFY(!o.contains("longitude"));
    QVERIFY(!o.contains("bsId"));

    QJsonDocument full;
    QVERIFY(conv.Json2Binary<HeartBeatMsg>(json(kHeartbeat), bytes));
    QVERIFY(conv.AnyBinary2Json(bytes, full));
    const QJsonObject f = full.object();
    QCOMPARE(f.value("receiver").toObject().value("bands").toArray().at(0).toObject().value("ul_bitrates"),
             QJsonValue(QJsonArray{50, 400}));
    QCOMPARE(f.value("stats").toArray().at(0).toObject().value("ul_total").toInt(), 9);
    QCOMPARE(f.value("transmitter").toObject().value("lbt"), QJsonValue(false));
}

void TestBinaryConverter::ackFromBroker()
{
    if (!haveProtoc())
        QSKIP("protoc is not installed");
    const QByteArray bytes = protoc({"--encode=binary_struct.Ack"}, kAckText, "ack.proto");
    BinaryConverter conv;
    QJsonDocument doc;
    QVERIFY2(conv.Binary2Json<AckMsg>(bytes, doc), qPrintable(conv.GetError()));
    const QJsonObject o = doc.object();
    QStringList keys = o.keys();
    QStringList want = kAckKeys;
    keys.sort();
    want.sort();
    QCOMPARE(keys, want);
    QCOMPARE(o.value("modem_id").toDouble(), 4000000000.0);
    QCOMPARE(o.value("signal_strength").toInt(), -3);
    QCOMPARE(o.value("phy").toString(), QString("DL_DBPSK_400_PROT_D"));
    QCOMPARE(o.value("f_system").toInt(-1), 0);
    QCOMPARE(o.value("placeholder").toString("x"), QString());
    QCOMPARE(o.value("preambula").toInt(), 305419896);

    // And back: a bare Ack, byte for byte what protoc wrote.
    QByteArray again;
    QVERIFY(conv.Json2Binary<AckMsg>(doc, again));
    QCOMPARE(again.toHex(), bytes.toHex());
}

void TestBinaryConverter::ackEmptyAndRoundTrip()
{
    BinaryConverter conv;
    QJsonDocument doc;
    QVERIFY(conv.Binary2Json<AckMsg>(QByteArray(), doc));
    const QJsonObject o = doc.object();
    QCOMPARE(o.size(), kAckKeys.size());
    QCOMPARE(o.value("modem_id").toInt(-1), 0);
    QCOMPARE(o.value("phy").toString("x"), QString());
}

void TestBinaryConverter::failures_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("error");
    const QByteArray hbEnvelope = QByteArray::fromHex("08011a020801"); // type MsgHb, heartbeat{version 1}
    QTest::newRow("unknown member") << "J2B pl" << QByteArray(R"({"version": 1, "snr_extra": 3})")
                                    << "snr_extra";
    QTest::newRow("wrong type") << "J2B pl" << QByteArray(R"({"version": "one"})") << "version";
    QTest::newRow("out of range") << "J2B pl" << QByteArray(R"({"bs_id": 3000000000})") << "bs_id";
    QTest::newRow("array document") << "J2B hb" << QByteArray("[1, 2]") << "";
    QTest::newRow("null document") << "J2B pl" << QByteArray() << "Error: empty JSON document";
    QTest::newRow("payload of heartbeat") << "B2J pl" << hbEnvelope
                                          << "Error: cannot extract union field, check extracted type";
    QTest::newRow("heartbeat of payload") << "B2J hb" << QByteArray::fromHex("12020801")
                                          << "Error: cannot extract union field, check extracted type";
    QTest::newRow("ack of garbage") << "B2J ack" << QByteArray("\xff\xff\xff")
                                    << "Error: cannot parse from array, size= 3";
    QTest::newRow("envelope of garbage") << "B2J pl" << QByteArray("\x12\x09\x08", 3)
                                         << "Error: cannot parse from array, size= 3";
    QTest::newRow("ack of JSON text") << "B2J ack" << QByteArray(R"({"modem_id": 1})")
                                      << "Error: cannot parse from array, size= 15";
    QTest::newRow("any: heartbeat type, payload held") << "any" << QByteArray::fromHex("08011202 0801")
                                                       << "Error: cannot extract hearbeat";
    QTest::newRow("any: payload type, nothing held") << "any" << QByteArray() << "Error: cannot extract payload";
    QTest::newRow("any: unknown type") << "any" << QByteArray::fromHex("0805") << "Error: unknown message type5";
}

void TestBinaryConverter::failures()
{
    QFETCH(QString, call);
    QFETCH(QByteArray, input);
    QFETCH(QString, error);
    BinaryConverter conv;
    QByteArray out("untouched");
    QJsonDocument doc = json(R"({"kept": true})");
    const QJsonDocument in = input.isEmpty() ? QJsonDocument() : QJsonDocument::fromJson(input);
    bool ok = true;
    if (call == "J2B pl")
        ok = conv.Json2Binary<PayloadMsg>(in, out);
    else if (call == "J2B hb")
        ok = conv.Json2Binary<HeartBeatMsg>(in, out);
    else if (call == "B2J pl")
        ok = conv.Binary2Json<PayloadMsg>(input, doc);
    else if (call == "B2J hb")
        ok = conv.Binary2Json<HeartBeatMsg>(input, doc);
    else if (call == "B2J ack")
        ok = conv.Binary2Json<AckMsg>(input, doc);
    else
        ok = conv.AnyBinary2Json(input, doc);
    QVERIFY(!ok);
    QVERIFY(!conv.GetError().isEmpty());
    if (error.startsWith("Error:"))
        QCOMPARE(conv.GetError(), error);
    else
        QVERIFY2(conv.GetError().contains(error), qPrintable(conv.GetError()));
    // Outputs are left as they were.
    QCOMPARE(out, QByteArray("untouched"));
    QCOMPARE(doc, json(R"({"kept": true})"));
}

void TestBinaryConverter::errorSurvivesSuccess()
{
    BinaryConverter conv;
    QCOMPARE(conv.GetError(), QString());
    QJsonDocument doc;
    QVERIFY(!conv.Binary2Json<AckMsg>("\xff\xff\xff", doc));
    const QString first = conv.GetError();
    QByteArray out;
    QVERIFY(conv.Json2Binary<PayloadMsg>(json(kUplink), out));
    QCOMPARE(conv.GetError(), first);
}

QTEST_GUILESS_MAIN(TestBinaryConverter)
#include "tst_binaryconverter.moc"
