#include "gpspos.h"

#include "HostCommandRunner.h"

#include <QDebug>
#include <QStringList>

#include <cmath>

namespace {

// The attribute value after `name`: skips the name, its "=" and the opening quote, up to the
// next double quote. Empty when the closing quote is missing.
QString attribute(const QString& text, const QString& name)
{
    const int a = text.indexOf(name) + name.size() + 1;
    if (a > text.size())
        return QString();
    const int b = text.indexOf(QLatin1Char('"'), a);
    if (b < 0)
        return QString();
    return text.mid(a, b - a);
}

} // namespace

gpspos::gpspos(QObject* parent) : gpspos(nullptr, parent) {}

gpspos::gpspos(std::shared_ptr<HostCommandRunner> runner, QObject* parent) : QObject(parent), runner_(std::move(runner))
{
    qRegisterMetaType<QPair<double, double>>("QPair<double,double>");
}

bool gpspos::parse(const QString& output, QPair<double, double>& position)
{
    const QString latName = QStringLiteral("lat=");
    const QString lonName = QStringLiteral("lon=");
    if (!output.contains(latName) || !output.contains(lonName))
        return false;
    const QString latText = attribute(output, latName);
    const QString lonText = attribute(output, lonName);
    bool latOk = false;
    bool lonOk = false;
    const double lat = latText.toDouble(&latOk);
    const double lon = lonText.toDouble(&lonOk);
    qDebug().noquote() << QStringLiteral("GPS: lat=%1, lon=%2").arg(latText, lonText);
    // "nan" and "inf" convert, but are no position.
    if (!latOk || !lonOk || !std::isfinite(lat) || !std::isfinite(lon))
        return false;
    position = qMakePair(lat, lon);
    return true;
}

void gpspos::getPos()
{
    const std::shared_ptr<HostCommandRunner> runner = runner_ ? runner_ : HostCommandRunner::defaultRunner();
    if (!runner)
        return;
    // The client keeps logging until it is stopped: what it printed within the wait counts.
    const HostCommandResult result =
        runner->run(QStringLiteral("gpxlogger"), {QStringLiteral("-m"), QStringLiteral("1000"), QStringLiteral("-e"), QStringLiteral("sockets")}, kWaitMs);
    QPair<double, double> pos;
    if (parse(QString::fromUtf8(result.output), pos))
        emit position(pos);
}
