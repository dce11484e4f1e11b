#include "MultiDigTransmitter.h"

#include "dl_log.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
constexpr int32_t kDefaultStep = 100000;
constexpr int32_t kDefaultBandwidth = 4000000;
constexpr int kMaxChannels = 255;
constexpr int kFullPower = 30;

bool fits_int32(qint64 v)
{
    return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
}
} // namespace

MultiDigTransmitter::MultiDigTransmitter(SettingsController& settings,
                                         std::shared_ptr<Base_Pin_Controller> pin_controller, QObject* parent,
                                         std::shared_ptr<StationClock> clock)
    : IVexaTransmitter(nullptr), logger(settings.getBS_ParamsCopy().logpath_.toString()),
      _support_list{DL_DBPSK_50_PROT_D, DL_DBPSK_400_PROT_D, DL_DBPSK_3200_PROT_D, DL_DBPSK_25600_PROT_D,
                    DL_DBPSK_50_PROT_E, DL_DBPSK_400_PROT_E, DL_DBPSK_3200_PROT_E, DL_DBPSK_25600_PROT_E},
      settCtrlr(settings), clock_(clock ? std::move(clock) : StationClock::system())
{
    Q_UNUSED(parent)
    // Settings that would divide by zero, overflow or reach an undefined conversion fall back,
    // each with a line in the log (written to the scheduler's log path, which it sets again).
    const TransmitterParams tp = settings.getTransmitterParams();
    const int count = tp.dl_ch_count_.toInt();
    _ch_count = channels_from(tp);
    if (_ch_count != count)
        *this << dl_time() << " DL_CH_COUNT " << count << " out of 1.." << kMaxChannels << ": " << _ch_count
              << " channels used\n";
    _dl_save_window = tp.dl_save_window_.toDouble();
    if (!std::isfinite(_dl_save_window) || _dl_save_window < 0.0) {
        *this << dl_time() << " DL_SAVE_WINDOW " << tp.dl_save_window_.toString() << " is not a usable factor: 1.0 used\n";
        _dl_save_window = 1.0;
    }
    _filter_offset = tp.dl_filter_offset_.toInt();
    _sinth_freq = tp.dl_sinth_freq_.toInt();
    _sinth_freq_step = tp.dl_sinth_freq_step_.toInt();
    if (_sinth_freq <= 0 && _sinth_freq_step <= 0) {
        *this << dl_time() << " DL_SINTH_FREQ_STEP " << _sinth_freq_step << " is not a step: " << kDefaultStep
              << " used\n";
        _sinth_freq_step = kDefaultStep;
    }
    _bandwidth = bandwidth_from(tp);
    if (_bandwidth != tp.dl_sinth_bandwidth_.toInt())
        *this << dl_time() << " DL_SINTH_BANDWIDTH " << tp.dl_sinth_bandwidth_.toInt() << " is not a bandwidth: "
              << _bandwidth << " used\n";

    _modulators.resize(size_t(_ch_count));
    for (int i = 0; i < _ch_count; ++i) {
        auto mod = std::make_unique<multidig_mod>(pin_controller, uint32_t(i) << 8, _bandwidth);
        mod->set_saturation_sink([this](multidig_mod::Saturated kind) { on_saturated(kind); });
        mod->init();
        _modulators[size_t(i)].p = std::move(mod);
    }
    _modulators[0].p->set_sinth_freq(0);
    _sinth_disabled = true;

    _ch_power_reduce = int(20.0 * std::log10(double(_ch_count)));
    _max_power = kFullPower - _ch_power_reduce;

    _send_timer = new QTimer(this);
    _send_timer->setInterval(CONTROLLER_MS);
    connect(_send_timer, &QTimer::timeout, this, &MultiDigTransmitter::send_controller);
    _send_timer->start();
}

int MultiDigTransmitter::channels_from(const TransmitterParams& params)
{
    return std::clamp(params.dl_ch_count_.toInt(), 1, kMaxChannels);
}

int32_t MultiDigTransmitter::bandwidth_from(const TransmitterParams& params)
{
    const int bw = params.dl_sinth_bandwidth_.toInt();
    return bw > 0 ? bw : kDefaultBandwidth;
}

// The synthesizer is left as it is: the station may be going down with a frame on the air.
MultiDigTransmitter::~MultiDigTransmitter() = default;

bool MultiDigTransmitter::is_phy_supported(const QString& phy)
{
    return multidig_mod::to_mod_bitrate(phy) != MOD_UNSUPPORTED;
}

quint32 MultiDigTransmitter::get_transmitter_id()
{
    return 0;
}

bool MultiDigTransmitter::isBusy()
{
    send_controller();
    return get_free_count_mod() == 0;
}

QList<vexa_phy_channel_t> MultiDigTransmitter::get_supported()
{
    return _support_list;
}

qint32 MultiDigTransmitter::get_max_power()
{
    return _max_power;
}

void MultiDigTransmitter::switch_syntesizer_off()
{
    _modulators[0].p->set_sinth_freq(0);
    _sinth_disabled = true;
}

bool MultiDigTransmitter::isOngoing()
{
    send_controller();
    return get_free_count_mod() < _ch_count;
}

bool MultiDigTransmitter::channelsClaimed()
{
    return get_free_count_mod() < _ch_count;
}

uint8_t MultiDigTransmitter::get_free_mod() const
{
    for (size_t ch = 0; ch < _modulators.size(); ++ch) {
        if (!_modulators[ch].ongoing)
            return uint8_t(ch);
    }
    return NO_CHANNEL;
}

uint8_t MultiDigTransmitter::get_free_count_mod() const
{
    return uint8_t(std::count_if(_modulators.begin(), _modulators.end(), [](const send_info& s) { return !s.ongoing; }));
}

int32_t MultiDigTransmitter::sinth_for(int32_t freq) const
{
    if (_sinth_freq > 0)
        return _sinth_freq;
    const qint64 s = (qint64(freq) + _sinth_freq_step) / _sinth_freq_step * _sinth_freq_step;
    return fits_int32(s) ? int32_t(s) : 0;
}

bool MultiDigTransmitter::exam_dl(dl_message_point* message)
{
    const uint16_t b = multidig_mod::phy_to_bitrate(multidig_mod::to_mod_bitrate(message->phy));
    const double w = _dl_save_window;
    const qint64 f = message->freq;
    if (get_free_count_mod() == 0)
        return false;
    if (!fits_int32(f))
        return false;
    // The band the request would be sent in: that of the synthesizer already on, or the one
    // its own carrier would switch on. The NCO reaches only half the bandwidth either side.
    const qint64 s = _sinth_disabled ? qint64(sinth_for(int32_t(f))) : qint64(_sinth_freq_ongoing);
    if (s <= 0 || std::llabs(f - s) * 2 >= qint64(_bandwidth))
        return false;
    if (_sinth_freq <= 0 && !_sinth_disabled) {
        const qint64 d = qint64(_sinth_freq_ongoing) - f;
        if (d < 0 || d > _sinth_freq_step)
            return false;
    }
    const qint64 h = qint64(double(b) * w) / 2;
    const qint64 lo = f - h;
    const qint64 hi = f + h;
    // Every claimed channel: they are released in any order, so one above a free channel may
    // still be on the air.
    for (const send_info& c : _modulators) {
        if (!c.ongoing)
            continue;
        if (w > 0.1 && c.freq_start <= hi && c.freq_end >= lo)
            return false;
        if (c.modem_id == message->modem_id)
            return false;
    }
    return true;
}

int8_t MultiDigTransmitter::attenuation_argument(int a) const
{
    return int8_t(-std::clamp(a, 0, 127));
}

void MultiDigTransmitter::switch_synthesizer_on(int32_t s, bool with_filter)
{
    multidig_mod& ch0 = *_modulators[0].p;
    ch0.set_sinth_freq(uint32_t(s));
    ch0.set_sinth_freq(uint32_t(s));
    if (with_filter) {
        const qint64 ul = settCtrlr.getBS_ParamsCopy().uplink_freq_.toLongLong();
        const qint64 f = _filter_offset > 0 ? qint64(_filter_offset) : std::llabs(ul - qint64(s));
        ch0.set_filter50khz_offset(uint32_t(std::min<qint64>(f, std::numeric_limits<uint32_t>::max())));
    }
    _sinth_freq_ongoing = s;
    _sinth_disabled = false;
}

void MultiDigTransmitter::claim(uint8_t ch, uint32_t modem_id, int32_t freq, uint16_t bitrate, bool autocorrection)
{
    send_info& c = _modulators[ch];
    c.t = clock_->monotonicMs();
    c.ongoing = true;
    c.modem_id = modem_id;
    c.freq = freq;
    c.bitrate = int32_t(double(bitrate) * _dl_save_window);
    c.freq_start = c.freq - c.bitrate / 2;
    c.freq_end = c.freq + c.bitrate / 2;
    c.autocorrection = autocorrection;
}

bool MultiDigTransmitter::sendDLMessage(dl_message_point* message, double corr_freq)
{
    Q_UNUSED(corr_freq) // the channel sends on the request's own carrier
    const uint8_t ch = get_free_mod();
    if (ch == NO_CHANNEL)
        return false;
    dl_message_point& m = *message;
    if (!fits_int32(m.freq))
        return false;
    const int32_t f = int32_t(m.freq);

    int strength = dl_power_dbm(m);
    int a = 0;
    if (strength < _max_power) {
        a = _max_power - strength;
    } else if (strength > _max_power) {
        m.strength = quint8(_max_power);
        strength = _max_power;
    }

    // A request no frame exists for takes no channel and sends nothing.
    const DlFrameForm form = dl_frame_form(m);
    if (form == DlFrameForm::ProtDOld) {
        *this << dl_time() << dl_old_version_line(m) << "\n";
        return true;
    }
    if (form == DlFrameForm::Unsupported) {
        *this << dl_time() << " Send Zadov5 DL message by dig_mod for current phy is unsupported, ID: "
              << dl_send_fields(m, true) << "\n";
        return true;
    }

    if (_sinth_disabled) {
        const int32_t s = sinth_for(f);
        if (s <= 0)
            return false;
        switch_synthesizer_on(s, true);
    }
    const int32_t offset = int32_t(qint64(f) - _sinth_freq_ongoing);
    const mod_bitrate_s rate = multidig_mod::to_mod_bitrate(m.phy);
    multidig_mod& mod = *_modulators[ch].p;
    mod.set_pwr(attenuation_argument(a), uint8_t(_ch_count));
    claim(ch, m.modem_id, f, multidig_mod::phy_to_bitrate(rate), false);

    switch (form) {
    case DlFrameForm::ProtE5:
        *this << dl_time() << " Send Zadov5 DL message by dig_mod to ID: " << dl_send_fields(m, true) << "\n";
        mod.sendDL_DBPSK_ProtE_ver5(m.modem_id, m.preambula, m.crypto_iter, m.crypto_flags, m.payload, m.crypto_mic,
                                    offset, rate);
        break;
    case DlFrameForm::ProtD4:
        *this << dl_time() << " Send Zadar4 DL message by dig_mod to ID: " << dl_send_fields(m, false) << "\n";
        mod.sendDL_DBPSK_ProtD_ver4(m.modem_id, dl_v4_flags(m), m.payload, m.payload[8], offset, rate);
        break;
    case DlFrameForm::ProtD5:
        *this << dl_time() << " Send Zadov5 DL message by dig_mod to ID: " << dl_send_fields(m, true) << "\n";
        mod.sendDL_DBPSK_ProtD_ver5(m.preambula, m.crypto_iter, m.crypto_flags, m.payload, m.crypto_mic, offset, rate);
        break;
    case DlFrameForm::ProtDOld:
    case DlFrameForm::Unsupported:
        break;
    }
    return true;
}

bool MultiDigTransmitter::sendAutocorr(quint32 id, quint32 freq, qint32 power)
{
    const uint8_t ch = get_free_mod();
    if (ch == NO_CHANNEL || !fits_int32(freq))
        return false;
    *this << dl_time() << " Send autocorrection packet by dig_mod\n";
    const int a = (_max_power > power ? _max_power - power : 0) + _ch_power_reduce;
    if (_sinth_disabled) {
        const int32_t s = sinth_for(int32_t(freq));
        if (s <= 0)
            return false;
        switch_synthesizer_on(s, false);
    }
    multidig_mod& mod = *_modulators[ch].p;
    mod.set_pwr(attenuation_argument(a), uint8_t(_ch_count));
    // Claimed like a downlink, so the channel is neither given away nor left without its
    // synthesizer while the frame is on the air.
    claim(ch, id, int32_t(freq), multidig_mod::phy_to_bitrate(MOD_DBPSK_50_PROT_D), true);
    mod.sendDL_DBPSK_ProtD_autocorrection(id, int32_t(qint64(freq) - _sinth_freq_ongoing));
    return true;
}

void MultiDigTransmitter::alarm_in(const QString& text)
{
    Q_UNUSED(text)
}

void MultiDigTransmitter::send_controller()
{
    bool any = false;
    for (send_info& c : _modulators) {
        if (!c.ongoing)
            continue;
        if (c.p->isBusy()) {
            any = true;
            continue;
        }
        if (!c.autocorrection)
            *this << dl_time() << " Successfully sent DL message by dig_mod to ID: " << dl_id(c.modem_id) << "\n";
        _busy_msec += quint32(std::max<qint64>(0, clock_->monotonicMs() - c.t));
        c.ongoing = false;
        c.autocorrection = false;
        c.freq = 0;
        c.bitrate = 0;
        c.modem_id = 0;
    }
    if (!any && !_sinth_disabled) {
        _modulators[0].p->set_sinth_freq(0);
        _sinth_disabled = true;
    }
}

quint32 MultiDigTransmitter::get_busy_msec()
{
    const qint64 now = clock_->monotonicMs();
    for (send_info& c : _modulators) {
        if (!c.ongoing)
            continue;
        _busy_msec += quint32(std::max<qint64>(0, now - c.t));
        c.t = now;
    }
    const quint32 result = _busy_msec / quint32(_ch_count);
    _busy_msec = 0;
    return result;
}

void MultiDigTransmitter::on_saturated(multidig_mod::Saturated kind)
{
    bool& logged = kind == multidig_mod::Saturated::Nco ? nco_saturation_logged_ : filter_saturation_logged_;
    if (logged)
        return;
    logged = true;
    *this << dl_time() << (kind == multidig_mod::Saturated::Nco ? " NCO" : " Filter")
          << " offset beyond the modulator's range for bandwidth " << _bandwidth
          << " Hz: its word is held at the int32 limit\n";
}
