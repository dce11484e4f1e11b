#include "BrokerInput.h"

#include "BinaryConverter.h"
#include "CommandHandlersFactoryImpl.h"
#include "JsonKeyScanner.h"
#include "LogText.h"
#include "UnregisteredCommand.h"
#include "phy_names.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

bool BrokerInput::decode(const QByteArray& body, QJsonObject& message, QString* error)
{
    if (body.isEmpty()) {
        // An empty body would read as an Ack with every field 0: a request for modem 0.
        if (error)
            *error = QStringLiteral("empty message");
        return false;
    }
    QString key;
    switch (JsonKeyScanner::check(body, &key)) {
    case JsonKeyScanner::Verdict::Clean:
        break;
    case JsonKeyScanner::Verdict::RepeatsKey:
        if (error) {
            const int shown = 64;
            *error = QStringLiteral("an object repeats the key \"")
                + (key.size() > shown ? key.left(shown) + QStringLiteral("...") : key) + QLatin1Char('"');
        }
        return false;
    case JsonKeyScanner::Verdict::TooDeep:
        if (error)
            *error = QStringLiteral("arrays and objects nested deeper than %1 levels").arg(JsonKeyScanner::kMaxDepth);
        return false;
    case JsonKeyScanner::Verdict::TooManyKeys:
        if (error)
            *error = QStringLiteral("more than %1 keys in the objects open at one time").arg(JsonKeyScanner::kMaxOpenKeys);
        return false;
    }
    QJsonParseError parseError;
    QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        BinaryConverter converter;
        doc = QJsonDocument();
        if (!converter.Binary2Json<AckMsg>(body, doc)) {
            if (error)
                *error = converter.GetError();
            return false;
        }
    }
    message = doc.isObject() ? doc.object() : QJsonObject();
    return true;
}

BrokerInput::Road BrokerInput::road(const QJsonObject& message, bool has_cmd, bool has_dl)
{
    if (message.contains(QStringLiteral("msg_type"))) {
        if (has_cmd)
            return Road::Command;
        // A server heartbeat without data keeps every link alive, whatever its rights.
        const bool bare_hb = message.value(QStringLiteral("msg_type")).toString() == QStringLiteral("hb")
            && !message.contains(QStringLiteral("data"));
        return bare_hb ? Road::Command : Road::NoCmdAccess;
    }
    if (!message.contains(QStringLiteral("modem_id")))
        return Road::NotARequest;
    return has_dl ? Road::Downlink : Road::NoDlAccess;
}

int BrokerInput::shard_count(const QJsonObject& message, bool* present, int* raw)
{
    const bool has = message.contains(QStringLiteral("sharded"));
    const int n = has ? message.value(QStringLiteral("sharded")).toInt() : 1;
    if (present)
        *present = has;
    if (raw)
        *raw = n;
    return n < 2 ? 1 : n;
}

qint32 BrokerInput::json_int(const QJsonValue& value)
{
    if (!value.isDouble())
        return 0;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || d < double(std::numeric_limits<qint32>::min())
        || d > double(std::numeric_limits<qint32>::max()))
        return 0;
    return qint32(d);
}

quint32 BrokerInput::json_uint32(const QJsonValue& value)
{
    // Peers write 32-bit fields (MIC, preamble) either as unsigned numbers or, through the
    // protobuf form, as signed int32: both spellings give the same bits.
    if (!value.isDouble())
        return 0;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || d < double(std::numeric_limits<qint32>::min())
        || d > double(std::numeric_limits<quint32>::max()))
        return 0;
    return d < 0 ? quint32(qint32(d)) : quint32(d);
}

static quint32 seconds_low32(const QJsonValue& value)
{
    if (!value.isDouble())
        return 0;
    const double d = std::trunc(value.toDouble());
    if (!std::isfinite(d))
        return 0;
    double m = std::fmod(d, 4294967296.0);
    if (m < 0)
        m += 4294967296.0;
    return quint32(m);
}

namespace {

bool is_hex_digit(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

} // namespace

QString BrokerInput::oversized_field(const QJsonObject& m)
{
    const int phy = m.value(QLatin1String("phy")).toString().size();
    if (phy > vexa_phy_name_max_length())
        return QStringLiteral("phy of %1 characters, longer than any phy name (%2)").arg(phy).arg(vexa_phy_name_max_length());
    for (const char* key : {"payload", "placeholder"}) {
        const QString text = m.value(QLatin1String(key)).toString();
        if (text.size() > kMaxPayloadChars)
            return QStringLiteral("%1 of %2 characters, longer than any payload text (%3)")
                .arg(QLatin1String(key))
                .arg(text.size())
                .arg(kMaxPayloadChars);
        // Separators between the bytes are skipped when the text is decoded; the digits are
        // what the frame takes. More than the largest frame (a PSK frame's 128 bytes) holds is
        // refused; a shorter frame kind sends what fits.
        const int digits = int(std::count_if(text.cbegin(), text.cend(), is_hex_digit));
        if (digits > kMaxPayloadText)
            return QStringLiteral("%1 of %2 hexadecimal digits, more than the largest frame takes (%3 bytes, %4 digits)")
                .arg(QLatin1String(key))
                .arg(digits)
                .arg(kMaxPayloadBytes)
                .arg(kMaxPayloadText);
    }
    return QString();
}

void BrokerInput::fill_downlink(const QJsonObject& m, dl_message_point& r, QStringList* notes)
{
    auto i32 = [&m](const char* key) { return json_int(m.value(QLatin1String(key))); };
    auto u32 = [&m](const char* key) { return json_uint32(m.value(QLatin1String(key))); };
    auto str = [&m](const char* key) { return m.value(QLatin1String(key)).toString(); };

    r.modem_id = u32("modem_id");
    r.freq = u32("frequency");
    r.time_out_dated = QDateTime::fromSecsSinceEpoch(qint64(seconds_low32(m.value(QStringLiteral("time_outdate")))));
    r.strength = quint8(i32("signal_strength"));
    r.pld_str = str("payload");
    r.f_system = quint8(i32("f_system"));
    r.f_ack = quint8(i32("f_ack"));
    r.f_multi = quint8(i32("f_multi"));
    r.phy = str("phy");
    r.type = quint8(i32("type"));
    r.iterator = quint8(i32("iterator"));
    r.vexa_ver = u32("vexa_ver");
    r.placeholder = str("placeholder");
    r.crypto_flags = u32("crypto_flags");
    r.crypto_iter = u32("crypto_iter");
    r.crypto_mic = u32("crypto_mic");
    r.preambula = u32("preambula");
    r.priority = dl_message_point::DLPriority(m.contains(QStringLiteral("priority")) ? i32("priority") : 0);
    r.receiver = 0;
    r.mac_iter = 0;

    const QByteArray text = r.pld_str.toLatin1();
    const QByteArray bytes = QByteArray::fromHex(text);
    int len = text.size() / 2;
    if (len > bytes.size())
        len = bytes.size();
    if (len > int(sizeof(r.payload)))
        len = int(sizeof(r.payload));
    r.payload_len = quint8(len);
    std::copy(bytes.constBegin(), bytes.constBegin() + len, reinterpret_cast<char*>(r.payload));

    if (!notes)
        return;
    const int skipped = int(std::count_if(r.pld_str.cbegin(), r.pld_str.cend(), [](QChar c) { return !is_hex_digit(c); }));
    if (skipped)
        notes->append(QStringLiteral("payload: %1 non-hexadecimal characters skipped").arg(skipped));
    if (len < bytes.size())
        notes->append(QStringLiteral("payload: %1 bytes decoded, %2 kept").arg(bytes.size()).arg(len));
    if (!vexa_phy_name_known(r.phy))
        notes->append(QStringLiteral("phy: unknown name \"%1\" passed on").arg(LogText::escaped(r.phy)));
}

namespace {

QJsonObject response(const QString& cmdId, const QJsonDocument& result)
{
    QJsonValue value;
    if (result.isObject())
        value = result.object();
    else if (result.isArray())
        value = result.array();
    return QJsonObject{{QStringLiteral("cmd_id"), cmdId}, {QStringLiteral("msg_type"), QStringLiteral("response")},
                       {QStringLiteral("data"), value}};
}

QJsonObject failure(const QString* cmdId, const QString& text)
{
    QJsonObject reply{{QStringLiteral("msg_type"), QStringLiteral("error")}, {QStringLiteral("data"), text}};
    if (cmdId)
        reply.insert(QStringLiteral("cmd_id"), *cmdId);
    return reply;
}

QJsonObject command_data(const QJsonObject& message)
{
    return message.contains(QStringLiteral("data")) ? message.value(QStringLiteral("data")).toObject() : message;
}

} // namespace

QJsonObject BrokerInput::run_command(const QJsonObject& message, ICommandContext& context, QString* sender)
{
    const QString type = message.value(QStringLiteral("msg_type")).toString();
    const QString cmdId = message.value(QStringLiteral("cmd_id")).toString();
    if (sender)
        *sender = message.value(QStringLiteral("sender")).toString();

    std::shared_ptr<ICommandHandler> handler;
    try {
        handler = CommandHandlersFactoryImpl::create(type, context);
    } catch (const UnregisteredCommand& e) {
        return failure(nullptr, e.text());
    } catch (const std::exception& e) {
        return failure(nullptr, QString::fromUtf8(e.what()));
    }
    try {
        return response(cmdId, handler->exec(command_data(message)));
    } catch (const std::exception& e) {
        return failure(&cmdId, QString::fromUtf8(e.what()));
    }
}

QJsonObject BrokerInput::refusal(const QJsonObject& message, const QString& text, QString* sender)
{
    const QString cmdId = message.value(QStringLiteral("cmd_id")).toString();
    if (sender)
        *sender = message.value(QStringLiteral("sender")).toString();
    return failure(&cmdId, text);
}

void BrokerInput::start_command(const QJsonObject& message, ICommandContext& context, CommandDone done)
{
    const QString type = message.value(QStringLiteral("msg_type")).toString();
    const QString cmdId = message.value(QStringLiteral("cmd_id")).toString();
    const QString sender = message.value(QStringLiteral("sender")).toString();

    std::shared_ptr<ICommandHandler> handler;
    try {
        handler = CommandHandlersFactoryImpl::create(type, context);
    } catch (const UnregisteredCommand& e) {
        done(failure(nullptr, e.text()), sender);
        return;
    } catch (const std::exception& e) {
        done(failure(nullptr, QString::fromUtf8(e.what())), sender);
        return;
    }
    auto answered = std::make_shared<bool>(false);
    try {
        handler->start(command_data(message), [answered, cmdId, sender, done](const QJsonDocument& result) {
            if (*answered)
                return;
            *answered = true;
            done(response(cmdId, result), sender);
        });
    } catch (const std::exception& e) {
        if (!*answered) {
            *answered = true;
            done(failure(&cmdId, QString::fromUtf8(e.what())), sender);
        }
    }
}
