#include "SpectrumCommandHandler.h"

#include "ICommandContext.h"

QJsonDocument SpectrumCommandHandler::reply(const QJsonObject& data, int* waitMs)
{
    QByteArray frame;
    *waitMs = 0;
    if (!_tolva.spectrum_frame(data.value(QStringLiteral("request")).toString(), &frame, waitMs)) {
        frame.clear();
        *waitMs = 0;
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("result"), !frame.isEmpty()},
                                     {QStringLiteral("reply"), QString::fromLatin1(frame.toBase64())}});
}

QJsonDocument SpectrumCommandHandler::exec(const QJsonObject& data)
{
    int waitMs = 0;
    return reply(data, &waitMs);
}

void SpectrumCommandHandler::start(const QJsonObject& data, Done done)
{
    int waitMs = 0;
    const QJsonDocument document = reply(data, &waitMs);
    if (waitMs <= 0) {
        done(document);
        return;
    }
    _tolva.run_later(waitMs, [done, document] { done(document); });
}
