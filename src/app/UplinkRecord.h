#pragma once

#include "message_point.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QTime>
#include <QtGlobal>

// The uplink record of one received message: where the modem was expected to send, the
// downlink frequency an answer would use, the station's text-log line and the JSON record the
// broker links publish. Pure functions; the station core strings them together.
class UplinkRecord {
public:
    // Rounds half away from zero.
    static int myround(float value);

    // Expected uplink frequency (Hz) of the message, from the band base frequencies.
    static qint32 calc_freq_expected(const message_point& msg, quint32 uplink_freq, quint32 uplink_freq2);

    // Downlink frequency (Hz) of an answer from base frequency dl, corrected by the modem's
    // measured offset from the expected frequency.
    static quint32 calc_dl_freq(const message_point& msg, qint32 expected, quint32 dl, quint32 uplink_freq);

    // Phy code of the message's protocol and bit rate; false when the pair has none.
    static bool phy_of(const message_point& msg, vexa_phy_channel_t* phy);

    // Whether the message is the station's own transmission heard back: its id is the sender's
    // modem id, or 0x6F0000 plus the low 16 bits of that id. A sender without a modem id of its
    // own (0) hears no echo, so messages of modem 0 and 0x6F0000 are published.
    static bool is_own_echo(quint32 id, quint32 own_modem_id);

    // The JSON record. The message's phy field is not touched here.
    static QJsonObject build(const message_point& msg, qint32 base_id);
    // The same record as the text the links publish: byte for byte what
    // QJsonDocument(build(msg, base_id)).toJson(QJsonDocument::Indented) gives, written
    // directly.
    static QByteArray json_text(const message_point& msg, qint32 base_id);

    // The text-log line of the message (with its line end), stamped with `now`.
    static QString log_line(const message_point& msg, const QTime& now);
};
