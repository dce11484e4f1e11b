#include "AesCipher.h"

#include <cstring>

namespace {

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
quint8 xtime(quint8 a)
{
    return quint8((a << 1) ^ ((a & 0x80) ? 0x1b : 0x00));
}

quint8 gmul(quint8 a, quint8 b)
{
    quint8 p = 0;
    while (b) {
        if (b & 1)
            p ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return p;
}

quint8 rotl8(quint8 x, int n)
{
    return quint8((x << n) | (x >> (8 - n)));
}

// The substitution box, its inverse and the round constants, derived once from their
// definitions (multiplicative inverse followed by the affine map; powers of x) rather than
// typed in, so a transcription slip cannot hide in a 256-entry table.
struct Tables
{
    quint8 sbox[256];
    quint8 rsbox[256];
    quint8 rcon[16];

    Tables()
    {
        quint8 inv[256];
        inv[0] = 0;
        for (int a = 1; a < 256; ++a) {
            for (int b = 1; b < 256; ++b) {
                if (gmul(quint8(a), quint8(b)) == 1) {
                    inv[a] = quint8(b);
                    break;
                }
            }
        }
        for (int a = 0; a < 256; ++a) {
            const quint8 b = inv[a];
            const quint8 s = quint8(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63);
            sbox[a] = s;
            rsbox[s] = quint8(a);
        }
        quint8 r = 0x8d; // x^-1, so that rcon[1] is 0x01
        for (int i = 0; i < 16; ++i) {
            rcon[i] = r;
            r = xtime(r);
        }
    }
};

const Tables& tables()
{
    static const Tables t;
    return t;
}

} // namespace

AesCipher::AesCipher(Aes level, Mode mode, Padding padding)
    : m_level(level), m_mode(mode), m_padding(padding)
{
    switch (level) {
    case AES_192:
        m_nk = 6;
        m_nr = 12;
        break;
    case AES_256:
        m_nk = 8;
        m_nr = 14;
        break;
    default:
        m_level = AES_128;
        m_nk = 4;
        m_nr = 10;
        break;
    }
    tables();
}

QByteArray AesCipher::expandKey(const QByteArray& key) const
{
    if (key.size() < m_nk * 4)
        return QByteArray();
    const Tables& t = tables();
    const int words = m_nb * (m_nr + 1);
    QByteArray out(words * 4, '\0');
    quint8* w = reinterpret_cast<quint8*>(out.data());
    std::memcpy(w, key.constData(), size_t(m_nk * 4));
    for (int i = m_nk; i < words; ++i) {
        quint8 temp[4];
        std::memcpy(temp, w + (i - 1) * 4, 4);
        if (i % m_nk == 0) {
            const quint8 first = temp[0];
            temp[0] = quint8(t.sbox[temp[1]] ^ t.rcon[i / m_nk]);
            temp[1] = t.sbox[temp[2]];
            temp[2] = t.sbox[temp[3]];
            temp[3] = t.sbox[first];
        } else if (m_nk > 6 && i % m_nk == 4) {
            for (quint8& b : temp)
                b = t.sbox[b];
        }
        for (int j = 0; j < 4; ++j)
            w[i * 4 + j] = quint8(w[(i - m_nk) * 4 + j] ^ temp[j]);
    }
    return out;
}

void AesCipher::addRoundKey(Block& state, const quint8* roundKeys, int round) const
{
    for (int i = 0; i < m_blocklen; ++i)
        state[i] ^= roundKeys[round * m_blocklen + i];
}

// State byte i sits in row i % 4 and column i / 4.
void AesCipher::cipher(Block& s, const quint8* roundKeys) const
{
    const Tables& t = tables();
    addRoundKey(s, roundKeys, 0);
    for (int round = 1; round <= m_nr; ++round) {
        for (quint8& b : s)
            b = t.sbox[b];
        Block shifted;
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r)
                shifted[c * 4 + r] = s[((c + r) % 4) * 4 + r];
        std::memcpy(s, shifted, sizeof(Block));
        if (round != m_nr) {
            for (int c = 0; c < 4; ++c) {
                quint8* col = s + c * 4;
                const quint8 a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
                col[0] = quint8(xtime(a0) ^ (xtime(a1) ^ a1) ^ a2 ^ a3);
                col[1] = quint8(a0 ^ xtime(a1) ^ (xtime(a2) ^ a2) ^ a3);
                col[2] = quint8(a0 ^ a1 ^ xtime(a2) ^ (xtime(a3) ^ a3));
                col[3] = quint8((xtime(a0) ^ a0) ^ a1 ^ a2 ^ xtime(a3));
            }
        }
        addRoundKey(s, roundKeys, round);
    }
}

void AesCipher::invCipher(Block& s, const quint8* roundKeys) const
{
    const Tables& t = tables();
    addRoundKey(s, roundKeys, m_nr);
    for (int round = m_nr - 1; round >= 0; --round) {
        Block shifted;
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r)
                shifted[((c + r) % 4) * 4 + r] = s[c * 4 + r];
        for (int i = 0; i < m_blocklen; ++i)
            s[i] = t.rsbox[shifted[i]];
        addRoundKey(s, roundKeys, round);
        if (round != 0) {
            for (int c = 0; c < 4; ++c) {
                quint8* col = s + c * 4;
                const quint8 a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
                col[0] = quint8(gmul(a0, 14) ^ gmul(a1, 11) ^ gmul(a2, 13) ^ gmul(a3, 9));
                col[1] = quint8(gmul(a0, 9) ^ gmul(a1, 14) ^ gmul(a2, 11) ^ gmul(a3, 13));
                col[2] = quint8(gmul(a0, 13) ^ gmul(a1, 9) ^ gmul(a2, 14) ^ gmul(a3, 11));
                col[3] = quint8(gmul(a0, 11) ^ gmul(a1, 13) ^ gmul(a2, 9) ^ gmul(a3, 14));
            }
        }
    }
}

QByteArray AesCipher::encryptBlock(const QByteArray& block, const QByteArray& roundKeys) const
{
    Block s;
    std::memcpy(s, block.constData(), sizeof(Block));
    cipher(s, reinterpret_cast<const quint8*>(roundKeys.constData()));
    return QByteArray(reinterpret_cast<const char*>(s), sizeof(Block));
}

QByteArray AesCipher::decryptBlock(const QByteArray& block, const QByteArray& roundKeys) const
{
    Block s;
    std::memcpy(s, block.constData(), sizeof(Block));
    invCipher(s, reinterpret_cast<const quint8*>(roundKeys.constData()));
    return QByteArray(reinterpret_cast<const char*>(s), sizeof(Block));
}

QByteArray AesCipher::byteXor(const QByteArray& a, const QByteArray& b)
{
    const int n = qMin(a.size(), b.size());
    QByteArray out(n, '\0');
    for (int i = 0; i < n; ++i)
        out[i] = char(a.at(i) ^ b.at(i));
    return out;
}

QByteArray AesCipher::padded(const QByteArray& rawText) const
{
    QByteArray text = rawText;
    const int rest = rawText.size() % m_blocklen;
    const int n = (m_blocklen - rest) % m_blocklen;
    switch (m_padding) {
    case PKCS7: {
        const int m = m_blocklen - rest;
        text.append(QByteArray(m, char(m)));
        break;
    }
    case ISO:
        if (n > 0) {
            text.append(char(0x80));
            text.append(QByteArray(n - 1, '\0'));
        }
        break;
    case ZERO:
    default:
        text.append(QByteArray(n, '\0'));
        break;
    }
    return text;
}

bool AesCipher::ivOk(const QByteArray& iv) const
{
    if (m_mode == ECB)
        return true;
    return !iv.isNull() && iv.size() == m_blocklen;
}

QByteArray AesCipher::encode(const QByteArray& rawText, const QByteArray& key, const QByteArray& iv) const
{
    if (!ivOk(iv))
        return QByteArray();
    const QByteArray w = expandKey(key);
    if (w.isEmpty())
        return QByteArray();
    const QByteArray text = padded(rawText);
    QByteArray out;
    out.reserve(text.size());
    QByteArray chain = iv;
    for (int pos = 0; pos < text.size(); pos += m_blocklen) {
        const QByteArray block = text.mid(pos, m_blocklen);
        switch (m_mode) {
        case ECB:
            out.append(encryptBlock(block, w));
            break;
        case CBC:
            chain = encryptBlock(byteXor(block, chain), w);
            out.append(chain);
            break;
        case CFB:
            chain = byteXor(block, encryptBlock(chain, w));
            out.append(chain);
            break;
        case OFB:
            chain = encryptBlock(chain, w);
            out.append(byteXor(block, chain));
            break;
        }
    }
    return out;
}

QByteArray AesCipher::decode(const QByteArray& rawText, const QByteArray& key, const QByteArray& iv) const
{
    if (!ivOk(iv))
        return QByteArray();
    if ((m_mode == ECB || m_mode == CBC) && rawText.size() % m_blocklen != 0)
        return QByteArray();
    const QByteArray w = expandKey(key);
    if (w.isEmpty())
        return QByteArray();
    QByteArray out;
    out.reserve(rawText.size());
    QByteArray chain = iv;
    for (int pos = 0; pos < rawText.size(); pos += m_blocklen) {
        const QByteArray block = rawText.mid(pos, m_blocklen);
        switch (m_mode) {
        case ECB:
            out.append(decryptBlock(block, w));
            break;
        case CBC:
            out.append(byteXor(decryptBlock(block, w), chain));
            chain = block;
            break;
        case CFB:
            // A short last block (not produced by encode) still decodes byte for byte.
            out.append(byteXor(block, encryptBlock(chain, w)));
            chain = block;
            break;
        case OFB:
            chain = encryptBlock(chain, w);
            out.append(byteXor(block, chain));
            break;
        }
    }
    return out;
}

QByteArray AesCipher::removePadding(const QByteArray& rawText) const
{
    return RemovePadding(rawText, m_padding);
}

QByteArray AesCipher::RemovePadding(const QByteArray& rawText, Padding padding)
{
    if (rawText.isEmpty())
        return rawText;
    switch (padding) {
    case PKCS7: {
        // Only padding this cipher could have written is cut: 1 to 16 bytes, all of the same
        // value as their count. Anything else (a wrong key, text that was never padded) comes
        // back whole rather than with data cut off it.
        const int m = quint8(rawText.at(rawText.size() - 1));
        if (m < 1 || m > 16 || m > rawText.size())
            return rawText;
        for (int i = rawText.size() - m; i < rawText.size(); ++i)
            if (quint8(rawText.at(i)) != m)
                return rawText;
        return rawText.left(rawText.size() - m);
    }
    case ISO: {
        // Only a marker in the final block followed by nothing but zeros is padding; a 0x80
        // inside the text itself (an aligned text gets no padding) must survive.
        int i = rawText.size() - 1;
        while (i >= 0 && rawText.at(i) == '\0')
            --i;
        if (i >= 0 && quint8(rawText.at(i)) == 0x80 && i >= rawText.size() - 16)
            return rawText.left(i);
        return rawText;
    }
    case ZERO:
    default: {
        int n = rawText.size();
        while (n > 0 && rawText.at(n - 1) == '\0')
            --n;
        return rawText.left(n);
    }
    }
}

QByteArray AesCipher::Crypt(Aes level, Mode mode, const QByteArray& rawText, const QByteArray& key,
                            const QByteArray& iv, Padding padding)
{
    return AesCipher(level, mode, padding).encode(rawText, key, iv);
}

QByteArray AesCipher::Decrypt(Aes level, Mode mode, const QByteArray& rawText, const QByteArray& key,
                              const QByteArray& iv, Padding padding)
{
    return AesCipher(level, mode, padding).decode(rawText, key, iv);
}

QByteArray AesCipher::ExpandKey(Aes level, Mode mode, const QByteArray& key)
{
    return AesCipher(level, mode, ISO).expandKey(key);
}
