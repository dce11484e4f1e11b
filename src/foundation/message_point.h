#pragma once

#include "station_types.h"

#include <QDateTime>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>

// One received uplink message. Crosses threads as QSharedPointer<message_point>: the producer
// keeps its own reference as long as it needs the record, so a queued call never sees it freed.
struct message_point {
    Protocol_Types TYPE = Protocol_C;
    unsigned char packet[35] = {};
    quint32 ID = 0;
    quint8 CRYPTO_ITER = 0;
    quint8 FLAGS = 0;
    unsigned char PAYLOAD[8] = {};
    quint32 CRYPTO_MIC = 0;
    quint32 P_CRC = 0;
    quint8 CRC8_D = 0;
    float RSSI = 0.0f;
    float MAX_RSSI = 0.0f;
    float MIN_RSSI = 0.0f;
    float SNR = 0.0f;
    float MAX_SNR = 0.0f;
    float MIN_SNR = 0.0f;
    float NOISE = 0.0f;
    quint64 FREQ = 0;
    quint32 batch_time = 0;
    QDateTime time;
    Demod_Methods demod_method = Demod_Unknown;
    quint32 bitrate = 0;
    quint8 err_num = 0;
    quint32 rotation = 0;
    bool calculated = false;
    quint32 batch_id = 0;
    quint32 num_of_copies = 1;
    quint32 num_of_copies_1_2 = 0;
    quint32 tmp_for_aver_freq = 1;
    bool processed = false;
    bool emited = false;
    quint32 total = 0;
    qint32 offset = 0;
    vexa_phy_channel_t phy = DL_PSK_200;
    bool band = false;

    message_point() = default;
    // Copy construction copies every field; assignment copies only the decoded message and its
    // radio metrics and keeps the target's bookkeeping (copies, batch, phy, offset, ...).
    message_point(const message_point&) = default;
    message_point& operator=(const message_point& other);

    // The 8 payload bytes as 16 upper-case hexadecimal digits.
    QString getPayload() const;
};

using message_point_ptr = QSharedPointer<message_point>;

Q_DECLARE_METATYPE(QSharedPointer<message_point>)
