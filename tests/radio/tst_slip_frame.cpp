// The modem's frame codec: escaping and check byte on the way out, the receive state machine on
// the way in (fed in chunks, as a serial port delivers bytes). Expected bytes are written out by
// hand; check bytes are CRC-8/MAXIM values worked out apart from the code.
#include "slip_frame.h"

#include <QtTest>

class tst_slip_frame : public QObject
{
    Q_OBJECT
private slots:
    void encode_data()
    {
        QTest::addColumn<int>("cmd");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("crc");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("empty payload, check byte on") << 0x09 << QByteArray() << true << QByteArray::fromHex("dd0900de");
        QTest::newRow("empty payload, check byte off") << 0x09 << QByteArray() << false << QByteArray::fromHex("dd09de");
        QTest::newRow("DD DE DF in the payload escaped") << 0x03 << QByteArray::fromHex("dddedf") << false
                                                         << QByteArray::fromHex("dd03df22df21df20de");
        QTest::newRow("command DD sent bare") << 0xdd << QByteArray::fromHex("01") << false << QByteArray::fromHex("dddd01de");
        QTest::newRow("plain payload with its check byte") << 0x40 << QByteArray::fromHex("0102") << true
                                                           << QByteArray::fromHex("dd40010278de");
        QTest::newRow("check byte DD escaped") << 0x03 << QByteArray::fromHex("06") << true << QByteArray::fromHex("dd0306df22de");
        QTest::newRow("check byte DE escaped") << 0x03 << QByteArray::fromHex("2d") << true << QByteArray::fromHex("dd032ddf21de");
        QTest::newRow("check byte DF escaped") << 0x03 << QByteArray::fromHex("34") << true << QByteArray::fromHex("dd0334df20de");
    }
    void encode()
    {
        QFETCH(int, cmd);
        QFETCH(QByteArray, payload);
        QFETCH(bool, crc);
        QFETCH(QByteArray, wire);
        QCOMPARE(slip_frame::encode(quint8(cmd), payload, crc).toHex(), wire.toHex());
    }

    // Chunks are hex strings fed one read at a time; frames come out as "cmd:payload".
    void decode_data()
    {
        QTest::addColumn<bool>("crc");
        QTest::addColumn<QStringList>("chunks");
        QTest::addColumn<QStringList>("frames");
        const QString full254 = QStringLiteral("dd03") + QStringLiteral("01").repeated(254) + QStringLiteral("de");
        const QString over255 = QStringLiteral("dd03") + QStringLiteral("01").repeated(255) + QStringLiteral("de");
        QTest::newRow("a frame split over reads") << false << QStringList{"dd0901", "0203", "04de"} << QStringList{"09:01020304"};
        QTest::newRow("two frames in one read, both") << false << QStringList{"dd0901dedd2100de"} << QStringList{"09:01", "21:00"};
        QTest::newRow("a second frame begun in the first read") << false << QStringList{"dd0901dedd21", "07de"}
                                                               << QStringList{"09:01", "21:07"};
        QTest::newRow("a start byte restarts the frame") << false << QStringList{"dd0901dd2105de"} << QStringList{"21:05"};
        QTest::newRow("DF DD is data 22") << false << QStringList{"dd03dfddde"} << QStringList{"03:22"};
        QTest::newRow("DF then DE is data 21") << false << QStringList{"dd03df", "dede"} << QStringList{"03:21"};
        QTest::newRow("noise outside a frame") << false << QStringList{"0102de", "dd0901de33"} << QStringList{"09:01"};
        QTest::newRow("254 payload bytes pass") << false << QStringList{full254}
                                               << QStringList{QStringLiteral("03:") + QStringLiteral("01").repeated(254)};
        QTest::newRow("255 bytes abandon the frame, the next one passes")
            << false << QStringList{over255, "dd2101de"} << QStringList{"21:01"};
        QTest::newRow("good check byte") << true << QStringList{"dd40010278de"} << QStringList{"40:0102"};
        QTest::newRow("bad check byte dropped") << true << QStringList{"dd40010279de", "dd0900de"} << QStringList{"09:"};
        QTest::newRow("DD cmd DE rejected with the check byte on") << true << QStringList{"dd09de"} << QStringList{};
        QTest::newRow("DD cmd DE is an empty frame without it") << false << QStringList{"dd09de"} << QStringList{"09:"};
        QTest::newRow("escaped check byte") << true << QStringList{"dd0306df", "22de"} << QStringList{"03:06"};
    }
    void decode()
    {
        QFETCH(bool, crc);
        QFETCH(QStringList, chunks);
        QFETCH(QStringList, frames);
        slip_receiver rx;
        rx.setCheckByte(crc);
        QStringList got;
        for (const QString& chunk : chunks) {
            for (const slip_receiver::Frame& f : rx.feed(QByteArray::fromHex(chunk.toLatin1())))
                got << QString::fromLatin1(QByteArray(1, char(f.cmd)).toHex() + ':' + f.payload.toHex());
        }
        QCOMPARE(got, frames);
    }
};

QTEST_GUILESS_MAIN(tst_slip_frame)
#include "tst_slip_frame.moc"
