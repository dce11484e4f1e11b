#include "FpgaScenario.h"

#include "FpgaRecordBuilder.h"

#include <QFile>
#include <QHash>
#include <QStringList>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

bool number(const QString& s, quint64& out)
{
    bool ok = false;
    out = s.startsWith("0x", Qt::CaseInsensitive) ? s.mid(2).toULongLong(&ok, 16) : s.toULongLong(&ok, 10);
    return ok;
}

bool hex_bytes(QString s, QByteArray& out)
{
    s.remove(' ');
    if (s.startsWith("0x", Qt::CaseInsensitive))
        s = s.mid(2);
    if (s.isEmpty() || s.size() % 2 != 0)
        return false;
    for (QChar c : s)
        if (!isxdigit(c.toLatin1()))
            return false;
    out = QByteArray::fromHex(s.toLatin1());
    return true;
}

bool fifo_of(const QString& s, FpgaScenario::Fifo& f)
{
    if (s == "low")
        f = FpgaScenario::Fifo::LowRate;
    else if (s == "high")
        f = FpgaScenario::Fifo::HighRate;
    else
        return false;
    return true;
}

// The numeric fields of a "message" line: name, largest value, where it goes.
struct NumberField {
    const char* key;
    quint64 max;
    void (*set)(FpgaRecordBuilder::Fields&, quint64);
};

const NumberField* number_field(const QString& key)
{
    using F = FpgaRecordBuilder::Fields;
    static const NumberField fields[] = {
        {"id", 0xFFFFFFFFull, [](F& f, quint64 n) { f.id = uint32_t(n); }},
        {"iter", 255, [](F& f, quint64 n) { f.crypto_iter = uint8_t(n); }},
        {"flags", 255, [](F& f, quint64 n) { f.flags = uint8_t(n); }},
        {"crc8", 255, [](F& f, quint64 n) { f.crc8 = uint8_t(n); }},
        {"mic", 0xFFFFFF, [](F& f, quint64 n) { f.mic = uint32_t(n); }},
        {"freq", 0xFFFF, [](F& f, quint64 n) { f.freq_num = uint16_t(n); }},
        {"rotation", 255, [](F& f, quint64 n) { f.rotation = uint8_t(n); }},
        {"rssi", 0xFFFFFFFFFFull, [](F& f, quint64 n) { f.rssi = n; }},
        {"code", 255, [](F& f, quint64 n) { f.bitrate_code = uint8_t(n); }},
        {"logs2", 255, [](F& f, quint64 n) { f.logs2 = uint8_t(n); }},
        {"demod", 255, [](F& f, quint64 n) { f.demod = uint8_t(n); }},
    };
    for (const NumberField& field : fields)
        if (key == QLatin1String(field.key))
            return &field;
    return nullptr;
}

// "message" lines: key=value fields of one record made by the record builder.
bool message(const QStringList& parts, QByteArray& out, QString& why)
{
    FpgaRecordBuilder::Fields f;
    auto layout = FpgaRecordBuilder::Layout::V1_1;
    bool good = true;
    for (const QString& kv : parts) {
        const int eq = kv.indexOf('=');
        if (eq <= 0) {
            why = "expected key=value, got \"" + kv + "\"";
            return false;
        }
        const QString k = kv.left(eq), v = kv.mid(eq + 1);
        quint64 n = 0;
        if (k == "type") {
            if (v == "C")
                f.type = 0x0C;
            else if (v == "D")
                f.type = 0x0D;
            else if (v == "E")
                f.type = 0x0E;
            else if (number(v, n) && n < 256)
                f.type = uint8_t(n);
            else {
                why = "type is C, D, E or a byte";
                return false;
            }
        } else if (k == "payload") {
            QByteArray b;
            if (!hex_bytes(v, b) || b.size() != 8) {
                why = "payload is 8 bytes in hex";
                return false;
            }
            for (int i = 0; i < 8; ++i)
                f.payload[size_t(i)] = uint8_t(b[i]);
        } else if (k == "rate") {
            static const QHash<QString, uint8_t> codes{{"50", 0x00}, {"125", 0x01}, {"400", 0x04}, {"3200", 0x20}};
            if (!codes.contains(v)) {
                why = "rate is 50, 125, 400 or 3200 (use code= for others)";
                return false;
            }
            f.bitrate_code = codes.value(v);
        } else if (k == "layout") {
            if (v == "1.0")
                layout = FpgaRecordBuilder::Layout::V1_0;
            else if (v == "1.1")
                layout = FpgaRecordBuilder::Layout::V1_1;
            else {
                why = "layout is 1.0 or 1.1";
                return false;
            }
        } else if (k == "crc") {
            if (v != "good" && v != "bad") {
                why = "crc is good or bad";
                return false;
            }
            good = v == "good";
        } else {
            if (!number(v, n)) {
                why = "\"" + v + "\" is not a number";
                return false;
            }
            const NumberField* field = number_field(k);
            if (field == nullptr) {
                why = "unknown field \"" + k + "\"";
                return false;
            }
            if (n > field->max) {
                why = k + " is too large";
                return false;
            }
            field->set(f, n);
        }
    }
    out = FpgaRecordBuilder::build(f, layout, good);
    return true;
}

} // namespace

bool FpgaScenario::load(const QString& path, FpgaScenario& out, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (error)
            *error = path + ": " + file.errorString();
        return false;
    }
    return parse(QString::fromUtf8(file.readAll()), out, error);
}

bool FpgaScenario::parse(const QString& text, FpgaScenario& out, QString* error)
{
    FpgaScenario s;
    const QStringList lines = text.split('\n');
    for (int ln = 0; ln < lines.size(); ++ln) {
        QString line = lines[ln];
        const int hash = line.indexOf('#');
        if (hash >= 0)
            line.truncate(hash);
        const QStringList p = line.simplified().split(' ', Qt::SkipEmptyParts);
        if (p.isEmpty())
            continue;
        QString why;
        const auto fail = [&](const QString& w) {
            if (error)
                *error = QStringLiteral("line %1: %2").arg(ln + 1).arg(w);
            return false;
        };
        quint64 n = 0;
        if (p[0] == "set") {
            if (p.size() != 3)
                return fail("set takes a name and a value");
            const QString& name = p[1];
            const QString& v = p[2];
            if (name == "hopping") {
                if (v != "yes" && v != "no")
                    return fail("hopping is yes or no");
                s.hopping = v == "yes";
            } else if (name == "modulator_done") {
                if (v != "airtime" && v != "never")
                    return fail("modulator_done is airtime or never");
                s.modulator_never_done = v == "never";
            } else if (name == "date") {
                const QDateTime d = QDateTime::fromString(v, Qt::ISODate);
                if (!d.isValid())
                    return fail("date is yyyy-MM-ddThh:mm:ss");
                s.compiled = d;
            } else {
                static const std::pair<const char*, std::optional<quint32> FpgaScenario::*> words[] = {
                    {"firmware", &FpgaScenario::firmware},
                    {"fft_word", &FpgaScenario::fft_word},
                    {"temperature_raw", &FpgaScenario::temperature_raw},
                    {"bitrate_mask", &FpgaScenario::bitrate_mask},
                    {"spectrum", &FpgaScenario::spectrum_magnitude},
                };
                if (!number(v, n) || n > 0xFFFFFFFFull)
                    return fail("\"" + v + "\" is not a 32-bit number");
                const auto word = std::find_if(std::begin(words), std::end(words),
                                               [&](const auto& w) { return name == QLatin1String(w.first); });
                if (word == std::end(words))
                    return fail("unknown setting \"" + name + "\"");
                // A larger magnitude would lose its top bits in the word and turn a loud band
                // into a quiet one.
                if (word->second == &FpgaScenario::spectrum_magnitude && n > MAX_SPECTRUM_MAGNITUDE)
                    return fail("spectrum magnitude " + v + " is above 0xFFFFFF");
                s.*(word->second) = quint32(n);
            }
            continue;
        }
        if (p[0] != "at" || p.size() < 3)
            return fail("a line is \"set <name> <value>\" or \"at <ms> <event> ...\"");
        Event e;
        if (!number(p[1], n) || n > quint64(1) << 40)
            return fail("\"" + p[1] + "\" is not a time in ms");
        e.at_ms = qint64(n);
        const QString& what = p[2];
        if (what == "message" || what == "record") {
            e.kind = Kind::Record;
            if (p.size() < 4 || !fifo_of(p[3], e.fifo))
                return fail(what + " needs a FIFO: low or high");
            if (what == "record") {
                if (p.size() < 5 || !hex_bytes(p.mid(4).join(""), e.bytes) || e.bytes.size() != FpgaRecordBuilder::SIZE)
                    return fail("record takes 37 bytes in hex");
            } else if (!message(p.mid(4), e.bytes, why)) {
                return fail(why);
            }
        } else if (what == "register") {
            e.kind = Kind::Register;
            if (p.size() < 5 || !number(p[3], n) || n > 255)
                return fail("register takes an address and value bytes");
            e.address = uint8_t(n);
            if (!hex_bytes(p.mid(4).join(""), e.bytes))
                return fail("register value is bytes in hex, in the order they are clocked out");
        } else if (what == "flash_bad") {
            e.kind = Kind::FlashBad;
            if (p.size() != 4 || !number(p[3], n) || n > 1000000)
                return fail("flash_bad takes a count of identification reads");
            e.count = int(n);
        } else if (what == "stuck" || what == "garbage") {
            e.kind = what == "stuck" ? Kind::Stuck : Kind::Garbage;
            if (p.size() != 5 || !fifo_of(p[3], e.fifo) || !number(p[4], n) || n > 1000000)
                return fail(what + " takes a FIFO (low or high) and a count of reads");
            e.count = int(n);
        } else {
            return fail("unknown event \"" + what + "\"");
        }
        s.events.append(e);
    }
    out = s;
    return true;
}
