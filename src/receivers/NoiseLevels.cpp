#include "NoiseLevels.h"

#include "message_point.h"

#include <QDebug>
#include <QMutexLocker>
#include <cfloat>
#include <cmath>

namespace {
constexpr float FLOAT_EPS = 1.1920929e-7f;

void fill(std::vector<float>& v, float value)
{
    std::fill(v.begin(), v.end(), value);
}
} // namespace

NoiseLevels::NoiseLevels()
    : noise_lev50_band1(BINS_50, Band1), noise_lev50_band2(BINS_50, Band2),
      noise_lev125_band1(BINS_125, Band1), noise_lev3200_band1(BINS_3200, Band1),
      noise_lev400_band2(BINS_400_BAND2, Band2), noise_lev_aver_400_band1(128, 0.0f),
      noise_lev_aver_400_band2(128, 0.0f), noise_lev_aver_3200_band1(16, 0.0f),
      noise_lev_aver_3200_band2(64, 0.0f), noise_lev_aver_25600_band1(4, 0.0f),
      noise_lev_aver_25600_band2(8, 0.0f), fft_mag_band1(BINS_50, Band1), fft_mag_band2(BINS_50, Band2),
      fft_mag_2048(BINS_125, Band1), fft_mag_400b2(BINS_400_BAND2, Band2), scaled_fftmag_400b2(1024, Band2)
{
}

void NoiseLevels::initNoiseLev()
{
    noise_lev50_band1.resize(BINS_50, Band1);
    noise_lev50_band2.resize(BINS_50, Band2);
    noise_lev125_band1.resize(BINS_125, Band1);
    noise_lev3200_band1.resize(BINS_3200, Band1);
    noise_lev400_band2.resize(BINS_400_BAND2, Band2);
    noise_lev_aver_400_band1.resize(128, 0.0f);
    noise_lev_aver_400_band2.resize(128, 0.0f);
    noise_lev_aver_3200_band1.resize(16, 0.0f);
    noise_lev_aver_3200_band2.resize(64, 0.0f);
    noise_lev_aver_25600_band1.resize(4, 0.0f);
    noise_lev_aver_25600_band2.resize(8, 0.0f);

    for (Noise_LevelsSPI* r : {&noise_lev50_band1, &noise_lev50_band2, &noise_lev125_band1,
                               &noise_lev3200_band1, &noise_lev400_band2}) {
        fill(r->noise_lev, 0.0f);
        fill(r->noise_lev_min, FLT_MAX);
        fill(r->noise_lev_min_prev, FLT_MAX);
    }
    fill(noise_lev_aver_25600_band1, 0.0f);
    fill(noise_lev_aver_25600_band2, 0.0f);

    {
        QMutexLocker lock(&mut_fft_mag2048);
        fft_mag_2048.fft_mag_band.assign(BINS_125, 0);
    }
    QMutexLocker lock(&mut_fft_magB2);
    fft_mag_400b2.fft_mag_band.assign(BINS_400_BAND2, 0);
}

uint32_t NoiseLevels::reverse_bytes(uint32_t v)
{
    return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}

bool NoiseLevels::is_equal(float x, int y)
{
    return std::fabs(x - static_cast<float>(y)) < FLOAT_EPS;
}

uint32_t NoiseLevels::getMagnitude(const std::vector<uint8_t>& words, size_t index, size_t count) const
{
    const size_t i = cfg.rev_lo ? count - 1 - index : index;
    const uint8_t* p = words.data() + 4 * i;
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void NoiseLevels::NoiseLevAverFromNoiseLevMin(Noise_LevelsSPI& r, PassCounters& c, size_t n, size_t m)
{
    const size_t s = r.noise_lev_aver.size();
    if (c.aver_count != 9 * s) {
        ++c.aver_count;
        return;
    }
    // Tenth spectrum of a block: the bin's sum of ten powers joins the running minimum.
    if (r.noise_lev_min[n] > r.noise_lev[n] || is_equal(r.noise_lev_min[n], 0))
        r.noise_lev_min[n] = r.noise_lev[n];
    r.noise_lev[n] = 0.0f;
    if (m == s - 1) {
        c.aver_count = 0;
        if (c.just_started) {
            r.noise_lev_min_prev = r.noise_lev_min;
            r.noise_lev_aver = r.noise_lev_min;
        }
    }
}

void NoiseLevels::fillNoiseAverHighBitratefromLowBitrate(std::vector<float>& target, const std::vector<float>& from,
                                                         size_t from_size, size_t n, size_t m)
{
    // Each bit rate is eight times the one below it: eight neighbouring bins make one bin.
    const size_t groups = from_size / 8;
    if (groups == 0 || n >= from.size())
        return;
    const size_t g = ((n + 4) / 8) % groups;
    if (g >= target.size())
        return;
    if (m % 8 == 0)
        target[g] = from[n];
    else
        target[g] += from[n];
}

void NoiseLevels::fold_table(std::vector<float>& target, const std::vector<float>& from, size_t from_size)
{
    for (size_t m = 0; m < from_size; ++m) {
        const size_t n = (m + 4 + from_size / 2) % from_size;
        fillNoiseAverHighBitratefromLowBitrate(target, from, from_size, n, m);
    }
}

void NoiseLevels::run_pass(const std::vector<uint8_t>& spectrum, size_t bins, Pass pass, Noise_LevelsSPI& r,
                           std::vector<uint32_t>& mags, PassCounters& c, std::vector<float>* fold_target)
{
    if (spectrum.size() < bins * 4 || r.noise_lev.size() < bins || mags.size() < bins)
        return;
    const bool quabo50 = pass == Pass::Rate50 && cfg.station == Quabo;
    for (size_t m = 0; m < bins; ++m) {
        const size_t n = (m + 4 + bins / 2) % bins;
        const uint32_t w = getMagnitude(spectrum, n, bins);
        uint32_t a;
        if (pass == Pass::Rate400Band2)
            a = ((w >> 8) * 32u) / 20u;
        else if (quabo50)
            a = reverse_bytes(w) >> 11;
        else
            a = w >> 8;
        const float af = static_cast<float>(a);
        const float p = 1.0f + af * af;
        r.noise_lev[n] += p;
        mags[n] = a;

        NoiseLevAverFromNoiseLevMin(r, c, n, m);

        if (!c.just_started) {
            const float x = 10.0f * p;
            if (std::log10(x) - std::log10(r.noise_lev_min_prev[n]) < 1.1f)
                r.noise_lev_aver[n] = static_cast<float>(double(r.noise_lev_aver[n]) * 0.998 + double(x) * 0.002);
            if (fold_target != nullptr)
                fillNoiseAverHighBitratefromLowBitrate(*fold_target, r.noise_lev_aver, bins, n, m);
        }
    }
}

void NoiseLevels::period_step(Noise_LevelsSPI& r, PassCounters& c, Pass pass, const std::vector<float>* t25600)
{
    if (++c.noise_count < PERIOD)
        return;
    c.just_started = false;
    c.noise_count = 0;
    r.noise_lev_min_prev = r.noise_lev_min;

    if (pass == Pass::Rate50 || pass == Pass::Rate3200) {
        const float s = ((*t25600)[0] + (*t25600)[1]) * 0.1f;
        r.aver_noise = static_cast<float>(10.0 * std::log10(s / static_cast<float>(r.noise_lev.size()))) - cfg.LogOffset;
        if (on_noise_state)
            on_noise_state(r.aver_noise > -157.0f && r.aver_noise < -125.0f);
    } else if (pass == Pass::Rate400Band2) {
        // Summed in double: eight block sums of a strong band overflow a 32-bit integer.
        double sum = 0.0;
        for (float v : *t25600)
            sum += double(v);
        const double s = sum * 0.1;
        r.aver_noise = static_cast<float>(10.0 * std::log10(s / double(r.noise_lev.size()))) - cfg.LogOffset;
        if (on_noise_state)
            on_noise_state(r.aver_noise > -148.0f && r.aver_noise < -116.0f);
    }
    fill(r.noise_lev, 0.0f);
    fill(r.noise_lev_min, FLT_MAX);
}

void NoiseLevels::calc_noise_levels50(const std::vector<uint8_t>& spectrum, Bands band)
{
    const bool b2 = band == Band2;
    Noise_LevelsSPI& r = b2 ? noise_lev50_band2 : noise_lev50_band1;
    PassCounters& c = b2 ? cnt50_band2 : cnt50_band1;
    std::vector<float>& t400 = b2 ? noise_lev_aver_400_band2 : noise_lev_aver_400_band1;
    std::vector<float>& t3200 = b2 ? noise_lev_aver_3200_band2 : noise_lev_aver_3200_band1;
    std::vector<float>& t25600 = b2 ? noise_lev_aver_25600_band2 : noise_lev_aver_25600_band1;
    QMutex& mut = b2 ? mut_fft_magB2 : mut_fft_magB1;
    FFT_Magnitudes& mags = b2 ? fft_mag_band2 : fft_mag_band1;

    QMutexLocker lock(&mut);
    if (spectrum.size() < BINS_50 * 4)
        return;
    run_pass(spectrum, BINS_50, Pass::Rate50, r, mags.fft_mag_band, c, &t400);
    if (!c.just_started) {
        fold_table(t3200, t400, 128);
        fold_table(t25600, t3200, 16);
        t25600[2] = t25600[0];
        t25600[3] = t25600[1];
    }
    if (on_fft)
        on_fft(QVector<quint32>(mags.fft_mag_band.begin(), mags.fft_mag_band.end()),
               static_cast<uint>(mags.fft_mag_band.size()), b2 ? Band2 : Band1);
    period_step(r, c, Pass::Rate50, &t25600);
}

void NoiseLevels::calc_noise_levels(const std::vector<uint8_t>& spectrum, Bands band)
{
    if (band == Band1) {
        calc_noise_levels50(spectrum, Band1);
        return;
    }
    if (spectrum.size() == BINS_50 * 4) {
        qDebug() << "band2 50.";
        calc_noise_levels50(spectrum, Band2);
    }
    if (spectrum.size() == BINS_400_BAND2 * 4)
        calc_noise_levels400band2(spectrum);
}

void NoiseLevels::calc_noise_levels2048(const std::vector<uint8_t>& spectrum)
{
    QMutexLocker lock(&mut_fft_mag2048);
    if (spectrum.size() < BINS_125 * 4)
        return;
    run_pass(spectrum, BINS_125, Pass::Rate125, noise_lev125_band1, fft_mag_2048.fft_mag_band, cnt125, nullptr);
    if (on_fft)
        on_fft(QVector<quint32>(fft_mag_2048.fft_mag_band.begin(), fft_mag_2048.fft_mag_band.end()),
               static_cast<uint>(fft_mag_2048.fft_mag_band.size()), Band1);
    period_step(noise_lev125_band1, cnt125, Pass::Rate125, nullptr);
}

void NoiseLevels::calc_noise_levels3200(const std::vector<uint8_t>& spectrum)
{
    QMutexLocker lock(&mut_fft_magB1);
    if (spectrum.size() < BINS_3200 * 4)
        return;
    run_pass(spectrum, BINS_3200, Pass::Rate3200, noise_lev3200_band1, fft_mag_band1.fft_mag_band, cnt3200,
             &noise_lev_aver_25600_band1);
    noise_lev_aver_25600_band1[2] = noise_lev_aver_25600_band1[0];
    noise_lev_aver_25600_band1[3] = noise_lev_aver_25600_band1[1];
    period_step(noise_lev3200_band1, cnt3200, Pass::Rate3200, &noise_lev_aver_25600_band1);
}

void NoiseLevels::calc_noise_levels400band2(const std::vector<uint8_t>& spectrum)
{
    QMutexLocker lock(&mut_fft_magB2);
    if (spectrum.size() < BINS_400_BAND2 * 4)
        return;
    run_pass(spectrum, BINS_400_BAND2, Pass::Rate400Band2, noise_lev400_band2, fft_mag_400b2.fft_mag_band,
             cnt400_band2, &noise_lev_aver_3200_band2);
    fold_table(noise_lev_aver_25600_band2, noise_lev_aver_3200_band2, 64);
    auto& scaled = scaled_fftmag_400b2.fft_mag_band;
    scaled.resize(2 * BINS_400_BAND2);
    for (size_t i = 0; i < BINS_400_BAND2; ++i)
        scaled[2 * i] = scaled[2 * i + 1] = fft_mag_400b2.fft_mag_band[i];
    if (on_fft)
        on_fft(QVector<quint32>(scaled.begin(), scaled.end()), static_cast<uint>(scaled.size()), Band2);
    period_step(noise_lev400_band2, cnt400_band2, Pass::Rate400Band2, &noise_lev_aver_25600_band2);
}

const std::vector<float>* NoiseLevels::getNoiseLevAver(uint bitrate, bool band) const
{
    switch (bitrate) {
    case 50:
        if (band) {
            qDebug() << "=============!!! Band1 bitrate=" << 50;
            return &noise_lev50_band2.noise_lev_aver;
        }
        return &noise_lev50_band1.noise_lev_aver;
    case 125:
        return &noise_lev125_band1.noise_lev_aver;
    case 400:
        return band ? &noise_lev400_band2.noise_lev_aver : &noise_lev_aver_400_band1;
    case 3200:
        // The hopping firmware delivers its own 3200 bit/s spectrum of band 1; its table is the
        // one that follows the channels the hopping receiver listens on. Band 2 keeps its own.
        if (cfg.hopping && !band)
            return &noise_lev3200_band1.noise_lev_aver;
        return band ? &noise_lev_aver_3200_band2 : &noise_lev_aver_3200_band1;
    case 25600:
        return band ? &noise_lev_aver_25600_band2 : &noise_lev_aver_25600_band1;
    default:
        qDebug() << Q_FUNC_INFO << "Unknown bitrate =" << bitrate;
        return nullptr;
    }
}

bool NoiseLevels::calcNOISE(message_point* mes, uint freq)
{
    if (mes == nullptr)
        return false;
    const std::vector<float>* t = getNoiseLevAver(mes->bitrate, mes->band);
    if (t == nullptr || t->empty()) {
        mes->NOISE = 0.0f;
        return false;
    }
    const size_t size = t->size();
    size_t i = freq < size ? freq : size - 1;
    if (cfg.rev_lo)
        i = size - i - 1;
    mes->NOISE = static_cast<float>(10.0 * std::log10(0.1f * (*t)[i])) - cfg.LogOffset;
    return true;
}
