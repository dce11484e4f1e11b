// Wire codec of the AMQP client: field values, tables, frames, content headers, the frame reader
// and the message value type.
#include <QtTest>

#include <QPoint>

#include "AmqpFrame.h"
#include "AmqpFrameReader.h"
#include "AmqpMessage.h"
#include "AmqpTable.h"

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray writeValue(const QVariant& value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    AmqpTable::writeFieldValue(out, value);
    return bytes;
}

QByteArray writeTable(const AmqpTable& table, QDataStream::Status* status = nullptr)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << table;
    if (status)
        *status = out.status();
    return bytes;
}

QByteArray entry(const QByteArray& key, const QByteArray& value)
{
    return QByteArray(1, char(key.size())) + key + value;
}

QByteArray table(const QByteArray& entries)
{
    QByteArray len(4, '\0');
    qToBigEndian<quint32>(quint32(entries.size()), len.data());
    return len + entries;
}

// A table nesting `depth` tables inside one another.
QByteArray nestedTables(int depth)
{
    QByteArray inner = table(QByteArray());
    for (int i = 0; i < depth; ++i)
        inner = table(entry("n", "F" + inner));
    return inner;
}

QByteArray nestedArrays(int depth)
{
    QByteArray inner = hex("41 00000000");
    for (int i = 0; i < depth; ++i) {
        QByteArray len(4, '\0');
        qToBigEndian<quint32>(quint32(inner.size()), len.data());
        inner = "A" + len + inner;
    }
    return table(entry("a", inner));
}

} // namespace

class tst_AmqpCodec : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { Amqp::registerMetaTypes(); }
    void writeFieldValue_data();
    void writeFieldValue();
    void readFieldValue_data();
    void readFieldValue();
    void octetTable();
    void tableVectors();
    void unwritableValuesSkipWholeEntry();
    void tableReadStopsAtItsEnd();
    void tableRoundTrip();
    void malformedTables_data();
    void malformedTables();
    void voidReadConsumesNothing();
    void shortStrings();
    void frameVectors();
    void contentHeaderVector();
    void contentHeaderRoundTrip();
    void contentHeaderRefusesLongShortString();
    void truncatedContentHeader();
    void frameReaderSplitsAndJoins();
    void frameReaderChecks_data();
    void frameReaderChecks();
    void messageValue();
};

void tst_AmqpCodec::writeFieldValue_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("true") << QVariant(true) << hex("74 01");
    QTest::newRow("300") << QVariant(300) << hex("73 01 2C");
    QTest::newRow("-5") << QVariant(-5) << hex("62 FB");
    QTest::newRow("40000") << QVariant(40000) << hex("49 00 00 9C 40");
    // Changed vector: signed ranges, so -128 fits one octet (was written as 73 FF 80).
    QTest::newRow("-128") << QVariant(-128) << hex("62 80");
    QTest::newRow("-129") << QVariant(-129) << hex("73 FF 7F");
    QTest::newRow("127") << QVariant(127) << hex("62 7F");
    QTest::newRow("128") << QVariant(128) << hex("73 00 80");
    QTest::newRow("int min") << QVariant(int(-2147483647 - 1)) << hex("49 80 00 00 00");
    // Changed vector: an unsigned value above INT32_MAX goes as 64-bit (was read back negative).
    QTest::newRow("uint 3e9") << QVariant(3000000000u) << hex("6C 00 00 00 00 B2 D0 5E 00");
    QTest::newRow("ushort 40000") << QVariant::fromValue(quint16(40000)) << hex("49 00 00 9C 40");
    QTest::newRow("qint64 5") << QVariant(qint64(5)) << hex("62 05");
    QTest::newRow("qint64 2^32") << QVariant(qint64(1) << 32) << hex("6C 00 00 00 01 00 00 00 00");
    // Changed vector: a double stays a double (was narrowed to 66 3F C0 00 00).
    QTest::newRow("double 1.5") << QVariant(1.5) << hex("64 3F F8 00 00 00 00 00 00");
    QTest::newRow("float 1.5") << QVariant(1.5f) << hex("66 3F C0 00 00");
    QTest::newRow("text") << QVariant(QStringLiteral("ab")) << hex("53 00 00 00 02 61 62");
    // Changed vector: long strings are UTF-8 (was Latin-1, one byte E9).
    QTest::newRow("text utf-8") << QVariant(QString::fromUtf8("\xC3\xA9")) << hex("53 00 00 00 02 C3 A9");
    QTest::newRow("bytes") << QVariant(QByteArray("\x01\x02", 2)) << hex("78 00 00 00 02 01 02");
    QTest::newRow("void") << QVariant() << hex("56");
    QTest::newRow("decimal") << QVariant::fromValue(Amqp::Decimal{2, 1234}) << hex("44 02 00 00 04 D2");
    QTest::newRow("array") << QVariant(QVariantList{QStringLiteral("x"), 1}) << hex("41 00 00 00 08 53 00 00 00 01 78 62 01");
    QTest::newRow("empty array") << QVariant(QVariantList()) << hex("41 00 00 00 00");
    // Changed vector: string lists and maps have encodings now (were left out).
    QTest::newRow("string list") << QVariant(QStringList{QStringLiteral("a")}) << hex("41 00 00 00 06 53 00 00 00 01 61");
    QTest::newRow("map") << QVariant(QVariantMap{{QStringLiteral("a"), true}}) << hex("46 00 00 00 04 01 61 74 01");
    QTest::newRow("timestamp") << QVariant(QDateTime::fromSecsSinceEpoch(1000, Qt::UTC)) << hex("54 00 00 00 00 00 00 03 E8");
}

void tst_AmqpCodec::writeFieldValue()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, expected);
    QCOMPARE(writeValue(value).toHex(' '), expected.toHex(' '));
}

void tst_AmqpCodec::readFieldValue_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("t") << hex("74 05") << QVariant(true);
    QTest::newRow("b") << hex("62 FB") << QVariant::fromValue(qint8(-5));
    QTest::newRow("s") << hex("73 01 2C") << QVariant::fromValue(qint16(300));
    QTest::newRow("I") << hex("49 FF FF FF FE") << QVariant::fromValue(qint32(-2));
    QTest::newRow("l") << hex("6C 80 00 00 00 00 00 00 00") << QVariant::fromValue(std::numeric_limits<qint64>::min());
    QTest::newRow("f") << hex("66 3F C0 00 00") << QVariant(1.5f);
    QTest::newRow("d") << hex("64 3F F8 00 00 00 00 00 00") << QVariant(1.5);
    QTest::newRow("D") << hex("44 02 00 00 04 D2") << QVariant::fromValue(Amqp::Decimal{2, 1234});
    QTest::newRow("S utf-8") << hex("53 00 00 00 02 C3 A9") << QVariant(QString::fromUtf8("\xC3\xA9"));
    QTest::newRow("x") << hex("78 00 00 00 01 FF") << QVariant(QByteArray("\xFF", 1));
    QTest::newRow("T") << hex("54 00 00 00 00 00 00 03 E8") << QVariant(QDateTime::fromSecsSinceEpoch(1000, Qt::UTC));
    QTest::newRow("A") << hex("41 00 00 00 08 53 00 00 00 01 78 62 01")
                       << QVariant(QVariantList{QStringLiteral("x"), QVariant::fromValue(qint8(1))});
    QTest::newRow("F") << hex("46 00 00 00 04 01 61 74 01") << QVariant(QVariantHash{{QStringLiteral("a"), true}});
    QTest::newRow("V") << hex("56") << QVariant();
}

void tst_AmqpCodec::readFieldValue()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QVariant, expected);
    QDataStream in(bytes);
    qint8 octet = 0;
    in >> octet;
    const QVariant value = AmqpTable::readFieldValue(in, AmqpTable::valueTypeForOctet(octet));
    QCOMPARE(in.status(), QDataStream::Ok);
    QVERIFY(in.atEnd());
    QCOMPARE(value.userType(), expected.userType());
    QCOMPARE(value, expected);
}

void tst_AmqpCodec::octetTable()
{
    const char octets[] = "tbsIlfdDSATFxV";
    for (const char* o = octets; *o; ++o)
        QCOMPARE(AmqpTable::valueTypeToOctet(AmqpTable::valueTypeForOctet(*o)), qint8(*o));
    for (char o : {'B', 'u', 'i', 'U', 'L', 'Z'})
        QCOMPARE(AmqpTable::valueTypeForOctet(o), AmqpMetaType::Invalid);
    for (auto t : {AmqpMetaType::ShortUint, AmqpMetaType::LongUint, AmqpMetaType::LongLongUint, AmqpMetaType::ShortString,
                   AmqpMetaType::ShortShortUint, AmqpMetaType::Invalid})
        QCOMPARE(AmqpTable::valueTypeToOctet(t), qint8('V'));
}

void tst_AmqpCodec::tableVectors()
{
    AmqpTable t;
    t.insert(QStringLiteral("a"), true);
    QCOMPARE(writeTable(t).toHex(' '), hex("00 00 00 04 01 61 74 01").toHex(' '));
    QCOMPARE(writeTable(AmqpTable()).toHex(' '), hex("00 00 00 00").toHex(' '));
}

void tst_AmqpCodec::unwritableValuesSkipWholeEntry()
{
    // Changed vector: a value without encoding leaves out its key too (was a key with no value).
    AmqpTable t;
    t.insert(QStringLiteral("a"), true);
    t.insert(QStringLiteral("p"), QPoint(1, 2));
    t.insert(QStringLiteral("u"), QVariant::fromValue(std::numeric_limits<quint64>::max()));
    QCOMPARE(writeTable(t).toHex(' '), hex("00 00 00 04 01 61 74 01").toHex(' '));

    QVariantList list{QPoint(1, 1), 7};
    QCOMPARE(writeValue(list).toHex(' '), hex("41 00 00 00 02 62 07").toHex(' '));
    QVERIFY(writeValue(QPoint(1, 1)).isEmpty());
}

void tst_AmqpCodec::tableReadStopsAtItsEnd()
{
    const QByteArray bytes = hex("00 00 00 04 01 61 74 01  AA BB");
    QDataStream in(bytes);
    AmqpTable t;
    in >> t;
    QCOMPARE(in.status(), QDataStream::Ok);
    QCOMPARE(t.value(QStringLiteral("a")), QVariant(true));
    quint16 rest = 0;
    in >> rest;
    QCOMPARE(rest, quint16(0xAABB));

    // Zero length and the all-ones length both read as an empty table of four bytes.
    for (const char* h : {"00000000 CC", "FFFFFFFF CC"}) {
        const QByteArray b = hex(h);
        QDataStream s(b);
        AmqpTable e;
        s >> e;
        QCOMPARE(s.status(), QDataStream::Ok);
        QVERIFY(e.isEmpty());
        quint8 next = 0;
        s >> next;
        QCOMPARE(next, quint8(0xCC));
    }

    // A later duplicate key replaces the earlier one.
    const QByteArray dup = table(entry("k", hex("62 01")) + entry("k", hex("62 02")));
    QDataStream d(dup);
    AmqpTable dt;
    d >> dt;
    QCOMPARE(dt.value(QStringLiteral("k")).toInt(), 2);
}

void tst_AmqpCodec::tableRoundTrip()
{
    AmqpTable t;
    t.insert(QStringLiteral("bool"), false);
    t.insert(QStringLiteral("big"), qint64(1) << 40);
    t.insert(QStringLiteral("text"), QString::fromUtf8("\xD0\x96"));
    t.insert(QStringLiteral("list"), QVariantList{1, QStringLiteral("two"), QVariantList{3}});
    t.insert(QStringLiteral("nested"), QVariantHash{{QStringLiteral("x"), 1.25}});
    t.insert(QStringLiteral("nothing"), QVariant());
    const QByteArray bytes = writeTable(t);
    QDataStream in(bytes);
    AmqpTable back;
    in >> back;
    QCOMPARE(in.status(), QDataStream::Ok);
    QCOMPARE(back.size(), t.size());
    QCOMPARE(back.value(QStringLiteral("big")).toLongLong(), qint64(1) << 40);
    QCOMPARE(back.value(QStringLiteral("text")).toString(), QString::fromUtf8("\xD0\x96"));
    QCOMPARE(back.value(QStringLiteral("list")).toList().at(2).toList().at(0).toInt(), 3);
    QCOMPARE(back.value(QStringLiteral("nested")).toHash().value(QStringLiteral("x")).toDouble(), 1.25);
    QVERIFY(back.contains(QStringLiteral("nothing")));
}

void tst_AmqpCodec::malformedTables_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");

    QTest::newRow("length past the data") << hex("00 00 00 10 01 61 74 01") << false;
    QTest::newRow("huge length") << hex("7F FF FF FE 01 61 74 01") << false;
    QTest::newRow("key past the data") << table(hex("09 61")) << false;
    QTest::newRow("value cut short") << table(entry("a", hex("49 00 01"))) << false;
    QTest::newRow("long string past the data") << table(entry("a", hex("53 7F FF FF FF 41"))) << false;
    QTest::newRow("bytes past the data") << table(entry("a", hex("78 00 00 01 00 41"))) << false;
    QTest::newRow("array past the data") << table(entry("a", hex("41 00 00 00 09 62 01"))) << false;
    QTest::newRow("unknown octet") << table(entry("a", hex("5A 01")) + entry("b", hex("74 01"))) << false;
    QTest::newRow("unknown octet in array") << table(entry("a", hex("41 00 00 00 02 55 01"))) << false;
    QTest::newRow("tables 31 deep") << nestedTables(31) << true;
    QTest::newRow("tables 40 deep") << nestedTables(40) << false;
    QTest::newRow("arrays 20 deep") << nestedArrays(20) << true;
    QTest::newRow("arrays 40 deep") << nestedArrays(40) << false;
    QTest::newRow("tables 2000 deep") << nestedTables(2000) << false;
}

void tst_AmqpCodec::malformedTables()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    QDataStream in(bytes);
    AmqpTable t;
    in >> t;
    QCOMPARE(in.status() == QDataStream::Ok, valid);
}

void tst_AmqpCodec::voidReadConsumesNothing()
{
    const QByteArray bytes = hex("AB");
    QDataStream in(bytes);
    QVERIFY(!AmqpFrame::readAmqpField(in, AmqpMetaType::Void).isValid());
    QVERIFY(!AmqpTable::readFieldValue(in, AmqpMetaType::Void).isValid());
    quint8 next = 0;
    in >> next;
    QCOMPARE(next, quint8(0xAB));
}

void tst_AmqpCodec::shortStrings()
{
    // 200 bytes: the length octet is unsigned.
    const QByteArray s200(200, 'q');
    const QByteArray b = QByteArray(1, char(200)) + s200;
    QDataStream in(b);
    QCOMPARE(AmqpFrame::readShortString(in), QString::fromLatin1(s200));

    // UTF-8 both ways (changed: short strings were read as Latin-1).
    const QString text = QString::fromUtf8("st\xC3\xA4tion");
    QByteArray out;
    QDataStream w(&out, QIODevice::WriteOnly);
    AmqpFrame::writeShortString(w, text);
    QCOMPARE(out, QByteArray("\x08st\xC3\xA4tion"));
    QDataStream r(out);
    QCOMPARE(AmqpFrame::readShortString(r), text);

    // Over 255 bytes: refused, never written with a cut length.
    QByteArray longOut;
    QDataStream lw(&longOut, QIODevice::WriteOnly);
    AmqpFrame::writeShortString(lw, QString(256, QLatin1Char('k')));
    QCOMPARE(lw.status(), QDataStream::WriteFailed);
    QVERIFY(longOut.isEmpty());
}

void tst_AmqpCodec::frameVectors()
{
    QCOMPARE(AmqpHeartbeatFrame().toByteArray().toHex(' '), hex("08 00 00 00 00 00 00 CE").toHex(' '));

    AmqpMethodFrame m(AmqpFrame::Connection, 11);
    m.setChannel(3);
    m.setArguments("AB");
    QCOMPARE(m.toByteArray().toHex(' '), hex("01 00 03 00 00 00 06 00 0A 00 0B 41 42 CE").toHex(' '));

    const AmqpContentBodyFrame body(2, "xyz");
    QCOMPARE(body.toByteArray().toHex(' '), hex("03 00 02 00 00 00 03 78 79 7A CE").toHex(' '));
}

void tst_AmqpCodec::contentHeaderVector()
{
    AmqpContentFrame h(AmqpFrame::Basic);
    h.setChannel(1);
    h.setProperty(AmqpMessage::ContentType, QStringLiteral("text/plain"));
    h.setBodySize(5);
    const QByteArray payload = hex("00 3C 00 00 00 00 00 00 00 00 00 05 80 00 0A") + "text/plain";
    QCOMPARE(h.toByteArray().toHex(' '), (hex("02 00 01 00 00 00 19") + payload + hex("CE")).toHex(' '));
}

void tst_AmqpCodec::contentHeaderRoundTrip()
{
    AmqpContentFrame h(AmqpFrame::Basic);
    AmqpTable headers;
    headers.insert(QStringLiteral("h"), 1);
    const QDateTime stamp = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
    const QList<QPair<AmqpMessage::Property, QVariant>> props = {
        {AmqpMessage::ContentType, QStringLiteral("application/octet-stream")},
        {AmqpMessage::ContentEncoding, QStringLiteral("utf-8")},
        {AmqpMessage::Headers, QVariant::fromValue(headers)},
        {AmqpMessage::DeliveryMode, 2},
        {AmqpMessage::Priority, 7},
        {AmqpMessage::CorrelationId, QStringLiteral("c")},
        {AmqpMessage::ReplyTo, QStringLiteral("r")},
        {AmqpMessage::Expiration, QStringLiteral("60000")},
        {AmqpMessage::MessageId, QStringLiteral("m")},
        {AmqpMessage::Timestamp, stamp},
        {AmqpMessage::Type, QStringLiteral("t")},
        {AmqpMessage::UserId, QStringLiteral("guest")},
        {AmqpMessage::AppId, QStringLiteral("a")},
        {AmqpMessage::ClusterID, QStringLiteral("cl")},
    };
    for (const auto& p : props)
        h.setProperty(p.first, p.second);
    h.setBodySize(quint64(1) << 40);
    const QByteArray bytes = h.toByteArray();
    QCOMPARE(quint8(bytes.at(19)), quint8(0xFF)); // flags high byte
    QCOMPARE(quint8(bytes.at(20)), quint8(0xFC));

    AmqpContentFrame back;
    QVERIFY(back.parse(bytes.mid(7, bytes.size() - 8)));
    QCOMPARE(back.bodySize(), quint64(1) << 40);
    QCOMPARE(back.properties().size(), props.size());
    QCOMPARE(back.property(AmqpMessage::Timestamp).toDateTime(), stamp);
    QCOMPARE(back.property(AmqpMessage::Priority).toInt(), 7);
    QCOMPARE(back.property(AmqpMessage::Headers).value<AmqpTable>().value(QStringLiteral("h")).toInt(), 1);
    QCOMPARE(back.property(AmqpMessage::ClusterID).toString(), QStringLiteral("cl"));
}

void tst_AmqpCodec::contentHeaderRefusesLongShortString()
{
    AmqpContentFrame h(AmqpFrame::Basic);
    h.setChannel(1);
    h.setProperty(AmqpMessage::ContentType, QString(300, QLatin1Char('x')));
    QVERIFY(h.toByteArray().isEmpty());
}

void tst_AmqpCodec::truncatedContentHeader()
{
    AmqpContentFrame h(AmqpFrame::Basic);
    h.setProperty(AmqpMessage::ContentType, QStringLiteral("text/plain"));
    h.setBodySize(5);
    const QByteArray bytes = h.toByteArray();
    const QByteArray payload = bytes.mid(7, bytes.size() - 8);
    for (int cut = 0; cut < payload.size(); ++cut) {
        AmqpContentFrame back;
        QVERIFY2(!back.parse(payload.left(cut)), qPrintable(QString::number(cut)));
    }
}

void tst_AmqpCodec::frameReaderSplitsAndJoins()
{
    AmqpFrameReader reader;
    const QByteArray one = AmqpHeartbeatFrame().toByteArray();
    AmqpMethodFrame m(AmqpFrame::Basic, 80);
    m.setChannel(1);
    m.setArguments(QByteArray(9, '\0'));
    const QByteArray two = m.toByteArray();

    AmqpFrameReader::Frame f;
    Amqp::Error e = Amqp::NoError;
    QString text;
    reader.append(one + two);
    QCOMPARE(reader.next(f, e, text), AmqpFrameReader::FrameReady);
    QCOMPARE(f.type, quint8(8));
    QCOMPARE(reader.next(f, e, text), AmqpFrameReader::FrameReady);
    QCOMPARE(f.type, quint8(1));
    QCOMPARE(f.channel, quint16(1));
    QCOMPARE(f.payload.size(), 13);
    QCOMPARE(reader.next(f, e, text), AmqpFrameReader::NeedMore);

    // One byte at a time: ready only with the last byte.
    for (int i = 0; i < two.size(); ++i) {
        reader.append(two.mid(i, 1));
        const auto r = reader.next(f, e, text);
        QCOMPARE(r, i == two.size() - 1 ? AmqpFrameReader::FrameReady : AmqpFrameReader::NeedMore);
    }
    QCOMPARE(reader.buffered(), 0);
}

void tst_AmqpCodec::frameReaderChecks_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("error");

    const QByteArray max = QByteArray(4096 - 4, 'a');
    QTest::newRow("payload of exactly frame-max") << (hex("01 0001 00001000 003C 0050") + max + hex("CE"))
                                                  << int(AmqpFrameReader::FrameReady) << 0;
    QTest::newRow("frame-max plus one, header only") << hex("01 0001 00001001") << int(AmqpFrameReader::Failed) << 501;
    QTest::newRow("size 0xFFFFFFFF") << hex("03 0001 FFFFFFFF") << int(AmqpFrameReader::Failed) << 501;
    QTest::newRow("wrong end") << hex("08 0000 00000000 00") << int(AmqpFrameReader::Failed) << 505;
    QTest::newRow("incomplete") << hex("08 0000 000000") << int(AmqpFrameReader::NeedMore) << 0;
}

void tst_AmqpCodec::frameReaderChecks()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, result);
    QFETCH(int, error);
    AmqpFrameReader reader;
    reader.setFrameMax(4096);
    reader.append(bytes);
    AmqpFrameReader::Frame f;
    Amqp::Error e = Amqp::NoError;
    QString text;
    QCOMPARE(int(reader.next(f, e, text)), result);
    QCOMPARE(int(e), error);
}

void tst_AmqpCodec::messageValue()
{
    AmqpMessage a;
    QVERIFY(!a.isValid());
    QCOMPARE(a.property(AmqpMessage::ContentType, QStringLiteral("none")).toString(), QStringLiteral("none"));
    a.setProperty(AmqpMessage::ContentType, QStringLiteral("text/plain"));
    AmqpMessage b = a;
    QVERIFY(a == b);
    QCOMPARE(qHash(a), qHash(b));
    b.setProperty(AmqpMessage::ContentType, QStringLiteral("application/json"));
    b.setHeader(QStringLiteral("h"), 1);
    QVERIFY(a != b);
    QCOMPARE(a.property(AmqpMessage::ContentType).toString(), QStringLiteral("text/plain"));
    QVERIFY(!a.hasHeader(QStringLiteral("h")));
    QCOMPARE(b.headers().value(QStringLiteral("h")).toInt(), 1);
}

QTEST_GUILESS_MAIN(tst_AmqpCodec)
#include "tst_AmqpCodec.moc"
