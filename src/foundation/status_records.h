#pragma once

#include "station_types.h"

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

// Description of the receiver FPGA.
struct FPGA_Param_Info {
    quint32 firmware_ver = 0;
    quint32 hardware_ver = 0;
    QDateTime compilation_dt;
    BS_Type fpga_bs_type = Unknown_Type;
    quint8 fpga_rpi_protocol_version = 0;
    QList<vexa_phy_channel_t> supported_ul_bitrates_band1;
    quint32 bandwidth1 = 0;
    quint32 bandwidth2 = 0;
    QList<vexa_phy_channel_t> supported_ul_bitrates_band2;
};

// What a receiver reports for the heartbeat.
struct receiver_info {
    float aver_noiseBand1 = 0.0f;
    float aver_noiseBand2 = 0.0f;
    quint32 state = 0;
    bool active = false;
    qint32 band1_offset = 0;
    qint32 band2_offset = 0;
    FPGA_Param_Info fpga_info_;
    float fpga_temperature_ = 0.0f;
};

// What a transmitter reports for the heartbeat; dl_bitrates runs parallel to freq_plans.
struct transmitter_info {
    QString type;
    quint32 firmware_ver = 0;
    quint32 hardware_ver = 0;
    QDateTime compilation_dt;
    quint32 state = 0;
    bool active = false;
    quint32 modem_id = 0;
    float busyness = 0.0f;
    float aver_busyness = 0.0f;
    qint32 max_power = 0;
    quint32 max_duty_cycle = 0;
    bool lbt = false;
    QList<uint> base_freqs;
    QList<uint> freq_plans;
    QList<QList<vexa_phy_channel_t>> dl_bitrates;
};

Q_DECLARE_METATYPE(receiver_info)
Q_DECLARE_METATYPE(transmitter_info)
