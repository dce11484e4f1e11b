#include "StoredCredential.h"

#include "AesCipher.h"

#include <QCryptographicHash>

namespace {
const char* const ENCRYPT_KEY = "plmw5831zt0462cqaovkbrehs719f24u6ed";
const char* const ENCRYPT_VECTOR = "zq-TR-sample";

AesCipher credentialCipher()
{
    return AesCipher(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
}
} // namespace

QByteArray StoredCredential::key()
{
    return QCryptographicHash::hash(QString::fromLatin1(ENCRYPT_KEY).toLocal8Bit(), QCryptographicHash::Sha256);
}

QByteArray StoredCredential::iv()
{
    return QCryptographicHash::hash(QString::fromLatin1(ENCRYPT_VECTOR).toLocal8Bit(), QCryptographicHash::Md5);
}

QByteArray StoredCredential::encrypt(const QString& plain)
{
    return credentialCipher().encode(plain.toLocal8Bit(), key(), iv()).toBase64();
}

bool StoredCredential::decrypt(const QByteArray& stored, QString* plain)
{
    const QByteArray::FromBase64Result decoded
        = QByteArray::fromBase64Encoding(stored.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty() || decoded.decoded.size() % 16 != 0)
        return false;
    const AesCipher cipher = credentialCipher();
    const QByteArray clear = cipher.removePadding(cipher.decode(decoded.decoded, key(), iv()));
    if (plain)
        *plain = QString::fromUtf8(clear);
    return true;
}
