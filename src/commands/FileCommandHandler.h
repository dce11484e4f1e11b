#pragma once

#include "ICommandHandler.h"

class ICommandContext;

// "file": "write" replaces a whole file with the Base64 "body", "read" returns one as Base64.
class FileCommandHandler : public ICommandHandler {
public:
    explicit FileCommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("file"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;

private:
    QJsonObject write(const QJsonObject& data);
    QJsonObject read(const QJsonObject& data);
    void record(int code, const QString& text);

    ICommandContext& _tolva;
};
