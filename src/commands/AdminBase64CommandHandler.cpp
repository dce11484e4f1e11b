#include "AdminBase64CommandHandler.h"

#include "AdminCommandHandler.h"
#include "CommandTools.h"

QJsonDocument AdminBase64CommandHandler::exec(const QJsonObject& data)
{
    QJsonDocument reply;
    run(data, true, [&reply](const QJsonDocument& document) { reply = document; });
    return reply;
}

void AdminBase64CommandHandler::start(const QJsonObject& data, Done done)
{
    run(data, false, std::move(done));
}

void AdminBase64CommandHandler::run(const QJsonObject& data, bool blocking, Done done)
{
    QByteArray decoded;
    if (!CommandTools::fromBase64(data.value(QStringLiteral("body")).toString().toUtf8(), &decoded)) {
        CommandTools::logLine(_tolva, QStringLiteral(" admin_base64 request refused: \"body\" is not Base64"));
        done(QJsonDocument(QJsonObject{{QStringLiteral("reply"), QString()}}));
        return;
    }
    const int zero = decoded.indexOf('\0');
    if (zero >= 0)
        decoded.truncate(zero);
    const AdminCommandHandler::Texts texts{QStringLiteral(" admin_base64 request received from server: "),
                                           QStringLiteral("admin_base64 request received from server: "),
                                           QStringLiteral("admin_base64 request result: \n"), kLimitMs};
    AdminCommandHandler::runShell(_tolva, QString::fromUtf8(decoded), texts, blocking, std::move(done));
}
