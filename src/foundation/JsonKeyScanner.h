#pragma once

#include <QByteArray>
#include <QString>

// Qt's JSON parser loses the memory of a value it replaces when an object repeats a key whose
// first value is an array or an object, so JSON from outside is scanned here before Qt sees it.
class JsonKeyScanner {
public:
    // True when some object of the text repeats a key; *key then receives it. Keys are compared
    // after their escapes are decoded, as the parser compares them. The scan follows the text only
    // as long as it is shaped like JSON, and is looser than the parser on values, so it stops no
    // earlier than the parser would: every object the parser could complete is checked. No
    // recursion; time and memory grow with the length of the text only.
    static bool repeatsKey(const QByteArray& text, QString* key = nullptr);
};
