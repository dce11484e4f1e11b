#pragma once

#include "ICommandHandler.h"

class ICommandContext;

// "timeconfig": "get_utc" reads the clock, "set_utc" sets it to "timestamp".
class TimeConfigCommandHandler : public ICommandHandler {
public:
    explicit TimeConfigCommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("timeconfig"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;

    // 2020-01-01 00:00:00 UTC: no server means to set the clock before this.
    static constexpr qint64 kEarliestClock = 1577836800;

private:
    ICommandContext& _tolva;
};
