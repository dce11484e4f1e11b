#include "AdminCommandHandler.h"

#include "CommandTools.h"
#include "HostCommandRunner.h"
#include "ICommandContext.h"
#include "LogText.h"
#include "errlog.h"
#include "levent.h"
#include "logger.h"

namespace {

AdminCommandHandler::Texts adminTexts()
{
    return {QStringLiteral(" Admin request received from server: "), QStringLiteral("Admin request received from server: "),
            QStringLiteral("Admin request result: \n"), AdminCommandHandler::kLimitMs};
}

} // namespace

void AdminCommandHandler::runShell(ICommandContext& context, const QString& request, const Texts& texts, bool blocking, Done done)
{
    // The shell gets the whole request; the logs keep a bounded part of it.
    const QString shown = LogText::cut(request);
    CommandTools::logLine(context, texts.received + shown);
    const QString event = texts.event + shown;
    context.station_log() << levent(event, QString::fromLatin1(fnameEventLog));
    context.alarm_log().append(errlog::EVENT_ADMIN_REQUEST, context.now(), event);

    const QString resultText = texts.result;
    ICommandContext* station = &context;
    auto reply = [station, resultText, done](const HostCommandResult& result) {
        const QString output = replyText(result);
        station->station_log() << resultText << LogText::cut(output);
        done(QJsonDocument(QJsonObject{{QStringLiteral("reply"), output}}));
    };
    const QString shell = QStringLiteral("/bin/sh");
    const QStringList arguments{QStringLiteral("-c"), request};
    if (blocking)
        reply(context.runner().run(shell, arguments, texts.limitMs));
    else
        context.runner().start(shell, arguments, texts.limitMs, reply);
}

QString AdminCommandHandler::replyText(const HostCommandResult& result)
{
    QByteArray bytes = result.output;
    qint64 leftOut = result.outputLeftOut;
    const int zero = bytes.indexOf('\0');
    if (zero >= 0) {
        leftOut += bytes.size() - zero;
        bytes.truncate(zero);
    }
    QString text = QString::fromUtf8(bytes);
    if (result.outputLeftOut > 0) {
        if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
            text += QLatin1Char('\n');
        text += QStringLiteral("[%1 bytes of output left out]\n").arg(leftOut);
    }
    return text;
}

QJsonDocument AdminCommandHandler::exec(const QJsonObject& data)
{
    QJsonDocument reply;
    runShell(_tolva, data.value(QStringLiteral("request")).toString(), adminTexts(), true,
             [&reply](const QJsonDocument& document) { reply = document; });
    return reply;
}

void AdminCommandHandler::start(const QJsonObject& data, Done done)
{
    runShell(_tolva, data.value(QStringLiteral("request")).toString(), adminTexts(), false, std::move(done));
}
