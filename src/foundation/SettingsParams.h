#pragma once

#include "station_types.h"

#include <QList>
#include <QMap>
#include <QVariant>

// Parameter records filled from the station's INI file. A key that is not configured and has no
// built-in default stays an invalid QVariant; every reader tests validity and falls back on its
// own default.

// Default of BASE_STATION/LOG_FILE_PATH.
extern const char* const DEFAULT_LOG_PATH;

// Group BASE_STATION.
struct BaseStationParams {
    QVariant gpio_led_red;
    QVariant gpio_led_green;
    QVariant gpio_pps_en;
    QVariant gpio_di;
    QVariant tcp_rs_;
    QVariant tcp_rs_timeout_;
    QVariant tcp_port_;
    QVariant tcp_ttl_;
    QVariant tcp_ttl_timeout_;
    QVariant base_id_;
    QVariant logpath_;
    QVariant errlogpath_;
    QVariant LogOffsetRaw_;
    QVariant LogOffset_;
    QVariant if_freq_;
    QVariant if_freq2_;
    QVariant uplink_freq_;
    QVariant update_artix_on_start_;
    QVariant use_window_;
    QVariant ext_filter_;
    QVariant use_one_sec_pulse_test_;
    QMap<qint16, quint32> koeffs; // ADF4350 register words K0..K5 by index
    QVariant save_to_disk_;
    QVariant stream_offset_;
    QVariant threshold50_;
    QVariant threshold125_;
    QVariant threshold400_;
    QVariant threshold3200_;
    QVariant threshold25600_;
    QVariant use_binary_;
    QVariant r_host_;
    QVariant r_user_;
    QVariant r_pass_;
    QVariant qorm_;
    QVariant r_login_;
    QVariant r_exchange_;
    QVariant r_routing_key_;
    QVariant r_vhost_;
    QVariant meslog_ttl_;
    QVariant mode_;
    QVariant time_sync_;
    QVariant ntp_;
    BS_Type bs_type = Unknown_Type;
    QVariant lna_level;

    void reset() { *this = BaseStationParams(); }
};

// Group TRANSMITTER. dl_bitrates_[i] holds the phy codes of plan freq_plans_[i]: the two lists
// always have the same length.
struct TransmitterParams {
    QVariant need_auto_correction_;
    QVariant dl_freq_;
    QVariant dl_freq2_;
    QVariant send_dl_;
    QVariant dl_ch_count_;
    QVariant dl_sinth_freq_;
    QVariant dl_filter_offset_;
    QVariant dl_sinth_freq_step_;
    QVariant dl_sinth_bandwidth_;
    QVariant dl_save_window_;
    QVariant dig_mod_;
    QVariant max_power_;
    QVariant max_duty_cycle_;
    QVariant lbt_;
    QList<quint32> dl_freqs_;
    QList<quint32> freq_plans_;
    QList<QList<vexa_phy_channel_t>> dl_bitrates_;

    void reset() { *this = TransmitterParams(); }
};

// Group Comunications: the serial link of the radio modem.
struct CommunicationParams {
    QVariant serialPortName_;
    QVariant baudRate_;
    QVariant slip_crc_;

    void reset() { *this = CommunicationParams(); }
};

// Groups SECONDARY_RABBIT and THIRD_RABBIT: the extra broker links.
struct SecondaryRabbitParams {
    QVariant enable_;
    QVariant has_cmd_;
    QVariant has_dl_;
    QVariant has_ul_;
    QVariant r_host_;
    QVariant r_pass_;
    QVariant r_user_;
    QVariant r_login_;
    QVariant r_exchange_;
    QVariant r_routing_key_;
    QVariant r_vhost_;
    QVariant save_to_disk_;
    QVariant log_file_path_;

    void reset() { *this = SecondaryRabbitParams(); }
};
