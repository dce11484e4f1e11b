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

    // Largest file "read" returns; a larger one is refused, nothing of it read.
    static constexpr qint64 kMaxReadBytes = 16 * 1024 * 1024;

private:
    QJsonObject write(const QJsonObject& data);
    QJsonObject read(const QJsonObject& data);
    void record(int code, const QString& text);
    // The file a request's name stands for (kept inside SystemPaths::fileRoot where one is set);
    // false with *why for a name that cannot be taken as it is.
    bool path_of(const QString& name, QString* path, QString* why) const;

    ICommandContext& _tolva;
};
