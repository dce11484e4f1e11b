#pragma once

#include "ICommandHandler.h"

#include <QStringList>

class ICommandContext;

// "network": reads ("get") or rewrites ("set") how eth0 gets its address in the host's
// interfaces file, then restarts eth0 2000 ms after the reply.
class NetworkConfigCommandHandler : public ICommandHandler {
public:
    explicit NetworkConfigCommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("network"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;

    static constexpr int kRestartDelayMs = 2000;

private:
    // The new content for "set" (iface "dhcp" or "static" with checked values), from the old.
    static QByteArray rewrite(const QByteArray& old, const QStringList& stanza);
    // An IPv4 address, optionally with "/<prefix>" when prefix is true.
    static bool isIpv4(const QString& text, bool prefix = false);

    QJsonObject get();
    QJsonObject set(const QJsonObject& data);

    ICommandContext& _tolva;
};
