#pragma once

#include "ICommandHandler.h"

class ICommandContext;

// "backup": the station keeps no backups it could report or delete; the fixed replies keep
// servers that ask working.
class BackupConfigCommandHandler : public ICommandHandler {
public:
    // Nothing of the station is needed.
    explicit BackupConfigCommandHandler(ICommandContext&) {}

    static QString typeName() { return QStringLiteral("backup"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;
};
