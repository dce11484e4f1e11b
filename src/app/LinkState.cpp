#include "LinkState.h"

#include "errlog.h"

QString LinkState::Action::toString() const
{
    switch (kind) {
    case Alarm: return QStringLiteral("alarm:%1").arg(code);
    case EventLine: return QStringLiteral("event:") + text;
    case ReaderText: return QStringLiteral("reader:") + text;
    }
    return QString();
}

static LinkState::Action alarm(int code) { return {LinkState::Action::Alarm, code, QString()}; }
static LinkState::Action event(const QString& text) { return {LinkState::Action::EventLine, 0, text}; }
static LinkState::Action reader(const char* text) { return {LinkState::Action::ReaderText, 0, QString::fromLatin1(text)}; }

LinkState::Actions LinkState::go_connected(bool has_reader, bool beeps)
{
    Actions out;
    if (!connected_) {
        connected_ = true;
        if (offline_timer_ > 2) {
            out << event(QStringLiteral("Connected to server")) << alarm(errlog::EVENT_CONNECTED);
            if (has_reader && beeps)
                out << reader("double_short_beep");
        }
        offline_timer_ = 0;
    }
    if (has_reader)
        out << reader("setNetState_true");
    return out;
}

LinkState::Actions LinkState::go_disconnected(bool has_reader)
{
    Actions out;
    if (has_reader)
        out << reader("setNetState_false");
    return out;
}

LinkState::Actions LinkState::republish(bool has_reader)
{
    Actions out;
    if (connected_) {
        connected_ = false;
        return out;
    }
    ++offline_timer_;
    if (offline_timer_ == 3) {
        out << event(QStringLiteral("Disconnected from server")) << alarm(errlog::EVENT_DISCONNECTED);
        if (has_reader)
            out << reader("long_and_short_beep");
    }
    return out;
}

LinkState::Actions LinkState::processStateChanges(quint8 state)
{
    Actions out;
    if (last_state_ == 0xFF || last_state_ == state) {
        last_state_ = state;
        return out;
    }
    const quint8 changed = (last_state_ ^ state) & 0x0E;
    struct Bit {
        quint8 mask;
        errlog::EVENT_CODE set;
        errlog::EVENT_CODE clear;
    } const bits[] = {
        {0x02, errlog::EVENT_NOISE_OK, errlog::EVENT_NOISE_FAULT},
        {0x04, errlog::EVENT_UL_OK, errlog::EVENT_UL_FAULT},
        {0x08, errlog::EVENT_DL_OK, errlog::EVENT_DL_FAULT},
    };
    for (const Bit& b : bits) {
        if (!(changed & b.mask))
            continue;
        const errlog::EVENT_CODE code = (state & b.mask) ? b.set : b.clear;
        out << alarm(code) << event(errlog::toString(code));
    }
    last_state_ = state;
    return out;
}

int LinkState::receiver_alarm_code(const QString& text)
{
    if (text == QLatin1String("EVENT_REBOOT_ARTIX"))
        return errlog::EVENT_REBOOT_ARTIX;
    if (text == QLatin1String("EVENT_REBOOT_AXSEM"))
        return errlog::EVENT_REBOOT_AXSEM;
    if (text == QLatin1String("EVENT_REBOOT_LATTICE"))
        return errlog::EVENT_REBOOT_LATTICE;
    if (text == QLatin1String("EVENT_DOOR_OPENED"))
        return errlog::EVENT_DOOR_OPENED;
    if (text == QLatin1String("EVENT_DOOR_CLOSED"))
        return errlog::EVENT_DOOR_CLOSED;
    return 0;
}

int LinkState::transmitter_alarm_code(const QString& text)
{
    return text == QLatin1String("EVENT_AUTOCORR_ERR") ? int(errlog::EVENT_AUTOCORR_ERR) : 0;
}
