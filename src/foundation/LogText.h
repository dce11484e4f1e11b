#pragma once

#include <QString>
#include <QtGlobal>

// A text bound for a log line, an event-log record or an alarm: at most kMaxChars characters
// of it are kept, followed by " [<n> characters left out]" when there was more. Texts that come
// from outside (a command's request, a shell's output) cannot swell the logs this way, and the
// operator still sees how much was there.
class LogText {
public:
    static constexpr int kMaxChars = 4096;

    explicit LogText(int maxChars = kMaxChars) : max_(maxChars) {}

    // Adds a part; what goes past the bound is only counted.
    void append(const QString& part);
    // The parts kept, with the count of characters left out when there were any.
    QString text() const;
    qint64 leftOut() const { return leftOut_; }

    // text, bound as above.
    static QString cut(const QString& text, int maxChars = kMaxChars);
    // The first maxChars characters of text, one fewer where a surrogate pair would be split.
    static QString left(const QString& text, int maxChars);
    // text with its control characters (below 0x20, and 0x7F) written as \xHH: a peer's line
    // feed cannot forge a log line of its own, nor an escape sequence reach a terminal that
    // follows the log. Printable text is unchanged.
    static QString escaped(const QString& text);

private:
    int max_;
    QString kept_;
    qint64 leftOut_ = 0;
};
