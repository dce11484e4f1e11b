#pragma once

#include "Noise_LevelsSPI.h"
#include "station_types.h"

#include <QMutex>
#include <QVector>
#include <cstdint>
#include <functional>
#include <vector>

struct message_point;

// Noise floor of the receiver per bit rate, band and FFT bin, kept from the spectra the FPGA
// delivers every 100 ms; gives every message its NOISE and every 40 s an average per band.
class NoiseLevels
{
public:
    // Bin counts of the spectra each pass reads; the tables are sized for these, whatever
    // the FPGA reports.
    static constexpr size_t BINS_50 = 1024;
    static constexpr size_t BINS_125 = 2048;
    static constexpr size_t BINS_3200 = 16;
    static constexpr size_t BINS_400_BAND2 = 512;
    // Spectra per averaging period (40 s at 100 ms).
    static constexpr unsigned PERIOD = 400;

    struct Config {
        float LogOffset = 210.0f;
        bool rev_lo = false;
        bool hopping = false;
        BS_Type station = Unknown_Type;
    };

    NoiseLevels();

    void setConfig(const Config& c) { cfg = c; }
    const Config& config() const { return cfg; }

    // Called with every emitted spectrum (a copy goes out) and with the noise window verdict
    // (true: the average lies in its normal window) at the end of every period.
    std::function<void(const QVector<quint32>&, uint, Bands)> on_fft;
    std::function<void(bool)> on_noise_state;

    void initNoiseLev();

    // One spectrum: 32-bit little-endian words, one per bin.
    void calc_noise_levels(const std::vector<uint8_t>& spectrum, Bands band);
    void calc_noise_levels2048(const std::vector<uint8_t>& spectrum);
    void calc_noise_levels3200(const std::vector<uint8_t>& spectrum);
    void calc_noise_levels400band2(const std::vector<uint8_t>& spectrum);

    // Sets mes->NOISE from the table of its bit rate and band at bin freq (clamped to the
    // table). Returns false, leaving NOISE at 0, for a bit rate that has no table.
    bool calcNOISE(message_point* mes, uint freq);
    // The table calcNOISE reads, or null for a bit rate without one.
    const std::vector<float>* getNoiseLevAver(uint bitrate, bool band) const;

    float getAverNoise50Band1() const { return noise_lev50_band1.aver_noise; }
    float getAverNoise50Band2() const { return noise_lev50_band2.aver_noise; }
    float getAverNoise400Band2() const { return noise_lev400_band2.aver_noise; }
    float getAverNoise3200HoppingBand1() const { return noise_lev3200_band1.aver_noise; }

    uint32_t getMagnitude(const std::vector<uint8_t>& words, size_t index, size_t count) const;
    static uint32_t reverse_bytes(uint32_t v);
    static bool is_equal(float x, int y);

    Noise_LevelsSPI noise_lev50_band1;
    Noise_LevelsSPI noise_lev50_band2;
    Noise_LevelsSPI noise_lev125_band1;
    Noise_LevelsSPI noise_lev3200_band1;
    Noise_LevelsSPI noise_lev400_band2;

    std::vector<float> noise_lev_aver_400_band1;
    std::vector<float> noise_lev_aver_400_band2;
    std::vector<float> noise_lev_aver_3200_band1;
    std::vector<float> noise_lev_aver_3200_band2;
    std::vector<float> noise_lev_aver_25600_band1;
    std::vector<float> noise_lev_aver_25600_band2;

    QMutex mut_fft_magB1;
    FFT_Magnitudes fft_mag_band1;
    QMutex mut_fft_magB2;
    FFT_Magnitudes fft_mag_band2;
    QMutex mut_fft_mag2048;
    FFT_Magnitudes fft_mag_2048;
    FFT_Magnitudes fft_mag_400b2;
    FFT_Magnitudes scaled_fftmag_400b2;

    // Warm-up flag and counters of one pass.
    struct PassCounters {
        bool just_started = true;
        unsigned aver_count = 0;
        unsigned noise_count = 0;
    };
    PassCounters cnt50_band1, cnt50_band2, cnt125, cnt3200, cnt400_band2;

private:
    enum class Pass { Rate50, Rate125, Rate3200, Rate400Band2 };

    void run_pass(const std::vector<uint8_t>& spectrum, size_t bins, Pass pass, Noise_LevelsSPI& r,
                  std::vector<uint32_t>& mags, PassCounters& c, std::vector<float>* fold_target);
    static void NoiseLevAverFromNoiseLevMin(Noise_LevelsSPI& r, PassCounters& c, size_t n, size_t m);
    static void fillNoiseAverHighBitratefromLowBitrate(std::vector<float>& target, const std::vector<float>& from,
                                                       size_t from_size, size_t n, size_t m);
    static void fold_table(std::vector<float>& target, const std::vector<float>& from, size_t from_size);
    void period_step(Noise_LevelsSPI& r, PassCounters& c, Pass pass, const std::vector<float>* t25600);
    void calc_noise_levels50(const std::vector<uint8_t>& spectrum, Bands band);

    Config cfg;
};
