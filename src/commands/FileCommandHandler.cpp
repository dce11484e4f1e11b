#include "FileCommandHandler.h"

#include "CommandTools.h"
#include "ICommandContext.h"
#include "SystemFileWriter.h"
#include "errlog.h"
#include "levent.h"
#include "logger.h"

#include <QFile>
#include <QFileInfo>

namespace {
QJsonObject result(bool ok)
{
    return QJsonObject{{QStringLiteral("result"), ok}};
}
} // namespace

QJsonDocument FileCommandHandler::exec(const QJsonObject& data)
{
    const QString cmd = data.value(QStringLiteral("cmd")).toString();
    if (cmd == QLatin1String("write"))
        return QJsonDocument(write(data));
    if (cmd == QLatin1String("read"))
        return QJsonDocument(read(data));
    return QJsonDocument(result(false));
}

void FileCommandHandler::record(int code, const QString& text)
{
    _tolva.station_log() << levent(text, QString::fromLatin1(fnameEventLog));
    _tolva.alarm_log().append(errlog::EVENT_CODE(code), _tolva.now(), text);
}

QJsonObject FileCommandHandler::write(const QJsonObject& data)
{
    if (!data.contains(QStringLiteral("filename")) || !data.contains(QStringLiteral("body")))
        return result(false);
    const QString name = data.value(QStringLiteral("filename")).toString();
    QByteArray content;
    if (!CommandTools::fromBase64(data.value(QStringLiteral("body")).toString().toUtf8(), &content)) {
        CommandTools::logLine(_tolva, QStringLiteral(" File %1 not written: \"body\" is not Base64").arg(name));
        return result(false);
    }

    const bool existed = QFileInfo::exists(name);
    if (existed)
        CommandTools::logLine(_tolva, QStringLiteral(" File %1 exists").arg(name));
    QString error;
    QString via;
    if (name.isEmpty() || !SystemFileWriter::write(name, content, &error, &via)) {
        CommandTools::logLine(_tolva, QStringLiteral(" File %1 not written: %2").arg(name, error));
        return result(false);
    }
    if (existed) {
        if (via.isEmpty()) {
            CommandTools::logLine(_tolva, QStringLiteral(" File %1 rewritten in place").arg(name));
        } else {
            CommandTools::logLine(_tolva, QStringLiteral(" File %1 saved as %2").arg(name, via));
            CommandTools::logLine(_tolva, QStringLiteral(" File %1 renamed to %2").arg(via, name));
        }
        return result(true);
    }
    CommandTools::logLine(_tolva, QStringLiteral(" File %1 has written, size=%2").arg(name).arg(content.size()));
    record(errlog::EVENT_WRITE_FILE, QStringLiteral("File %1 is written, size=%2").arg(name).arg(content.size()));
    return result(true);
}

QJsonObject FileCommandHandler::read(const QJsonObject& data)
{
    if (!data.contains(QStringLiteral("filename")))
        return result(false);
    const QString name = data.value(QStringLiteral("filename")).toString();
    // Regular files only: a device or a FIFO could be endless or never answer.
    QFile file(name);
    if (!QFileInfo(name).isFile() || !file.open(QIODevice::ReadOnly))
        return result(false);
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return result(false);
    CommandTools::logLine(_tolva, QStringLiteral(" File %1 was readed, size=%2").arg(name).arg(bytes.size()));
    record(errlog::EVENT_READ_FILE, QStringLiteral("File %1 read, size=%2").arg(name).arg(bytes.size()));
    return QJsonObject{{QStringLiteral("result"), true},
                       {QStringLiteral("filename"), name},
                       {QStringLiteral("body"), QString::fromLatin1(bytes.toBase64())}};
}
