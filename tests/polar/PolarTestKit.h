#pragma once
// Helpers shared by the polar decoder tests and benchmark: a naive successive-cancellation
// decoder written straight from the recursion (no shortcuts, new vectors at every node), and the
// making of code words, bit errors and noisy channel values from a generator's raw output.

#include "frame_coders.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

namespace polartest {

constexpr int kCodeBits = 256;
constexpr int kDataBytes = 20;
constexpr int kCodedBytes = 32;

inline bool bit_at(const std::vector<uint8_t>& bytes, int p)
{
    return (bytes[size_t(p / 8)] >> (7 - p % 8)) & 1u;
}

inline void flip_bit(std::vector<uint8_t>& bytes, int p)
{
    bytes[size_t(p / 8)] ^= uint8_t(0x80u >> (p % 8));
}

// Naive min-sum SC decoding of the subtree whose LLRs are given; writes the decided bits u into
// u[start ..] and returns the subtree's code bits.
inline std::vector<uint8_t> naive_sc(const std::vector<int64_t>& llr, size_t start, const std::vector<bool>& frozen,
                                     std::vector<uint8_t>& u)
{
    if (llr.size() == 1) {
        const uint8_t bit = frozen[start] ? 0 : (llr[0] < 0 ? 1 : 0);
        u[start] = bit;
        return {bit};
    }
    const size_t n = llr.size() / 2;
    std::vector<int64_t> left(n);
    for (size_t i = 0; i < n; ++i) {
        const int64_t a = llr[i];
        const int64_t b = llr[n + i];
        const int64_t sign = ((a > 0) - (a < 0)) * ((b > 0) - (b < 0));
        left[i] = sign * std::min(std::llabs(a), std::llabs(b));
    }
    const std::vector<uint8_t> xl = naive_sc(left, start, frozen, u);
    std::vector<int64_t> right(n);
    for (size_t i = 0; i < n; ++i)
        right[i] = llr[n + i] + (1 - 2 * int64_t(xl[i])) * llr[i];
    const std::vector<uint8_t> xr = naive_sc(right, start + n, frozen, u);
    std::vector<uint8_t> x(2 * n);
    for (size_t i = 0; i < n; ++i) {
        x[i] = xl[i] ^ xr[i];
        x[n + i] = xr[i];
    }
    return x;
}

// Decodes 256 channel values into the 20 data bytes carried at the information positions.
inline std::vector<uint8_t> naive_decode(const std::vector<int16_t>& llrs, const std::vector<uint16_t>& info)
{
    std::vector<bool> frozen(llrs.size(), true);
    for (uint16_t p : info)
        frozen[p] = false;
    std::vector<uint8_t> u(llrs.size(), 0);
    naive_sc(std::vector<int64_t>(llrs.begin(), llrs.end()), 0, frozen, u);
    std::vector<uint8_t> data(kDataBytes, 0);
    for (size_t k = 0; k < info.size(); ++k)
        if (u[info[k]])
            data[k / 8] |= uint8_t(0x80u >> (k % 8));
    return data;
}

inline std::vector<int16_t> hard_llrs(const std::vector<uint8_t>& word)
{
    std::vector<int16_t> llrs(kCodeBits);
    for (int p = 0; p < kCodeBits; ++p)
        llrs[size_t(p)] = bit_at(word, p) ? -1 : 1;
    return llrs;
}

inline std::vector<uint8_t> encode_word(const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> word(kCodedBytes, 0);
    encode(8, data.data(), word.data());
    return word;
}

// Everything drawn from the raw 64-bit output, so that runs on any standard library agree.
struct Source {
    std::mt19937_64 gen;
    explicit Source(uint64_t seed) : gen(seed) {}

    uint64_t raw() { return gen(); }
    // Uniform in [0, 1) with 53 random bits.
    double uniform() { return double(gen() >> 11) * 0x1.0p-53; }
    // Box-Muller on two 53-bit uniforms; 1 - u keeps the logarithm finite.
    double gaussian()
    {
        const double u1 = 1.0 - uniform();
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * 3.14159265358979323846 * u2);
    }
    std::vector<uint8_t> data()
    {
        std::vector<uint8_t> d(kDataBytes);
        for (auto& b : d)
            b = uint8_t(gen() & 0xFF);
        return d;
    }
    // k distinct positions of the code word.
    std::vector<int> positions(int k)
    {
        std::vector<int> pos;
        while (int(pos.size()) < k) {
            const int p = int(gen() % kCodeBits);
            if (std::find(pos.begin(), pos.end(), p) == pos.end())
                pos.push_back(p);
        }
        return pos;
    }
};

// BPSK over AWGN: bit 0 -> +1, bit 1 -> -1, LLR 2y/sigma^2 scaled by 8, rounded and clipped.
inline std::vector<int16_t> awgn_llrs(const std::vector<uint8_t>& word, double ebn0_db, Source& src)
{
    const double rate = 160.0 / 256.0;
    const double sigma2 = 1.0 / (2.0 * rate * std::pow(10.0, ebn0_db / 10.0));
    const double sigma = std::sqrt(sigma2);
    std::vector<int16_t> llrs(kCodeBits);
    for (int p = 0; p < kCodeBits; ++p) {
        const double y = (bit_at(word, p) ? -1.0 : 1.0) + sigma * src.gaussian();
        const double v = std::round(8.0 * 2.0 * y / sigma2);
        llrs[size_t(p)] = int16_t(std::clamp(v, -32767.0, 32767.0));
    }
    return llrs;
}

} // namespace polartest
