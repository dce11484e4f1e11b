#include "ax5043_config.h"

#include "ax5043.h"

#include <array>

uint8_t radio_phy_nrchannels = 1;
uint32_t radio_phy_chanfreq[1] = {0};
uint8_t radio_phy_chanpllrnginit[1] = {0};
uint8_t radio_phy_chanvcoiinit[1] = {0};
uint8_t radio_phy_chanpllrng[1] = {0};
uint8_t radio_phy_chanvcoi[1] = {0};
uint8_t radio_phy_vcocalib = 0;
int32_t radio_phy_maxfreqoffset = 0;
int8_t radio_phy_rssioffset = 0;
int8_t radio_phy_rssireference = 0;
uint8_t radio_phy_channelbusy = 0;
uint16_t radio_phy_cs_period = 0;
uint8_t radio_phy_cs_enabled = 0;
uint8_t radio_phy_lbt_retries = 0;
uint8_t radio_phy_lbt_forcetx = 0;
uint8_t radio_phy_pn9 = 0;
uint8_t radio_phy_innerfreqloop = 0;
uint16_t radio_phy_preamble_wor_longlen = 0;
uint16_t radio_phy_preamble_wor_len = 0;
uint16_t radio_phy_preamble_longlen = 0;
uint16_t radio_phy_preamble_len = 0;
uint8_t radio_phy_preamble_byte = 0;
uint8_t radio_phy_preamble_flags = 0;
uint8_t radio_phy_preamble_appendbits = 0;
uint8_t radio_phy_preamble_appendpattern = 0;
uint8_t radio_framing_maclen = 0;
uint8_t radio_framing_addrlen = 0;
uint8_t radio_framing_destaddrpos = 0;
uint8_t radio_framing_sourceaddrpos = 0xFF;
uint8_t radio_framing_lenpos = 0;
uint8_t radio_framing_lenoffs = 0;
uint8_t radio_framing_lenmask = 0;
uint8_t radio_framing_swcrclen = 0;
uint8_t radio_framing_synclen = 0;
uint8_t radio_framing_syncword[4] = {0, 0, 0, 0};
uint8_t radio_framing_syncflags = 0;
uint8_t radio_framing_enable_sfdcallback = 0;
uint32_t radio_framing_ack_timeout = 0;
uint32_t radio_framing_ack_delay = 0;
uint8_t radio_framing_ack_retransmissions = 0;
uint8_t radio_framing_ack_seqnrpos = 0xFF;
uint8_t radio_framing_minpayloadlen = 0;
uint16_t radio_wor_period = 0;

namespace {

struct MasterRow {
    uint16_t addr;
    int16_t vals[TABLE_COUNT];
};

// name, address, values of PSK 200, PSK 500, PSK 5000, PSK FASTDL, DBPSK 50, 400, 3200, 25600
// (-1 where the configuration's list lacks the register), in list order.
const MasterRow kMaster[] = {
    {AX5043_MODULATION, {0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {AX5043_ENCODING, {0x00, 0x00, 0x00, 0x00, 0x03, 0x03, 0x03, 0x03}},
    {AX5043_FRAMING, {0x64, 0x64, 0x64, 0x64, 0x06, 0x06, 0x06, 0x06}},
    {AX5043_FEC, {0x33, 0x33, 0x33, 0x33, -1, -1, -1, -1}},
    {AX5043_PINFUNCSYSCLK, {-1, -1, -1, -1, -1, -1, -1, 0x02}},
    {AX5043_PINFUNCDCLK, {-1, -1, -1, -1, -1, -1, -1, 0x01}},
    {AX5043_PINFUNCDATA, {-1, -1, -1, -1, -1, -1, -1, 0x01}},
    {AX5043_PINFUNCANTSEL, {-1, -1, -1, -1, -1, -1, -1, 0x82}},
    {AX5043_PINFUNCPWRAMP, {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x82}},
    {AX5043_WAKEUPXOEARLY, {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}},
    {AX5043_IFFREQ1, {0x01, 0x01, 0x00, 0x0B, 0x01, 0x00, 0x03, 0x12}},
    {AX5043_IFFREQ0, {0xF8, 0xF8, 0xFC, 0xD1, 0xFC, 0xFC, 0x5C, 0x56}},
    {AX5043_DECIMATION, {0x7F, 0x7F, 0x20, 0x02, 0x7F, 0x66, 0x0C, 0x01}},
    {AX5043_RXDATARATE2, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_RXDATARATE1, {0x7F, 0x33, 0x28, 0x38, 0x7F, 0x27, 0x2A, 0x3F}},
    {AX5043_RXDATARATE0, {0xF3, 0x2E, 0xA0, 0x6C, 0xF3, 0xD4, 0x51, 0x7A}},
    {AX5043_MAXDROFFSET2, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_MAXDROFFSET1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_MAXDROFFSET0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_MAXRFOFFSET2, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}},
    {AX5043_MAXRFOFFSET1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_MAXRFOFFSET0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_AMPLFILTER, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_RXPARAMSETS, {0xF4, 0xF4, 0xF4, 0xF4, 0xF4, 0xF4, 0xF4, 0xF4}},
    {AX5043_AGCGAIN0, {0xE9, 0xE8, 0xC5, 0x83, 0xE9, 0xD7, 0xA4, 0x73}},
    {AX5043_AGCTARGET0, {0x84, 0x84, 0x84, 0x84, 0x84, 0x84, 0x84, 0x84}},
    {AX5043_TIMEGAIN0, {0xF9, 0xC8, 0xA8, 0xE8, 0xF9, 0x98, 0xA8, 0xF8}},
    {AX5043_DRGAIN0, {0x84, 0xC2, 0xA2, 0xE2, 0x84, 0xA2, 0xA2, 0xF2}},
    {AX5043_PHASEGAIN0, {0x03, 0x83, 0xC3, 0x83, 0x03, 0xC3, 0xC3, 0x43}},
    {AX5043_FREQUENCYGAINA0, {0x46, 0x46, 0x46, 0x46, 0x46, 0x46, 0x46, 0x46}},
    {AX5043_FREQUENCYGAINB0, {0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A}},
    {AX5043_FREQUENCYGAINC0, {0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F}},
    {AX5043_FREQUENCYGAIND0, {0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F}},
    {AX5043_AMPLITUDEGAIN0, {0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06}},
    {AX5043_FREQDEV10, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_FREQDEV00, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_BBOFFSRES0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_AGCGAIN1, {0xE9, 0xE8, 0xC5, 0x83, 0xE9, 0xD7, 0xA4, 0x73}},
    {AX5043_AGCTARGET1, {0x84, 0x84, 0x84, 0x84, 0x84, 0x84, 0x84, 0x84}},
    {AX5043_AGCAHYST1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_AGCMINMAX1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_TIMEGAIN1, {0xF7, 0xC6, 0xA6, 0xE6, 0xF7, 0x96, 0xA6, 0xF6}},
    {AX5043_DRGAIN1, {0x83, 0xC1, 0xA1, 0xE1, 0x83, 0xA1, 0xA1, 0xF1}},
    {AX5043_PHASEGAIN1, {0x03, 0x83, 0xC3, 0x83, 0x03, 0xC3, 0xC3, 0x43}},
    {AX5043_FREQUENCYGAINA1, {0x46, 0x46, 0x46, 0x46, 0x46, 0x46, 0x46, 0x46}},
    {AX5043_FREQUENCYGAINB1, {0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A}},
    {AX5043_FREQUENCYGAINC1, {0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F}},
    {AX5043_FREQUENCYGAIND1, {0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F}},
    {AX5043_AMPLITUDEGAIN1, {0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06}},
    {AX5043_FREQDEV11, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_FREQDEV01, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_FOURFSK1, {0x16, 0x16, 0x16, 0x16, 0x16, 0x16, 0x16, 0x16}},
    {AX5043_BBOFFSRES1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_AGCGAIN3, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    {AX5043_AGCTARGET3, {0x84, 0x84, 0x84, 0x84, 0x84, 0x84, 0x84, 0x84}},
    {AX5043_AGCAHYST3, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_AGCMINMAX3, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_TIMEGAIN3, {0xF6, 0xC5, 0xA5, 0xE5, 0xF6, 0x95, 0xA5, 0xF5}},
    {AX5043_DRGAIN3, {0x82, 0xC0, 0xA0, 0xE0, 0x82, 0xA0, 0xA0, 0xF0}},
    {AX5043_PHASEGAIN3, {0x03, 0x83, 0xC3, 0x83, 0x03, 0xC3, 0xC3, 0x43}},
    {AX5043_FREQUENCYGAINA3, {0x46, 0x46, 0x46, 0x46, 0x46, 0x46, 0x46, 0x46}},
    {AX5043_FREQUENCYGAINB3, {0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A}},
    {AX5043_FREQUENCYGAINC3, {0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F}},
    {AX5043_FREQUENCYGAIND3, {0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F}},
    {AX5043_AMPLITUDEGAIN3, {0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06}},
    {AX5043_FREQDEV13, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_FREQDEV03, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_FOURFSK3, {0x16, 0x16, 0x16, 0x16, 0x16, 0x16, 0x16, 0x16}},
    {AX5043_BBOFFSRES3, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_FSKDEV2, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_FSKDEV1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_FSKDEV0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_MODCFGA, {-1, -1, -1, -1, -1, -1, -1, 0x05}},
    {AX5043_TXRATE2, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}},
    {AX5043_TXRATE1, {0x00, 0x01, 0x0C, 0x91, 0x00, 0x04, 0x20, 0x02}},
    {AX5043_TXRATE0, {0x81, 0x43, 0x9A, 0x30, 0x81, 0x08, 0x44, 0x1C}},
    {AX5043_TXPWRCOEFFB1, {-1, -1, -1, -1, -1, -1, -1, 0x0F}},
    {AX5043_TXPWRCOEFFB0, {-1, -1, -1, -1, -1, -1, -1, 0xFF}},
    {AX5043_PLLVCOI, {-1, -1, -1, -1, 0x99, 0x99, 0x99, 0x99}},
    {AX5043_PLLRNGCLK, {0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {AX5043_BBTUNE, {0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x06}},
    {AX5043_BBOFFSCAP, {0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77}},
    {AX5043_PKTADDRCFG, {0x81, 0x81, 0x81, 0x81, 0x80, 0x80, 0x80, 0x80}},
    {AX5043_PKTLENCFG, {0x80, 0x80, 0x80, 0x80, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_PKTLENOFFSET, {0x00, 0x00, 0x00, 0x00, 0x88, 0x88, 0x88, 0x88}},
    {AX5043_PKTMAXLEN, {0xF0, 0xF0, 0xF0, 0xF0, 0xC8, 0xFE, 0xC8, 0xC8}},
    {AX5043_MATCH0PAT3, {0xAA, 0xAA, 0xAA, 0xAA, 0xFF, 0xFF, 0xFF, 0xFF}},
    {AX5043_MATCH0PAT2, {0xCC, 0xCC, 0xCC, 0xCC, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_MATCH0PAT1, {0xAA, 0xAA, 0xAA, 0xAA, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_MATCH0PAT0, {0xCC, 0xCC, 0xCC, 0xCC, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_MATCH0LEN, {-1, -1, -1, -1, 0x07, 0x07, 0x07, 0x07}},
    {AX5043_MATCH0MAX, {-1, -1, -1, -1, 0x07, 0x07, 0x07, 0x07}},
    {AX5043_MATCH1PAT1, {0x7E, 0x7E, 0x7E, 0x7E, 0xFF, 0xFF, 0xFF, 0xFF}},
    {AX5043_MATCH1PAT0, {0x7E, 0x7E, 0x7E, 0x7E, 0xFF, 0xFF, 0xFF, 0xFF}},
    {AX5043_MATCH1LEN, {0x8A, 0x8A, 0x8A, 0x8A, 0x0A, 0x0A, 0x0A, 0x0A}},
    {AX5043_MATCH1MAX, {0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A}},
    {AX5043_TMGTXBOOST, {0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E}},
    {AX5043_TMGTXSETTLE, {0x31, 0x31, 0x31, 0x31, 0x31, 0x31, 0x31, 0x31}},
    {AX5043_TMGRXBOOST, {0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E}},
    {AX5043_TMGRXSETTLE, {0x31, 0x31, 0x31, 0x31, 0x31, 0x31, 0x31, 0x31}},
    {AX5043_TMGRXOFFSACQ, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_TMGRXCOARSEAGC, {0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F}},
    {AX5043_TMGRXRSSI, {0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03}},
    {AX5043_TMGRXPREAMBLE2, {0x17, 0x17, 0x17, 0x17, 0x12, 0x12, 0x12, 0x12}},
    {AX5043_RSSIABSTHR, {0xDD, 0xDD, 0xDD, 0xE8, 0xCB, 0xDD, 0xE3, 0xEA}},
    {AX5043_BGNDRSSITHR, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_PKTCHUNKSIZE, {0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D}},
    {AX5043_PKTACCEPTFLAGS, {0x20, 0x20, 0x20, 0x00, 0x20, 0x20, 0x20, 0x20}},
    {AX5043_DACVALUE1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_DACVALUE0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_DACCONFIG, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_REF, {0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03}},
    {AX5043_XTALOSC, {0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {AX5043_XTALAMPL, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {AX5043_0xF1C, {0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07}},
    {AX5043_0xF21, {0x68, 0x68, 0x68, 0x68, 0x68, 0x68, 0x68, 0x68}},
    {AX5043_0xF22, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    {AX5043_0xF23, {0x84, 0x84, 0x84, 0x84, 0x84, 0x84, 0x84, 0x84}},
    {AX5043_0xF26, {0x98, 0x98, 0x98, 0x98, 0x98, 0x98, 0x98, 0x98}},
    {AX5043_0xF34, {-1, -1, -1, -1, 0x08, 0x08, 0x08, 0x08}},
    {AX5043_0xF35, {0x12, 0x12, 0x11, 0x11, 0x12, 0x11, 0x11, 0x11}},
    {AX5043_0xF44, {0x25, 0x25, 0x25, 0x25, 0x25, 0x25, 0x25, 0x25}},
    {AX5043_MODCFGP, {0xE1, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1}},
};

// The three address lists (PSK, DBPSK, 25600) with their value lists, cut from the rows above.
struct Tables {
    std::array<uint16_t, std::size(kMaster)> addr[TABLE_COUNT];
    std::array<uint8_t, std::size(kMaster)> vals[TABLE_COUNT];
    size_t count[TABLE_COUNT] = {};

    Tables()
    {
        for (int t = 0; t < TABLE_COUNT; ++t)
            for (const MasterRow& row : kMaster)
                if (row.vals[t] >= 0) {
                    addr[t][count[t]] = row.addr;
                    vals[t][count[t]] = uint8_t(row.vals[t]);
                    ++count[t];
                }
    }
};

const Tables& tables()
{
    static const Tables t;
    return t;
}

const int32_t* g_phy = nullptr;
const Vexa_ax5043_pins_s* g_pins = nullptr;
const uint8_t* g_psk_band = nullptr;
const uint8_t* g_dbpsk_band = nullptr;

int32_t phy()
{
    return g_phy ? ax5043_config_code(*g_phy) : -1;
}

uint8_t psk_band()
{
    return g_psk_band ? *g_psk_band : 0;
}

uint8_t dbpsk_band()
{
    return g_dbpsk_band ? *g_dbpsk_band : 0;
}

void write_table(ax5043_table_id id, size_t from)
{
    const ax5043_table t = ax5043_get_table(id);
    for (size_t i = from; i < t.count; ++i)
        ax5043_spi_write(t.addr[i], t.vals[i]);
}

// Synthesizer loop sets: PLLLOOP, PLLCPI, PLLVCODIV.
void loop_set(int set)
{
    static const uint8_t sets[4][3] = {{0x0B, 0x10, 0x24}, {0x07, 0x12, 0x20}, {0x09, 0x02, 0x24}, {0x09, 0x02, 0x20}};
    const uint8_t* s = sets[set - 1];
    ax5043_spi_write(AX5043_PLLLOOP, s[0]);
    ax5043_spi_write(AX5043_PLLCPI, s[1]);
    ax5043_spi_write(AX5043_PLLVCODIV, s[2]);
}

bool is_psk_narrow(int32_t code)
{
    return code == 0 || code == 1 || code == 2 || code == 22 || code == 25 || code == 27;
}

bool is_fastdl(int32_t code)
{
    return code == 3 || code == 29;
}

} // namespace

ax5043_table ax5043_get_table(ax5043_table_id id)
{
    const Tables& t = tables();
    return {t.addr[id].data(), t.vals[id].data(), t.count[id]};
}

void ax5043_set_pointers(const int32_t* phy, const Vexa_ax5043_pins_s* pins, const uint8_t* psk_band,
    const uint8_t* dbpsk_band)
{
    g_phy = phy;
    g_pins = pins;
    g_psk_band = psk_band;
    g_dbpsk_band = dbpsk_band;
}

int32_t ax5043_config_code(int32_t code)
{
    switch (code) {
    case 30: return 21;
    case 31: return 24;
    case 32: return 26;
    case 33: return 28;
    default: return code;
    }
}

void ax5043_set_registers()
{
    const int32_t code = phy();
    switch (code) {
    case 0: case 22: write_table(TABLE_PSK_200, 0); break;
    case 1: case 25: write_table(TABLE_PSK_500, 0); break;
    case 2: case 27: write_table(TABLE_PSK_5000, 0); break;
    case 3: case 29: write_table(TABLE_PSK_FASTDL, 0); break;
    case 21: case 24: case 26:
        ax5043_spi_write(AX5043_MODULATION, 0x04);
        ax5043_spi_write(AX5043_ENCODING, 0x03);
        ax5043_spi_write(AX5043_FRAMING, 0x06);
        write_table(code == 21 ? TABLE_DBPSK_50 : code == 24 ? TABLE_DBPSK_400 : TABLE_DBPSK_3200, 3);
        break;
    case 28:
        ax5043_spi_write(AX5043_MODULATION, 0x04);
        ax5043_spi_write(AX5043_ENCODING, 0x03);
        write_table(TABLE_DBPSK_25600, 2);
        break;
    default: break;
    }
    if (code >= 0 && code <= 3) {
        switch (psk_band()) {
        case 0: case 2:
            ax5043_spi_write(AX5043_PLLVCOI, 0x97);
            ax5043_spi_write(AX5043_0xF34, 0x28);
            break;
        case 1:
            ax5043_spi_write(AX5043_PLLVCOI, 0x99);
            ax5043_spi_write(AX5043_0xF34, 0x08);
            break;
        case 3:
            ax5043_spi_write(AX5043_PLLVCOI, 0x97);
            ax5043_spi_write(AX5043_0xF34, 0x08);
            break;
        default: break;
        }
    } else if (code > 3) {
        if (dbpsk_band() == 2) {
            ax5043_spi_write(AX5043_PLLVCOI, 0x97);
            ax5043_spi_write(AX5043_0xF34, 0x28);
        } else if (dbpsk_band() == 3) {
            ax5043_spi_write(AX5043_PLLVCOI, 0x97);
        }
    }
    const Vexa_ax5043_pins_s pins = g_pins ? *g_pins : Vexa_ax5043_pins_s{};
    ax5043_spi_write(AX5043_PINFUNCSYSCLK, pins.sysclk);
    ax5043_spi_write(AX5043_PINFUNCDCLK, pins.dclk);
    ax5043_spi_write(AX5043_PINFUNCDATA, pins.data);
    ax5043_spi_write(AX5043_PINFUNCANTSEL, pins.antsel);
    ax5043_spi_write(AX5043_TXPWRCOEFFB1, uint8_t(pins.txpwr >> 8));
    ax5043_spi_write(AX5043_TXPWRCOEFFB0, uint8_t(pins.txpwr));
    ax5043_spi_write(AX5043_MODCFGA, pins.cfga);
    ax5043_spi_write(AX5043_PINFUNCPWRAMP, pins.pwramp);
}

void ax5043_set_registers_tx()
{
    ax5043_spi_write(AX5043_XTALCAP, 0x00);
    ax5043_spi_write(AX5043_0xF00, 0x0F);
    ax5043_spi_write(AX5043_0xF18, 0x06);
    const int32_t code = phy();
    const uint8_t psk = psk_band();
    const uint8_t dbpsk = dbpsk_band();
    if (is_psk_narrow(code)) {
        if (psk <= 3)
            loop_set(psk == 0 || psk == 2 ? 1 : 2);
    } else if (is_fastdl(code)) {
        if (psk <= 3)
            loop_set(psk == 0 || psk == 2 ? 3 : 4);
    } else if (code == 21 || code == 24) {
        if (dbpsk <= 3)
            loop_set(dbpsk == 2 ? 1 : 2);
    } else if (code == 26 || code == 28) {
        if (dbpsk <= 3)
            ax5043_spi_write(AX5043_PLLVCODIV, dbpsk == 2 ? 0x24 : 0x20);
        ax5043_spi_write(AX5043_PLLLOOP, 0x09);
        ax5043_spi_write(AX5043_PLLCPI, 0x02);
    }
}

void ax5043_set_registers_rx()
{
    const int32_t code = phy();
    const uint8_t psk = psk_band();
    if (psk == 1 || psk == 3) {
        ax5043_spi_write(AX5043_PLLLOOP, 0x07);
        ax5043_spi_write(AX5043_PLLCPI, 0x08);
        ax5043_spi_write(AX5043_PLLVCODIV, 0x20);
        ax5043_spi_write(AX5043_0xF18, 0x06);
    } else if (psk == 0 || psk == 2) {
        if (is_psk_narrow(code)) {
            ax5043_spi_write(AX5043_PLLLOOP, 0x0B);
            ax5043_spi_write(AX5043_PLLCPI, 0x10);
            ax5043_spi_write(AX5043_PLLVCODIV, 0x24);
            ax5043_spi_write(AX5043_0xF18, 0x02);
        } else if (is_fastdl(code)) {
            ax5043_spi_write(AX5043_PLLLOOP, 0x09);
            ax5043_spi_write(AX5043_PLLCPI, 0x01);
            ax5043_spi_write(AX5043_PLLVCODIV, 0x24);
            ax5043_spi_write(AX5043_0xF18, 0x02);
        }
    }
    ax5043_spi_write(AX5043_XTALCAP, 0x00);
    ax5043_spi_write(AX5043_0xF00, 0x0F);
}

void ax5043_set_registers_rxcont()
{
    ax5043_spi_write(AX5043_TMGRXAGC, 0x00);
    ax5043_spi_write(AX5043_TMGRXPREAMBLE1, 0x00);
    ax5043_spi_write(AX5043_PKTMISCFLAGS, 0x00);
}

void ax5043_set_constants()
{
    const int32_t code = phy();
    int group;
    switch (code) {
    case 0: case 22: group = 0; break;
    case 1: case 25: group = 1; break;
    case 2: case 27: group = 2; break;
    case 3: case 29: group = 3; break;
    case 21: case 24: case 26: case 28: group = 4; break;
    default: return;
    }
    const bool psk0 = psk_band() == 0;
    radio_phy_nrchannels = 1;
    radio_phy_pn9 = 0;
    radio_phy_vcocalib = 0;
    radio_phy_cs_enabled = 0;
    radio_phy_lbt_retries = 0;
    radio_phy_lbt_forcetx = 0;
    radio_phy_preamble_appendbits = 0;
    radio_framing_swcrclen = 0;
    radio_framing_enable_sfdcallback = 0;
    radio_framing_lenpos = 0;
    radio_phy_innerfreqloop = 1;
    radio_phy_rssioffset = 0x40;
    radio_phy_cs_period = 7;
    radio_framing_sourceaddrpos = 0xFF;
    radio_framing_syncflags = 0x18;
    radio_framing_ack_seqnrpos = 0xFF;
    radio_framing_ack_delay = 313;
    radio_wor_period = 128;

    static const int32_t maxfreqoffset[5] = {32, 81, 807, 9292, 65};
    static const int8_t rssireference[5] = {0x3A, 0x3A, 0x39, 0x39, 0x3A};
    static const uint8_t channelbusy[5] = {221, 221, 221, 232, 203};
    static const uint16_t wor_longlen[5] = {1, 1, 3, 28, 0};
    static const uint16_t wor_len[5] = {96, 136, 160, 72, 96};
    radio_phy_maxfreqoffset = maxfreqoffset[group];
    radio_phy_rssireference = rssireference[group];
    radio_phy_channelbusy = channelbusy[group];
    radio_phy_preamble_wor_longlen = wor_longlen[group];
    radio_phy_preamble_wor_len = wor_len[group];

    if (group < 4) {
        static const uint32_t ack_timeout[4][2] = {{3117, 3230}, {1249, 1294}, {128, 132}, {14, 14}};
        radio_phy_preamble_longlen = 1;
        radio_phy_preamble_len = 72;
        radio_phy_preamble_byte = 0x7E;
        radio_phy_preamble_flags = 0x38;
        radio_framing_maclen = 2;
        radio_framing_addrlen = 1;
        radio_framing_destaddrpos = 1;
        radio_framing_lenoffs = 0;
        radio_framing_lenmask = 0xFF;
        radio_framing_synclen = 32;
        const uint8_t sync[4] = {0x33, 0x55, 0x33, 0x55};
        for (int i = 0; i < 4; ++i)
            radio_framing_syncword[i] = sync[i];
        radio_framing_ack_retransmissions = 0;
        radio_framing_ack_timeout = ack_timeout[group][psk0 ? 0 : 1];
        radio_framing_minpayloadlen = group == 3 ? 1 : (psk0 ? 0 : 1);
        radio_phy_chanfreq[0] = psk0 ? 287793783u : 557519793u;
        radio_phy_chanpllrnginit[0] = psk0 ? 9 : 10;
        radio_phy_chanvcoiinit[0] = psk0 ? 0x97 : 0x99;
    } else {
        radio_phy_preamble_longlen = 0;
        radio_phy_preamble_len = 0;
        radio_phy_preamble_byte = 0xFF;
        radio_phy_preamble_flags = 0x18;
        radio_framing_maclen = 0;
        radio_framing_addrlen = 0;
        radio_framing_destaddrpos = 0;
        radio_framing_lenoffs = 136;
        radio_framing_lenmask = 0;
        radio_framing_synclen = 8;
        const uint8_t sync[4] = {0xFF, 0xFF, 0x99, 0x20};
        for (int i = 0; i < 4; ++i)
            radio_framing_syncword[i] = sync[i];
        radio_framing_ack_retransmissions = 2;
        radio_framing_ack_timeout = 85;
        radio_framing_minpayloadlen = 0;
        radio_phy_chanfreq[0] = 560600993u;
        radio_phy_chanpllrnginit[0] = 10;
        radio_phy_chanvcoiinit[0] = 0x99;
    }
}

namespace {

uint32_t fromhz_positive(uint32_t f)
{
    const uint32_t b3 = (f >> 24) & 0xFF, b2 = (f >> 16) & 0xFF, b1 = (f >> 8) & 0xFF, b0 = f & 0xFF;
    return b3 * 10825960u + b2 * 42288u + b1 * 165u + ((b2 * 232u + b1 * 48u + b0 * 165u) >> 8);
}

} // namespace

uint32_t radio_conv_freq_fromhz(int32_t hz)
{
    if (hz < 0)
        return uint32_t(0) - fromhz_positive(uint32_t(0) - uint32_t(hz));
    return fromhz_positive(uint32_t(hz));
}

int32_t radio_conv_freq_tohz(int32_t reg)
{
    // reg x 26000000 / 2^24, rounded down on the magnitude.
    const bool neg = reg < 0;
    const uint64_t r = neg ? uint64_t(-int64_t(reg)) : uint64_t(reg);
    const int64_t hz = int64_t((r * 26000000u) >> 24);
    return int32_t(neg ? -hz : hz);
}

int32_t radio_conv_freq_fromreg(int32_t value)
{
    const bool neg = value < 0;
    const uint32_t v = neg ? uint32_t(0) - uint32_t(value) : uint32_t(value);
    const uint32_t hi = (v >> 8) & 0xFF, lo = v & 0xFF;
    uint32_t r;
    switch (phy()) {
    case 1: case 25: r = hi + ((hi * 66 + lo) >> 8); break;
    case 2: case 27: r = hi * 12 + ((hi * 154 + lo * 12) >> 8); break;
    case 3: case 29: r = hi * 145 + ((hi * 47 + lo * 145) >> 8); break;
    case 26: r = hi * 32 + ((hi * 67 + lo * 32) >> 8); break;
    case 28: r = (v & 0xFFFF) + hi * 2 + ((lo * 2 + hi * 28) >> 8); break;
    default: r = (hi * 129) >> 8; break;
    }
    return neg ? -int32_t(r) : int32_t(r);
}

uint32_t radio_conv_timeinterval_totimer0(uint32_t t)
{
    return (t >> 6) + (t >> 8) + (t >> 11) + (t >> 13);
}

uint16_t radio_framing_append_crc(uint8_t* buf, uint16_t len)
{
    switch (phy()) {
    case 0: case 1: case 2: case 3: case 22: case 25: case 27: case 29: {
        const uint32_t crc = ~crc_crc32(buf, len, 0xFFFFFFFFu);
        for (int i = 0; i < 4; ++i)
            buf[len + i] = uint8_t(crc >> (8 * i));
        return uint16_t(len + 4);
    }
    case 21: case 24: case 26: return len;
    default: return 0;
    }
}

uint16_t radio_framing_check_crc(const uint8_t* buf, uint16_t len)
{
    switch (phy()) {
    case 0: case 1: case 2: case 3: case 22: case 25: case 27: case 29:
        return crc_crc32(buf, len, 0xFFFFFFFFu) == 0xDEBB20E3u ? len : 0;
    case 21: case 24: case 26: return len;
    default: return 0;
    }
}
