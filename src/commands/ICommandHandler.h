#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

// One remote command. exec() runs on the main thread with the request's "data" object (or the
// whole request when it has none) and returns the document that becomes the reply's "data".
// A failure is thrown as a std::exception; the station answers it with an "error" reply.
class ICommandHandler {
public:
    virtual ~ICommandHandler() = default;

    virtual QString type() const = 0;
    virtual QJsonDocument exec(const QJsonObject& data) = 0;
};
