#include "UplinkRecord.h"

#include "own_echo.h"

#include <QLatin1Char>
#include <QStringList>

#include <cmath>

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

static QString hexUpper(quint32 value, int minDigits)
{
    return QStringLiteral("%1").arg(value, minDigits, 16, QLatin1Char('0')).toUpper();
}

QString UplinkRecord::log_line(const message_point& msg, const QTime& now)
{
    QString line = QStringLiteral("%1 ID=%2 PLD:")
                       .arg(now.toString(QStringLiteral("hh:mm:ss.zzz")),
                            QString::number(msg.ID, 16).toUpper().leftJustified(8, QLatin1Char(' ')));
    for (unsigned char byte : msg.PAYLOAD)
        line += hexUpper(byte, 2) + QLatin1Char(' ');
    line += QLatin1Char((msg.FLAGS & 0x80) ? 'S' : ' ');
    line += QLatin1Char((msg.FLAGS & 0x40) ? 'A' : ' ');
    line += QLatin1Char((msg.FLAGS & 0x20) ? 'M' : ' ');
    line += QStringLiteral(" IT=%1 ").arg(int(msg.FLAGS & 0x1F), 2);
    switch (msg.TYPE) {
    case Protocol_C:
        line += QStringLiteral("              PROTC            ");
        break;
    case Protocol_D:
        line += QStringLiteral("              PROTD CRC8:%1    ").arg(hexUpper(msg.CRC8_D, 2));
        break;
    case Protocol_E:
        line += QStringLiteral("IT_crypto=%1 PROTE CRC:%2 ").arg(int(msg.CRYPTO_ITER), 3).arg(hexUpper(msg.P_CRC, 6));
        break;
    default:
        break;
    }
    line += QStringLiteral("%1BPS ").arg(msg.bitrate, 5);
    switch (msg.demod_method) {
    case Demod_CRC: line += QStringLiteral("DEMOD=CRC "); break;
    case Demod_1_2: line += QStringLiteral("DEMOD=1/2 "); break;
    case Demod_1_3: line += QStringLiteral("DEMOD=1/3 "); break;
    case Demod_Unknown: line += QStringLiteral("DEMOD=Unk "); break;
    default: break;
    }
    const QString copies = QStringLiteral("%1(%2)").arg(msg.num_of_copies).arg(msg.num_of_copies_1_2);
    // Filled one value at a time: a value never contains a '%', so no later marker is disturbed.
    line += QStringLiteral("RSSI=%1 NOISE=%2 SNR=%3 FREQ=%4 FREQS=%5 ROTATIONS=%6 BAND=%7 MIC=%8 COPIES=%9 TOTAL=%10\n")
                .arg(double(msg.RSSI), 6, 'f', 1)
                .arg(double(msg.NOISE), 6, 'f', 1)
                .arg(double(msg.SNR), 5, 'f', 1)
                .arg(msg.FREQ, 9)
                .arg(msg.tmp_for_aver_freq, 2)
                .arg(msg.rotation, 2)
                .arg(msg.band ? 1 : 0, 2)
                .arg(hexUpper(msg.CRYPTO_MIC, 6))
                .arg(copies, 8)
                .arg(msg.total);
    return line;
}
