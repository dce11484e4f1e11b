#include "MesLogConfigCommandHandler.h"

#include "CommandTools.h"
#include "ICommandContext.h"
#include "meslog.h"

#include <QJsonArray>

QJsonDocument MesLogConfigCommandHandler::exec(const QJsonObject& data)
{
    if (data.value(QStringLiteral("cmd")).toString() != QLatin1String("get"))
        return QJsonDocument(QJsonObject{{QStringLiteral("result"), false}});

    const QDateTime from = CommandTools::secondsOr(data.value(QStringLiteral("from")), QDateTime::fromSecsSinceEpoch(0));
    const QDateTime to = CommandTools::secondsOr(data.value(QStringLiteral("to")), _tolva.now());
    QList<int> ids;
    for (const QJsonValue& id : data.value(QStringLiteral("ids")).toArray())
        ids << CommandTools::toInt32(id);
    QList<int> types;
    for (const QJsonValue& type : data.value(QStringLiteral("types")).toArray()) {
        if (type.toString() == QLatin1String("UL"))
            types << 0;
        else if (type.toString() == QLatin1String("DL"))
            types << 1;
    }
    const QJsonValue limit = data.value(QStringLiteral("limit"));
    const int count = limit.isUndefined() ? 1000 : CommandTools::toInt32(limit);
    return QJsonDocument(_tolva.get_meslog().select(from, to, ids, types, count));
}
