#include "SettingsController.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QStringList>

#include <cmath>
#include <initializer_list>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

const char* const DEFAULT_LOG_PATH = "/var/log/syslog";

namespace {

// Reads the keys of one group. Numbers are parsed from the text with an ok flag: a value that
// does not parse, or lies outside its range, counts as absent and its default applies.
//
// Every key the reader asks for counts as read; when it goes, it notes its group as read and
// the keys of the group it never asked for as unread.
struct ReadGroups {
    QStringList groups;
    QStringList unreadKeys; // "GROUP/KEY"
};

class GroupReader {
public:
    using Warn = std::function<void(const QString&)>;
    GroupReader(QSettings& settings, const QString& group, const Warn& warn, ReadGroups* read)
        : s_(settings), group_(group), warn_(warn), read_(read)
    {
        s_.beginGroup(group);
    }
    ~GroupReader()
    {
        read_->groups.append(group_);
        for (const QString& key : s_.allKeys()) {
            if (!asked_.contains(key))
                read_->unreadKeys.append(group_ + QLatin1Char('/') + key.left(kShown));
        }
        s_.endGroup();
    }

    bool has(const char* key) const
    {
        asked_.insert(QLatin1String(key));
        return s_.contains(QLatin1String(key));
    }

    // Keys the station's own commands write into this group although nothing reads them here:
    // a file the station edited itself is no stray key.
    void writtenByCommands(std::initializer_list<const char*> keys) const
    {
        for (const char* key : keys)
            asked_.insert(QLatin1String(key));
    }

    // An unquoted value with commas comes back from QSettings as a list; join it again so that
    // text keys read the same quoted or not.
    std::optional<QString> text(const char* key) const
    {
        if (!has(key))
            return std::nullopt;
        const QVariant value = s_.value(QLatin1String(key));
        if (value.type() == QVariant::StringList)
            return value.toStringList().join(QLatin1Char(','));
        return value.toString();
    }

    QVariant textOr(const char* key, const QVariant& absent) const
    {
        const auto t = text(key);
        return t ? QVariant(*t) : absent;
    }

    // QVariant's text-to-bool rule: empty, "0" and "false" (any case) are false, anything else
    // true. Files in the field rely on the rule, so it stays; a value such as "no" or "off",
    // which reads as true, is named.
    QVariant boolOr(const char* key, const QVariant& absent) const
    {
        const auto t = text(key);
        if (!t)
            return absent;
        const bool value = QVariant(*t).toBool();
        if (!isPlainBool(*t))
            warn_(QStringLiteral("INI %1/%2: \"%3\" reads as %4 (only empty, 0 and false are false)")
                      .arg(group_, QLatin1String(key), t->left(kShown),
                           value ? QLatin1String("true") : QLatin1String("false")));
        return QVariant(value);
    }

    static bool isPlainBool(const QString& t)
    {
        return t.isEmpty() || t == QLatin1String("0") || t == QLatin1String("1")
            || t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0
            || t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0;
    }

    std::optional<int> toInt(const char* key) const
    {
        return number<int>(key, [](const QString& t, bool* ok) { return t.toInt(ok); });
    }

    std::optional<uint> toUInt(const char* key) const
    {
        return number<uint>(key, [](const QString& t, bool* ok) { return t.toUInt(ok); });
    }

    // A frequency written as a signed number; negative values are refused like garbage.
    std::optional<uint> frequency(const char* key) const
    {
        const auto v = toInt(key);
        if (v && *v < 0) {
            skipped(key, QString::number(*v));
            return std::nullopt;
        }
        return v ? std::optional<uint>(uint(*v)) : std::nullopt;
    }

    std::optional<qint64> toLongLong(const char* key) const
    {
        return number<qint64>(key, [](const QString& t, bool* ok) { return t.toLongLong(ok); });
    }

    std::optional<double> toDouble(const char* key) const
    {
        return number<double>(key, [](const QString& t, bool* ok) { return t.toDouble(ok); });
    }

    std::optional<float> toFloat(const char* key) const
    {
        return number<float>(key, [](const QString& t, bool* ok) { return t.toFloat(ok); });
    }

    std::optional<uint> hexWord(const char* key) const
    {
        return number<uint>(key, [](const QString& t, bool* ok) { return t.toUInt(ok, 16); });
    }

    std::nullopt_t skipped(const char* key, const QString& value) const
    {
        warn_(QStringLiteral("INI %1/%2: value \"%3\" is not a valid number, ignored")
                  .arg(group_, QLatin1String(key), value.left(kShown)));
        return std::nullopt;
    }

    void skippedPart(const char* key, const QString& part, const char* why) const
    {
        warn_(QStringLiteral("INI %1/%2: part \"%3\" skipped: %4")
                  .arg(group_, QLatin1String(key), part.left(kShown), QLatin1String(why)));
    }

    void warn(const QString& text) const { warn_(text); }

    // Of a faulty value, this much is quoted in its warning.
    static constexpr int kShown = 64;

private:
    // parse is one of QString's number conversions; reals must also be finite.
    template <typename T, typename Parse>
    std::optional<T> number(const char* key, Parse parse) const
    {
        const auto t = text(key);
        if (!t)
            return std::nullopt;
        bool ok = false;
        const T v = parse(*t, &ok);
        if constexpr (std::is_floating_point_v<T>)
            ok = ok && std::isfinite(v);
        if (!ok)
            return skipped(key, *t);
        return v;
    }

    QSettings& s_;
    QString group_;
    const Warn& warn_;
    ReadGroups* read_;
    mutable QSet<QString> asked_;
};

template <typename T>
QVariant orDefault(const std::optional<T>& value, const QVariant& absent)
{
    return value ? QVariant::fromValue(*value) : absent;
}

// Minutes in the file, seconds in the record.
QVariant minutesToSeconds(const std::optional<int>& minutes, int defaultSeconds)
{
    if (!minutes)
        return QVariant(defaultSeconds);
    const qint64 seconds = qint64(*minutes) * 60;
    const qint64 clamped = qBound<qint64>(std::numeric_limits<int>::min(), seconds, std::numeric_limits<int>::max());
    return QVariant(int(clamped));
}

QVariant threshold(const GroupReader& r, const char* key, int absent)
{
    const auto v = r.toLongLong(key);
    if (!v)
        return QVariant(absent);
    return QVariant(int(qBound<qint64>(0, *v, 65535)));
}

const char* const kAcceptedTypes = "QORM_TYPE, QORM7_TYPE, QORM_LTE_TYPE, QUABO_TYPE, TCPBS_TYPE";

BS_Type stationType(const QString& name)
{
    if (name == QLatin1String("QORM_TYPE") || name == QLatin1String("QORM7_TYPE"))
        return QORM;
    if (name.contains(QLatin1String("QUABO")))
        return Quabo;
    if (name == QLatin1String("TCPBS_TYPE"))
        return TCPBS;
    if (name == QLatin1String("QORM_LTE_TYPE"))
        return QORM_LTE;
    return Unknown_Type;
}

void readRabbit(QSettings& settings, const char* group, SecondaryRabbitParams& p, const GroupReader::Warn& warn,
                ReadGroups* read)
{
    GroupReader r(settings, QLatin1String(group), warn, read);
    p.enable_ = r.boolOr("ENABLE", QVariant());
    p.r_login_ = r.textOr("R_LOGIN", QVariant());
    p.r_exchange_ = r.textOr("R_EXCHANGE", QVariant());
    p.r_routing_key_ = r.textOr("R_ROUTING_KEY", QVariant());
    p.r_vhost_ = r.textOr("R_VHOST", QVariant());
    p.has_ul_ = r.boolOr("HAS_UL", QVariant());
    p.has_dl_ = r.boolOr("HAS_DL", QVariant());
    p.has_cmd_ = r.boolOr("HAS_CMD", QVariant());
    p.r_host_ = r.textOr("R_HOST", QVariant());
    p.r_user_ = r.textOr("R_USER", QVariant());
    p.r_pass_ = r.textOr("R_PASS", QVariant());
    p.save_to_disk_ = r.boolOr("SAVE_TO_DISK", QVariant(false));
    p.log_file_path_ = r.textOr("LOG_FILE_PATH", QVariant(QString()));
}

// An old station's file or a copied template can hold many keys the station does not read: the
// first are named, the others counted.
constexpr int kUnreadNamed = 20;

// Names, as no mistake, what the station passes over: keys of the groups it read that it never
// asked for, keys outside any group, and groups it did not read (as a group).
void tellUnread(QSettings& settings, const ReadGroups& read, const GroupReader::Warn& warn)
{
    QStringList lines;
    for (const QString& key : read.unreadKeys)
        lines << QStringLiteral("INI %1: not read by the station").arg(key);
    for (const QString& key : settings.childKeys())
        lines << QStringLiteral("INI %1: outside any group, not read by the station").arg(key.left(GroupReader::kShown));
    for (const QString& group : settings.childGroups()) {
        if (!read.groups.contains(group))
            lines << QStringLiteral("INI [%1]: group not read by the station").arg(group.left(GroupReader::kShown));
    }
    for (int i = 0; i < lines.size() && i < kUnreadNamed; ++i)
        warn(lines[i]);
    if (lines.size() > kUnreadNamed)
        warn(QStringLiteral("INI: %1 more keys or groups not read by the station").arg(lines.size() - kUnreadNamed));
}

} // namespace

SettingsController::SettingsController(Warnings warnings) : silent_(warnings == Warnings::Silent) {}

SettingsController::Records SettingsController::parse(const QString& path)
{
    Records rec;
    ReadGroups read;
    const GroupReader::Warn warn = [this](const QString& text) { this->warn(text); };
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() == QSettings::FormatError)
        warn(QStringLiteral("INI file %1 has format errors; the keys that could be read apply").arg(path));
    else if (settings.status() == QSettings::AccessError)
        warn(QStringLiteral("INI file %1 cannot be read; defaults apply").arg(path));

    {
        BaseStationParams& p = rec.bs;
        GroupReader r(settings, QStringLiteral("BASE_STATION"), warn, &read);
        p.tcp_rs_ = r.text("TCP_RS").value_or(QString()).split(QLatin1Char(','));
        p.tcp_rs_timeout_ = orDefault(r.toInt("TCP_RS_TIMEOUT"), 25);
        p.tcp_port_ = orDefault(r.toInt("TCP_PORT"), 16384);
        p.tcp_ttl_ = minutesToSeconds(r.toInt("TCP_TTL"), 720 * 60);
        p.tcp_ttl_timeout_ = minutesToSeconds(r.toInt("TCP_TTL_TIMEOUT"), 60 * 60);
        p.gpio_led_green = orDefault(r.toInt("GPIO_LED_GREEN"), 17);
        p.gpio_led_red = orDefault(r.toInt("GPIO_LED_RED"), 3);
        p.gpio_pps_en = orDefault(r.toInt("GPIO_PPS_EN"), 20);
        p.gpio_di = orDefault(r.toInt("GPIO_DI"), 19);
        p.qorm_ = r.boolOr("QORM", true);
        p.base_id_ = orDefault(r.toInt("BS_ID"), QVariant());
        p.logpath_ = r.textOr("LOG_FILE_PATH", QString::fromLatin1(DEFAULT_LOG_PATH));
        p.errlogpath_ = r.textOr("ERR_LOG_FILE_PATH", QStringLiteral("errlog.db3"));
        if (const auto offset = r.toFloat("LOGOFFSET")) {
            p.LogOffsetRaw_ = *offset;
            p.LogOffset_ = float(*offset - 52.0);
        } else {
            p.LogOffset_ = 210;
        }
        p.if_freq_ = orDefault(r.frequency("IF_FREQ"), 137500000u);
        p.uplink_freq_ = orDefault(r.frequency("UL_FREQ"), 868800000u);
        p.if_freq2_ = orDefault(r.frequency("IF_FREQ2"), 137909600u);
        // Presence alone enables the firmware update: stations in the field rely on that.
        p.update_artix_on_start_ = r.has("UPDATE_ARTIX_ON_START");
        if (p.update_artix_on_start_.toBool()) {
            // "no" or "off" read as false by nobody here: only a value that says yes goes untold.
            const QString value = r.text("UPDATE_ARTIX_ON_START").value_or(QString());
            if (value != QLatin1String("1") && value.compare(QLatin1String("true"), Qt::CaseInsensitive) != 0)
                r.warn(QStringLiteral("UPDATE_ARTIX_ON_START=%1 still enables the firmware update; remove the key to disable it")
                           .arg(value));
        }
        p.use_window_ = r.boolOr("USE_WINDOW", false);
        p.ext_filter_ = r.boolOr("EXT_FILTER", false);
        p.use_one_sec_pulse_test_ = r.boolOr("ONE_SEC_PULSE_TESTER", false);
        p.stream_offset_ = orDefault(r.toInt("STREAM_OFFSET"), 18);
        p.save_to_disk_ = r.boolOr("SAVE_TO_DISK", false);
        p.threshold50_ = threshold(r, "THRESHOLD_50", 1024);
        p.threshold125_ = threshold(r, "THRESHOLD_125", 1024);
        p.threshold400_ = threshold(r, "THRESHOLD_400", 1024);
        p.threshold3200_ = threshold(r, "THRESHOLD_3200", 1024);
        p.threshold25600_ = threshold(r, "THRESHOLD_25600", 800);
        p.use_binary_ = r.boolOr("USE_BINARY", true);
        p.r_host_ = r.textOr("R_HOST", QVariant());
        p.r_user_ = r.textOr("R_USER", QVariant());
        p.r_pass_ = r.textOr("R_PASS", QVariant());
        p.r_login_ = r.textOr("R_LOGIN", QVariant());
        p.r_routing_key_ = r.textOr("R_ROUTING_KEY", QVariant());
        p.r_exchange_ = r.textOr("R_EXCHANGE", QVariant());
        p.r_vhost_ = r.textOr("R_VHOST", QVariant());
        p.meslog_ttl_ = orDefault(r.toInt("MESLOG_TTL"), QVariant());
        // "change_params" stores the second uplink frequency, "change_auth" of the primary link
        // its flags; the station takes them from elsewhere.
        r.writtenByCommands({"UL_FREQ2", "HAS_UL", "HAS_DL", "HAS_CMD", "ENABLE"});
        p.mode_ = r.textOr("MODE", QVariant());
        p.time_sync_ = r.boolOr("TIME_SYNC", true);
        p.ntp_ = r.boolOr("NTP", true);
        const QString typeName = r.text("BS_TYPE").value_or(QStringLiteral("QORM_TYPE"));
        p.bs_type = stationType(typeName);
        if (p.bs_type == Unknown_Type)
            r.warn(QStringLiteral("INI BASE_STATION/BS_TYPE: unknown station type \"%1\"; accepted: %2")
                       .arg(typeName.left(GroupReader::kShown), QLatin1String(kAcceptedTypes)));
        p.lna_level = orDefault(r.toUInt("AT86_LNA_LEVEL"), 10);
    }

    {
        GroupReader r(settings, QStringLiteral("ADF4350"), warn, &read);
        rec.revLo = r.boolOr("REV_LO", true).toBool();
        static const char* const words[] = {"K0", "K1", "K2", "K3", "K4", "K5"};
        for (qint16 i = 0; i < 6; ++i) {
            if (const auto word = r.hexWord(words[i]))
                rec.bs.koeffs.insert(i, *word);
        }
    }

    {
        TransmitterParams& p = rec.tx;
        GroupReader r(settings, QStringLiteral("TRANSMITTER"), warn, &read);
        p.need_auto_correction_ = r.boolOr("AUTO_CORRECTION", QVariant());
        if (const auto freqs = r.text("DL_FREQS")) {
            for (const QString& part : freqs->split(QLatin1Char(','))) {
                bool ok = false;
                const uint f = part.toUInt(&ok);
                if (ok)
                    p.dl_freqs_.append(f);
                else
                    r.skippedPart("DL_FREQS", part, "not a frequency");
            }
        }
        for (const QString& plan : r.text("FREQ_PLANS").value_or(QString()).split(QLatin1Char('|'))) {
            const QStringList pieces = plan.split(QLatin1Char(':'));
            if (pieces.size() != 2) {
                if (!plan.isEmpty())
                    r.skippedPart("FREQ_PLANS", plan, "not <plan>:<phy codes>");
                continue;
            }
            bool ok = false;
            const uint number = pieces[0].toUInt(&ok);
            if (!ok) {
                r.skippedPart("FREQ_PLANS", plan, "plan number is not a number");
                continue;
            }
            QList<vexa_phy_channel_t> codes;
            for (const QString& code : pieces[1].split(QLatin1Char(','))) {
                bool codeOk = false;
                const int c = code.toInt(&codeOk);
                if (codeOk)
                    codes.append(vexa_phy_channel_t(c));
                else
                    r.skippedPart("FREQ_PLANS", code, "phy code is not a number");
            }
            p.freq_plans_.append(number);
            p.dl_bitrates_.append(codes);
        }
        const auto dlFreq = r.frequency("DL_FREQ");
        p.dl_freq_ = dlFreq ? QVariant(int(*dlFreq)) : QVariant(446000000u);
        const auto dlFreq2 = r.frequency("DL_FREQ2");
        p.dl_freq2_ = dlFreq2 ? QVariant(int(*dlFreq2)) : QVariant();
        p.dl_save_window_ = orDefault(r.toDouble("DL_SAVE_WINDOW"), 1.0);
        p.dl_ch_count_ = orDefault(r.toInt("DL_CH_COUNT"), 1);
        p.dl_sinth_freq_ = orDefault(r.toInt("DL_SINTH_FREQ"), 0);
        p.dl_filter_offset_ = orDefault(r.toInt("DL_FILTER_OFFSET"), 0);
        p.dl_sinth_freq_step_ = orDefault(r.toInt("DL_SINTH_FREQ_STEP"), 100000);
        p.dl_sinth_bandwidth_ = orDefault(r.toInt("DL_SINTH_BANDWIDTH"), 4000000);
        if (p.dl_freqs_.isEmpty()) {
            p.dl_freqs_.append(p.dl_freq_.toUInt());
            if (p.dl_freq2_.isValid())
                p.dl_freqs_.append(p.dl_freq2_.toUInt());
        }
        p.send_dl_ = r.boolOr("SEND_DL", QVariant());
        p.dig_mod_ = r.boolOr("DIG_MOD", QVariant());
        p.max_power_ = orDefault(r.toInt("MAX_POWER"), 26u);
        p.max_duty_cycle_ = orDefault(r.toUInt("MAX_DUTY_CYCLE"), 100u);
        p.lbt_ = r.boolOr("LBT", false);
        // "change_params" stores the message-log retention here too; the station reads it from BASE_STATION.
        r.writtenByCommands({"MESLOG_TTL"});
    }

    {
        GroupReader r(settings, QStringLiteral("Comunications"), warn, &read);
        rec.comm.serialPortName_ = r.textOr("PortNum", QVariant());
        rec.comm.baudRate_ = orDefault(r.toInt("BaudeRate"), QVariant());
        rec.comm.slip_crc_ = r.boolOr("SLIP_CRC", QVariant());
    }

    readRabbit(settings, "SECONDARY_RABBIT", rec.second, warn, &read);
    readRabbit(settings, "THIRD_RABBIT", rec.third, warn, &read);
    tellUnread(settings, read, warn);
    return rec;
}

void SettingsController::apply(Records&& rec)
{
    std::unique_lock<std::shared_mutex> lock(mutex_);
    bsParams = std::move(rec.bs);
    rev_lo_ = rec.revLo;
    transmitterParams_ = std::move(rec.tx);
    communicationSerialParams = std::move(rec.comm);
    secRabbitParams_ = std::move(rec.second);
    thirdRabbitParams_ = std::move(rec.third);
}

void SettingsController::warn(const QString& text)
{
    if (silent_)
        return;
    // A re-read (every setValue) finds the same faults again; each is told once.
    if (warned_.contains(text))
        return;
    if (warned_.size() < kMaxWarnings)
        warned_.insert(text);
    qWarning().noquote() << text;
    if (warningSink_)
        warningSink_(text);
    else if (pendingWarnings_.size() < kMaxWarnings)
        pendingWarnings_.append(text);
}

void SettingsController::setWarningSink(std::function<void(const QString&)> sink)
{
    warningSink_ = std::move(sink);
    if (!warningSink_)
        return;
    const QStringList pending = std::exchange(pendingWarnings_, QStringList());
    for (const QString& text : pending)
        warningSink_(text);
}

bool SettingsController::initController(const QString& path)
{
    // A folder or a device at the path is no configuration file either.
    if (!QFileInfo(path).isFile()) {
        apply(Records());
        warn(QStringLiteral("INI file not found: ") + path);
        return false;
    }
    fileName_ = path;
    apply(parse(path));
    return true;
}

const BaseStationParams& SettingsController::getBS_Params() const
{
    return bsParams;
}

BaseStationParams SettingsController::getBS_ParamsCopy() const
{
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return bsParams;
}

quint16 SettingsController::getThreshold(BS_Bitrates bitrate) const
{
    std::shared_lock<std::shared_mutex> lock(mutex_);
    const QVariant* value = nullptr;
    switch (bitrate) {
    case bt50: value = &bsParams.threshold50_; break;
    case bt125: value = &bsParams.threshold125_; break;
    case bt400: value = &bsParams.threshold400_; break;
    case bt3200: value = &bsParams.threshold3200_; break;
    case bt25600: value = &bsParams.threshold25600_; break;
    default: return 0;
    }
    return quint16(value->toUInt() & 0xFFFFu);
}

bool SettingsController::rev_lo() const
{
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return rev_lo_;
}

TransmitterParams SettingsController::getTransmitterParams() const
{
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return transmitterParams_;
}

CommunicationParams SettingsController::getSerialCommunicationParams() const
{
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return communicationSerialParams;
}

SecondaryRabbitParams SettingsController::getSecondaryRabbitParams() const
{
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return secRabbitParams_;
}

SecondaryRabbitParams SettingsController::getThirdRabbitParams() const
{
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return thirdRabbitParams_;
}

bool SettingsController::setValue(const QString& group, const QString& key, QVariant value)
{
    if (fileName_.isEmpty()) {
        qWarning().noquote() << QStringLiteral("No INI file was read: %1/%2 not written").arg(group, key);
        return false;
    }
    if (!QFileInfo::exists(fileName_)) {
        qWarning().noquote() << QStringLiteral("INI file \"%1\" is gone: %2/%3 not written, settings kept")
                                    .arg(fileName_, group, key);
        return false;
    }
    {
        // QSettings keeps every other group and key, and replaces the file through a
        // temporary file, so a failed write leaves the old file whole.
        QSettings writer(fileName_, QSettings::IniFormat);
        writer.beginGroup(group);
        writer.setValue(key, value);
        writer.endGroup();
        writer.sync();
        if (writer.status() == QSettings::AccessError) {
            qWarning().noquote() << QStringLiteral("INI file %1 cannot be written: %2/%3 not changed, settings kept")
                                        .arg(fileName_, group, key);
            return false;
        }
    }
    apply(parse(fileName_));
    return true;
}

bool SettingsController::setValues(const QList<Change>& changes, const FileReplacer& replace, QString* error)
{
    auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
    if (fileName_.isEmpty())
        return fail(QStringLiteral("no INI file was read"));
    if (!QFileInfo(fileName_).isFile())
        return fail(QStringLiteral("INI file %1 is gone or not a regular file").arg(fileName_));
    // QSettings edits a copy in a private folder, so its way of writing the file (lock file,
    // temporary file) never touches the real one; the result then replaces it in one step.
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return fail(QStringLiteral("no temporary folder for the new INI content: %1").arg(scratch.errorString()));
    const QString copy = scratch.filePath(QStringLiteral("station.ini"));
    // The whole of a file, or the reason it could not be read.
    auto readWhole = [](const QString& path, QByteArray* bytes, QString* why) {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly)) {
            *bytes = f.readAll();
            if (f.error() == QFileDevice::NoError)
                return true;
        }
        *why = f.errorString();
        return false;
    };
    // Copied by content: a copy that kept a read-only mode could not be edited.
    QByteArray old;
    QString why;
    if (!readWhole(fileName_, &old, &why))
        return fail(QStringLiteral("INI file %1 cannot be read: %2").arg(fileName_, why));
    QFile scratchFile(copy);
    if (!scratchFile.open(QIODevice::WriteOnly) || scratchFile.write(old) != old.size() || !scratchFile.flush())
        return fail(QStringLiteral("new INI content could not be made: %1").arg(scratchFile.errorString()));
    scratchFile.close();
    {
        QSettings writer(copy, QSettings::IniFormat);
        for (const Change& change : changes) {
            writer.beginGroup(change.group);
            writer.setValue(change.key, change.value);
            writer.endGroup();
        }
        writer.sync();
        if (writer.status() != QSettings::NoError)
            return fail(QStringLiteral("new INI content could not be made from %1").arg(fileName_));
    }
    QByteArray content;
    if (!readWhole(copy, &content, &why))
        return fail(QStringLiteral("new INI content could not be read back: %1").arg(why));
    if (!replace(fileName_, content, &why))
        return fail(QStringLiteral("INI file %1 not replaced: %2").arg(fileName_, why));
    apply(parse(fileName_));
    return true;
}
