#include "DL_sender.h"

#include "LogText.h"
#include "dl_log.h"
#include "own_echo.h"
#include "phy_names.h"

#include <QSet>

#include <algorithm>
#include <cstdlib>

namespace {
// One tick at a time in the whole process: a back-end waiting in a nested event loop lets the
// sender thread's timers run, and their ticks must not start a second pass over the queue.
std::atomic<bool> is_busy{false};
std::atomic<quint32> wait_counter{0};

constexpr DownlinkSlot kSlots[DL_sender::SLOT_COUNT] = {
    DownlinkSlot::SerialModem, DownlinkSlot::SpiTransceiver, DownlinkSlot::DigModulator,
    DownlinkSlot::MultiDigModulator};

int index_of(DownlinkSlot slot)
{
    return int(slot);
}

// The longest the autocorrection waits for the multi-channel modulator to fall idle: longer
// than any frame's air time.
constexpr qint64 kIdleWaitLimitMs = 10000;

// A refusal's text without the times of its lines ("hh:mm:ss:zzz" or "hh:mm:ss.zzz"), so that
// two alike compare equal. Runs for every refused offer: a plain scan, no pattern engine.
QString without_times(const QString& text)
{
    const auto digit = [&text](int i) { return i < text.size() && text.at(i).isDigit(); };
    const auto time_at = [&](int i) {
        return digit(i) && digit(i + 1) && i + 2 < text.size() && text.at(i + 2) == QLatin1Char(':') && digit(i + 3)
            && digit(i + 4) && i + 5 < text.size() && text.at(i + 5) == QLatin1Char(':') && digit(i + 6)
            && digit(i + 7) && i + 8 < text.size() && (text.at(i + 8) == QLatin1Char(':') || text.at(i + 8) == QLatin1Char('.'))
            && digit(i + 9) && digit(i + 10) && digit(i + 11);
    };
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size();) {
        if (time_at(i)) {
            i += 12;
            continue;
        }
        out.append(text.at(i));
        ++i;
    }
    return out;
}
} // namespace

DL_sender::DL_sender(SettingsController& settings, std::shared_ptr<Base_Pin_Controller> pin_controller,
                     QObject* parent, DownlinkBackendFactory factory, std::shared_ptr<StationClock> clock)
    : ITransmitter(parent), logger(QString()), settCtrlr(settings), pin_controller(std::move(pin_controller)),
      factory_(factory ? std::move(factory) : DownlinkBackendFactory(makeDefaultDownlinkBackend)),
      clock_(clock ? std::move(clock) : StationClock::system())
{
    const BaseStationParams bs = settCtrlr.getBS_ParamsCopy();
    const TransmitterParams tx = settCtrlr.getTransmitterParams();
    setLogpath(bs.logpath_.toString());
    const quint32 ul = bs.uplink_freq_.toUInt();
    uplink_freq = ul == 0 ? 868800000u : ul;
    need_auto_correction = tx.need_auto_correction_.isValid() && tx.need_auto_correction_.toBool();
    _active = tx.send_dl_.toBool();
    base_id_ = bs.base_id_.toUInt();
    bs_type_ = bs.bs_type;
    if (_active) {
        const bool dig = tx.dig_mod_.isValid() && tx.dig_mod_.toBool();
        switch (bs_type_) {
        case QORM:
            wanted_[index_of(DownlinkSlot::SerialModem)] = true;
            wanted_[index_of(DownlinkSlot::DigModulator)] = dig;
            break;
        case Quabo:
            wanted_[index_of(DownlinkSlot::SpiTransceiver)] = true;
            break;
        case QORM_LTE:
            wanted_[index_of(DownlinkSlot::SpiTransceiver)] = true;
            wanted_[index_of(DownlinkSlot::MultiDigModulator)] = dig;
            break;
        default:
            break;
        }
    }
    publish_snapshot();
}

DL_sender::~DL_sender()
{
    if (corr_timer)
        corr_timer->stop();
    if (DL_send_timer)
        DL_send_timer->stop();
    for (int i = SLOT_COUNT - 1; i >= 0; --i) {
        std::unique_ptr<IVexaTransmitter> gone = std::move(backends_[i]);
        gone.reset();
    }
    std::lock_guard<std::mutex> lock(queue_mutex);
    QSet<dl_message_point*> seen;
    for (const Entry& e : DL_list) {
        if (!seen.contains(e.message)) {
            seen.insert(e.message);
            delete e.message;
        }
    }
    DL_list.clear();
}

void DL_sender::init() {}

bool DL_sender::DLLessThan(const dl_message_point* a, const dl_message_point* b)
{
    return int(vexa_fhy_from_str(a->phy)) > int(vexa_fhy_from_str(b->phy));
}

bool DL_sender::DLLessThanByPriority(const dl_message_point* a, const dl_message_point* b)
{
    return int(a->priority) > int(b->priority);
}

quint32 DL_sender::deadline_of(const dl_message_point& m)
{
    if (m.time_out_dated.isNull() || !m.time_out_dated.isValid())
        return 4294967295u;
    return quint32(m.time_out_dated.toSecsSinceEpoch());
}

bool DL_sender::is_expired(const dl_message_point& m, qint64 utc_now)
{
    const quint32 deadline = deadline_of(m);
    return deadline != 0 && qint64(deadline) <= utc_now;
}

bool DL_sender::entry_expired(const Entry& e, qint64 utc_now)
{
    return e.deadline != 0 && qint64(e.deadline) <= utc_now;
}

bool DL_sender::slot_wanted(DownlinkSlot slot) const
{
    return wanted_[index_of(slot)];
}

bool DL_sender::slot_active(DownlinkSlot slot) const
{
    return backends_[index_of(slot)] != nullptr;
}

IVexaTransmitter* DL_sender::backend(DownlinkSlot slot) const
{
    return backends_[index_of(slot)].get();
}

int DL_sender::queued() const
{
    std::lock_guard<std::mutex> lock(queue_mutex);
    return int(DL_list.size());
}

int DL_sender::autocorrection_interval() const
{
    return corr_timer ? corr_timer->interval() : 0;
}

// ----------------------------------------------------------------------------- life cycle

void DL_sender::start()
{
    if (in_tick_) {
        restart_pending_ = true;
        return;
    }
    stopping_ = false;
    const DownlinkBackendContext context{settCtrlr, pin_controller, clock_};
    for (DownlinkSlot slot : kSlots) {
        const int i = index_of(slot);
        std::unique_ptr<IVexaTransmitter> old = std::move(backends_[i]);
        old.reset();
        if (!wanted_[i])
            continue;
        std::unique_ptr<IVexaTransmitter> made = factory_(slot, context);
        if (!made) {
            if (!empty_slot_logged_[i]) {
                empty_slot_logged_[i] = true;
                *this << dl_time() << " No " << downlinkSlotName(slot)
                      << " back-end in this build: its downlinks go to the other back-ends\n";
            }
            continue;
        }
        if (auto* log = dynamic_cast<logger*>(made.get()))
            log->setLogpath(getLogpath());
        connect(made.get(), &IVexaTransmitter::alarm_out, this, &DL_sender::alarm_in);
        backends_[i] = std::move(made);
    }

    freq_correction = 0.0f;
    autocal_cntr = -3;
    send_corr_mes = false;
    overall_time = clock_->monotonicMs();
    busy_msec = 0;
    aver_dl_busyness = 0.0f;

    delete corr_timer;
    corr_timer = nullptr;
    if (need_auto_correction) {
        corr_timer = new QTimer(this);
        corr_timer->setInterval(10000);
        connect(corr_timer, &QTimer::timeout, this, &DL_sender::send_corr_message);
        corr_timer->start();
    } else {
        _state |= STATE_AUTOCORR_VALID;
    }
    delete DL_send_timer;
    DL_send_timer = new QTimer(this);
    DL_send_timer->setInterval(TICK_MS);
    connect(DL_send_timer, &QTimer::timeout, this, &DL_sender::dequeueDLMessages);
    DL_send_timer->start();
    publish_snapshot();
}

void DL_sender::requestStop()
{
    stopping_ = true;
}

void DL_sender::stopTransmitter()
{
    stopping_ = true;
    restart_pending_ = false;
    if (corr_timer)
        corr_timer->stop();
    if (DL_send_timer)
        DL_send_timer->stop();
    if (in_tick_)
        release_pending_ = true;
    else
        release_backends();
}

void DL_sender::release_backends()
{
    for (int i = 0; i < SLOT_COUNT; ++i) {
        std::unique_ptr<IVexaTransmitter> gone = std::move(backends_[i]);
        gone.reset();
    }
    publish_snapshot();
}

// ----------------------------------------------------------------------------- queue and tick

void DL_sender::queueDLMessage(dl_message_point* message)
{
    if (!message)
        return;
    const Entry entry{message, int(vexa_fhy_from_str(message->phy)), deadline_of(*message),
                      vexa_phy_name_known(message->phy), message->vexa_ver == 0};
    std::lock_guard<std::mutex> lock(queue_mutex);
    DL_list.push_back(entry);
    order_dirty_ = true;
}

bool DL_sender::read_busy()
{
    bool any = false;
    bool free = false;
    for (DownlinkSlot slot : kSlots) {
        const int i = index_of(slot);
        busy_[i] = false;
        if (IVexaTransmitter* b = backend(slot)) {
            any = true;
            busy_[i] = b->isBusy();
            free = free || !busy_[i];
        }
    }
    return free || !any;
}

void DL_sender::dequeueDLMessages()
{
    if (is_busy.load()) {
        if (wait_counter.load() > WAIT_COUNTER_LIMIT) {
            wait_counter = 0;
            *this << dl_time() << " Wait counter overflow!\n";
        } else {
            ++wait_counter;
        }
        return;
    }
    wait_counter = 0;
    is_busy = true;
    in_tick_ = true;
    run_tick();
    in_tick_ = false;
    is_busy = false;
    if (release_pending_) {
        release_pending_ = false;
        release_backends();
    }
    if (restart_pending_) {
        restart_pending_ = false;
        start();
    }
}

void DL_sender::run_tick()
{
    if (stopping_)
        return;
    const qint64 now = clock_->monotonicMs();
    if (now - overall_time > BUSYNESS_WINDOW_MS) {
        if (IVexaTransmitter* multi = backend(DownlinkSlot::MultiDigModulator))
            busy_msec += multi->get_busy_msec();
        const qint64 elapsed = clock_->monotonicMs() - overall_time;
        dl_busyness = float(busy_msec) / float(elapsed) * 100.0f;
        overall_time = clock_->monotonicMs();
        aver_dl_busyness = 0.9f * aver_dl_busyness + 0.1f * dl_busyness;
        busy_msec = 0;
        *this << "DL BUSYNESS = " << dl_busyness << "\n";
        *this << "AVER DL BUSYNESS = " << aver_dl_busyness << "\n";
        publish_snapshot();
    } else if (now - last_publish_ >= 1000) {
        publish_snapshot(); // a back-end may learn its modem id late
    }

    if (send_corr_mes && !stopping_ && sendAutocorr())
        send_corr_mes = false;

    if (stopping_ || queued() == 0)
        return;
    // Each back-end's state (the multi-channel modulator's channel status) is read once here
    // and serves the whole pass: a waiting request costs no transfer of its own.
    if (!read_busy())
        return;

    std::vector<Entry> snapshot;
    QList<dl_message_point*> dropped;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        if (DL_list.empty())
            return;
        // The order only changes with new requests (removals keep it), and deadlines are whole
        // seconds: a queue that waits unchanged within one second is neither sorted nor
        // searched again.
        const qint64 utc = clock_->utcSeconds();
        if (order_dirty_ || utc != ordered_at_utc_) {
            if (order_dirty_) {
                std::stable_sort(DL_list.begin(), DL_list.end(), [](const Entry& a, const Entry& b) {
                    if (a.message->priority != b.message->priority)
                        return int(a.message->priority) > int(b.message->priority);
                    return a.phy > b.phy;
                });
            }
            const auto expired = std::stable_partition(DL_list.begin(), DL_list.end(),
                                                       [utc](const Entry& e) { return !entry_expired(e, utc); });
            for (auto it = expired; it != DL_list.end(); ++it)
                dropped.append(it->message);
            DL_list.erase(expired, DL_list.end());
            order_dirty_ = false;
            ordered_at_utc_ = utc;
        }
        snapshot = DL_list;
    }
    for (dl_message_point* m : dropped) {
        *this << dl_time() << " DL message outdated for ID: " << dl_id(m->modem_id) << "\n";
        forget(m);
        delete m;
    }
    if (snapshot.empty())
        return;

    const quint32 start_busy = busy_msec;
    QSet<dl_message_point*> finished;
    for (const Entry& e : snapshot) {
        if (stopping_)
            break;
        dl_message_point* m = e.message;
        // A request may have aged while the ones before it were on the air.
        if (entry_expired(e, clock_->utcSeconds())) {
            *this << dl_time() << " DL message outdated for ID: " << dl_id(m->modem_id) << "\n";
            finished.insert(m);
            continue;
        }
        const qint64 t0 = clock_->monotonicMs();
        if (sendDLMessage(e)) {
            busy_msec += quint32(clock_->monotonicMs() - t0);
            finished.insert(m);
        }
        if (qint64(busy_msec) > qint64(start_busy) + TICK_AIR_BUDGET_MS)
            break;
    }
    if (finished.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        DL_list.erase(std::remove_if(DL_list.begin(), DL_list.end(),
                                     [&finished](const Entry& e) { return finished.contains(e.message); }),
                      DL_list.end());
    }
    for (dl_message_point* m : finished) {
        forget(m);
        delete m;
    }
}

// A name outside the phy tables would go out in another mode than the one asked for (code 0 on
// most back-ends), so no back-end is given one; except that the serial modem's version-0
// sequence sends PSK 200 whatever the name, which is how legacy senders (empty or absent "phy")
// have always reached it.
bool DL_sender::may_offer(const Entry& entry, DownlinkSlot slot)
{
    return entry.known || (entry.legacy && slot == DownlinkSlot::SerialModem);
}

IVexaTransmitter* DL_sender::choose(const Entry& entry, DownlinkSlot* slot)
{
    dl_message_point* message = entry.message;
    IVexaTransmitter* multi = backend(DownlinkSlot::MultiDigModulator);
    if (multi && may_offer(entry, DownlinkSlot::MultiDigModulator) && multi->is_phy_supported(message->phy)
        && multi->exam_dl(message)) {
        *slot = DownlinkSlot::MultiDigModulator;
        return multi;
    }
    if (multi && multi->channelsClaimed())
        return nullptr; // nothing else goes on the air while a channel sends
    for (DownlinkSlot s : {DownlinkSlot::DigModulator, DownlinkSlot::SerialModem, DownlinkSlot::SpiTransceiver}) {
        IVexaTransmitter* b = backend(s);
        if (b && may_offer(entry, s) && b->is_phy_supported(message->phy)) {
            *slot = s;
            return b;
        }
    }
    return nullptr;
}

bool DL_sender::takes_phy(const Entry& entry)
{
    for (DownlinkSlot s : kSlots) {
        IVexaTransmitter* b = backend(s);
        if (b && may_offer(entry, s) && b->is_phy_supported(entry.message->phy))
            return true;
    }
    return false;
}

bool DL_sender::sendDLMessage(const Entry& entry)
{
    dl_message_point* message = entry.message;
    DownlinkSlot slot = DownlinkSlot::SerialModem;
    IVexaTransmitter* chosen = choose(entry, &slot);
    // A busy back-end holds back only the requests it would take; the multi-channel modulator
    // says so through exam_dl().
    if (!chosen) {
        // Said once, so that an operator learns why a request never leaves without a line per tick.
        if (!takes_phy(entry) && offer_notes_.find(message) == offer_notes_.end()) {
            *this << dl_time() << " DL message for " << dl_id(message->modem_id)
                  << " waits: no back-end of this station takes phy \"" << LogText::escaped(message->phy)
                  << "\"; it is dropped at its deadline\n";
            offer_notes_[message] = OfferNote{};
        }
        return false;
    }
    if (slot != DownlinkSlot::MultiDigModulator && busy_[index_of(slot)])
        return false;
    const float corr = float(message->freq) * freq_correction / float(uplink_freq);
    // The limit is read for every request handed over, so a changed MAX_POWER applies at once;
    // a request that waits is not lowered by a limit that may be raised before it goes.
    const int limit = settCtrlr.getTransmitterParams().max_power_.toInt();
    if (dl_power_dbm(*message) > limit)
        message->strength = quint8(limit);
    // Formatted only when written: most offers of a waiting request write nothing.
    const QTime offered_at = QTime::currentTime();
    const auto offer = [&] {
        return offered_at.toString(QStringLiteral("hh:mm:ss:zzz")) + QStringLiteral(" DL message for ")
            + dl_id(message->modem_id) + QStringLiteral(" must be sent up to: ")
            + message->time_out_dated.toString(QStringLiteral("hh:mm:ss:zzz")) + QLatin1Char('\n');
    };

    // A request offered again to the back-end that refused it last keeps the back-end's lines
    // until they show whether anything changed; a first offer writes them as they come.
    const auto note = offer_notes_.find(message);
    const bool again = note != offer_notes_.end() && note->second.slot == index_of(slot);
    const QString last_reason = again ? note->second.reason : QString();
    if (!again)
        *this << offer();
    auto* lines = dynamic_cast<logger*>(chosen);
    QString said;
    if (lines)
        lines->capture(&said, !again);
    const bool done = chosen->sendDLMessage(message, double(corr));
    if (lines)
        lines->capture(nullptr, true);
    // A refusal that says nothing gives no new reason: the last one still stands.
    const QString reason = said.isEmpty() ? QString() : without_times(said);
    const bool changed = again && !reason.isEmpty() && reason != last_reason;
    if (again && (done || changed)) {
        *this << offer();
        if (lines && !said.isEmpty())
            *lines << said;
    }
    if (done)
        return true;
    if (!again || changed)
        offer_notes_[message] = OfferNote{index_of(slot), reason};
    return false;
}

// ----------------------------------------------------------------------------- autocorrection

quint32 DL_sender::modemID()
{
    if (IVexaTransmitter* modem = backend(DownlinkSlot::SerialModem))
        return modem->get_transmitter_id();
    if (backend(DownlinkSlot::SpiTransceiver))
        return 0x6E0000u + (base_id_ / 100u) * 256u + base_id_ % 100u;
    return 0;
}

void DL_sender::send_corr_message()
{
    if (need_auto_correction)
        send_corr_mes = true;
}

void DL_sender::set_corr_interval(int ms)
{
    if (!corr_timer)
        return;
    corr_timer->setInterval(ms);
    corr_timer->start();
}

IVexaTransmitter* DL_sender::autocorrection_backend()
{
    for (DownlinkSlot slot : kSlots) {
        if (IVexaTransmitter* b = backend(slot))
            return b;
    }
    return nullptr;
}

bool DL_sender::sendAutocorr()
{
    // An attempt no back-end can take now is not an attempt: it stays due and counts nothing.
    IVexaTransmitter* target = autocorrection_backend();
    if (!target || target->isBusy())
        return false;

    ++autocorr_try;
    if (autocorr_try > 1) {
        autocorr_power = std::min(autocorr_power + 3, 10);
        set_corr_interval(30000);
        if (autocorr_try > 3) {
            emit alarm_out(QStringLiteral("EVENT_AUTOCORR_ERR"));
            if (IVexaTransmitter* modem = backend(DownlinkSlot::SerialModem))
                modem->alarm_in(QStringLiteral("rebootAxsemSignal"));
            autocorr_try = 1;
        }
    }

    if (IVexaTransmitter* multi = backend(DownlinkSlot::MultiDigModulator)) {
        const qint64 since = clock_->monotonicMs();
        while (multi->isOngoing()) {
            if (clock_->monotonicMs() - since >= kIdleWaitLimitMs) {
                *this << dl_time() << " Multi-channel modulator still busy after " << int(kIdleWaitLimitMs)
                      << " ms: autocorrection packet sent anyway\n";
                break;
            }
            clock_->sleepMs(10);
        }
    }

    const quint32 freq = uplink_freq - 1000u;
    quint32 id = modemID();
    const bool radio = target == backend(DownlinkSlot::SerialModem) || target == backend(DownlinkSlot::SpiTransceiver);
    if (radio) {
        for (DownlinkSlot slot : {DownlinkSlot::DigModulator, DownlinkSlot::MultiDigModulator}) {
            if (IVexaTransmitter* b = backend(slot))
                b->switch_syntesizer_off();
        }
        if (target == backend(DownlinkSlot::SerialModem))
            id = 0;
    }
    if (!target->sendAutocorr(id, freq, autocorr_power))
        *this << dl_time() << " Autocorrection packet was not sent\n";
    return true;
}

void DL_sender::setULMessage(QSharedPointer<message_point> message)
{
    if (!need_auto_correction || !message)
        return;
    if (!is_own_echo_id(message->ID, modemID()))
        return;
    const qint32 delta = qint32(quint32(uplink_freq - 1000u - quint32(message->FREQ)));
    if (std::llabs(qint64(delta)) > 2999)
        return;
    if (autocal_cntr < 0)
        freq_correction = float(delta);
    else if (delta >= -1999 && delta <= 1999)
        freq_correction = float(0.7 * double(freq_correction) + 0.3 * double(delta));
    *this << dl_time() << " Autocorrection result: delta = " << delta << " ,d = " << delta
          << ", corr = " << freq_correction << "\n";
    _state |= STATE_AUTOCORR_VALID;
    autocal_cntr = 0;
    emit alarm_out(QStringLiteral("EVENT_AUTOCORR_OK"));
    autocorr_try = 0;
    if (message->SNR > 20.0f)
        autocorr_power = std::max(autocorr_power - 3, -20);
    set_corr_interval(300000);
    publish_snapshot();
}

void DL_sender::alarm_in(const QString& text)
{
    if (text != QLatin1String("rebootAxsemSignal"))
        return;
    emit alarm_out(text);
    if (need_auto_correction) {
        _state &= ~STATE_AUTOCORR_VALID;
        publish_snapshot();
    }
}

// ----------------------------------------------------------------------------- status

void DL_sender::publish_snapshot()
{
    Snapshot s;
    IVexaTransmitter* modem = backend(DownlinkSlot::SerialModem);
    IVexaTransmitter* spi = backend(DownlinkSlot::SpiTransceiver);
    if (modem)
        s.type = QStringLiteral("AX8052F143");
    else if (spi)
        s.type = QStringLiteral("AX5043");
    QList<vexa_phy_channel_t> phys;
    if (modem)
        phys += modem->get_supported();
    else if (spi)
        phys += spi->get_supported();
    for (DownlinkSlot slot : {DownlinkSlot::DigModulator, DownlinkSlot::MultiDigModulator}) {
        if (IVexaTransmitter* b = backend(slot)) {
            s.type += QStringLiteral("&DM");
            phys += b->get_supported();
        }
    }
    std::sort(phys.begin(), phys.end());
    phys.erase(std::unique(phys.begin(), phys.end()), phys.end());
    s.own_phys = phys;
    if (modem) {
        s.firmware_ver = modem->firmware_version();
        s.hardware_ver = modem->hardware_version();
    }
    s.state = _state;
    s.modem_id = modemID();
    s.busyness = dl_busyness;
    s.aver_busyness = aver_dl_busyness;
    last_publish_ = clock_->monotonicMs();
    std::lock_guard<std::mutex> lock(snapshot_mutex_);
    snapshot_ = s;
}

transmitter_info DL_sender::info()
{
    Snapshot s;
    {
        std::lock_guard<std::mutex> lock(snapshot_mutex_);
        s = snapshot_;
    }
    transmitter_info t;
    t.modem_id = s.modem_id;
    t.type = s.type;
    t.firmware_ver = s.firmware_ver;
    t.hardware_ver = s.hardware_ver;
    t.state = s.state;
    t.active = _active;
    t.busyness = s.busyness;
    t.aver_busyness = s.aver_busyness;
    const TransmitterParams tx = settCtrlr.getTransmitterParams();
    t.max_power = tx.max_power_.toInt();
    t.max_duty_cycle = tx.max_duty_cycle_.toUInt();
    t.lbt = tx.lbt_.toBool();
    t.base_freqs = tx.dl_freqs_;
    t.freq_plans.append(0);
    t.freq_plans += tx.freq_plans_;
    t.dl_bitrates.append(s.own_phys);
    t.dl_bitrates += tx.dl_bitrates_;
    return t;
}
