#include "ErrLogConfigCommandHandler.h"

#include "CommandTools.h"
#include "ICommandContext.h"
#include "errlog.h"

#include <QJsonArray>

QJsonDocument ErrLogConfigCommandHandler::exec(const QJsonObject& data)
{
    QJsonObject reply{{QStringLiteral("result"), false}};
    if (!data.contains(QStringLiteral("cmd")))
        return QJsonDocument(reply);
    const QString cmd = data.value(QStringLiteral("cmd")).toString();
    const QDateTime epoch = QDateTime::fromSecsSinceEpoch(0);
    errlog& alarms = _tolva.alarm_log();

    if (cmd == QLatin1String("get")) {
        const QDateTime from = CommandTools::secondsOr(data.value(QStringLiteral("from")), epoch);
        const QDateTime to = CommandTools::secondsOr(data.value(QStringLiteral("to")), _tolva.now());
        const QJsonValue limit = data.value(QStringLiteral("limit"));
        return QJsonDocument(alarms.select(from, to, limit.isUndefined() ? 1000 : CommandTools::toInt32(limit)));
    }
    if (cmd == QLatin1String("set")) {
        if (!data.contains(QStringLiteral("code")) || !data.contains(QStringLiteral("ts")))
            return QJsonDocument(reply);
        const auto code = errlog::EVENT_CODE(CommandTools::toInt32(data.value(QStringLiteral("code"))));
        const QDateTime time = CommandTools::milliseconds(data.value(QStringLiteral("ts")));
        const QString text = data.value(QStringLiteral("alarm")).toString();
        if (text.size() > CommandTools::kMaxStoredText) {
            CommandTools::logLine(_tolva, QStringLiteral(" Event not stored: \"alarm\" must be a string of at most %1 characters, not %2")
                                              .arg(CommandTools::kMaxStoredText)
                                              .arg(text.size()));
            return QJsonDocument(reply);
        }
        double value = data.value(QStringLiteral("value")).toDouble();
        alarms.append(code, time, text, data.contains(QStringLiteral("value")) ? &value : nullptr);
        reply.insert(QStringLiteral("result"), true);
        return QJsonDocument(reply);
    }
    if (cmd == QLatin1String("clear")) {
        const QDateTime from = CommandTools::secondsOr(data.value(QStringLiteral("from")), epoch);
        const QDateTime to = CommandTools::secondsOr(data.value(QStringLiteral("to")), _tolva.now());
        reply.insert(QStringLiteral("result"), alarms.clear(from, to));
    }
    return QJsonDocument(reply);
}
