#pragma once

#include "ICommandHandler.h"

class ICommandContext;

// "spectrum": the current spectrum frame for "request" as Base64 in "reply"; "result" false for
// an empty frame, and on a station without a spectrum server. The reply waits, on a timer, for
// the frame's turn among all spectrum readers.
class SpectrumCommandHandler : public ICommandHandler {
public:
    explicit SpectrumCommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("spectrum"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;
    void start(const QJsonObject& data, Done done) override;

private:
    QJsonDocument reply(const QJsonObject& data, int* waitMs);

    ICommandContext& _tolva;
};
