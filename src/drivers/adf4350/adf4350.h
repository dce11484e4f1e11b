#pragma once

// Register words of the ADF4350 wideband synthesizer. The station never talks to the chip: it
// computes the six words for a wanted output frequency and hands them to the FPGA in front of it.

#include <cstdint>

struct adf4350_platform_data {
    uint32_t clkin = 0;
    uint32_t channel_spacing = 0;
    uint64_t power_up_frequency = 0;
    uint16_t ref_div_factor = 0;
    uint8_t ref_doubler_en = 0;
    uint8_t ref_div2_en = 0;
    uint32_t r2_user_settings = 0;
    uint32_t r3_user_settings = 0;
    uint32_t r4_user_settings = 0;
    int32_t gpio_lock_detect = 0;
};

struct adf4350_state {
    adf4350_platform_data* pdata = nullptr;
    uint32_t clkin = 0;        // reference input, Hz
    uint32_t chspc = 0;        // channel spacing, Hz
    uint32_t fpfd = 0;         // phase-detector frequency, Hz
    uint32_t min_out_freq = 0;
    uint32_t r0_fract = 0;
    uint32_t r0_int = 0;
    uint32_t r1_mod = 0;
    uint32_t r4_rf_div_sel = 0;
    uint32_t regs[6] = {};     // R0..R5
    uint32_t regs_hw[6] = {};
    uint32_t val = 0;
};

constexpr uint64_t ADF4350_MIN_OUT_FREQ = 34375000ULL;
constexpr uint64_t ADF4350_MAX_OUT_FREQ = 4400000000ULL;
constexpr uint64_t ADF4350_MIN_VCO_FREQ = 2200000000ULL;
constexpr uint32_t ADF4350_MAX_FREQ_PFD = 32000000;
constexpr uint32_t ADF4350_MAX_MODULUS = 4095;
constexpr uint32_t ADF4350_MAX_R_CNT = 1023;
constexpr uint32_t ADF4350_PRESCALER_8_9 = 0x08000000;

// Station defaults: 40 MHz reference, 1 kHz channel spacing, reference divider 2.
void init_config(adf4350_state* st, adf4350_platform_data* pd);

// Fills st->regs for freq (Hz) and returns the frequency the words produce, or -1 when freq is
// outside 34.375 MHz .. 4.4 GHz or the reference, the spacing or the resulting phase-detector
// frequency is 0 (st->regs is then left as it was).
int64_t adf4350_set_freq(adf4350_state* st, uint64_t freq);

// Raises the reference counter until the phase-detector frequency is at most 32 MHz; sets fpfd.
uint16_t adf4350_tune_r_cnt(adf4350_state* st, uint16_t r_cnt);

// Greatest common divisor of two nonzero numbers.
uint32_t gcd(uint32_t a, uint32_t b);
