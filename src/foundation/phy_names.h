#pragma once

#include "station_types.h"

#include <QString>

#include <cstdint>

// Phy name of a downlink request -> code of the uplink mode with the same modulation and rate
// (what the radio back-ends send with). Unknown names give 0.
vexa_phy_channel_t vexa_fhy_from_str(const QString& name);

// Phy name -> its own code (downlink names give downlink codes). Unknown names give 0, the same
// as "DL_PSK_200": check vexa_phy_name_known() to refuse them.
vexa_phy_channel_t vexa_fhy_from_str_right(const QString& name);

// True when name is one of the phy names the two conversions know (exact, case-sensitive).
bool vexa_phy_name_known(const QString& name);

// Length of the longest phy name the conversions know: a longer text names no phy.
int vexa_phy_name_max_length();

// Bit rate in bit/s of a phy code; 0 for codes without a rate, negative codes and codes above 33.
uint32_t bitrate_from_phy(const vexa_phy_channel_t& code);
