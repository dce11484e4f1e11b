#include "LogText.h"

#include <algorithm>

QString LogText::left(const QString& text, int maxChars)
{
    if (text.size() <= maxChars)
        return text;
    int n = qMax(0, maxChars);
    if (n > 0 && text.at(n - 1).isHighSurrogate())
        --n;
    return text.left(n);
}

void LogText::append(const QString& part)
{
    if (leftOut_ > 0) {
        leftOut_ += part.size();
        return;
    }
    const int room = max_ - kept_.size();
    const QString kept = left(part, room);
    kept_ += kept;
    leftOut_ += part.size() - kept.size();
}

QString LogText::text() const
{
    if (leftOut_ == 0)
        return kept_;
    return kept_ + QStringLiteral(" [%1 characters left out]").arg(leftOut_);
}

QString LogText::cut(const QString& text, int maxChars)
{
    if (text.size() <= maxChars)
        return text;
    LogText bound(maxChars);
    bound.append(text);
    return bound.text();
}

QString LogText::escaped(const QString& text)
{
    const auto control = [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; };
    if (std::none_of(text.cbegin(), text.cend(), control))
        return text;
    QString out;
    out.reserve(text.size() + 8);
    static const char kHex[] = "0123456789ABCDEF";
    for (const QChar c : text) {
        if (control(c)) {
            out += QLatin1String("\\x");
            out += QLatin1Char(kHex[c.unicode() >> 4]);
            out += QLatin1Char(kHex[c.unicode() & 0xF]);
        } else {
            out += c;
        }
    }
    return out;
}
