#include "FileCommandHandler.h"

#include "CommandTools.h"
#include "ICommandContext.h"
#include "LogText.h"
#include "SystemFileWriter.h"
#include "SystemPaths.h"
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

// A longer name is no path the system takes; refusing it early keeps it out of the log.
constexpr int kMaxNameLength = 4096;

// A refused name for its log line: its first characters, with the control characters that may
// be why it was refused written as \xHH, so the operator sees what came.
QString refused_name(const QString& given)
{
    return CommandTools::printable(LogText::escaped(given));
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

bool FileCommandHandler::path_of(const QString& name, QString* path, QString* why) const
{
    // The system would cut the name at a NUL byte and act on another file; a line end would
    // split the log lines that name it.
    if (name.contains(QChar(0)) || name.contains(QLatin1Char('\n')) || name.contains(QLatin1Char('\r'))) {
        *why = QStringLiteral("the name holds a NUL byte or a line end");
        return false;
    }
    if (name.size() > kMaxNameLength) {
        *why = QStringLiteral("the name is longer than %1 characters").arg(kMaxNameLength);
        return false;
    }
    const QString root = _tolva.system_paths().fileRoot;
    if (root.isEmpty()) {
        *path = name;
        return true;
    }
    // Resolved by its text alone, before anything on the disk is looked at.
    QStringList kept;
    for (const QString& part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (kept.isEmpty()) {
                *why = QStringLiteral("the name leaves %1").arg(root);
                return false;
            }
            kept.removeLast();
            continue;
        }
        kept << part;
    }
    *path = kept.isEmpty() ? root : root + QLatin1Char('/') + kept.join(QLatin1Char('/'));
    return true;
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
    const QString given = data.value(QStringLiteral("filename")).toString();
    QString name;
    QString why;
    if (!path_of(given, &name, &why)) {
        CommandTools::logLine(_tolva, QStringLiteral(" File %1 not written: %2").arg(refused_name(given), why));
        return result(false);
    }
    // The name as its log lines show it: a request's control characters stay out of the log.
    const QString shown = LogText::escaped(name);
    QByteArray content;
    if (!CommandTools::fromBase64(data.value(QStringLiteral("body")).toString().toUtf8(), &content)) {
        CommandTools::logLine(_tolva, QStringLiteral(" File %1 not written: \"body\" is not Base64").arg(shown));
        return result(false);
    }

    const bool existed = QFileInfo::exists(name);
    if (existed)
        CommandTools::logLine(_tolva, QStringLiteral(" File %1 exists").arg(shown));
    QString error;
    QString via;
    if (name.isEmpty() || !SystemFileWriter::write(name, content, &error, &via)) {
        CommandTools::logLine(_tolva, QStringLiteral(" File %1 not written: %2").arg(shown, LogText::escaped(error)));
        return result(false);
    }
    if (existed) {
        if (via.isEmpty()) {
            CommandTools::logLine(_tolva, QStringLiteral(" File %1 rewritten in place").arg(shown));
        } else {
            const QString shownVia = LogText::escaped(via);
            CommandTools::logLine(_tolva, QStringLiteral(" File %1 saved as %2").arg(shown, shownVia));
            CommandTools::logLine(_tolva, QStringLiteral(" File %1 renamed to %2").arg(shownVia, shown));
        }
        return result(true);
    }
    CommandTools::logLine(_tolva, QStringLiteral(" File %1 has written, size=%2").arg(shown, QString::number(content.size())));
    record(errlog::EVENT_WRITE_FILE, QStringLiteral("File %1 is written, size=%2").arg(name, QString::number(content.size())));
    return result(true);
}

QJsonObject FileCommandHandler::read(const QJsonObject& data)
{
    if (!data.contains(QStringLiteral("filename")))
        return result(false);
    const QString given = data.value(QStringLiteral("filename")).toString();
    QString name;
    QString why;
    if (!path_of(given, &name, &why)) {
        CommandTools::logLine(_tolva, QStringLiteral(" File %1 not read: %2").arg(refused_name(given), why));
        return result(false);
    }
    const QString shown = LogText::escaped(name);
    // Regular files only: a device or a FIFO could be endless or never answer.
    QFile file(name);
    if (!QFileInfo(name).isFile() || !file.open(QIODevice::ReadOnly))
        return result(false);
    // The reply holds the file as Base64 text, about 2.3 times its size in memory.
    if (file.size() > kMaxReadBytes) {
        CommandTools::logLine(_tolva, QStringLiteral(" File %1 not read: %2 bytes, more than %3")
                                          .arg(shown, QString::number(file.size()), QString::number(kMaxReadBytes)));
        return result(false);
    }
    // Read to its end, not to the size seen above: a file that grows meanwhile is still bounded.
    QByteArray bytes;
    bytes.reserve(int(file.size()));
    char chunk[65536];
    qint64 got = 0;
    while ((got = file.read(chunk, sizeof chunk)) > 0) {
        if (bytes.size() + got > kMaxReadBytes) {
            CommandTools::logLine(_tolva, QStringLiteral(" File %1 not read: it grew past %2 bytes").arg(shown, QString::number(kMaxReadBytes)));
            return result(false);
        }
        bytes.append(chunk, int(got));
    }
    if (got < 0)
        return result(false);
    CommandTools::logLine(_tolva, QStringLiteral(" File %1 was readed, size=%2").arg(shown, QString::number(bytes.size())));
    record(errlog::EVENT_READ_FILE, QStringLiteral("File %1 read, size=%2").arg(name, QString::number(bytes.size())));
    return QJsonObject{{QStringLiteral("result"), true},
                       {QStringLiteral("filename"), given},
                       {QStringLiteral("body"), QString::fromLatin1(bytes.toBase64())}};
}
