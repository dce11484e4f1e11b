#include "levent.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>

#include <mutex>

const char* const fnameEventLog = "bsevent.log";

namespace {

// Every writer of the event log, on any thread and through any logger object, goes through here.
std::mutex& eventLogMutex()
{
    static std::mutex mutex;
    return mutex;
}

const int kStampLength = 23;
const qint64 kMaxFirstLine = 100;

void appendLines(const QString& path, const QByteArray& lines)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    file.write(lines);
    file.flush();
}

void renewStamp(const QString& path)
{
    const QByteArray stampLine = levent::stamp().toUtf8() + '\n';
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return;
    const QByteArray firstLine = file.readLine(kStampLength + 2);
    const bool lineEnds = firstLine.endsWith('\n');
    const int firstLength = firstLine.size() - (lineEnds ? 1 : 0);
    // The usual case, once per minute for years on an SD card: overwrite the stamp in place.
    // A file that holds nothing but the stamp (or nothing at all) is written the same way.
    if (firstLine.isEmpty() || (firstLength == kStampLength && (lineEnds || file.atEnd()))) {
        file.seek(0);
        file.write(stampLine);
        file.flush();
        return;
    }
    // Line 1 has another length (a log begun by START): replace it and keep every later line,
    // through a temporary file so that a crash never leaves the log half written.
    file.seek(0);
    const QByteArray content = file.readAll();
    file.close();
    const int lineEnd = content.indexOf('\n');
    const QByteArray rest = lineEnd < 0 ? QByteArray() : content.mid(lineEnd + 1);
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return;
    out.write(stampLine);
    out.write(rest);
    out.commit();
}

void recordStart(const QString& path)
{
    QByteArray lastStamp;
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite))
            return;
        lastStamp = file.readLine(kMaxFirstLine + 1);
        while (lastStamp.endsWith('\n') || lastStamp.endsWith('\r'))
            lastStamp.chop(1);
    }
    const QByteArray lines = lastStamp + ":    TOLVAR stopped\n" + levent::stamp().toUtf8() + ":    TOLVAR started\n";
    appendLines(path, lines);
}

} // namespace

levent::levent(const QString& alarm_, const QString& logpath_) : alarm(alarm_), logpath(logpath_), event(NOEVENT) {}

levent::levent(EVENT event_, const QString& logpath_) : logpath(logpath_), event(event_) {}

QString levent::stamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss.zzz"));
}

void levent::write() const
{
    if (logpath.isEmpty())
        return;
    std::lock_guard<std::mutex> lock(eventLogMutex());
    switch (event) {
    case NOEVENT:
        appendLines(logpath, stamp().toUtf8() + ":    " + alarm.toUtf8() + '\n');
        break;
    case UPDATE:
        renewStamp(logpath);
        break;
    case START:
        recordStart(logpath);
        break;
    }
}
