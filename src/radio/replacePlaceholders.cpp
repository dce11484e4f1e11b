#include "replacePlaceholders.h"

#include "crc.h"
#include "dl_message_point.h"

#include <QDebug>

namespace {
const int kMaxPayload = 128;

int hexValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// Hex digits in pairs, at most kMaxPayload bytes; other characters are skipped and a lone last
// digit is dropped. *lossy tells whether anything was skipped, dropped or cut.
QByteArray decodeHex(const QString& text, bool* lossy)
{
    QByteArray out;
    int high = -1;
    for (QChar c : text) {
        const int v = hexValue(c);
        if (v < 0) {
            *lossy = true;
            continue;
        }
        if (high < 0) {
            high = v;
            continue;
        }
        if (out.size() == kMaxPayload) {
            *lossy = true;
            break;
        }
        out.append(char((high << 4) | v));
        high = -1;
    }
    if (high >= 0)
        *lossy = true;
    return out;
}
} // namespace

void replacePlaceholders(dl_message_point* message)
{
    replacePlaceholders(message, QDateTime::currentDateTimeUtc());
}

void replacePlaceholders(dl_message_point* message, const QDateTime& nowUtc)
{
    if (!message)
        return;
    const bool inPlaceholder = !message->placeholder.isEmpty();
    const QString text = inPlaceholder ? message->placeholder : message->pld_str;
    const int open = text.indexOf(QLatin1Char('['));
    if (open < 0)
        return;
    const int bar = text.indexOf(QLatin1Char('|'));
    const int close = text.indexOf(QLatin1Char(']'));
    if (bar < 0 || close < 0 || close < bar)
        return;
    bool ok = false;
    qint64 offset = text.mid(bar + 1, close - bar - 1).toLongLong(&ok, 10);
    if (!ok)
        return;
    if (message->phy == QLatin1String("DL_PSK_200"))
        offset += 5;
    else if (message->phy == QLatin1String("DL_PSK_500"))
        offset += 2;
    const quint32 t = quint32(nowUtc.toSecsSinceEpoch() + offset);
    const QString newText = text.left(open) + QString::number(t, 16) + text.mid(close + 1);

    bool lossy = false;
    const QByteArray decoded = decodeHex(newText, &lossy);
    if (inPlaceholder) {
        message->placeholder = newText;
        quint8 d[4];
        for (int i = 0; i < 4; ++i) {
            d[i] = i < decoded.size() ? quint8(decoded.at(i)) : 0;
            message->payload[1 + i] ^= d[i];
        }
        unsigned char block[8] = {0xF5, d[0], d[1], d[2], d[3], 0, 0, 0};
        const unsigned short crc = CRC16(block, sizeof block, 0xFFFF);
        message->payload[8] = quint8(crc & 0xFF);
        message->payload[9] = quint8(crc >> 8);
    } else {
        message->pld_str = newText;
        message->payload_len = quint8(decoded.size());
        for (int i = 0; i < decoded.size(); ++i)
            message->payload[i] = quint8(decoded.at(i));
    }
    if (lossy) {
        qDebug().noquote() << QStringLiteral("Downlink time template: text \"%1\" is not whole hex bytes or longer than %2 bytes; what could not be decoded was skipped or cut")
                                  .arg(newText.left(300))
                                  .arg(kMaxPayload);
    }
}
