#pragma once

#include "dl_message_point.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

class ICommandContext;

// What arrives from a broker link: decoding, the road a message takes, downlink requests and
// command replies. Pure functions; the station core applies them to its links and sender.
class BrokerInput {
public:
    enum class Road {
        Command,     // run the command and answer on the link
        Downlink,    // a downlink request for the sender
        NoCmdAccess, // a command on a link without command rights
        NoDlAccess,  // a downlink request on a link without downlink rights
        NotARequest  // neither "msg_type" nor "modem_id": nothing to do
    };

    // JSON text, else a bare protobuf Ack. A valid JSON document that is not an object gives an
    // empty object. False with the converter's reason when the body is neither, and for JSON
    // whose objects repeat a key (Qt's parser would keep memory it never gives back).
    static bool decode(const QByteArray& body, QJsonObject& message, QString* error);

    static Road road(const QJsonObject& message, bool has_cmd, bool has_dl);

    // Shard count the link takes after this message: "sharded" when present (values below 2
    // give 1), else 1. *present tells whether the key was there, *raw its value as received.
    static int shard_count(const QJsonObject& message, bool* present, int* raw);

    // The largest frame payload any back-end sends, and its text: two hex digits a byte.
    static constexpr int kMaxPayloadBytes = int(sizeof(dl_message_point::payload));
    static constexpr int kMaxPayloadText = 2 * kMaxPayloadBytes;
    // The text itself, separators included: the largest payload with up to two separator
    // characters per byte ("00:01:..." or "00, 01, ...") fits, with room to spare.
    static constexpr int kMaxPayloadChars = 1024;

    // Empty when every text field of a downlink request could hold a valid value; else a short
    // reason naming the first field that cannot (phy longer than any phy name; payload or
    // placeholder longer than kMaxPayloadChars, or with more hex digits than the largest frame
    // takes) and its length. Such a request is refused before anything of it is kept.
    static QString oversized_field(const QJsonObject& message);

    // Fills a new request from the message. Every problem worth an operator's attention
    // (skipped characters, a cut payload, an unknown phy name) is added to *notes.
    static void fill_downlink(const QJsonObject& message, dl_message_point& request, QStringList* notes);

    // Runs the command through the handler factory and returns the reply to send;
    // *sender receives the routing key of the reply (empty: send none).
    static QJsonObject run_command(const QJsonObject& message, ICommandContext& context, QString* sender);

    // The same without waiting for the command: done gets the reply and its routing key (empty:
    // send none) once the handler has answered, which may be later, from the event loop.
    using CommandDone = std::function<void(const QJsonObject& reply, const QString& sender)>;
    static void start_command(const QJsonObject& message, ICommandContext& context, CommandDone done);

    // The error reply to a command that is not run, for the reason in text; *sender receives
    // the routing key of the reply.
    static QJsonObject refusal(const QJsonObject& message, const QString& text, QString* sender);

    // A JSON number with an integral value in the signed 32-bit range; anything else reads 0.
    static qint32 json_int(const QJsonValue& value);
    static quint32 json_uint32(const QJsonValue& value);
};
