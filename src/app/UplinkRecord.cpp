#include "UplinkRecord.h"

#include "own_echo.h"

#include <QLatin1Char>
#include <QLocale>
#include <QStringList>

#include <cmath>
#include <cstdio>

int UplinkRecord::myround(float value)
{
    // A level that is not a number (an empty noise table early after start-up) or lies beyond
    // the int range has no meaningful rounding; converting it would be undefined.
    if (!std::isfinite(value) || std::fabs(value) >= 2.0e9f)
        return 0;
    int i = int(value);
    if (value >= 0) {
        if (value - float(i) >= 0.5f)
            return i + 1;
    } else if (value - float(i) <= -0.5f) {
        return i - 1;
    }
    return i;
}

qint32 UplinkRecord::calc_freq_expected(const message_point& msg, quint32 uplink_freq, quint32 uplink_freq2)
{
    const quint32 id_crc = msg.ID + quint32(msg.CRC8_D);
    if (msg.TYPE == Protocol_E) {
        const quint32 band_width = msg.band ? 204800u : 51200u;
        const quint32 centre = msg.band ? uplink_freq2 : uplink_freq;
        quint32 window = 0;
        if (band_width > 2u * (msg.bitrate + 1000u))
            window = (band_width - 2u * msg.bitrate - 2000u) >> 1;
        const quint32 d = ((id_crc & 0xFFu) * window) / 255u;
        return qint32(msg.FREQ < centre ? centre - d : centre + d);
    }

    const bool above = msg.FREQ >= uplink_freq;
    quint32 expected;
    if (msg.bitrate == 3200)
        expected = (id_crc % 210u) * 100u + uplink_freq + (above ? 2500u : quint32(-23400));
    else if (msg.TYPE == Protocol_C)
        expected = (msg.ID % 226u) * 100u + uplink_freq + (above ? 2500u : quint32(-25000));
    else
        expected = (id_crc % 226u) * 100u + uplink_freq + (above ? 2500u : quint32(-25000));
    return qint32(expected);
}

quint32 UplinkRecord::calc_dl_freq(const message_point& msg, qint32 expected, quint32 dl, quint32 uplink_freq)
{
    quint32 base;
    if (msg.TYPE != Protocol_E) {
        base = dl + (msg.ID % 276u) * 363u;
    } else {
        // 50150 Hz: the window of a 102400 Hz band at 50 bit/s.
        const quint32 k = ((msg.ID & 0xFFu) * 50150u) / 255u;
        base = (msg.ID & 1u) ? dl + k : dl - k;
    }
    const qint32 delta = qint32(quint32(msg.FREQ) - quint32(expected));
    const double ratio = uplink_freq ? double(dl) / double(uplink_freq) : 0.0;
    const double result = std::trunc(double(delta) * ratio + double(base));
    if (!(result >= 0.0) || result > 4294967295.0)
        return 0;
    return quint32(result);
}

bool UplinkRecord::phy_of(const message_point& msg, vexa_phy_channel_t* phy)
{
    vexa_phy_channel_t code;
    switch (msg.TYPE) {
    case Protocol_C:
        switch (msg.bitrate) {
        case 50: code = UL_DBPSK_50_PROT_C; break;
        case 400: code = UL_DBPSK_400_PROT_C; break;
        default: return false;
        }
        break;
    case Protocol_D:
        switch (msg.bitrate) {
        case 50: code = UL_DBPSK_50_PROT_D; break;
        case 400: code = UL_DBPSK_400_PROT_D; break;
        case 3200: code = UL_DBPSK_3200_PROT_D; break;
        case 25600: code = UL_DBPSK_25600_PROT_D; break;
        default: return false;
        }
        break;
    case Protocol_E:
        switch (msg.bitrate) {
        case 50: code = UL_DBPSK_50_PROT_E; break;
        case 125: code = UL_DBPSK_100H_PROT_E; break;
        case 400: code = UL_DBPSK_400_PROT_E; break;
        case 3200: code = UL_DBPSK_3200_PROT_E; break;
        case 25600: code = UL_DBPSK_25600_PROT_E; break;
        default: return false;
        }
        break;
    default:
        return false;
    }
    if (phy)
        *phy = code;
    return true;
}

bool UplinkRecord::is_own_echo(quint32 id, quint32 own_modem_id)
{
    return is_own_echo_id(id, own_modem_id);
}

QJsonObject UplinkRecord::build(const message_point& msg, qint32 base_id)
{
    QJsonObject o;
    o.insert(QStringLiteral("version"), 1);
    o.insert(QStringLiteral("crc_internal"), int(msg.CRC8_D));
    o.insert(QStringLiteral("time_detected"), double(msg.time.toMSecsSinceEpoch()) / 1000.0);
    o.insert(QStringLiteral("bs_id"), base_id);
    o.insert(QStringLiteral("signal_snr"), myround(msg.SNR));
    o.insert(QStringLiteral("signal_rssi"), myround(msg.RSSI));
    o.insert(QStringLiteral("modem_id"), qint32(msg.ID));
    o.insert(QStringLiteral("payload"), msg.getPayload());
    o.insert(QStringLiteral("freq_channel"), qint32(quint32(msg.FREQ)));
    o.insert(QStringLiteral("flags"), int(msg.FLAGS));

    switch (msg.TYPE) {
    case Protocol_C:
        o.insert(QStringLiteral("msg_type"), QStringLiteral("msg_vexa_c"));
        break;
    case Protocol_D:
        o.insert(QStringLiteral("msg_type"), QStringLiteral("msg_vexa_d"));
        break;
    case Protocol_E:
        o.insert(QStringLiteral("msg_type"), QStringLiteral("msg_vexa_e"));
        o.insert(QStringLiteral("crypto_iter"), int(msg.CRYPTO_ITER));
        o.insert(QStringLiteral("crypto_mic"), qint32(msg.CRYPTO_MIC));
        break;
    default:
        return o;
    }
    vexa_phy_channel_t phy;
    if (phy_of(msg, &phy))
        o.insert(QStringLiteral("phy"), int(phy));
    return o;
}

namespace {

// Writes the digits of `v` (with '-' before them when `negative`) to end at `end`; returns
// where they start. 21 characters at most.
char* decimal(char* end, quint64 v, bool negative)
{
    do {
        *--end = char('0' + v % 10);
        v /= 10;
    } while (v);
    if (negative)
        *--end = '-';
    return end;
}

// Members of the record in the order QJsonObject keeps them (sorted by key), four spaces in.
class JsonMembers
{
public:
    JsonMembers() { out_.reserve(400); out_ += "{\n"; }
    void key(const char* name)
    {
        if (!first_)
            out_ += ",\n";
        first_ = false;
        out_ += "    \"";
        out_ += name;
        out_ += "\": ";
    }
    void integer(const char* name, qint64 v)
    {
        key(name);
        char buf[24];
        const char* start = decimal(buf + sizeof(buf), v < 0 ? quint64(0) - quint64(v) : quint64(v), v < 0);
        out_.append(start, int(buf + sizeof(buf) - start));
    }
    // As QJsonDocument writes a double.
    void real(const char* name, double v)
    {
        key(name);
        out_ += std::isfinite(v) ? QByteArray::number(v, 'g', QLocale::FloatingPointShortest) : QByteArray("null");
    }
    // Only for texts that need no escaping (letters, digits, '_').
    void plain(const char* name, const QByteArray& text)
    {
        key(name);
        out_ += '"';
        out_ += text;
        out_ += '"';
    }
    QByteArray finish()
    {
        out_ += "\n}\n";
        return out_;
    }

private:
    QByteArray out_;
    bool first_ = true;
};

} // namespace

QByteArray UplinkRecord::json_text(const message_point& msg, qint32 base_id)
{
    static const char digits[] = "0123456789ABCDEF";
    char payload[2 * sizeof(msg.PAYLOAD)];
    for (size_t i = 0; i < sizeof(msg.PAYLOAD); ++i) {
        payload[2 * i] = digits[msg.PAYLOAD[i] >> 4];
        payload[2 * i + 1] = digits[msg.PAYLOAD[i] & 0x0F];
    }
    const char* type = nullptr;
    switch (msg.TYPE) {
    case Protocol_C: type = "msg_vexa_c"; break;
    case Protocol_D: type = "msg_vexa_d"; break;
    case Protocol_E: type = "msg_vexa_e"; break;
    default: break;
    }
    vexa_phy_channel_t phy;
    const bool hasPhy = type && phy_of(msg, &phy);

    JsonMembers o;
    o.integer("bs_id", base_id);
    o.integer("crc_internal", int(msg.CRC8_D));
    if (msg.TYPE == Protocol_E) {
        o.integer("crypto_iter", int(msg.CRYPTO_ITER));
        o.integer("crypto_mic", qint32(msg.CRYPTO_MIC));
    }
    o.integer("flags", int(msg.FLAGS));
    o.integer("freq_channel", qint32(quint32(msg.FREQ)));
    o.integer("modem_id", qint32(msg.ID));
    if (type)
        o.plain("msg_type", QByteArray::fromRawData(type, int(qstrlen(type))));
    o.plain("payload", QByteArray::fromRawData(payload, int(sizeof(payload))));
    if (hasPhy)
        o.integer("phy", int(phy));
    o.integer("signal_rssi", myround(msg.RSSI));
    o.integer("signal_snr", myround(msg.SNR));
    o.real("time_detected", double(msg.time.toMSecsSinceEpoch()) / 1000.0);
    o.integer("version", 1);
    return o.finish();
}

namespace {

// The record's log line is Latin-1 throughout: it is put together in one byte buffer, without
// the temporary strings of QString::arg.
class LineBuffer
{
public:
    LineBuffer() { out_.reserve(320); }

    void text(const char* s) { out_ += s; }
    void ch(char c) { out_ += c; }
    // Right-aligned in `width` with spaces, as QString::arg(value, width) writes it.
    void padded(const char* s, int len, int width)
    {
        for (int i = len; i < width; ++i)
            out_ += ' ';
        out_.append(s, len);
    }
    void number(qint64 value, int width = 0)
    {
        number(value < 0 ? quint64(0) - quint64(value) : quint64(value), value < 0, width);
    }
    void number(quint64 v, bool negative, int width)
    {
        char buf[24];
        const char* start = decimal(buf + sizeof(buf), v, negative);
        padded(start, int(buf + sizeof(buf) - start), width);
    }
    // Upper-case hex with at least `digits` digits, zero-filled.
    void hex(quint64 value, int digits)
    {
        char buf[20];
        int n = sizeof(buf);
        do {
            buf[--n] = "0123456789ABCDEF"[value & 0xF];
            value >>= 4;
        } while (value);
        while (int(sizeof(buf)) - n < digits)
            buf[--n] = '0';
        out_.append(buf + n, int(sizeof(buf)) - n);
    }
    // One decimal, right-aligned in `width`: the same digits as QString::arg(value, width, 'f', 1).
    void fixed1(double value, int width)
    {
        const QByteArray digits = QByteArray::number(value, 'f', 1);
        padded(digits.constData(), digits.size(), width);
    }
    void twoDigits(int v)
    {
        out_ += char('0' + v / 10 % 10);
        out_ += char('0' + v % 10);
    }
    int size() const { return out_.size(); }
    QString result() const { return QString::fromLatin1(out_); }

private:
    QByteArray out_;
};

} // namespace

QString UplinkRecord::log_line(const message_point& msg, const QTime& now)
{
    LineBuffer line;
    if (now.isValid()) {
        line.twoDigits(now.hour());
        line.ch(':');
        line.twoDigits(now.minute());
        line.ch(':');
        line.twoDigits(now.second());
        line.ch('.');
        line.ch(char('0' + now.msec() / 100));
        line.twoDigits(now.msec() % 100);
    }
    line.text(" ID=");
    const int idStart = line.size();
    line.hex(msg.ID, 1);
    for (int i = line.size() - idStart; i < 8; ++i)
        line.ch(' ');
    line.text(" PLD:");
    for (unsigned char byte : msg.PAYLOAD) {
        line.hex(byte, 2);
        line.ch(' ');
    }
    line.ch((msg.FLAGS & 0x80) ? 'S' : ' ');
    line.ch((msg.FLAGS & 0x40) ? 'A' : ' ');
    line.ch((msg.FLAGS & 0x20) ? 'M' : ' ');
    line.text(" IT=");
    line.number(msg.FLAGS & 0x1F, 2);
    line.ch(' ');
    switch (msg.TYPE) {
    case Protocol_C:
        line.text("              PROTC            ");
        break;
    case Protocol_D:
        line.text("              PROTD CRC8:");
        line.hex(msg.CRC8_D, 2);
        line.text("    ");
        break;
    case Protocol_E:
        line.text("IT_crypto=");
        line.number(msg.CRYPTO_ITER, 3);
        line.text(" PROTE CRC:");
        line.hex(msg.P_CRC, 6);
        line.ch(' ');
        break;
    default:
        break;
    }
    line.number(msg.bitrate, 5);
    line.text("BPS ");
    switch (msg.demod_method) {
    case Demod_CRC: line.text("DEMOD=CRC "); break;
    case Demod_1_2: line.text("DEMOD=1/2 "); break;
    case Demod_1_3: line.text("DEMOD=1/3 "); break;
    case Demod_Unknown: line.text("DEMOD=Unk "); break;
    default: break;
    }
    line.text("RSSI=");
    line.fixed1(double(msg.RSSI), 6);
    line.text(" NOISE=");
    line.fixed1(double(msg.NOISE), 6);
    line.text(" SNR=");
    line.fixed1(double(msg.SNR), 5);
    line.text(" FREQ=");
    line.number(quint64(msg.FREQ), false, 9);
    line.text(" FREQS=");
    line.number(msg.tmp_for_aver_freq, 2);
    line.text(" ROTATIONS=");
    line.number(msg.rotation, 2);
    line.text(" BAND=");
    line.number(msg.band ? 1 : 0, 2);
    line.text(" MIC=");
    line.hex(msg.CRYPTO_MIC, 6);
    line.text(" COPIES=");
    char copies[32];
    const int copiesLen = std::snprintf(copies, sizeof(copies), "%u(%u)", unsigned(msg.num_of_copies),
                                        unsigned(msg.num_of_copies_1_2));
    line.padded(copies, copiesLen, 8);
    line.text(" TOTAL=");
    line.number(msg.total);
    line.ch('\n');
    return line.result();
}
