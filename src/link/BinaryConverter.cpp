#include "BinaryConverter.h"

#include "ack.pb.h"
#include "complex_message.pb.h"

#include "JsonKeyScanner.h"

#include <google/protobuf/util/json_util.h>

#include <climits>
#include <string>

namespace pbutil = google::protobuf::util;

namespace {

const char* kParseError = "Error: cannot parse from array, size= ";
const char* kExtractError = "Error: cannot extract union field, check extracted type";

pbutil::JsonParseOptions parseOptions()
{
    pbutil::JsonParseOptions o;
    o.ignore_unknown_fields = false;
    return o;
}

pbutil::JsonPrintOptions printOptions()
{
    pbutil::JsonPrintOptions o;
    o.add_whitespace = true;
    o.always_print_primitive_fields = true;
    o.preserve_proto_field_names = true;
    o.always_print_enums_as_ints = false;
    return o;
}

QString statusText(const pbutil::Status& s)
{
    const auto m = s.message();
    return QString::fromUtf8(m.data(), int(m.size()));
}

} // namespace

BinaryConverter::BinaryConverter()
{
    // Stops the process if the runtime library is older than the generated code needs.
    GOOGLE_PROTOBUF_VERIFY_VERSION;
}

BinaryConverter::~BinaryConverter() = default;

namespace {

// Fills msg from doc; false with the parser's text on failure.
bool jsonToMessage(const QJsonDocument& doc, google::protobuf::Message& msg, QString& error)
{
    if (doc.isNull()) {
        // protobuf accepts an empty text as an empty message; an absent document is no record.
        error = QStringLiteral("Error: empty JSON document");
        return false;
    }
    const QByteArray text = doc.toJson(QJsonDocument::Indented);
    const pbutil::Status s = pbutil::JsonStringToMessage(
        std::string(text.constData(), size_t(text.size())), &msg, parseOptions());
    if (!s.ok()) {
        error = statusText(s);
        return false;
    }
    return true;
}

bool serialize(const google::protobuf::Message& msg, QByteArray& out, QString& error)
{
    const size_t size = msg.ByteSizeLong();
    if (size > size_t(INT_MAX)) {
        error = QStringLiteral("Error: all required fields must be set");
        return false;
    }
    QByteArray bytes(int(size), '\0');
    if (!msg.SerializeToArray(bytes.data(), int(size))) {
        error = QStringLiteral("Error: all required fields must be set");
        return false;
    }
    out = bytes;
    return true;
}

bool messageToJson(const google::protobuf::Message& msg, QJsonDocument& doc, QString& error)
{
    std::string text;
    const pbutil::Status s = pbutil::MessageToJsonString(msg, &text, printOptions());
    if (!s.ok()) {
        error = statusText(s);
        return false;
    }
    const QByteArray printed(text.data(), int(text.size()));
    if (JsonKeyScanner::check(printed) != JsonKeyScanner::Verdict::Clean) {
        error = QStringLiteral("Error: printed JSON repeats a key or nests too deep");
        return false;
    }
    QJsonParseError perr;
    const QJsonDocument parsed = QJsonDocument::fromJson(printed, &perr);
    if (perr.error != QJsonParseError::NoError) {
        error = QStringLiteral("Error: printed JSON does not parse: ") + perr.errorString();
        return false;
    }
    doc = parsed;
    return true;
}

bool parseMessage(const QByteArray& bytes, google::protobuf::Message& msg, QString& error)
{
    if (!msg.ParseFromArray(bytes.constData(), bytes.size())) {
        error = QLatin1String(kParseError) + QString::number(bytes.size());
        return false;
    }
    return true;
}

} // namespace

template <>
bool BinaryConverter::Json2Binary<PayloadMsg>(const QJsonDocument& doc, QByteArray& out)
{
    binary_struct::ComplexMessage env;
    if (!jsonToMessage(doc, *env.mutable_payload(), _error))
        return false;
    env.set_type(binary_struct::MsgPl);
    return serialize(env, out, _error);
}

template <>
bool BinaryConverter::Json2Binary<HeartBeatMsg>(const QJsonDocument& doc, QByteArray& out)
{
    binary_struct::ComplexMessage env;
    if (!jsonToMessage(doc, *env.mutable_heartbeat(), _error))
        return false;
    env.set_type(binary_struct::MsgHb);
    return serialize(env, out, _error);
}

// No envelope has room for an Ack, so it is written bare, the form Binary2Json<AckMsg> reads.
template <>
bool BinaryConverter::Json2Binary<AckMsg>(const QJsonDocument& doc, QByteArray& out)
{
    binary_struct::Ack ack;
    if (!jsonToMessage(doc, ack, _error))
        return false;
    return serialize(ack, out, _error);
}

template <>
bool BinaryConverter::Binary2Json<PayloadMsg>(const QByteArray& bytes, QJsonDocument& doc)
{
    binary_struct::ComplexMessage env;
    if (!parseMessage(bytes, env, _error))
        return false;
    if (!env.has_payload()) {
        _error = QLatin1String(kExtractError);
        return false;
    }
    return messageToJson(env.payload(), doc, _error);
}

template <>
bool BinaryConverter::Binary2Json<HeartBeatMsg>(const QByteArray& bytes, QJsonDocument& doc)
{
    binary_struct::ComplexMessage env;
    if (!parseMessage(bytes, env, _error))
        return false;
    if (!env.has_heartbeat()) {
        _error = QLatin1String(kExtractError);
        return false;
    }
    return messageToJson(env.heartbeat(), doc, _error);
}

template <>
bool BinaryConverter::Binary2Json<AckMsg>(const QByteArray& bytes, QJsonDocument& doc)
{
    binary_struct::Ack ack;
    if (!parseMessage(bytes, ack, _error))
        return false;
    return messageToJson(ack, doc, _error);
}

bool BinaryConverter::AnyBinary2Json(const QByteArray& bytes, QJsonDocument& doc)
{
    binary_struct::ComplexMessage env;
    if (!parseMessage(bytes, env, _error))
        return false;
    switch (env.type()) {
    case binary_struct::MsgPl:
        if (!env.has_payload()) {
            _error = QStringLiteral("Error: cannot extract payload");
            return false;
        }
        return messageToJson(env.payload(), doc, _error);
    case binary_struct::MsgHb:
        if (!env.has_heartbeat()) {
            _error = QStringLiteral("Error: cannot extract hearbeat");
            return false;
        }
        return messageToJson(env.heartbeat(), doc, _error);
    default:
        _error = QStringLiteral("Error: unknown message type") + QString::number(int(env.type()));
        return false;
    }
}
