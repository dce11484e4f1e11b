#pragma once

#include "ICommandHandler.h"

class ICommandContext;
struct HostCommandResult;

// "admin": runs the request as "/bin/sh -c <request>" (the request is the shell's one command
// argument, never pasted into another command line) and replies {"reply": standard output}, up
// to its first zero byte and at most its first MiB; output cut at that size ends with a line
// saying how many bytes were left out. The station log, the event log and the alarm keep the
// request, and the station log the output, only up to LogText's bound. start() does not block:
// the reply follows when the shell ends or its limit passes, and then its whole process group
// is killed.
class AdminCommandHandler : public ICommandHandler {
public:
    explicit AdminCommandHandler(ICommandContext& tolva) : _tolva(tolva) {}

    static QString typeName() { return QStringLiteral("admin"); }
    QString type() const override { return typeName(); }
    QJsonDocument exec(const QJsonObject& data) override;
    void start(const QJsonObject& data, Done done) override;

    static constexpr int kLimitMs = 240000;

    // The texts of one shell command type.
    struct Texts {
        QString received; // log line, after the time stamp
        QString event;    // event-log record and alarm entry
        QString result;   // station log, before the output
        int limitMs;
    };
    // Logs and records the request, starts the shell through the context's runner and calls done
    // with the reply; blocking runs it through run() instead.
    static void runShell(ICommandContext& context, const QString& request, const Texts& texts, bool blocking, Done done);

    // The reply text of a shell's result.
    static QString replyText(const HostCommandResult& result);

private:
    ICommandContext& _tolva;
};
