#include "SimOnAirLog.h"

#include "downlink_frames.h"

#include <QJsonDocument>

#include <cmath>

SimOnAirLog::~SimOnAirLog()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_.isOpen())
        file_.close();
}

bool SimOnAirLog::open(const QString& path, QString* error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_.isOpen())
        file_.close();
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        if (error)
            *error = file_.errorString();
        return false;
    }
    return true;
}

bool SimOnAirLog::isOpen() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return file_.isOpen();
}

void SimOnAirLog::write(const QJsonObject& line)
{
    const QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_.isOpen())
        return;
    file_.write(text);
    file_.flush();
}

void SimOnAirLog::write_frame(const Frame& frame)
{
    write(frame_line(frame));
}

QString SimOnAirLog::time_text(const QDateTime& utc)
{
    return utc.toUTC().toString(Qt::ISODateWithMs);
}

QJsonObject SimOnAirLog::frame_line(const Frame& frame)
{
    QJsonObject o;
    o.insert(QStringLiteral("kind"), QStringLiteral("frame"));
    o.insert(QStringLiteral("start"), time_text(frame.start));
    o.insert(QStringLiteral("end"), frame.end.isNull() ? QJsonValue() : QJsonValue(time_text(frame.end)));
    o.insert(QStringLiteral("device"), frame.device);
    if (frame.channel >= 0)
        o.insert(QStringLiteral("channel"), frame.channel);
    o.insert(QStringLiteral("carrier"), double(frame.carrier));
    o.insert(QStringLiteral("bitrate"), std::round(frame.bitrate * 1000.0) / 1000.0);
    if (!std::isnan(frame.power))
        o.insert(QStringLiteral("power"), std::round(frame.power * 10.0) / 10.0);
    o.insert(QStringLiteral("bytes"), QString::fromLatin1(frame.bytes.toHex()));
    if (frame.checkProtD && frame.bytes.size() >= DL_FRAME_SIZE) {
        const auto* b = reinterpret_cast<const uint8_t*>(frame.bytes.constData());
        o.insert(QStringLiteral("crc24_ok"), dl_prot_d_crc_ok(b));
        o.insert(QStringLiteral("parity_ok"), dl_prot_d_parity_ok(b));
    }
    return o;
}
