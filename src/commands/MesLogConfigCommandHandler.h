#pragma once

#include "ICommandHandler.h"

class ICommandContext;

// "meslog" "get": the logged uplinks and downlink requests of a period, newest first.
class MesLogConfigCommandHandler : public ICommandHandler {
public:
    explicit MesLogConfigCommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("meslog"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;

private:
    ICommandContext& _tolva;
};
