#pragma once

#include "station_types.h"

#include <cstdint>
#include <vector>

// Noise estimate of one bit rate on one band, one accumulator per FFT bin.
struct Noise_LevelsSPI {
    std::vector<float> noise_lev;          // sum of bin power over the current block of 10 spectra
    std::vector<float> noise_lev_min;      // smallest completed block sum of the current period
    std::vector<float> noise_lev_min_prev; // noise_lev_min of the previous period
    std::vector<float> noise_lev_aver;     // smoothed noise, in units of a block sum
    float aver_noise = 0.0f;               // the band's average noise in dB
    Bands band = Band1;

    Noise_LevelsSPI(size_t size, Bands b)
        : noise_lev(size, 0.0f), noise_lev_min(size, 0.0f), noise_lev_min_prev(size, 0.0f),
          noise_lev_aver(size, 0.0f), band(b)
    {
    }

    // New elements are 0; existing ones keep their values.
    void resize(size_t size, Bands b)
    {
        noise_lev.resize(size, 0.0f);
        noise_lev_min.resize(size, 0.0f);
        noise_lev_min_prev.resize(size, 0.0f);
        noise_lev_aver.resize(size, 0.0f);
        band = b;
    }
};

// One spectrum's magnitudes, one per bin.
struct FFT_Magnitudes {
    std::vector<uint32_t> fft_mag_band;
    Bands band = Band1;

    FFT_Magnitudes(size_t size = 1024, Bands b = Band1) : fft_mag_band(size, 0), band(b) {}
};
