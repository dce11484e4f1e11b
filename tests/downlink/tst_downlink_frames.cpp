// The four 36-byte downlink frames, byte for byte.
#include "crc.h"
#include "downlink_frames.h"
#include "frame_coders.h"

#include <QtTest>

#include <cstring>

namespace {
QByteArray bytes(const uint8_t* p, int n)
{
    return QByteArray(reinterpret_cast<const char*>(p), n);
}

QByteArray crc24(const QByteArray& thirteen)
{
    const unsigned int c = CRC32(reinterpret_cast<const unsigned char*>(thirteen.constData()), 13);
    return QByteArray::fromHex(QByteArray::number(c & 0xFFFFFF, 16).rightJustified(6, '0'));
}

QByteArray parity(const QByteArray& sixteen, unsigned int mode)
{
    uint8_t out[16];
    ZCODE_Append(reinterpret_cast<const uint8_t*>(sixteen.constData()), out, mode);
    return bytes(out, 16);
}

// Preamble, 13-byte body, its CRC-24 and the parity of body and CRC.
QByteArray protD(const QByteArray& preamble, const QByteArray& body, unsigned int mode)
{
    const QByteArray checked = body + crc24(body);
    return preamble + checked + parity(checked, mode);
}

const uint8_t kPayload[9] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x99};
} // namespace

class TestDownlinkFrames : public QObject {
    Q_OBJECT
private slots:
    void autocorrectionWorkedExample();
    void frames_data();
    void frames();
    void protocolEIdIsOutsideItsCrc();
    void protocolDChecks();
};

void TestDownlinkFrames::autocorrectionWorkedExample()
{
    uint8_t f[DL_FRAME_SIZE];
    build_autocorrection_frame(0x123456, f);
    QCOMPARE(bytes(f, 20).toHex(' '), QByteArray("97 15 7a 6f 12 34 56 00 00 00 00 00 00 00 00 00 00 3a 5d e2"));
    QCOMPARE(bytes(f + 20, 16), parity(bytes(f + 4, 16), 0));
}

void TestDownlinkFrames::frames_data()
{
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray pld = bytes(kPayload, 8);
    const QByteArray dPre = QByteArray::fromHex("97157a6f");
    uint8_t f[DL_FRAME_SIZE];

    build_autocorrection_frame(0xAB123456, f);
    QTest::newRow("autocorrection: id top byte not sent")
        << bytes(f, 36) << protD(dPre, QByteArray::fromHex("12345600") + QByteArray(9, '\0'), 0);

    build_prot_d_ver4_frame(0x0A0B0C, 0x45, kPayload, kPayload[8], f);
    QTest::newRow("D v4: iter 0x45, ninth payload byte as crc")
        << bytes(f, 36) << protD(dPre, QByteArray::fromHex("0a0b0c45") + pld + QByteArray::fromHex("99"), 1);

    build_prot_d_ver4_frame(0xFF0A0B0C, 0x80, kPayload, 0, f);
    QTest::newRow("D v4: id above 24 bits")
        << bytes(f, 36) << protD(dPre, QByteArray::fromHex("0a0b0c80") + pld + QByteArray(1, '\0'), 1);

    build_prot_d_ver5_frame(0xCAFEBABE, 0x1234, 0x5678, kPayload, 0xFF123456, f);
    QTest::newRow("D v5: low bytes of iter and flags, MIC above 24 bits")
        << bytes(f, 36) << protD(QByteArray::fromHex("cafebabe"), QByteArray::fromHex("3478") + pld + QByteArray::fromHex("123456"), 1);
}

void TestDownlinkFrames::frames()
{
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, expected);
    QCOMPARE(built.toHex(' '), expected.toHex(' '));
}

void TestDownlinkFrames::protocolEIdIsOutsideItsCrc()
{
    const QByteArray pld = bytes(kPayload, 8);
    const QByteArray covered = QByteArray::fromHex("0203") + pld + QByteArray::fromHex("abcdef");
    for (quint32 id : {0x00000001u, 0xDEADBEEFu}) {
        uint8_t f[DL_FRAME_SIZE];
        build_prot_e_ver5_frame(id, 0x11223344, 0x102, 0x203, kPayload, 0x77ABCDEF, f);
        QByteArray block = QByteArray::fromHex(QByteArray::number(id, 16).rightJustified(8, '0'));
        block += covered + crc24(covered);
        QCOMPARE(block.size(), 20);
        uint8_t code[32];
        encode(8, reinterpret_cast<const uint8_t*>(block.constData()), code);
        QCOMPARE(bytes(f, 4), QByteArray::fromHex("11223344"));
        QCOMPARE(bytes(f + 4, 32).toHex(), bytes(code, 32).toHex());
    }
}

void TestDownlinkFrames::protocolDChecks()
{
    uint8_t f[DL_FRAME_SIZE];
    build_autocorrection_frame(0x6E0C22, f);
    QVERIFY(dl_prot_d_crc_ok(f));
    QVERIFY(dl_prot_d_parity_ok(f));
    build_prot_d_ver5_frame(1, 2, 3, kPayload, 4, f);
    QVERIFY(dl_prot_d_crc_ok(f));
    QVERIFY(dl_prot_d_parity_ok(f));
    f[10] ^= 0x01;
    QVERIFY(!dl_prot_d_crc_ok(f));
    QVERIFY(!dl_prot_d_parity_ok(f));
}

QTEST_APPLESS_MAIN(TestDownlinkFrames)
#include "tst_downlink_frames.moc"
