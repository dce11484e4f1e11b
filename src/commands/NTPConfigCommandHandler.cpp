#include "NTPConfigCommandHandler.h"

#include "CommandTools.h"
#include "ICommandContext.h"
#include "ntp_sysconf.h"

namespace {
QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}
} // namespace

QJsonDocument NTPConfigCommandHandler::exec(const QJsonObject& data)
{
    QJsonObject reply{{QStringLiteral("result"), false}};
    const QString cmd = data.value(QStringLiteral("cmd")).toString();
    ntp_sysconf& ntp = _tolva.ntp_editor();
    if (cmd == QLatin1String("get")) {
        const bool server = ntp.is_server_on();
        reply.insert(QStringLiteral("gps"), ntp.is_gps_on());
        reply.insert(QStringLiteral("pool"), ntp.is_pool_on());
        reply.insert(QStringLiteral("server"), server);
        if (server)
            reply.insert(QStringLiteral("server_str"), ntp.server());
        reply.insert(QStringLiteral("result"), true);
    } else if (cmd == QLatin1String("set")) {
        const QString server = data.value(QStringLiteral("server_str")).toString();
        if (server.size() > CommandTools::kMaxTextLength) {
            CommandTools::logLine(_tolva, QStringLiteral(" NTP settings refused: \"server_str\" must be a string of at most %1 characters, not %2")
                                              .arg(CommandTools::kMaxTextLength)
                                              .arg(server.size()));
            return QJsonDocument(reply);
        }
        bool all = true;
        auto change = [this, &all](bool ok, const QString& what) {
            CommandTools::changeRecord(_tolva, (ok ? QStringLiteral("Base station parameters changed: ")
                                                   : QStringLiteral("Base station parameters change error: "))
                                                   + what);
            all = all && ok;
        };
        if (data.contains(QStringLiteral("pool"))) {
            const bool on = data.value(QStringLiteral("pool")).toBool();
            change(ntp.pool_on(on), QStringLiteral("ntp_pool_") + onOff(on));
        }
        if (data.contains(QStringLiteral("gps"))) {
            const bool on = data.value(QStringLiteral("gps")).toBool();
            change(ntp.gps_on(on), QStringLiteral("gps_ntp_") + onOff(on));
        }
        if (data.contains(QStringLiteral("server_str"))) {
            const QString text = data.value(QStringLiteral("server_str")).toString();
            change(ntp.set_server(text), QStringLiteral("ntp_set_server to ") + text);
        }
        if (data.contains(QStringLiteral("server"))) {
            const bool on = data.value(QStringLiteral("server")).toBool();
            change(ntp.server_on(on), QStringLiteral("ntp_server_") + onOff(on));
        }
        CommandTools::restartNtpService(_tolva);
        reply.insert(QStringLiteral("result"), all);
    }
    return QJsonDocument(reply);
}
