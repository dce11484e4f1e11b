// AES against the FIPS-197 example vectors and, for every level/mode/padding, against
// `openssl enc` run on the same padded input.
#include "AesCipher.h"

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

Q_DECLARE_METATYPE(AesCipher::Aes)
Q_DECLARE_METATYPE(AesCipher::Mode)
Q_DECLARE_METATYPE(AesCipher::Padding)

namespace {

QByteArray hex(const char* s)
{
    return QByteArray::fromHex(s);
}

QByteArray counting(int n, int start = 0)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char(start + i);
    return b;
}

const char* levelName(AesCipher::Aes a)
{
    switch (a) {
    case AesCipher::AES_192: return "192";
    case AesCipher::AES_256: return "256";
    default: return "128";
    }
}

const char* modeName(AesCipher::Mode m)
{
    switch (m) {
    case AesCipher::CBC: return "cbc";
    case AesCipher::CFB: return "cfb";
    case AesCipher::OFB: return "ofb";
    default: return "ecb";
    }
}

const char* paddingName(AesCipher::Padding p)
{
    switch (p) {
    case AesCipher::PKCS7: return "pkcs7";
    case AesCipher::ISO: return "iso";
    default: return "zero";
    }
}

// The padding written out by hand, independent of the class.
QByteArray padByHand(const QByteArray& text, AesCipher::Padding p)
{
    const int rest = text.size() % 16;
    QByteArray out = text;
    if (p == AesCipher::PKCS7)
        return out + QByteArray(16 - rest, char(16 - rest));
    if (rest == 0)
        return out;
    if (p == AesCipher::ISO)
        return out + char(0x80) + QByteArray(15 - rest, '\0');
    return out + QByteArray(16 - rest, '\0');
}

// openssl enc without its own padding on already padded input.
QByteArray opensslEncrypt(AesCipher::Aes level, AesCipher::Mode mode, const QByteArray& padded,
                          const QByteArray& key, const QByteArray& iv)
{
    QStringList args{"enc", QStringLiteral("-aes-%1-%2").arg(levelName(level), modeName(mode)),
                     "-K", QString::fromLatin1(key.toHex()), "-nopad"};
    if (mode != AesCipher::ECB)
        args << "-iv" << QString::fromLatin1(iv.toHex());
    QProcess p;
    p.start("openssl", args);
    if (!p.waitForStarted())
        return "openssl did not start";
    p.write(padded);
    p.closeWriteChannel();
    p.waitForFinished(-1);
    if (p.exitCode() != 0)
        return "openssl failed: " + p.readAllStandardError();
    return p.readAllStandardOutput();
}

} // namespace

class TestAesCipher : public QObject
{
    Q_OBJECT

private slots:
    void fips197Vectors_data();
    void fips197Vectors();
    void keyExpansion_data();
    void keyExpansion();
    void matchesOpenssl_data();
    void matchesOpenssl();
    void credentialRoundTrip();
    void badInputGivesEmpty_data();
    void badInputGivesEmpty();
    void paddingLengths();
    void longKeyUsesItsPrefix();
    void removePadding_data();
    void removePadding();
};

void TestAesCipher::fips197Vectors_data()
{
    QTest::addColumn<AesCipher::Aes>("level");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("cipher");
    QTest::newRow("AES-128") << AesCipher::AES_128 << counting(16) << hex("69c4e0d86a7b0430d8cdb78070b4c55a");
    QTest::newRow("AES-192") << AesCipher::AES_192 << counting(24) << hex("dda97ca4864cdfe06eaf70a0ec0d7191");
    QTest::newRow("AES-256") << AesCipher::AES_256 << counting(32) << hex("8ea2b7ca516745bfeafc49904b496089");
}

void TestAesCipher::fips197Vectors()
{
    QFETCH(AesCipher::Aes, level);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, cipher);
    const QByteArray plain = hex("00112233445566778899aabbccddeeff");
    AesCipher aes(level, AesCipher::ECB, AesCipher::ZERO);
    QCOMPARE(aes.encode(plain, key).toHex(), cipher.toHex());
    QCOMPARE(aes.decode(cipher, key).toHex(), plain.toHex());
}

void TestAesCipher::keyExpansion_data()
{
    QTest::addColumn<AesCipher::Aes>("level");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("lastWord");
    QTest::newRow("128") << AesCipher::AES_128 << hex("2b7e151628aed2a6abf7158809cf4f3c") << 176 << hex("b6630ca6");
    QTest::newRow("192") << AesCipher::AES_192 << hex("8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b") << 208
                         << hex("01002202");
    QTest::newRow("256") << AesCipher::AES_256
                         << hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4") << 240
                         << hex("706c631e");
}

void TestAesCipher::keyExpansion()
{
    QFETCH(AesCipher::Aes, level);
    QFETCH(QByteArray, key);
    QFETCH(int, length);
    QFETCH(QByteArray, lastWord);
    const QByteArray w = AesCipher::ExpandKey(level, AesCipher::CBC, key);
    QCOMPARE(w.size(), length);
    QCOMPARE(w.left(key.size()).toHex(), key.toHex());
    QCOMPARE(w.right(4).toHex(), lastWord.toHex());
}

void TestAesCipher::matchesOpenssl_data()
{
    QTest::addColumn<AesCipher::Aes>("level");
    QTest::addColumn<AesCipher::Mode>("mode");
    QTest::addColumn<AesCipher::Padding>("padding");
    const AesCipher::Aes levels[] = {AesCipher::AES_128, AesCipher::AES_192, AesCipher::AES_256};
    const AesCipher::Mode modes[] = {AesCipher::ECB, AesCipher::CBC, AesCipher::CFB, AesCipher::OFB};
    const AesCipher::Padding paddings[] = {AesCipher::ZERO, AesCipher::PKCS7, AesCipher::ISO};
    for (auto l : levels)
        for (auto m : modes)
            for (auto p : paddings)
                QTest::addRow("aes-%s-%s-%s", levelName(l), modeName(m), paddingName(p)) << l << m << p;
}

void TestAesCipher::matchesOpenssl()
{
    if (QStandardPaths::findExecutable("openssl").isEmpty())
        QSKIP("openssl is not installed");
    QFETCH(AesCipher::Aes, level);
    QFETCH(AesCipher::Mode, mode);
    QFETCH(AesCipher::Padding, padding);
    AesCipher aes(level, mode, padding);
    const QByteArray key = counting(32, 0xA0);
    const QByteArray iv = counting(16, 0x31);
    // Empty, short, one block exactly, several blocks with a short tail.
    for (int len : {0, 5, 16, 53}) {
        const QByteArray plain = counting(len, 0x41);
        const QByteArray padded = padByHand(plain, padding);
        const QByteArray got = aes.encode(plain, key, iv);
        const QByteArray want = opensslEncrypt(level, mode, padded, key.left(aes.keyLength()), iv);
        QVERIFY2(got == want, qPrintable(QStringLiteral("length %1: %2 != %3")
                                             .arg(len).arg(QString(got.toHex()), QString(want.toHex()))));
        const QByteArray back = aes.decode(got, key, iv);
        QCOMPARE(back.toHex(), padded.toHex());
        QCOMPARE(aes.removePadding(back).toHex(), plain.toHex());
    }
}

void TestAesCipher::credentialRoundTrip()
{
    // The configuration the station stores its broker credentials with.
    AesCipher aes(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
    const QByteArray key = QCryptographicHash::hash("station key text", QCryptographicHash::Sha256);
    const QByteArray iv = QCryptographicHash::hash("station iv text", QCryptographicHash::Md5);
    for (const QByteArray& secret : {QByteArray("guest"), QByteArray("p@ss'word\"16byte"),
                                     QByteArray("a much longer password of forty-two bytes!")}) {
        const QByteArray enc = aes.encode(secret, key, iv);
        QCOMPARE(enc.size() % 16, 0);
        QCOMPARE(aes.removePadding(aes.decode(enc, key, iv)), secret);
    }
}

void TestAesCipher::badInputGivesEmpty_data()
{
    QTest::addColumn<AesCipher::Aes>("level");
    QTest::addColumn<AesCipher::Mode>("mode");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("iv");
    QTest::addColumn<bool>("encodeEmpty");
    const QByteArray iv = counting(16);
    const QByteArray block2 = counting(32, 7);
    QTest::newRow("128 key of 15") << AesCipher::AES_128 << AesCipher::CBC << block2 << counting(15) << iv << true;
    QTest::newRow("192 key of 16") << AesCipher::AES_192 << AesCipher::ECB << block2 << counting(16) << iv << true;
    QTest::newRow("256 key of 24") << AesCipher::AES_256 << AesCipher::OFB << block2 << counting(24) << iv << true;
    QTest::newRow("256 no key") << AesCipher::AES_256 << AesCipher::CFB << block2 << QByteArray() << iv << true;
    QTest::newRow("cbc iv of 15") << AesCipher::AES_128 << AesCipher::CBC << block2 << counting(16) << counting(15) << true;
    QTest::newRow("cfb no iv") << AesCipher::AES_128 << AesCipher::CFB << block2 << counting(16) << QByteArray() << true;
    QTest::newRow("ofb iv of 17") << AesCipher::AES_128 << AesCipher::OFB << block2 << counting(16) << counting(17) << true;
    // Ragged ciphertexts: encoding them is fine (padding), decoding is refused.
    QTest::newRow("ecb ragged 17") << AesCipher::AES_128 << AesCipher::ECB << counting(17) << counting(16) << iv << false;
    QTest::newRow("cbc ragged 31") << AesCipher::AES_256 << AesCipher::CBC << counting(31) << counting(32) << iv << false;
    QTest::newRow("cbc ragged 1") << AesCipher::AES_192 << AesCipher::CBC << counting(1) << counting(24) << iv << false;
}

void TestAesCipher::badInputGivesEmpty()
{
    QFETCH(AesCipher::Aes, level);
    QFETCH(AesCipher::Mode, mode);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, iv);
    QFETCH(bool, encodeEmpty);
    for (auto padding : {AesCipher::ZERO, AesCipher::PKCS7, AesCipher::ISO}) {
        AesCipher aes(level, mode, padding);
        QCOMPARE(aes.decode(text, key, iv), QByteArray());
        QCOMPARE(aes.encode(text, key, iv).isEmpty(), encodeEmpty);
    }
}

void TestAesCipher::paddingLengths()
{
    const QByteArray key = counting(16);
    const QByteArray iv = counting(16, 100);
    const QByteArray sixteen = counting(16, 1);
    QCOMPARE(AesCipher::Crypt(AesCipher::AES_128, AesCipher::CBC, sixteen, key, iv, AesCipher::ISO).size(), 16);
    QCOMPARE(AesCipher::Crypt(AesCipher::AES_128, AesCipher::CBC, sixteen, key, iv, AesCipher::ZERO).size(), 16);
    QCOMPARE(AesCipher::Crypt(AesCipher::AES_128, AesCipher::CBC, sixteen, key, iv, AesCipher::PKCS7).size(), 32);

    const QByteArray five("hello");
    const QByteArray enc = AesCipher::Crypt(AesCipher::AES_128, AesCipher::CBC, five, key, iv, AesCipher::ISO);
    const QByteArray dec = AesCipher::Decrypt(AesCipher::AES_128, AesCipher::CBC, enc, key, iv, AesCipher::ISO);
    QCOMPARE(dec, five + char(0x80) + QByteArray(10, '\0'));
    QCOMPARE(AesCipher::RemovePadding(dec, AesCipher::ISO), five);

    // ECB takes any IV, or none.
    AesCipher ecb(AesCipher::AES_128, AesCipher::ECB, AesCipher::ZERO);
    QCOMPARE(ecb.encode(sixteen, key, counting(3)), ecb.encode(sixteen, key));
}

void TestAesCipher::longKeyUsesItsPrefix()
{
    const QByteArray key40 = counting(40, 9);
    const QByteArray iv = counting(16, 3);
    AesCipher aes(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
    QCOMPARE(aes.encode("text", key40, iv), aes.encode("text", key40.left(32), iv));
    // A level value out of range behaves as AES-128.
    AesCipher odd(static_cast<AesCipher::Aes>(7), AesCipher::CBC, AesCipher::ISO);
    QCOMPARE(odd.encode("text", key40, iv),
             AesCipher(AesCipher::AES_128, AesCipher::CBC, AesCipher::ISO).encode("text", key40, iv));
}

void TestAesCipher::removePadding_data()
{
    QTest::addColumn<AesCipher::Padding>("padding");
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    const QByteArray x80(1, char(0x80));
    QTest::newRow("zero trailing") << AesCipher::ZERO << QByteArray("ab\0\0\0", 5) << QByteArray("ab");
    QTest::newRow("zero all zero") << AesCipher::ZERO << QByteArray(16, '\0') << QByteArray();
    QTest::newRow("zero empty") << AesCipher::ZERO << QByteArray() << QByteArray();
    QTest::newRow("pkcs7 three") << AesCipher::PKCS7 << QByteArray("abcd\3\3\3") << QByteArray("abcd");
    QTest::newRow("pkcs7 zero byte") << AesCipher::PKCS7 << QByteArray("abc\0", 4) << QByteArray("abc\0", 4);
    QTest::newRow("pkcs7 longer than text") << AesCipher::PKCS7 << QByteArray("ab\x05") << QByteArray("ab\x05");
    QTest::newRow("pkcs7 whole block") << AesCipher::PKCS7 << counting(16, 1) + QByteArray(16, 0x10) << counting(16, 1);
    QTest::newRow("pkcs7 nothing but padding") << AesCipher::PKCS7 << QByteArray(16, 0x10) << QByteArray();
    // Bytes that are not padding this cipher writes are data: nothing is cut.
    QTest::newRow("pkcs7 mixed padding bytes") << AesCipher::PKCS7 << QByteArray("abcd\1\3\3") << QByteArray("abcd\1\3\3");
    QTest::newRow("pkcs7 count beyond a block") << AesCipher::PKCS7 << QByteArray(20, 0x11) << QByteArray(20, 0x11);
    QTest::newRow("pkcs7 data ending in a small byte") << AesCipher::PKCS7 << counting(16, 1) + "\x02"
                                                       << counting(16, 1) + "\x02";
    QTest::newRow("iso marker and zeros") << AesCipher::ISO << QByteArray("abc") + x80 + QByteArray(12, '\0')
                                          << QByteArray("abc");
    QTest::newRow("iso marker last byte") << AesCipher::ISO << counting(15, 1) + x80 << counting(15, 1);
    QTest::newRow("iso no marker") << AesCipher::ISO << counting(16, 1) << counting(16, 1);
    // An aligned text is not padded; a 0x80 inside it is data.
    QTest::newRow("iso marker inside data") << AesCipher::ISO << QByteArray("ab") + x80 + "cdefghijklmnopqrstuvwxyz01234"
                                            << QByteArray("ab") + x80 + "cdefghijklmnopqrstuvwxyz01234";
    QTest::newRow("iso marker then data in last block") << AesCipher::ISO
                                                        << counting(10, 1) + x80 + QByteArray("\0\0x\0\0", 5)
                                                        << counting(10, 1) + x80 + QByteArray("\0\0x\0\0", 5);
    QTest::newRow("iso marker before last block") << AesCipher::ISO << QByteArray("abc") + x80 + QByteArray(28, '\0')
                                                  << QByteArray("abc") + x80 + QByteArray(28, '\0');
    QTest::newRow("iso empty") << AesCipher::ISO << QByteArray() << QByteArray();
}

void TestAesCipher::removePadding()
{
    QFETCH(AesCipher::Padding, padding);
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    QCOMPARE(AesCipher::RemovePadding(in, padding).toHex(), out.toHex());
    QCOMPARE(AesCipher(AesCipher::AES_128, AesCipher::CBC, padding).removePadding(in).toHex(), out.toHex());
}

QTEST_GUILESS_MAIN(TestAesCipher)
#include "tst_aescipher.moc"
