// Any text the repeated-key check passes is parsed by Qt; Qt keeps memory it never frees when an
// object repeats a key, so leak detection reports every repeat the check missed.
#include "JsonKeyScanner.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), int(size));
    if (JsonKeyScanner::check(text) != JsonKeyScanner::Verdict::Clean)
        return 0;
    QJsonParseError error;
    QJsonDocument::fromJson(text, &error);
    return 0;
}
