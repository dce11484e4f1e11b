#include "HBCommandHandler.h"

#include "CommandTools.h"
#include "ICommandContext.h"
#include "rabbit_man.h"

#include <QTimer>

QJsonDocument HBCommandHandler::exec(const QJsonObject& data)
{
    const QDateTime serverTime = CommandTools::secondsOr(data.value(QStringLiteral("s_time")), QDateTime::fromSecsSinceEpoch(0));
    CommandTools::logLine(_tolva, QStringLiteral(" HB received from server with DT:")
                                      + serverTime.toLocalTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")));

    QTimer& watchdog = _tolva.get_receive_timer();
    watchdog.setInterval(kWatchdogMs);
    watchdog.disconnect();
    if (rabbit_man* primary = _tolva.get_rab_prim())
        QObject::connect(&watchdog, &QTimer::timeout, primary, &rabbit_man::reconnect);
    watchdog.start();

    // Only a clock that is behind the server is set, and only from a link with the command right:
    // downlink rights alone must not move the station's clock.
    if (_tolva.is_time_sync_from_server_enabled() && serverTime > _tolva.now() && _tolva.may_set_clock())
        CommandTools::setClock(_tolva, serverTime.toSecsSinceEpoch());
    return QJsonDocument();
}
