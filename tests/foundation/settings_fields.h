#pragma once

// Names every configured value of a SettingsController as "<record>.<field>" so that test tables
// can say which field a case checks.
#include "SettingsController.h"

#include <QStringList>
#include <QVariant>

inline QVariant settingsField(const SettingsController& c, const QString& name)
{
    const BaseStationParams bs = c.getBS_ParamsCopy();
    const TransmitterParams tx = c.getTransmitterParams();
    const CommunicationParams cm = c.getSerialCommunicationParams();
    const SecondaryRabbitParams sec = c.getSecondaryRabbitParams();
    const SecondaryRabbitParams third = c.getThirdRabbitParams();
    const QString record = name.section(QLatin1Char('.'), 0, 0);
    const QString field = name.section(QLatin1Char('.'), 1);
#define F(rec, obj, f) if (record == QLatin1String(rec) && field == QLatin1String(#f)) return obj.f;
    F("bs", bs, gpio_led_red) F("bs", bs, gpio_led_green) F("bs", bs, gpio_pps_en) F("bs", bs, gpio_di)
    F("bs", bs, tcp_rs_) F("bs", bs, tcp_rs_timeout_) F("bs", bs, tcp_port_) F("bs", bs, tcp_ttl_)
    F("bs", bs, tcp_ttl_timeout_) F("bs", bs, base_id_) F("bs", bs, logpath_) F("bs", bs, errlogpath_)
    F("bs", bs, LogOffsetRaw_) F("bs", bs, LogOffset_) F("bs", bs, if_freq_) F("bs", bs, if_freq2_)
    F("bs", bs, uplink_freq_) F("bs", bs, update_artix_on_start_) F("bs", bs, use_window_) F("bs", bs, ext_filter_)
    F("bs", bs, use_one_sec_pulse_test_) F("bs", bs, save_to_disk_) F("bs", bs, stream_offset_)
    F("bs", bs, threshold50_) F("bs", bs, threshold125_) F("bs", bs, threshold400_) F("bs", bs, threshold3200_)
    F("bs", bs, threshold25600_) F("bs", bs, use_binary_) F("bs", bs, r_host_) F("bs", bs, r_user_)
    F("bs", bs, r_pass_) F("bs", bs, qorm_) F("bs", bs, r_login_) F("bs", bs, r_exchange_)
    F("bs", bs, r_routing_key_) F("bs", bs, r_vhost_) F("bs", bs, meslog_ttl_) F("bs", bs, mode_)
    F("bs", bs, time_sync_) F("bs", bs, ntp_) F("bs", bs, lna_level)
    F("tx", tx, need_auto_correction_) F("tx", tx, dl_freq_) F("tx", tx, dl_freq2_) F("tx", tx, send_dl_)
    F("tx", tx, dl_ch_count_) F("tx", tx, dl_sinth_freq_) F("tx", tx, dl_filter_offset_)
    F("tx", tx, dl_sinth_freq_step_) F("tx", tx, dl_sinth_bandwidth_) F("tx", tx, dl_save_window_)
    F("tx", tx, dig_mod_) F("tx", tx, max_power_) F("tx", tx, max_duty_cycle_) F("tx", tx, lbt_)
    F("comm", cm, serialPortName_) F("comm", cm, baudRate_) F("comm", cm, slip_crc_)
#define R(rec, obj) \
    F(rec, obj, enable_) F(rec, obj, has_cmd_) F(rec, obj, has_dl_) F(rec, obj, has_ul_) F(rec, obj, r_host_) \
    F(rec, obj, r_pass_) F(rec, obj, r_user_) F(rec, obj, r_login_) F(rec, obj, r_exchange_) \
    F(rec, obj, r_routing_key_) F(rec, obj, r_vhost_) F(rec, obj, save_to_disk_) F(rec, obj, log_file_path_)
    R("sec", sec) R("third", third)
#undef R
#undef F
    if (name == QLatin1String("bs.bs_type"))
        return int(bs.bs_type);
    if (name == QLatin1String("rev_lo"))
        return c.rev_lo();
    if (name == QLatin1String("bs.koeffs")) {
        QStringList words;
        for (auto it = bs.koeffs.cbegin(); it != bs.koeffs.cend(); ++it)
            words << QStringLiteral("%1=%2").arg(it.key()).arg(it.value());
        return words.join(QLatin1Char(' '));
    }
    if (name == QLatin1String("tx.dl_freqs_")) {
        QStringList f;
        for (quint32 v : tx.dl_freqs_)
            f << QString::number(v);
        return f.join(QLatin1Char(','));
    }
    if (name == QLatin1String("tx.plans")) {
        QStringList plans;
        for (int i = 0; i < tx.freq_plans_.size(); ++i) {
            QStringList codes;
            for (vexa_phy_channel_t code : tx.dl_bitrates_.value(i))
                codes << QString::number(int(code));
            plans << QStringLiteral("%1:%2").arg(tx.freq_plans_[i]).arg(codes.join(QLatin1Char(',')));
        }
        if (tx.freq_plans_.size() != tx.dl_bitrates_.size())
            plans << QStringLiteral("LENGTH MISMATCH");
        return plans.join(QLatin1Char('|'));
    }
    qFatal("unknown settings field %s", qPrintable(name));
    return QVariant();
}
