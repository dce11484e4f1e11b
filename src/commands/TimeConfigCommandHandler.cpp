#include "TimeConfigCommandHandler.h"

#include "CommandTools.h"
#include "ICommandContext.h"
#include "errlog.h"
#include "levent.h"
#include "logger.h"

#include <cmath>

QJsonDocument TimeConfigCommandHandler::exec(const QJsonObject& data)
{
    QJsonObject reply{{QStringLiteral("result"), false}};
    const QString cmd = data.value(QStringLiteral("cmd")).toString();
    if (cmd == QLatin1String("get_utc")) {
        reply.insert(QStringLiteral("timestamp"), _tolva.now().toSecsSinceEpoch());
        reply.insert(QStringLiteral("result"), true);
    } else if (cmd == QLatin1String("set_utc")) {
        // A missing or wrong "timestamp" would set the clock to 1970: refused, nothing run.
        const QJsonValue value = data.value(QStringLiteral("timestamp"));
        const double t = value.toDouble(-1);
        if (!value.isDouble() || t != std::trunc(t) || t < double(kEarliestClock) || t > double(CommandTools::kMaxSeconds)) {
            CommandTools::logLine(_tolva, QStringLiteral(" Clock not set: \"timestamp\" must be whole seconds from %1 on")
                                              .arg(kEarliestClock));
            return QJsonDocument(reply);
        }
        ICommandContext* station = &_tolva;
        CommandTools::setClock(_tolva, qint64(t), [station] {
            station->alarm_log().append(errlog::EVENT_TIME_SYNC_REMOTE, station->now());
            const QString text = errlog::toString(errlog::EVENT_TIME_SYNC_REMOTE);
            station->station_log() << levent(text, QString::fromLatin1(fnameEventLog));
            CommandTools::logLine(*station, text);
        });
        reply.insert(QStringLiteral("result"), true);
    }
    return QJsonDocument(reply);
}
