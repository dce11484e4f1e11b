#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// The state of the main broker link and of the receiver's channels as the station reports it:
// alarm-log entries, event-log lines and texts for the reader (buzzer, lights). Each call
// returns what to do, in order; the station core carries it out.
class LinkState {
public:
    struct Action {
        enum Kind { Alarm, EventLine, ReaderText };
        Kind kind;
        int code;     // alarm-log code (Alarm)
        QString text; // event-log line (EventLine) or reader text (ReaderText)

        bool operator==(const Action& o) const { return kind == o.kind && code == o.code && text == o.text; }
        // "alarm:5", "event:Connected to server", "reader:setNetState_true".
        QString toString() const;
    };
    using Actions = QList<Action>;

    // The broker confirmed everything outstanding. beeps: the board answers with a
    // double short beep when the link comes back (QORM and QORM LTE).
    Actions go_connected(bool has_reader, bool beeps);
    // The link reported a loss (relayed to the reader only).
    Actions go_disconnected(bool has_reader);
    // The publish timer expired with records still unconfirmed.
    Actions republish(bool has_reader);
    // The receiver's state byte; noise, uplink and downlink bit changes become alarms.
    Actions processStateChanges(quint8 state);

    // Alarm-log code of an alarm text from the reader or the transmitter; 0 when the text is
    // not one the station records.
    static int receiver_alarm_code(const QString& text);
    static int transmitter_alarm_code(const QString& text);

    bool connected() const { return connected_; }
    quint32 offline_count() const { return offline_timer_; }

private:
    bool connected_ = false;
    // Starting offline makes the first confirmation after start-up report "Connected".
    quint32 offline_timer_ = 3;
    // 0xFF until the first state is seen.
    quint8 last_state_ = 0xFF;
};
