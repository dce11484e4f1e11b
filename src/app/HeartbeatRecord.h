#pragma once

#include "status_records.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// The parts of the station heartbeat, built from the reader's and the sender's status records.
// Pure functions; the station core adds its own fields and publishes the result.
class HeartbeatRecord {
public:
    // Frequency-plan code of one receiver band: bandwidth class and offset in bandwidth units.
    // A band of bandwidth 0 has no plan and gives 0.
    static int ul_freq_plan(quint32 bandwidth, qint32 offset);

    // "receiver": enabled (the reader's active flag), base frequency and the bands that have
    // bit rates.
    static QJsonObject receiver(const receiver_info& info, quint32 uplink_freq);
    // "transmitter": enabled when active and the downlink-sent state bit (8) is set.
    static QJsonObject transmitter(const transmitter_info& info);
    // The transmitter object a link without downlink rights gets: the full one with "enabled"
    // false, or only "enabled": false when there is no sender.
    static QJsonObject transmitter_disabled(const QJsonObject& transmitter);
    // "bs_revisions"; either record may be absent (null).
    static QJsonObject revisions(const receiver_info* reader, const transmitter_info* sender, const QString& version);
    static QJsonObject gsm_data(const QString& sim_number, const QString& balance, float rssi);

    // Board temperature from "vcgencmd measure_temp" output ("temp=48.3'C"); -100 when none.
    static int parse_temperature(const QByteArray& output);

    // The statistics objects whose "ts" is at most 29 s before now, in the given order.
    static QJsonArray fresh_stats(const QList<QJsonObject>& stats, const QDateTime& now);

    // Indented JSON text, members sorted by key.
    static QByteArray text(const QJsonObject& heartbeat);
};
