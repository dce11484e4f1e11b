#include "JsonKeyScanner.h"

#include <algorithm>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isStructural(char c)
{
    return c == '{' || c == '}' || c == '[' || c == ']' || c == ':' || c == ',' || c == '"';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Keys are kept as UTF-8 in which unpaired surrogates are encoded like any other code point:
// two keys are equal there exactly when their UTF-16 forms are equal.
void appendCodePoint(std::string& out, unsigned cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

class Scanner {
public:
    explicit Scanner(const QByteArray& text) : s(text.constData()), n(size_t(text.size())) {}

    JsonKeyScanner::Verdict run(QString* repeated);

private:
    enum class Expect { Value, ValueOrClose, KeyOrClose, Colon, CommaOrClose };
    struct Open {
        bool object;
        size_t firstKey;  // where this object's keys start in `keys`
        size_t keysBefore; // keys of the objects around it
        size_t decodedBefore; // where this object's entries start in `decoded`
    };

    struct Key {
        std::string_view form; // what is compared
        std::string_view text; // the key itself, for the report
        size_t order;          // the key's place in the text
    };

    bool skipString(bool isKey);
    void addKey(std::string_view text, bool escaped);
    int hex4(size_t at) const;
    bool closeObject(QString* repeated);
    void afterValue() { expect = open.empty() ? Expect::Value : Expect::CommaOrClose; done = open.empty(); }

    const char* s;
    size_t n;
    size_t pos = 0;
    Expect expect = Expect::Value;
    bool done = false;
    size_t openKeys = 0; // keys of every open object (second forms not counted)
    std::vector<Open> open;
    std::vector<Key> keys;           // keys of every open object, innermost last
    std::deque<std::string> decoded; // keys of open objects that held escapes, decoded, and second forms
};

// Qt compares two keys it keeps as UTF-8 (those written without escapes) with strncmp over the
// shorter length, then by length: keys of one length that agree up to a NUL byte count as one
// key there, whatever follows it. Such a key is also entered in that second form (0xFF never
// occurs in a key Qt accepts, so a second form meets only another second form, and never the
// key's own text, which holds a NUL byte). Keys with escapes Qt keeps as UTF-16 and compares
// whole.
void Scanner::addKey(std::string_view text, bool escaped)
{
    ++openKeys;
    keys.push_back({text, text, openKeys});
    const size_t nul = escaped ? std::string_view::npos : text.find('\0');
    if (nul == std::string_view::npos)
        return;
    std::string& second = decoded.emplace_back();
    second += '\xFF';
    second.append(text.substr(0, nul));
    second += '\xFF';
    second += std::to_string(text.size());
    keys.push_back({second, text, openKeys});
}

int Scanner::hex4(size_t at) const
{
    if (n - at < 4)
        return -1;
    int v = 0;
    for (size_t i = at; i < at + 4; ++i) {
        const int h = hexValue(s[i]);
        if (h < 0)
            return -1;
        v = v * 16 + h;
    }
    return v;
}

// pos is on the opening quote; leaves pos after the closing one. False when the text ends first.
bool Scanner::skipString(bool isKey)
{
    const size_t start = ++pos;
    std::string* out = nullptr;
    size_t copied = start; // raw bytes before this are in *out already
    while (pos < n) {
        const char c = s[pos];
        if (c == '"') {
            if (isKey) {
                if (!out) {
                    addKey(std::string_view(s + start, pos - start), false);
                } else {
                    out->append(s + copied, pos - copied);
                    addKey(*out, true);
                }
            }
            ++pos;
            return true;
        }
        if (c != '\\') {
            ++pos;
            continue;
        }
        if (pos + 1 >= n)
            return false;
        if (isKey) {
            if (!out) {
                decoded.emplace_back();
                out = &decoded.back();
            }
            out->append(s + copied, pos - copied);
        }
        const char e = s[pos + 1];
        pos += 2;
        if (e == 'u') {
            int unit = hex4(pos);
            if (unit < 0) {
                // The parser refuses this text here; go on as if the escape were plain text.
                if (isKey)
                    out->append("\\u");
                copied = pos;
                continue;
            }
            pos += 4;
            unsigned cp = unsigned(unit);
            if (cp >= 0xD800 && cp < 0xDC00 && n - pos >= 6 && s[pos] == '\\' && s[pos + 1] == 'u') {
                const int low = hex4(pos + 2);
                if (low >= 0xDC00 && low < 0xE000) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (unsigned(low) - 0xDC00);
                    pos += 6;
                }
            }
            if (isKey)
                appendCodePoint(*out, cp);
        } else if (isKey) {
            switch (e) {
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            default: *out += e; break; // '"', '\\', '/' and escapes the parser refuses
            }
        }
        copied = pos;
    }
    return false;
}

bool Scanner::closeObject(QString* repeated)
{
    const auto first = keys.begin() + std::ptrdiff_t(open.back().firstKey);
    // Of two keys that count as one, the first in the text is reported. In place: a sort that
    // takes a buffer would allocate for every object.
    std::sort(first, keys.end(),
              [](const Key& a, const Key& b) { return a.form < b.form || (a.form == b.form && a.order < b.order); });
    const auto same =
        std::adjacent_find(first, keys.end(), [](const Key& a, const Key& b) { return a.form == b.form; });
    if (same != keys.end()) {
        if (repeated)
            *repeated = QString::fromUtf8(same->text.data(), int(same->text.size()));
        return true;
    }
    keys.erase(first, keys.end());
    openKeys = open.back().keysBefore;
    decoded.resize(open.back().decodedBefore);
    open.pop_back();
    afterValue();
    return false;
}

JsonKeyScanner::Verdict Scanner::run(QString* repeated)
{
    using Verdict = JsonKeyScanner::Verdict;
    if (n >= 3 && s[0] == '\xEF' && s[1] == '\xBB' && s[2] == '\xBF')
        pos = 3;
    while (!done) {
        while (pos < n && isSpace(s[pos]))
            ++pos;
        if (pos >= n)
            return Verdict::Clean;
        const char c = s[pos];
        switch (expect) {
        case Expect::KeyOrClose:
            if (c == '}') {
                ++pos;
                if (closeObject(repeated))
                    return Verdict::RepeatsKey;
            } else if (c == '"') {
                if (!skipString(true))
                    return Verdict::Clean;
                if (openKeys > size_t(JsonKeyScanner::kMaxOpenKeys))
                    return Verdict::TooManyKeys;
                expect = Expect::Colon;
            } else {
                return Verdict::Clean;
            }
            break;
        case Expect::Colon:
            if (c != ':')
                return Verdict::Clean;
            ++pos;
            expect = Expect::Value;
            break;
        case Expect::CommaOrClose:
            ++pos;
            if (c == ',') {
                // A trailing comma is let through: the scan only has to stop no earlier than
                // the parser does.
                expect = open.back().object ? Expect::KeyOrClose : Expect::ValueOrClose;
            } else if (c == '}' && open.back().object) {
                if (closeObject(repeated))
                    return Verdict::RepeatsKey;
            } else if (c == ']' && !open.back().object) {
                open.pop_back();
                afterValue();
            } else {
                return Verdict::Clean;
            }
            break;
        case Expect::Value:
        case Expect::ValueOrClose:
            if (c == ']' && expect == Expect::ValueOrClose) {
                ++pos;
                open.pop_back();
                afterValue();
            } else if (c == '{' || c == '[') {
                if (open.size() >= size_t(JsonKeyScanner::kMaxDepth))
                    return Verdict::TooDeep;
                ++pos;
                open.push_back({c == '{', keys.size(), openKeys, decoded.size()});
                expect = c == '{' ? Expect::KeyOrClose : Expect::ValueOrClose;
            } else if (c == '"') {
                if (!skipString(false))
                    return Verdict::Clean;
                afterValue();
            } else if (isStructural(c)) {
                return Verdict::Clean;
            } else {
                // Numbers, true, false, null, and whatever else the parser may refuse later.
                while (pos < n && !isSpace(s[pos]) && !isStructural(s[pos]))
                    ++pos;
                afterValue();
            }
            break;
        }
    }
    return Verdict::Clean;
}

} // namespace

JsonKeyScanner::Verdict JsonKeyScanner::check(const QByteArray& text, QString* key)
{
    return Scanner(text).run(key);
}
