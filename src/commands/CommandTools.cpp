#include "CommandTools.h"

#include "HostCommandRunner.h"
#include "ICommandContext.h"
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

void CommandTools::logLine(ICommandContext& context, const QString& text)
{
    context.station_log() << context.now().toString(QStringLiteral("hh:mm:ss:zzz")) << text << "\n";
}

void CommandTools::setClock(ICommandContext& context, qint64 t)
{
    const QString program = QStringLiteral("sudo");
    const QStringList arguments{QStringLiteral("date"), QStringLiteral("+%s"), QStringLiteral("-s"), QStringLiteral("@%1").arg(t)};
    logLine(context, QStringLiteral(" Run: ") + HostCommandRunner::commandLine(program, arguments));
    context.runner().run(program, arguments, 10000);
    context.station_log() << context.now().toString(QStringLiteral("hh:mm:ss:zzz")) << " Finished\n";
}
