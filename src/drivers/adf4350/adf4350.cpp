#include "adf4350.h"

void init_config(adf4350_state* st, adf4350_platform_data* pd)
{
    pd->ref_div_factor = 2;
    pd->ref_doubler_en = 0;
    pd->ref_div2_en = 0;
    pd->r2_user_settings = 0x8E42;
    pd->r3_user_settings = 0x4B3;
    pd->r4_user_settings = 0xAA003C;
    st->pdata = pd;
    st->clkin = 40000000;
    st->chspc = 1000;
    st->fpfd = 20000000;
}

uint16_t adf4350_tune_r_cnt(adf4350_state* st, uint16_t r_cnt)
{
    const adf4350_platform_data* pd = st->pdata;
    const uint64_t ref = uint64_t(st->clkin) * (pd->ref_doubler_en ? 2 : 1);
    do {
        ++r_cnt;
        if (r_cnt == 0) // wrapped: no divider of 0
            continue;
        st->fpfd = uint32_t(ref / (uint64_t(r_cnt) * (pd->ref_div2_en ? 2 : 1)));
    } while (r_cnt == 0 || st->fpfd > ADF4350_MAX_FREQ_PFD);
    return r_cnt;
}

uint32_t gcd(uint32_t a, uint32_t b)
{
    while (b != 0) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

int64_t adf4350_set_freq(adf4350_state* st, uint64_t freq)
{
    if (freq > ADF4350_MAX_OUT_FREQ || freq < ADF4350_MIN_OUT_FREQ)
        return -1;
    if (!st || !st->pdata || st->clkin == 0 || st->chspc == 0)
        return -1;
    const adf4350_platform_data* pd = st->pdata;

    uint32_t prescaler;
    uint32_t min_int;
    uint64_t vco = freq;
    st->r4_rf_div_sel = 0;
    if (freq > 3000000000ULL) {
        prescaler = ADF4350_PRESCALER_8_9;
        min_int = 75;
    } else {
        prescaler = 0;
        min_int = 23;
        while (vco < ADF4350_MIN_VCO_FREQ) {
            vco <<= 1;
            st->r4_rf_div_sel++;
        }
    }

    uint16_t r_cnt = pd->ref_div_factor ? uint16_t(pd->ref_div_factor - 1) : 0;
    uint32_t spacing = st->chspc; // widened here only, never in the state
    for (;;) {
        r_cnt = adf4350_tune_r_cnt(st, r_cnt);
        if (st->fpfd == 0)
            return -1; // reference below the divider: no phase-detector frequency
        st->r1_mod = st->fpfd / spacing;
        if (r_cnt > ADF4350_MAX_R_CNT) {
            ++spacing;
            r_cnt = 0;
            continue;
        }
        if (st->r1_mod > ADF4350_MAX_MODULUS || r_cnt == 0)
            continue;
        if (st->r1_mod == 0)
            return -1; // spacing wider than the phase-detector frequency
        const uint64_t c = st->fpfd > 1 ? 1 : 0;
        const uint64_t t = (uint64_t(st->r1_mod) * vco + c) / st->fpfd;
        st->r0_int = uint32_t(t / st->r1_mod);
        st->r0_fract = uint32_t(t % st->r1_mod);
        if (st->r0_int >= min_int)
            break;
    }

    uint32_t band_sel = st->fpfd / 125000;
    if (st->fpfd % 125000 > 62500)
        ++band_sel;
    if (band_sel < 1)
        band_sel = 1;
    if (band_sel > 255)
        band_sel = 255;

    if (st->r0_fract != 0 && st->r1_mod != 0) {
        const uint32_t g = gcd(st->r0_fract, st->r1_mod);
        st->r0_fract /= g;
        st->r1_mod /= g;
    } else {
        st->r0_fract = 0;
        st->r1_mod = 1;
    }

    st->regs[0] = ((st->r0_int << 15) & 0x7FFF8000u) | ((st->r0_fract << 3) & 0x7FF8u);
    st->regs[1] = prescaler | ((st->r1_mod << 3) & 0x7FF8u) | 0x8001u;
    st->regs[2] = uint32_t(pd->ref_div2_en ? 1 : 0) << 24 | uint32_t(pd->ref_doubler_en ? 1 : 0) << 25
        | uint32_t(r_cnt) << 14 | (pd->r2_user_settings & 0xE40u) | 2u;
    st->regs[3] = pd->r3_user_settings | 3u;
    st->regs[4] = st->r4_rf_div_sel << 20 | band_sel << 12 | (pd->r4_user_settings & 0x1D8u) | 0x800024u;
    st->regs[5] = 0x580005u;

    return int64_t((uint64_t(st->r0_fract) + uint64_t(st->r0_int) * st->r1_mod) * st->fpfd
        / (uint64_t(st->r1_mod) << st->r4_rf_div_sel));
}
