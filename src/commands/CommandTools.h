#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QString>
#include <QtGlobal>

#include <functional>

class ICommandContext;

// Reading request values and writing the station-log lines that every handler shares.
class CommandTools {
public:
    // Latest second (and millisecond) a request may name: 9999-12-31 23:59:59 UTC. Further out
    // the value counts as wrong.
    static constexpr qint64 kMaxSeconds = 253402300799LL;
    // Longest text a station parameter may be given: longer ones are refused like a wrong type
    // (they would be copied into every heartbeat or into system files).
    static constexpr int kMaxTextLength = 255;
    // Longest text a command stores as it is given (a credential, an alarm text): a longer one
    // refuses the whole command, since storing a part would store something else than was asked.
    static constexpr int kMaxStoredText = 4096;

    // A JSON number with a whole value in the signed 32-bit range.
    static bool isInt32(const QJsonValue& value);
    // That number, or 0 for any other value.
    static qint32 toInt32(const QJsonValue& value);
    // Unix seconds as a date-time: a whole JSON number within +-kMaxSeconds (negative values
    // are before 1970); any other present value reads 0, an absent one gives fallback.
    static QDateTime secondsOr(const QJsonValue& value, const QDateTime& fallback);
    // Unix milliseconds, the fraction dropped; 0 for anything that is not a number in range.
    static QDateTime milliseconds(const QJsonValue& value);

    // Base64 after removing ASCII white space; "=" padding may be left out. False for a character
    // outside the alphabet or a length that cannot be Base64.
    static bool fromBase64(const QByteArray& text, QByteArray* decoded);

    // Request text for a log line: at most max characters (then "..."), control characters and
    // line separators shown as '?', so that a request can neither swell nor split the log.
    static QString printable(const QString& text, int max = 64);

    // "hh:mm:ss:zzz<text>\n" (local time) to the station log.
    static void logLine(ICommandContext& context, const QString& text);

    // A configuration change: alarm 20, event-log record and log line, all with text.
    static void changeRecord(ICommandContext& context, const QString& text);

    // Sets the host clock to Unix second t ("sudo date +%s -s @<t>", at most 10 s) without
    // waiting, with the log lines before and after; what the command did is not looked at. The
    // command's reply waits for it; after, when set, runs once it has ended.
    static void setClock(ICommandContext& context, qint64 t, std::function<void()> after = nullptr);

    // Restarts the time service ("sudo /etc/init.d/ntp restart", at most 5 s) the same way.
    static void restartNtpService(ICommandContext& context);
};
