#pragma once

#include "ICommandHandler.h"

class ICommandContext;

// "ntpconfig": reads ("get") or changes ("set") the pool, GPS and external-server entries of the
// time service, then restarts it.
class NTPConfigCommandHandler : public ICommandHandler {
public:
    explicit NTPConfigCommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("ntpconfig"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;

private:
    ICommandContext& _tolva;
};
