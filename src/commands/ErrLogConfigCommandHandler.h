#pragma once

#include "ICommandHandler.h"

class ICommandContext;

// "errlog": "get" the alarm events of a period, "set" (add) one, "clear" a period.
class ErrLogConfigCommandHandler : public ICommandHandler {
public:
    explicit ErrLogConfigCommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("errlog"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;

private:
    ICommandContext& _tolva;
};
