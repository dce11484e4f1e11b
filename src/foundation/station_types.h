#pragma once

#include <QMetaType>
#include <QtGlobal>

// Enumerations shared by configuration, readers, transmitters and the heartbeat.
// They stay unscoped: their enumerator names are used bare across the station code.

enum BS_Type : qint32 { QORM = 0, Quabo = 1, TCPBS = 2, QORM_LTE = 3, Unknown_Type = 4 };

// Value = bit rate in bit/s.
enum BS_Bitrates : qint32 { bt_Unknown = 0, bt50 = 50, bt125 = 125, bt400 = 400, bt3200 = 3200, bt25600 = 25600 };

enum Protocol_Types : quint8 { Protocol_C = 1, Protocol_D = 2, Protocol_E = 3 };

enum Demod_Methods : qint32 { Demod_Unknown = 0, Demod_CRC = 1, Demod_1_2 = 2, Demod_1_3 = 3 };

enum Bands : qint32 { Band1 = 0, Band2 = 1 };

enum LED_Color : qint32 { Green = 0, Red = 1, Yellow = 2, Switched_Off = 3 };

enum PIN_State : qint32 { low = 0, high = 1, fault = 2 };

enum PIN_Edge : qint32 { RISING = 0, FALLING = 1, EITHER = 2 };

enum SPI_ChipSelect : qint32 { CS0 = 0, CS1 = 1 };

// Phy channel codes: link direction, modulation, bit rate, protocol.
// Codes 4..9, 19 and 36..49 have no name.
enum vexa_phy_channel_t : qint32 {
    DL_PSK_200 = 0,
    DL_PSK_500 = 1,
    DL_PSK_5000 = 2,
    DL_PSK_FASTDL = 3,
    DL_DBPSK_50_PROT_D = 10,
    DL_DBPSK_400_PROT_D = 11,
    DL_DBPSK_3200_PROT_D = 12,
    DL_DBPSK_25600_PROT_D = 13,
    DL_DBPSK_50_PROT_E = 14,
    DL_DBPSK_400_PROT_E = 15,
    DL_DBPSK_3200_PROT_E = 16,
    DL_DBPSK_25600_PROT_E = 17,
    DL_DBPSK_100H_PROT_D = 18,
    UL_DBPSK_50_PROT_C = 20,
    UL_DBPSK_50_PROT_D = 21,
    UL_PSK_200 = 22,
    UL_DBPSK_400_PROT_C = 23,
    UL_DBPSK_400_PROT_D = 24,
    UL_PSK_500 = 25,
    UL_DBPSK_3200_PROT_D = 26,
    UL_PSK_5000 = 27,
    UL_DBPSK_25600_PROT_D = 28,
    UL_PSK_FASTDL = 29,
    UL_DBPSK_50_PROT_E = 30,
    UL_DBPSK_400_PROT_E = 31,
    UL_DBPSK_3200_PROT_E = 32,
    UL_DBPSK_25600_PROT_E = 33,
    UL_DBPSK_100H_PROT_D = 34,
    UL_DBPSK_100H_PROT_E = 35,
    UL_CARRIER = 50,
    OSC_CAL = 51
};

// Registered under the name "Bands" the first time its id is asked for (the id is cached),
// so the spectrum signal can cross threads.
Q_DECLARE_METATYPE(Bands)
Q_DECLARE_METATYPE(vexa_phy_channel_t)
