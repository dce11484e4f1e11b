#pragma once

#include <QByteArray>
#include <QtGlobal>

// AES block cipher with the ECB, CBC, CFB and OFB block modes and three padding schemes.
// The station keeps its broker credentials encrypted in the INI file (AES-256, CBC, ISO);
// the other combinations are here for completeness and are checked against openssl.
//
// An object holds no key: every call takes the key and the IV. Every operation works on
// local state only, so one object may be used from several threads.
class AesCipher
{
public:
    enum Aes : qint32 { AES_128 = 0, AES_192 = 1, AES_256 = 2 };
    enum Mode : qint32 { ECB = 0, CBC = 1, CFB = 2, OFB = 3 };
    enum Padding : qint32 { ZERO = 0, PKCS7 = 1, ISO = 2 };

    AesCipher(Aes level = AES_256, Mode mode = CBC, Padding padding = ISO);

    // Ciphertext of rawText plus padding; empty for a chained mode without a 16-byte IV
    // or for a key shorter than the level needs.
    QByteArray encode(const QByteArray& rawText, const QByteArray& key,
                      const QByteArray& iv = QByteArray()) const;
    // Plaintext still carrying its padding (see removePadding); empty on a bad IV, a short
    // key, or an ECB/CBC ciphertext that is not a whole number of blocks.
    QByteArray decode(const QByteArray& rawText, const QByteArray& key,
                      const QByteArray& iv = QByteArray()) const;
    QByteArray removePadding(const QByteArray& rawText) const;
    // The expanded key schedule, (Nr + 1) * 16 bytes; empty for a short key.
    QByteArray expandKey(const QByteArray& key) const;

    static QByteArray Crypt(Aes level, Mode mode, const QByteArray& rawText, const QByteArray& key,
                            const QByteArray& iv = QByteArray(), Padding padding = ISO);
    static QByteArray Decrypt(Aes level, Mode mode, const QByteArray& rawText, const QByteArray& key,
                              const QByteArray& iv = QByteArray(), Padding padding = ISO);
    static QByteArray ExpandKey(Aes level, Mode mode, const QByteArray& key);
    static QByteArray RemovePadding(const QByteArray& rawText, Padding padding = ISO);

    int keyLength() const { return m_nk * 4; }

private:
    typedef quint8 Block[16];

    QByteArray padded(const QByteArray& rawText) const;
    void addRoundKey(Block& state, const quint8* roundKeys, int round) const;
    void cipher(Block& state, const quint8* roundKeys) const;
    void invCipher(Block& state, const quint8* roundKeys) const;
    static QByteArray byteXor(const QByteArray& a, const QByteArray& b);
    QByteArray encryptBlock(const QByteArray& block, const QByteArray& roundKeys) const;
    QByteArray decryptBlock(const QByteArray& block, const QByteArray& roundKeys) const;
    bool ivOk(const QByteArray& iv) const;

    const int m_nb = 4;
    const int m_blocklen = 16;
    Aes m_level;
    Mode m_mode;
    int m_nk;
    int m_nr;
    Padding m_padding;
};
