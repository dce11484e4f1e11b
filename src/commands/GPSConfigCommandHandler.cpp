#include "GPSConfigCommandHandler.h"

#include "CommandTools.h"
#include "ICommandContext.h"
#include "ntp_sysconf.h"

QJsonDocument GPSConfigCommandHandler::exec(const QJsonObject& data)
{
    QJsonObject reply{{QStringLiteral("result"), false}};
    const QString cmd = data.value(QStringLiteral("cmd")).toString();
    ntp_sysconf& ntp = _tolva.ntp_editor();
    if (cmd == QLatin1String("ntp_on") || cmd == QLatin1String("ntp_off")) {
        const bool ok = ntp.gps_on(cmd == QLatin1String("ntp_on"));
        const QString what = cmd == QLatin1String("ntp_on") ? QStringLiteral("gps_ntp_on ") : QStringLiteral("gps_ntp_off ");
        CommandTools::changeRecord(_tolva, (ok ? QStringLiteral("Base station parameters changed: ")
                                               : QStringLiteral("Base station parameters change error: "))
                                               + what);
        CommandTools::restartNtpService(_tolva);
        reply.insert(QStringLiteral("result"), ok);
    } else if (cmd == QLatin1String("get_gps")) {
        const QPair<double, double>& position = _tolva.get_last_coords();
        reply.insert(QStringLiteral("latitude"), position.first);
        reply.insert(QStringLiteral("longitude"), position.second);
        reply.insert(QStringLiteral("ntp"), ntp.is_gps_on());
    }
    return QJsonDocument(reply);
}
