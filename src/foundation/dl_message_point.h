#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

// One downlink request. Ownership passes with the pointer to the station's sender, which deletes
// it after sending or when its deadline has passed.
struct dl_message_point {
    enum DLPriority : qint32 { PRIORITY_LOW = 0, PRIORITY_MEDIUM = 1, PRIORITY_HIGH = 2, PRIORITY_HIGHEST = 3 };

    quint8 type = 0;
    quint32 receiver = 0;
    quint32 freq = 0;
    quint8 iterator = 0;
    QDateTime time_out_dated;
    quint32 modem_id = 0;
    quint8 payload_len = 0;
    quint8 strength = 0;
    unsigned char payload[128] = {};
    QString pld_str;
    quint8 f_system = 0;
    quint8 f_ack = 0;
    quint8 f_multi = 0;
    QString phy;
    quint32 vexa_ver = 0;
    QString placeholder;
    DLPriority priority = PRIORITY_LOW;
    quint16 mac_iter = 0;
    quint32 crypto_flags = 0;
    quint32 crypto_iter = 0;
    quint32 crypto_mic = 0;
    quint32 preambula = 0;
};

Q_DECLARE_METATYPE(dl_message_point*)
