#include "CommandTools.h"

#include "HostCommandRunner.h"
#include "ICommandContext.h"
#include "errlog.h"
#include "levent.h"
#include "logger.h"

#include <cmath>
#include <limits>

namespace {
// A whole JSON number within [-bound, bound], else false.
bool wholeWithin(const QJsonValue& value, double bound, double* out)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || d < -bound || d > bound)
        return false;
    *out = d;
    return true;
}
} // namespace

bool CommandTools::isInt32(const QJsonValue& value)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    return std::isfinite(d) && d == std::trunc(d) && d >= double(std::numeric_limits<qint32>::min())
        && d <= double(std::numeric_limits<qint32>::max());
}

qint32 CommandTools::toInt32(const QJsonValue& value)
{
    return isInt32(value) ? qint32(value.toDouble()) : 0;
}

QDateTime CommandTools::secondsOr(const QJsonValue& value, const QDateTime& fallback)
{
    if (value.isUndefined())
        return fallback;
    double d = 0;
    if (!wholeWithin(value, double(kMaxSeconds), &d))
        d = 0;
    return QDateTime::fromSecsSinceEpoch(qint64(d));
}

QDateTime CommandTools::milliseconds(const QJsonValue& value)
{
    double d = 0;
    if (value.isDouble() && std::isfinite(value.toDouble()))
        d = std::trunc(value.toDouble());
    if (d < -double(kMaxSeconds) * 1000.0 || d > double(kMaxSeconds) * 1000.0)
        d = 0;
    return QDateTime::fromMSecsSinceEpoch(qint64(d));
}

QString CommandTools::printable(const QString& text, int max)
{
    QString shown = text.left(max);
    for (QChar& c : shown) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QLatin1Char('?');
    }
    return text.size() > max ? shown + QStringLiteral("...") : shown;
}

void CommandTools::logLine(ICommandContext& context, const QString& text)
{
    context.station_log() << context.now().toString(QStringLiteral("hh:mm:ss:zzz")) << text << "\n";
}

void CommandTools::setClock(ICommandContext& context, qint64 t, std::function<void()> after)
{
    const QString program = QStringLiteral("sudo");
    const QStringList arguments{QStringLiteral("date"), QStringLiteral("+%s"), QStringLiteral("-s"), QStringLiteral("@%1").arg(t)};
    logLine(context, QStringLiteral(" Run: ") + HostCommandRunner::commandLine(program, arguments));
    ICommandContext* station = &context;
    context.start_host(program, arguments, 10000, [station, after] {
        station->station_log() << station->now().toString(QStringLiteral("hh:mm:ss:zzz")) << " Finished\n";
        if (after)
            after();
    });
}

void CommandTools::restartNtpService(ICommandContext& context)
{
    context.start_host(QStringLiteral("sudo"), {QStringLiteral("/etc/init.d/ntp"), QStringLiteral("restart")}, 5000, nullptr);
}

bool CommandTools::fromBase64(const QByteArray& text, QByteArray* decoded)
{
    QByteArray compact;
    compact.reserve(text.size());
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v')
            compact.append(c);
    }
    int end = compact.size();
    while (end > 0 && compact.at(end - 1) == '=' && compact.size() - end < 2)
        --end;
    for (int i = 0; i < end; ++i) {
        const char c = compact.at(i);
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!alphabet)
            return false;
    }
    if (end % 4 == 1)
        return false;
    QByteArray padded = compact.left(end);
    padded.append(QByteArray((4 - end % 4) % 4, '='));
    const QByteArray::FromBase64Result result = QByteArray::fromBase64Encoding(padded, QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return false;
    *decoded = result.decoded;
    return true;
}

void CommandTools::changeRecord(ICommandContext& context, const QString& text)
{
    context.alarm_log().append(errlog::EVENT_CONF_CHANGED, context.now(), text);
    context.station_log() << levent(text, QString::fromLatin1(fnameEventLog));
    logLine(context, text);
}
