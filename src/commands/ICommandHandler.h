#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <functional>

// One remote command. exec() runs on the main thread with the request's "data" object (or the
// whole request when it has none) and returns the document that becomes the reply's "data".
// A failure is thrown as a std::exception; the station answers it with an "error" reply.
class ICommandHandler {
public:
    virtual ~ICommandHandler() = default;

    virtual QString type() const = 0;
    virtual QJsonDocument exec(const QJsonObject& data) = 0;

    // The form the station uses: done gets the reply document, here at once from exec(). A
    // handler whose command outlasts the call (a shell) calls done later from the event loop;
    // it must not touch the handler object then, which is gone.
    using Done = std::function<void(const QJsonDocument&)>;
    virtual void start(const QJsonObject& data, Done done) { done(exec(data)); }
};
