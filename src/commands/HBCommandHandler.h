#pragma once

#include "ICommandHandler.h"

class ICommandContext;

// "hb": the server's heartbeat. Re-arms the broker watchdog (the primary link reconnects after
// 300 s without one) and, when time sync from the server is on and the link has the command
// right, sets a clock that is behind.
class HBCommandHandler : public ICommandHandler {
public:
    explicit HBCommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("hb"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;

    static constexpr int kWatchdogMs = 300000;

private:
    ICommandContext& _tolva;
};
