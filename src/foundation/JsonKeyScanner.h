#pragma once

#include <QByteArray>
#include <QString>

// Qt's JSON parser loses the memory of a value it replaces when an object repeats a key whose
// first value is an array or an object, so JSON from outside is scanned here before Qt sees it.
class JsonKeyScanner {
public:
    // Deeper nesting is refused: the scan keeps one entry per open array or object, and no
    // record or request the station takes comes near this depth.
    static constexpr int kMaxDepth = 256;
    // More keys in the objects open at one time are refused: the scan keeps each of them until
    // its object closes, and no record or request the station takes holds this many.
    static constexpr int kMaxOpenKeys = 65536;

    enum class Verdict {
        Clean,      // the parser may be given the text
        RepeatsKey, // some object repeats a key; *key receives it
        TooDeep,    // arrays and objects open more than kMaxDepth deep
        TooManyKeys // the objects open at one time hold more than kMaxOpenKeys keys
    };

    // Keys are compared after their escapes are decoded, as the parser compares them. The scan
    // follows the text only as long as it is shaped like JSON, and is looser than the parser on
    // values, so it stops no earlier than the parser would: every object the parser could
    // complete is checked. No recursion; time grows with the length of the text, memory with
    // the depth and the keys of the objects still open, both bounded (only keys written with
    // escapes are copied, decoded).
    static Verdict check(const QByteArray& text, QString* key = nullptr);
};
