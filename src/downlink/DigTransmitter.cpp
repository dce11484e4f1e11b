#include "DigTransmitter.h"

#include "dl_log.h"

#include <algorithm>

const QList<vexa_phy_channel_t> DigTransmitter::DL_BIT_RATES = {
    DL_DBPSK_50_PROT_D, DL_DBPSK_400_PROT_D, DL_DBPSK_3200_PROT_D, DL_DBPSK_25600_PROT_D,
    DL_DBPSK_50_PROT_E, DL_DBPSK_400_PROT_E, DL_DBPSK_3200_PROT_E, DL_DBPSK_25600_PROT_E,
};

DigTransmitter::DigTransmitter(SettingsController& settings, std::shared_ptr<Base_Pin_Controller> pin_controller,
                               QObject* parent, std::shared_ptr<StationClock> clock, int poll_limit)
    : IVexaTransmitter(nullptr), logger(QString()),
      _modulator(std::move(pin_controller), std::move(clock), poll_limit), settCtrlr(settings)
{
    Q_UNUSED(parent)
    _modulator.init();
}

DigTransmitter::~DigTransmitter() = default;

bool DigTransmitter::is_phy_supported(const QString& phy)
{
    return dig_mod::to_mod_bitrate(phy) != MOD_UNSUPPORTED;
}

quint32 DigTransmitter::get_transmitter_id()
{
    return 0;
}

bool DigTransmitter::isBusy()
{
    return false;
}

QList<vexa_phy_channel_t> DigTransmitter::get_supported()
{
    return DL_BIT_RATES;
}

qint32 DigTransmitter::get_max_power()
{
    return MAX_POWER;
}

void DigTransmitter::switch_syntesizer_off()
{
    _modulator.init();
}

int8_t DigTransmitter::power_argument(int dbm)
{
    if (dbm >= MAX_POWER)
        return 0;
    return int8_t(std::max(dbm - MAX_POWER, -128));
}

void DigTransmitter::send_line(const char* what, const dl_message_point& m, bool crypto)
{
    *this << dl_time() << what << dl_send_fields(m, crypto) << "\n";
}

bool DigTransmitter::sendDLMessage(dl_message_point* message, double corr_freq)
{
    Q_UNUSED(corr_freq) // the modulator sends on the request's own frequency
    dl_message_point& m = *message;
    if (dl_power_dbm(m) > MAX_POWER)
        m.strength = quint8(MAX_POWER);
    _modulator.set_pwr(power_argument(dl_power_dbm(m)));

    const mod_bitrate_s rate = dig_mod::to_mod_bitrate(m.phy);
    bool done = false;
    switch (dl_frame_form(m)) {
    case DlFrameForm::ProtE5:
        send_line(" Send Zadov5 DL message by dig_mod to ID: ", m, true);
        done = _modulator.sendDL_DBPSK_ProtE_ver5(m.modem_id, m.preambula, m.crypto_iter, m.crypto_flags, m.payload,
                                                  m.crypto_mic, m.freq, rate);
        break;
    case DlFrameForm::ProtD4:
        send_line(" Send Zadar4 DL message by dig_mod to ID: ", m, false);
        done = _modulator.sendDL_DBPSK_ProtD_ver4(m.modem_id, dl_v4_flags(m), m.payload, m.payload[8], m.freq, rate);
        break;
    case DlFrameForm::ProtD5:
        send_line(" Send Zadov5 DL message by dig_mod to ID: ", m, true);
        done = _modulator.sendDL_DBPSK_ProtD_ver5(m.preambula, m.crypto_iter, m.crypto_flags, m.payload, m.crypto_mic,
                                                  m.freq, rate);
        break;
    case DlFrameForm::ProtDOld:
        // No frame form exists for it: dropped with a trace rather than reported sent.
        *this << dl_time() << dl_old_version_line(m) << "\n";
        return true;
    case DlFrameForm::Unsupported:
        send_line(" Send Zadov5 DL message by dig_mod for current phy is unsupported, ID: ", m, true);
        return true;
    }
    if (done)
        *this << dl_time() << " Successfully sent DL message by dig_mod to ID: " << dl_id(m.modem_id) << "\n";
    else
        *this << dl_time() << " Send timeout! DL message by dig_mod to ID: " << dl_id(m.modem_id)
              << " was never reported sent\n";
    return true;
}

bool DigTransmitter::sendAutocorr(quint32 id, quint32 freq, qint32 power)
{
    *this << dl_time() << " Send autocorrection packet by dig_mod\n";
    _modulator.set_pwr(power_argument(power));
    if (!_modulator.sendDL_DBPSK_ProtD_autocorrection(id, freq))
        *this << dl_time() << " Send timeout! Autocorrection packet by dig_mod was never reported sent\n";
    return true;
}

void DigTransmitter::alarm_in(const QString& text)
{
    Q_UNUSED(text)
}
