#pragma once

#include "LogText.h"
#include "dl_message_point.h"
#include "phy_names.h"

#include <QString>
#include <QTime>

// Pieces of the downlink side's log lines.

// Local time of day, "hh:mm:ss:zzz".
inline QString dl_time()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss:zzz"));
}

// A modem id in upper-case hexadecimal without leading zeros.
inline QString dl_id(quint32 id)
{
    return QString::number(id, 16).toUpper();
}

// The first 8 payload bytes in lower-case hexadecimal.
inline QString dl_payload(const dl_message_point& m)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(m.payload), 8).toHex());
}

// The request's power as the signed dBm value its byte holds.
inline int dl_power_dbm(const dl_message_point& m)
{
    return int(qint8(m.strength));
}

// Which downlink frame a request becomes on the FPGA modulators, by its phy and version.
enum class DlFrameForm {
    ProtE5,      // protocol E, version 5 (whatever the request's version says)
    ProtD4,      // protocol D, version 4
    ProtD5,      // protocol D, version 5 and above
    ProtDOld,    // protocol D below version 4: no frame exists for it
    Unsupported, // a phy outside both protocols
};

inline DlFrameForm dl_frame_form(const dl_message_point& m)
{
    switch (vexa_fhy_from_str(m.phy)) {
    case DL_DBPSK_50_PROT_E:
    case DL_DBPSK_400_PROT_E:
    case DL_DBPSK_3200_PROT_E:
    case DL_DBPSK_25600_PROT_E:
    case UL_DBPSK_50_PROT_E:
    case UL_DBPSK_400_PROT_E:
    case UL_DBPSK_3200_PROT_E:
    case UL_DBPSK_25600_PROT_E:
        return DlFrameForm::ProtE5;
    case DL_DBPSK_50_PROT_D:
    case DL_DBPSK_400_PROT_D:
    case DL_DBPSK_3200_PROT_D:
    case DL_DBPSK_25600_PROT_D:
    case UL_DBPSK_50_PROT_D:
    case UL_DBPSK_400_PROT_D:
    case UL_DBPSK_3200_PROT_D:
    case UL_DBPSK_25600_PROT_D:
        if (m.vexa_ver == 4)
            return DlFrameForm::ProtD4;
        return m.vexa_ver > 4 ? DlFrameForm::ProtD5 : DlFrameForm::ProtDOld;
    default:
        return DlFrameForm::Unsupported;
    }
}

// The flags byte of a protocol D version 4 frame: iterator in bits 0..4, then multi, ack, system.
inline uint8_t dl_v4_flags(const dl_message_point& m)
{
    return uint8_t((m.iterator & 31) + (m.f_multi ? 32 : 0) + (m.f_ack ? 64 : 0) + (m.f_system ? 128 : 0));
}

// The fields of a modulator's send line after "ID: " (crypto: with the IT_crypto field).
inline QString dl_send_fields(const dl_message_point& m, bool crypto)
{
    QString s = dl_id(m.modem_id) + QStringLiteral(" IT: ") + QString::number(int(m.iterator & 31));
    if (crypto)
        s += QStringLiteral(" IT_crypto: ") + QString::number(m.crypto_iter);
    s += QStringLiteral(" FREQ: ") + QString::number(m.freq) + QStringLiteral(" PHY: ") + LogText::escaped(m.phy) +
         QStringLiteral(" PWR:") + QString::number(m.strength) + QStringLiteral(" PLD: ") + dl_payload(m);
    return s;
}

// What the modulators log for a protocol D request below version 4, which they drop.
inline QString dl_old_version_line(const dl_message_point& m)
{
    return QStringLiteral(" DL message by dig_mod: unsupported protocol version ") + QString::number(m.vexa_ver) +
           QStringLiteral(", ID: ") + dl_id(m.modem_id);
}
