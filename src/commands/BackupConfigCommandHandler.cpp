#include "BackupConfigCommandHandler.h"

QJsonDocument BackupConfigCommandHandler::exec(const QJsonObject& data)
{
    const QJsonValue cmd = data.value(QStringLiteral("cmd"));
    if (cmd.toString() == QLatin1String("info"))
        return QJsonDocument(QJsonObject());
    return QJsonDocument(QJsonObject{{QStringLiteral("result"), cmd.toString() == QLatin1String("delete")}});
}
