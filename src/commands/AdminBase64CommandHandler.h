#pragma once

#include "ICommandHandler.h"

class ICommandContext;

// "admin_base64": "admin" with the command line sent as Base64 in "body". A body that is not
// Base64 runs nothing and replies {"reply": ""}.
class AdminBase64CommandHandler : public ICommandHandler {
public:
    explicit AdminBase64CommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("admin_base64"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;
    void start(const QJsonObject& data, Done done) override;

    static constexpr int kLimitMs = 120000;

private:
    void run(const QJsonObject& data, bool blocking, Done done);

    ICommandContext& _tolva;
};
