#include "SimGpsHostCommandRunner.h"

SimGpsHostCommandRunner::SimGpsHostCommandRunner(std::shared_ptr<HostCommandRunner> others, double latitude,
                                                 double longitude)
    : others_(std::move(others)), latitude_(latitude), longitude_(longitude)
{
}

void SimGpsHostCommandRunner::set_position(double latitude, double longitude)
{
    std::lock_guard<std::mutex> lock(mutex_);
    latitude_ = latitude;
    longitude_ = longitude;
}

void SimGpsHostCommandRunner::set_fix(bool fix)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fix_ = fix;
}

QByteArray SimGpsHostCommandRunner::gpx(double latitude, double longitude, bool fix)
{
    QByteArray text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                      "<gpx version=\"1.1\" creator=\"GPSD\">\n";
    if (fix) {
        text += "<trk>\n<trkseg>\n  <trkpt lat=\"" + QByteArray::number(latitude, 'f', 6) + "\" lon=\""
            + QByteArray::number(longitude, 'f', 6) + "\">\n    <fix>3d</fix>\n  </trkpt>\n";
    }
    return text;
}

HostCommandResult SimGpsHostCommandRunner::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    if (program == QLatin1String("gpxlogger")) {
        HostCommandResult result;
        result.started = true;
        result.timedOut = true;  // the client logs until it is stopped
        std::lock_guard<std::mutex> lock(mutex_);
        result.output = gpx(latitude_, longitude_, fix_);
        return result;
    }
    if (!others_)
        return HostCommandResult();
    return others_->run(program, arguments, timeoutMs);
}
