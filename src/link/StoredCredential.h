#pragma once

#include <QByteArray>
#include <QString>

// The form in which broker credentials (host, user, password) sit in the INI file: the text in
// the local 8-bit encoding, AES-256-CBC with ISO padding under a key and IV derived from fixed
// texts (SHA-256 and MD5), stored as Base64. The station reads them at start and the "bsconfig"
// command writes them; both go through here so that they can never disagree.
class StoredCredential {
public:
    static QByteArray key();
    static QByteArray iv();

    // Base64 text of the enciphered value.
    static QByteArray encrypt(const QString& plain);
    // False when the value cannot be a stored credential (not Base64, empty, or not whole
    // 16-byte blocks).
    static bool decrypt(const QByteArray& stored, QString* plain);
};
