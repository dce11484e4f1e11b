#pragma once

#include "ICommandHandler.h"
#include "SettingsController.h"

#include <QList>

class ICommandContext;

// "bsconfig": the broker credentials and rights of the three links ("change_auth",
// "read_auth"), the station parameters ("change_params", "read_params"), and ending the
// program or rebooting the host ("exit", "reboot").
class BSConfigCommandHandler : public ICommandHandler {
public:
    explicit BSConfigCommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("bsconfig"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;

    // Delay between the reply and the exit or reboot it announces.
    static constexpr int kActionDelayMs = 2000;

private:
    QJsonObject change_auth(const QJsonObject& data);
    QJsonObject read_auth();
    QJsonObject change_params(const QJsonObject& data);
    QJsonObject read_params();
    QJsonObject stop(bool reboot);
    // Writes the changes into the INI file as a whole; false, with the cause logged, when not.
    bool saveIni(const QList<SettingsController::Change>& changes, const QString& what);

    ICommandContext& _tolva;
};
