#include "PolarFastDecoder.h"

#include "PolarCode256.h"
#include "PolarDecoder.h"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr unsigned offset_of(unsigned level)
{
    return 512u - (512u >> level);
}

// Min-sum check-node update; min(|a|, |b|) is 0 when either is 0, as sign(0) = 0 would make it.
template <typename T>
inline T f_minsum(T a, T b)
{
    const T m = std::min<T>(a < 0 ? T(-a) : a, b < 0 ? T(-b) : b);
    return (a ^ b) < 0 ? T(-m) : m;
}

// Variable-node update with the left child's code bit (0 or 1).
template <typename T>
inline T g_update(T a, T b, uint8_t bit)
{
    const T neg = T(-T(bit));
    return T(T((a ^ neg) - neg) + b);
}

// Code bits of a node of at most 64 bits travel as a mask (bit i: the node's code bit i), in
// registers rather than through memory.
template <unsigned Len>
constexpr uint64_t all_ones()
{
    return Len == 64 ? ~uint64_t(0) : (uint64_t(1) << Len) - 1;
}

// Decodes the node of the given level starting at bit Start from its LLRs in its level's
// region; returns the node's code bits.
template <typename T, unsigned Level, unsigned Start>
inline __attribute__((always_inline)) uint64_t decode_node(PolarFastDecoder::State& s, T* llr)
{
    constexpr unsigned Len = polar256::kLength >> Level;
    static_assert(Len <= 64, "larger nodes keep their code bits in memory");
    const T* a = llr + offset_of(Level);
    if constexpr (Len == 1) {
        if constexpr (polar256::is_information(Start)) {
            const uint8_t bit = a[0] < 0;
            s.bits[Start] = bit;
            return bit;
        } else {
            s.bits[Start] = 0;
            s.pm += std::max(0, -int32_t(a[0]));
            return 0;
        }
    } else if constexpr (polar256::is_rate0(Start, Len)) {
        int32_t negative = 0;
        for (unsigned i = 0; i < Len; ++i)
            negative += std::min(int32_t(a[i]), 0);
        s.pm = polar_metric_add(s.pm, static_cast<float>(-negative));
        for (unsigned i = 0; i < Len; ++i)
            s.bits[Start + i] = 0;
        return 0;
    } else if constexpr (polar256::is_repetition(Start, Len)) {
        int32_t negative = 0;
        int32_t positive = 0;
        for (unsigned i = 0; i < Len; ++i) {
            negative += std::min(int32_t(a[i]), 0);
            positive += std::max(int32_t(a[i]), 0);
        }
        const int32_t pm0 = polar_metric_add(s.pm, static_cast<float>(-negative));
        const int32_t pm1 = polar_metric_add(s.pm, static_cast<float>(positive));
        const uint8_t bit = pm1 < pm0;
        s.pm = bit ? pm1 : pm0;
        for (unsigned i = 0; i + 1 < Len; ++i)
            s.bits[Start + i] = 0;
        s.bits[Start + Len - 1] = bit;
        return bit ? all_ones<Len>() : 0;
    } else {
        constexpr unsigned Half = Len / 2;
        T* child = llr + offset_of(Level + 1);
        for (unsigned i = 0; i < Half; ++i)
            child[i] = f_minsum<T>(a[i], a[Half + i]);
        const uint64_t left = decode_node<T, Level + 1, Start>(s, llr);
        for (unsigned i = 0; i < Half; ++i)
            child[i] = g_update<T>(a[i], a[Half + i], uint8_t((left >> i) & 1));
        const uint64_t right = decode_node<T, Level + 1, Start + Half>(s, llr);
        return (left ^ right) | (right << Half);
    }
}

// A node of 128 or 256 bits (no shortcut applies to them in this code); its code bits go to
// `code` as bytes, 0 or 1, when the caller needs them.
template <typename T, unsigned Level, unsigned Start>
void decode_large(PolarFastDecoder::State& s, T* llr, uint8_t* code)
{
    constexpr unsigned Len = polar256::kLength >> Level;
    constexpr unsigned Half = Len / 2;
    static_assert(Len > 64 && !polar256::is_rate0(Start, Len) && !polar256::is_repetition(Start, Len),
                  "small and shortcut nodes are decoded by decode_node");
    const T* a = llr + offset_of(Level);
    T* child = llr + offset_of(Level + 1);
    uint8_t left[Half];
    uint8_t right[Half];
    for (unsigned i = 0; i < Half; ++i)
        child[i] = f_minsum<T>(a[i], a[Half + i]);
    if constexpr (Half > 64) {
        decode_large<T, Level + 1, Start>(s, llr, left);
    } else {
        const uint64_t mask = decode_node<T, Level + 1, Start>(s, llr);
        for (unsigned i = 0; i < Half; ++i)
            left[i] = uint8_t((mask >> i) & 1);
    }
    for (unsigned i = 0; i < Half; ++i)
        child[i] = g_update<T>(a[i], a[Half + i], left[i]);
    if constexpr (Half > 64) {
        decode_large<T, Level + 1, Start + Half>(s, llr, code ? right : nullptr);
    } else {
        const uint64_t mask = decode_node<T, Level + 1, Start + Half>(s, llr);
        for (unsigned i = 0; i < Half; ++i)
            right[i] = uint8_t((mask >> i) & 1);
    }
    if (code) {
        for (unsigned i = 0; i < Half; ++i) {
            code[i] = left[i] ^ right[i];
            code[Half + i] = right[i];
        }
    }
}

template <typename T>
void decode_word(PolarFastDecoder::State& s, const int16_t* llrs, T* llr)
{
    for (unsigned i = 0; i < polar256::kLength; ++i)
        llr[i] = llrs[i];
    s.pm = 0;
    decode_large<T, 0, 0>(s, llr, nullptr);
}

} // namespace

PolarFastDecoder::PolarFastDecoder(const std::vector<float>& zero_nodes, const std::vector<float>& cp,
                                   const std::vector<float>& cr)
{
    if (zero_nodes.size() != length() || cp.size() != 2 * length() - 1 || cr.size() != length() - 1)
        throw std::invalid_argument("polar decoder: tables of another code length");
    check(1, 0, zero_nodes, cp, cr);
}

// The compiled walk must take the shortcuts the tables flag, and only those, at every node it
// reaches.
void PolarFastDecoder::check(uint32_t node, unsigned level, const std::vector<float>& zero_nodes,
                             const std::vector<float>& cp, const std::vector<float>& cr)
{
    const unsigned len = polar256::kLength >> level;
    const unsigned start = (node - (1u << level)) * len;
    if (len == 1) {
        if (PolarDecoder::is_equal(zero_nodes[start], 0.0f) != polar256::is_information(start))
            throw std::invalid_argument("polar decoder: frozen positions of another code");
        return;
    }
    const bool rate0 = level > 0 && PolarDecoder::is_equal(cp[node - 1], 1.0f);
    const bool repetition = level > 0 && cr[node - 1] == 1.0f;
    if (rate0 != (level > 0 && polar256::is_rate0(start, len)) ||
        repetition != (level > 0 && polar256::is_repetition(start, len)))
        throw std::invalid_argument("polar decoder: node tables of another code");
    if (rate0) {
        ++rate0_;
        return;
    }
    if (repetition) {
        ++repetition_;
        return;
    }
    check(2 * node, level + 1, zero_nodes, cp, cr);
    check(2 * node + 1, level + 1, zero_nodes, cp, cr);
}

void PolarFastDecoder::decode(const int16_t* llrs, uint8_t* bits)
{
    state_.bits = bits;
    decode_word<int32_t>(state_, llrs, state_.llr);
}
