#pragma once

#include "ICommandHandler.h"

class ICommandContext;

// "gpsconfig": the GPS reference clocks of the time service ("ntp_on", "ntp_off") and the last
// GPS position ("get_gps").
class GPSConfigCommandHandler : public ICommandHandler {
public:
    explicit GPSConfigCommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("gpsconfig"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;

private:
    ICommandContext& _tolva;
};
