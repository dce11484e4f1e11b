// Broker input that is not JSON reaches the converter as raw bytes; outgoing records reach it
// as JSON documents. The first byte picks the road, the rest is the input.
#include "BinaryConverter.h"
#include "JsonKeyScanner.h"

#include <google/protobuf/stubs/logging.h>

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

namespace {

void quiet(google::protobuf::LogLevel, const char*, int, const std::string&) {}

template <typename Tag>
void jsonRoad(const QJsonDocument& doc)
{
    BinaryConverter conv;
    QByteArray bytes;
    if (!conv.Json2Binary<Tag>(doc, bytes))
        return;
    // What we serialized must read back.
    QJsonDocument back;
    if (!conv.Binary2Json<Tag>(bytes, back) || back.isNull())
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    google::protobuf::SetLogHandler(&quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data + 1), int(size - 1));
    switch (data[0] % 4) {
    case 0: {
        // The station never hands Qt JSON whose objects repeat a key (Qt would leak it).
        if (JsonKeyScanner::check(input) != JsonKeyScanner::Verdict::Clean)
            return 0;
        const QJsonDocument doc = QJsonDocument::fromJson(input);
        jsonRoad<PayloadMsg>(doc);
        jsonRoad<HeartBeatMsg>(doc);
        jsonRoad<AckMsg>(doc);
        break;
    }
    default: {
        BinaryConverter conv;
        QJsonDocument doc;
        conv.Binary2Json<AckMsg>(input, doc);
        conv.Binary2Json<PayloadMsg>(input, doc);
        conv.Binary2Json<HeartBeatMsg>(input, doc);
        conv.AnyBinary2Json(input, doc);
        break;
    }
    }
    return 0;
}
