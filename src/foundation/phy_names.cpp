#include "phy_names.h"

#include <algorithm>
#include <cstring>

namespace {

struct phy_name_entry {
    const char* name;
    vexa_phy_channel_t sent_as; // vexa_fhy_from_str
    vexa_phy_channel_t own;     // vexa_fhy_from_str_right
};

// Compared in this order; the first match wins.
const phy_name_entry phy_names[] = {
    {"DL_PSK_200", UL_PSK_200, DL_PSK_200},
    {"DL_PSK_500", UL_PSK_500, DL_PSK_500},
    {"DL_PSK_5000", UL_PSK_5000, DL_PSK_5000},
    {"DL_PSK_FASTDL", UL_PSK_FASTDL, DL_PSK_FASTDL},
    {"DL_DBPSK_50_PROT_D", UL_DBPSK_50_PROT_D, DL_DBPSK_50_PROT_D},
    {"DL_DBPSK_50_PROT_E", UL_DBPSK_50_PROT_E, DL_DBPSK_50_PROT_E},
    {"DL_DBPSK_400_PROT_D", UL_DBPSK_400_PROT_D, DL_DBPSK_400_PROT_D},
    {"DL_DBPSK_400_PROT_E", UL_DBPSK_400_PROT_E, DL_DBPSK_400_PROT_E},
    {"DL_DBPSK_3200_PROT_D", UL_DBPSK_3200_PROT_D, DL_DBPSK_3200_PROT_D},
    {"DL_DBPSK_3200_PROT_E", UL_DBPSK_3200_PROT_E, DL_DBPSK_3200_PROT_E},
    {"DL_DBPSK_25600_PROT_D", UL_DBPSK_25600_PROT_D, DL_DBPSK_25600_PROT_D},
    {"DL_DBPSK_25600_PROT_E", UL_DBPSK_25600_PROT_E, DL_DBPSK_25600_PROT_E},
    {"UL_DBPSK_50_PROT_C", UL_DBPSK_50_PROT_C, UL_DBPSK_50_PROT_C},
    {"UL_DBPSK_50_PROT_D", UL_DBPSK_50_PROT_D, UL_DBPSK_50_PROT_D},
    {"UL_DBPSK_50_PROT_E", UL_DBPSK_50_PROT_E, UL_DBPSK_50_PROT_E},
    {"UL_PSK_200", UL_PSK_200, UL_PSK_200},
    {"UL_DBPSK_400_PROT_C", UL_DBPSK_400_PROT_C, UL_DBPSK_400_PROT_C},
    {"UL_DBPSK_400_PROT_D", UL_DBPSK_400_PROT_D, UL_DBPSK_400_PROT_D},
    {"UL_DBPSK_400_PROT_E", UL_DBPSK_400_PROT_E, UL_DBPSK_400_PROT_E},
    {"UL_PSK_500", UL_PSK_500, UL_PSK_500},
    {"UL_DBPSK_3200_PROT_D", UL_DBPSK_3200_PROT_D, UL_DBPSK_3200_PROT_D},
    {"UL_DBPSK_3200_PROT_E", UL_DBPSK_3200_PROT_E, UL_DBPSK_3200_PROT_E},
    {"UL_PSK_5000", UL_PSK_5000, UL_PSK_5000},
    {"UL_DBPSK_25600_PROT_D", UL_DBPSK_25600_PROT_D, UL_DBPSK_25600_PROT_D},
    {"UL_DBPSK_25600_PROT_E", UL_DBPSK_25600_PROT_E, UL_DBPSK_25600_PROT_E},
    {"UL_PSK_FASTDL", UL_PSK_FASTDL, UL_PSK_FASTDL},
    {"UL_CARRIER", UL_CARRIER, UL_CARRIER},
};

const phy_name_entry* find(const QString& name)
{
    for (const phy_name_entry& e : phy_names)
        if (name == QLatin1String(e.name))
            return &e;
    return nullptr;
}

// Bit rate per code 0..33.
const uint16_t bitrates[34] = {
    200, 500, 5000, 57600,       // 0..3
    0, 0, 0, 0, 0, 0,            // 4..9
    50, 400, 3200, 25600,        // 10..13
    50, 400, 3200, 25600,        // 14..17
    0, 0,                        // 18, 19
    50, 50, 200, 400, 400, 500,  // 20..25
    3200, 5000, 25600, 57600,    // 26..29
    50, 400, 3200, 25600,        // 30..33
};

} // namespace

vexa_phy_channel_t vexa_fhy_from_str(const QString& name)
{
    const phy_name_entry* e = find(name);
    return e ? e->sent_as : vexa_phy_channel_t(0);
}

vexa_phy_channel_t vexa_fhy_from_str_right(const QString& name)
{
    const phy_name_entry* e = find(name);
    return e ? e->own : vexa_phy_channel_t(0);
}

bool vexa_phy_name_known(const QString& name)
{
    return find(name) != nullptr;
}

int vexa_phy_name_max_length()
{
    static const int longest = [] {
        size_t n = 0;
        for (const phy_name_entry& e : phy_names)
            n = std::max(n, std::strlen(e.name));
        return int(n);
    }();
    return longest;
}

uint32_t bitrate_from_phy(const vexa_phy_channel_t& code)
{
    const int c = static_cast<int>(code);
    if (c < 0 || c > 33)
        return 0;
    return bitrates[c];
}
