#include "BSConfigCommandHandler.h"

#include "CommandTools.h"
#include "ICommandContext.h"
#include "LogText.h"
#include "SettingsController.h"
#include "StoredCredential.h"
#include "SystemFileWriter.h"
#include "errlog.h"
#include "rabbit_man.h"

#include <QJsonArray>

#include <cstddef>

namespace {
const QString kBaseStation = QStringLiteral("BASE_STATION");
const QString kTransmitter = QStringLiteral("TRANSMITTER");

// Text: a station parameter, at most CommandTools::kMaxTextLength characters (it goes into
// every heartbeat); Credential: a string of at most CommandTools::kMaxStoredText characters,
// stored enciphered.
enum class Kind { Number, Bool, Text, Credential };

int maxLength(Kind kind)
{
    return kind == Kind::Text ? CommandTools::kMaxTextLength : CommandTools::kMaxStoredText;
}

bool hasKind(const QJsonValue& value, Kind kind)
{
    switch (kind) {
    case Kind::Number:
        return CommandTools::isInt32(value);
    case Kind::Bool:
        return value.isBool();
    case Kind::Text:
    case Kind::Credential:
        return value.isString() && value.toString().size() <= maxLength(kind);
    }
    return false;
}

QVariant valueOf(const QJsonValue& value, Kind kind)
{
    switch (kind) {
    case Kind::Number:
        return CommandTools::toInt32(value);
    case Kind::Bool:
        return value.toBool();
    case Kind::Text:
    case Kind::Credential:
        return value.toString();
    }
    return QVariant();
}

QString kindName(Kind kind)
{
    switch (kind) {
    case Kind::Number:
        return QStringLiteral("a whole number in the signed 32-bit range");
    case Kind::Bool:
        return QStringLiteral("true or false");
    case Kind::Text:
    case Kind::Credential:
        return QStringLiteral("a string of at most %1 characters").arg(maxLength(kind));
    }
    return QString();
}

// One key of "change_params": where it goes, how it is read, whether the event text names it.
struct ParamRow {
    const char* request;
    const QString& group;
    const char* ini; // nullptr: not written
    Kind kind;
    bool listed;
};

// In the order in which the keys are written and listed; "meslog_ttl" goes to both groups and is
// listed once, with the second.
const ParamRow kParamRows[] = {
    {"bs_id", kBaseStation, "BS_ID", Kind::Number, true},
    {"logoffset", kBaseStation, "LOGOFFSET", Kind::Number, true},
    {"ul_freq", kBaseStation, "UL_FREQ", Kind::Number, true},
    {"ul_freq2", kBaseStation, "UL_FREQ2", Kind::Number, true},
    {"if_freq", kBaseStation, "IF_FREQ", Kind::Number, true},
    {"if_freq2", kBaseStation, "IF_FREQ2", Kind::Number, true},
    {"ext_filter", kBaseStation, "EXT_FILTER", Kind::Bool, true},
    {"one_sec_pulse_tester", kBaseStation, "ONE_SEC_PULSE_TESTER", Kind::Bool, true},
    {"meslog_ttl", kBaseStation, "MESLOG_TTL", Kind::Number, false},
    {"mode", kBaseStation, "MODE", Kind::Text, false},
    {"vexa_time_sync", kBaseStation, "TIME_SYNC", Kind::Bool, true},
    {"ntp", kBaseStation, nullptr, Kind::Bool, false},
    {"dl_freq", kTransmitter, "DL_FREQ", Kind::Number, true},
    {"dl_freq2", kTransmitter, "DL_FREQ2", Kind::Number, true},
    {"dl_freqs", kTransmitter, "DL_FREQS", Kind::Text, true},
    {"freq_plans", kTransmitter, "FREQ_PLANS", Kind::Text, true},
    {"send_dl", kTransmitter, "SEND_DL", Kind::Bool, true},
    {"auto_correction", kTransmitter, "AUTO_CORRECTION", Kind::Bool, true},
    {"dig_mod", kTransmitter, "DIG_MOD", Kind::Bool, true},
    {"max_power", kTransmitter, "MAX_POWER", Kind::Number, true},
    {"max_duty_cycle", kTransmitter, "MAX_DUTY_CYCLE", Kind::Number, true},
    {"lbt", kTransmitter, "LBT", Kind::Bool, true},
    {"meslog_ttl", kTransmitter, "MESLOG_TTL", Kind::Number, true},
};

// Keys of "change_auth" in the order they are written.
struct AuthRow {
    const char* request;
    const char* ini;
    Kind kind;
};

const AuthRow kAuthRows[] = {
    {"r_host", "R_HOST", Kind::Credential},  {"r_user", "R_USER", Kind::Credential}, {"r_pass", "R_PASS", Kind::Credential},
    {"has_ul", "HAS_UL", Kind::Bool},        {"has_dl", "HAS_DL", Kind::Bool},   {"has_cmd", "HAS_CMD", Kind::Bool},
    {"enable", "ENABLE", Kind::Bool},        {"save_to_disk", "SAVE_TO_DISK", Kind::Bool},
};

QJsonObject connectionObject(rabbit_man* link)
{
    if (!link)
        return QJsonObject{{QStringLiteral("enabled"), false}};
    return QJsonObject{{QStringLiteral("enabled"), true},
                       {QStringLiteral("conn_path"), link->get_connection_path()},
                       {QStringLiteral("has_ul"), link->has_ul()},
                       {QStringLiteral("has_dl"), link->has_dl()},
                       {QStringLiteral("has_cmd"), link->has_cmd()},
                       {QStringLiteral("save_to_disk"), link->has_save_to_disk()}};
}

QString joined(const QList<quint32>& numbers)
{
    QStringList parts;
    for (quint32 n : numbers)
        parts << QString::number(n);
    return parts.join(QLatin1Char(','));
}

// True when every key of the rows that the request holds has the value type its row asks for;
// otherwise logs the first one that does not.
template <typename Row, std::size_t N>
bool rightKinds(ICommandContext& station, const Row (&rows)[N], const QJsonObject& data, const QString& what)
{
    for (const Row& row : rows) {
        const QJsonValue value = data.value(QLatin1String(row.request));
        if (!value.isUndefined() && !hasKind(value, row.kind)) {
            // A string over its bound is named with its length.
            const QString length = value.isString() ? QStringLiteral(", not %1").arg(value.toString().size()) : QString();
            CommandTools::logLine(station, QStringLiteral(" %1 refused: \"%2\" must be %3%4")
                                               .arg(what, QLatin1String(row.request), kindName(row.kind), length));
            return false;
        }
    }
    return true;
}

QJsonObject failed()
{
    return QJsonObject{{QStringLiteral("result"), false}};
}

// The request keys that no row of the table names; the command's own keys do not count.
template <typename Row, std::size_t N>
QStringList unknownKeys(const Row (&rows)[N], const QJsonObject& data)
{
    static const QStringList frame{QStringLiteral("cmd"), QStringLiteral("msg_type"), QStringLiteral("cmd_id"),
                                   QStringLiteral("sender")};
    QStringList unknown;
    for (auto it = data.begin(); it != data.end(); ++it) {
        bool known = frame.contains(it.key());
        for (const Row& row : rows)
            known = known || it.key() == QLatin1String(row.request);
        if (!known)
            unknown << it.key();
    }
    return unknown;
}

// Key names for a log line: quoted, each cut to 64 characters, at most 8 of them.
QString quotedKeys(const QStringList& keys)
{
    const int kShown = 8;
    const int kLength = 64;
    QStringList shown;
    for (const QString& key : keys.mid(0, kShown))
        shown << QLatin1Char('"') + CommandTools::printable(key, kLength) + QLatin1Char('"');
    QString text = shown.join(QStringLiteral(", "));
    if (keys.size() > kShown)
        text += QStringLiteral(" and %1 more").arg(keys.size() - kShown);
    return text;
}

bool replaceIni(const QString& path, const QByteArray& content, QString* error)
{
    return SystemFileWriter::replace(path, content, error);
}
} // namespace

QJsonDocument BSConfigCommandHandler::exec(const QJsonObject& data)
{
    if (!data.contains(QStringLiteral("cmd")))
        return QJsonDocument(failed());
    const QString cmd = data.value(QStringLiteral("cmd")).toString();
    CommandTools::logLine(_tolva, QStringLiteral(" Config cmd received from server: ") + LogText::cut(cmd));

    if (cmd == QLatin1String("change_auth"))
        return QJsonDocument(change_auth(data));
    if (cmd == QLatin1String("read_auth"))
        return QJsonDocument(read_auth());
    if (cmd == QLatin1String("change_params"))
        return QJsonDocument(change_params(data));
    if (cmd == QLatin1String("read_params"))
        return QJsonDocument(read_params());
    if (cmd == QLatin1String("exit"))
        return QJsonDocument(stop(false));
    if (cmd == QLatin1String("reboot"))
        return QJsonDocument(stop(true));
    return QJsonDocument(failed());
}

QJsonObject BSConfigCommandHandler::change_auth(const QJsonObject& data)
{
    // A wrong type would store an empty credential or a false right: the station would lose
    // that broker at its next start. Nothing is written unless every present value is right.
    if (!rightKinds(_tolva, kAuthRows, data, QStringLiteral("Connection parameters")))
        return failed();

    // Any other value would have changed the primary link, the one the station cannot do without.
    const QJsonValue selector = data.value(QStringLiteral("prim_or_sec"));
    const QString which = selector.toString();
    if (!selector.isUndefined()
        && (!selector.isString()
            || (which != QLatin1String("prim") && which != QLatin1String("sec") && which != QLatin1String("third")))) {
        CommandTools::logLine(_tolva, QStringLiteral(" Connection parameters refused: \"prim_or_sec\" must be \"prim\", \"sec\" or \"third\""));
        return failed();
    }
    QString group = kBaseStation;
    QString name = QStringLiteral("primary");
    if (which == QLatin1String("sec")) {
        group = QStringLiteral("SECONDARY_RABBIT");
        name = QStringLiteral("secondary");
    } else if (which == QLatin1String("third")) {
        group = QStringLiteral("THIRD_RABBIT");
        name = QStringLiteral("third");
    }

    QList<SettingsController::Change> changes;
    for (const AuthRow& row : kAuthRows) {
        const QJsonValue value = data.value(QLatin1String(row.request));
        if (value.isUndefined())
            continue;
        const QVariant stored = row.kind == Kind::Credential
            ? QVariant(QString::fromLatin1(StoredCredential::encrypt(value.toString())))
            : valueOf(value, row.kind);
        changes.append({group, QLatin1String(row.ini), stored});
    }
    if (!changes.isEmpty() && !saveIni(changes, QStringLiteral("Connection parameters")))
        return failed();

    const QString text = QStringLiteral("Connection parameters changed for %1 connection").arg(name);
    _tolva.alarm_log().append(errlog::EVENT_CONF_CHANGED, _tolva.now(), text);
    CommandTools::logLine(_tolva, text);
    return QJsonObject{{QStringLiteral("result"), true}};
}

bool BSConfigCommandHandler::saveIni(const QList<SettingsController::Change>& changes, const QString& what)
{
    QString error;
    if (_tolva.get_settingsController().setValues(changes, replaceIni, &error))
        return true;
    CommandTools::logLine(_tolva, QStringLiteral(" %1 not saved, the INI file could not be written: %2").arg(what, error));
    return false;
}

QJsonObject BSConfigCommandHandler::read_auth()
{
    return QJsonObject{{QStringLiteral("result"), false},
                       {QStringLiteral("prim"), connectionObject(_tolva.get_rab_prim())},
                       {QStringLiteral("sec"), connectionObject(_tolva.get_rab_sec())},
                       {QStringLiteral("third"), connectionObject(_tolva.get_rab_third())}};
}

QJsonObject BSConfigCommandHandler::change_params(const QJsonObject& data)
{
    // A key in the wrong letter case is not a change: a command that changes nothing says so.
    // Keys beside known ones may come from a newer server and are passed over.
    const QStringList unknown = unknownKeys(kParamRows, data);
    bool anyKnown = false;
    for (const ParamRow& row : kParamRows)
        anyKnown = anyKnown || data.contains(QLatin1String(row.request));
    if (!anyKnown) {
        CommandTools::logLine(_tolva, QStringLiteral(" Base station parameters refused: no known key%1")
                                          .arg(unknown.isEmpty() ? QString() : QStringLiteral(" (unknown: %1)").arg(quotedKeys(unknown))));
        return failed();
    }
    if (!unknown.isEmpty())
        CommandTools::logLine(_tolva, QStringLiteral(" Base station parameters: unknown keys passed over: %1").arg(quotedKeys(unknown)));
    // Checked whole before the first write: a text where a number belongs would store 0 (a
    // station id of 0 moves the station to another queue, out of the server's reach).
    if (!rightKinds(_tolva, kParamRows, data, QStringLiteral("Base station parameters")))
        return failed();

    QList<SettingsController::Change> changes;
    QStringList changed;
    for (const ParamRow& row : kParamRows) {
        const QString key = QLatin1String(row.request);
        const QJsonValue value = data.value(key);
        if (value.isUndefined())
            continue;
        if (row.ini)
            changes.append({row.group, QLatin1String(row.ini), valueOf(value, row.kind)});
        if (row.listed)
            changed << key;
    }
    // The file first, as a whole; the switches only once it holds what they announce.
    if (!changes.isEmpty() && !saveIni(changes, QStringLiteral("Base station parameters")))
        return failed();
    if (data.contains(QStringLiteral("vexa_time_sync")))
        _tolva.set_time_sync_from_server(data.value(QStringLiteral("vexa_time_sync")).toBool());
    if (data.contains(QStringLiteral("ntp")))
        _tolva.set_ntp_service_on_off(data.value(QStringLiteral("ntp")).toBool());

    const QString text = QStringLiteral("Base station parameters changed: %1").arg(changed.join(QLatin1Char(',')));
    _tolva.alarm_log().append(errlog::EVENT_CONF_CHANGED, _tolva.now(), text);
    CommandTools::logLine(_tolva, text);
    return QJsonObject{{QStringLiteral("result"), true}};
}

QJsonObject BSConfigCommandHandler::read_params()
{
    SettingsController& settings = _tolva.get_settingsController();
    const BaseStationParams bs = settings.getBS_ParamsCopy();
    const TransmitterParams tx = settings.getTransmitterParams();

    QJsonObject reply;
    auto number = [&reply](const char* key, const QVariant& v) {
        if (!v.isNull())
            reply.insert(QLatin1String(key), v.toInt());
    };
    auto flag = [&reply](const char* key, const QVariant& v) {
        if (!v.isNull())
            reply.insert(QLatin1String(key), v.toBool());
    };
    number("bs_id", bs.base_id_);
    if (!bs.LogOffsetRaw_.isNull())
        reply.insert(QStringLiteral("logoffset"), qRound(bs.LogOffsetRaw_.toDouble()));
    number("ul_freq", bs.uplink_freq_);
    number("if_freq", bs.if_freq_);
    number("if_freq2", bs.if_freq2_);
    flag("ext_filter", bs.ext_filter_);
    flag("one_sec_pulse_tester", bs.use_one_sec_pulse_test_);
    number("meslog_ttl", bs.meslog_ttl_);
    if (!bs.mode_.isNull())
        reply.insert(QStringLiteral("mode"), bs.mode_.toString());
    flag("vexa_time_sync", bs.time_sync_);
    number("dl_freq", tx.dl_freq_);
    number("dl_freq2", tx.dl_freq2_);
    reply.insert(QStringLiteral("dl_freqs"), joined(tx.dl_freqs_));
    flag("send_dl", tx.send_dl_);
    flag("auto_correction", tx.need_auto_correction_);
    flag("dig_mod", tx.dig_mod_);
    number("max_power", tx.max_power_);
    number("max_duty_cycle", tx.max_duty_cycle_);
    flag("lbt", tx.lbt_);
    reply.insert(QStringLiteral("freq_plans"), joined(tx.freq_plans_));
    reply.insert(QStringLiteral("result"), true);
    reply.insert(QStringLiteral("last_hb"), _tolva.get_last_hb());
    return reply;
}

QJsonObject BSConfigCommandHandler::stop(bool reboot)
{
    const errlog::EVENT_CODE code = reboot ? errlog::EVENT_SYS_REBOOT : errlog::EVENT_CLOSED;
    _tolva.alarm_log().append(code, _tolva.now());
    CommandTools::logLine(_tolva, errlog::toString(code));
    ICommandContext& station = _tolva;
    if (reboot)
        _tolva.run_later(kActionDelayMs, [&station] { station.reboot(); });
    else
        _tolva.run_later(kActionDelayMs, [&station] { station.exit(); });
    return QJsonObject{{QStringLiteral("result"), true}};
}
