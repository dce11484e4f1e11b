#include "PolarFastDecoder.h"

#include "PolarDecoder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

bool near(float x, float y)
{
    return PolarDecoder::is_equal(x, y);
}

// Min-sum check-node update; min(|a|, |b|) is 0 when either is 0, as sign(0) = 0 would make it.
inline int32_t f_minsum(int32_t a, int32_t b)
{
    const int32_t m = std::min(a < 0 ? -a : a, b < 0 ? -b : b);
    return (a ^ b) < 0 ? -m : m;
}

// Variable-node update with the left child's bit (0 or 1).
inline int32_t g_update(int32_t a, int32_t b, uint8_t bit)
{
    const int32_t neg = -static_cast<int32_t>(bit);
    return ((a ^ neg) - neg) + b;
}

} // namespace

PolarFastDecoder::PolarFastDecoder(const std::vector<float>& zero_nodes, const std::vector<float>& cp,
                                   const std::vector<float>& cr)
    : n_(zero_nodes.size()), power_(0)
{
    if (n_ < 2 || n_ > 32768 || (n_ & (n_ - 1)) != 0 || cp.size() + 1 < 2 * n_ || cr.size() + 1 < n_)
        throw std::invalid_argument("polar decoder: tables do not describe a code of a power-of-two length");
    while ((size_t(1) << power_) < n_)
        ++power_;
    offset_.resize(power_ + 1);
    size_t off = 0;
    for (unsigned l = 0; l <= power_; ++l) {
        offset_[l] = off;
        off += n_ >> l;
    }
    llr_.assign(2 * n_, 0);
    sums_.assign((power_ + 1) * n_, 0);
    plan(1, 0, zero_nodes, cp, cr);
}

void PolarFastDecoder::plan(uint32_t node, unsigned level, const std::vector<float>& zero_nodes,
                            const std::vector<float>& cp, const std::vector<float>& cr)
{
    const size_t len = n_ >> level;
    const uint16_t start = static_cast<uint16_t>((node - (uint32_t(1) << level)) * len);
    const uint8_t lv = static_cast<uint8_t>(level);
    if (level == power_) {
        plan_.push_back({near(zero_nodes[start], 0.0f) ? LeafInfo : LeafFrozen, lv, 0, start, 0});
        return;
    }
    // The whole root is never decided by a shortcut: the list walk treats a flagged node as a child.
    if (level > 0 && near(cp[node - 1], 1.0f)) {
        plan_.push_back({Rate0, lv, 0, start, static_cast<uint16_t>(len)});
        ++rate0_;
        return;
    }
    if (level > 0 && cr[node - 1] == 1.0f) {
        plan_.push_back({Repetition, lv, 0, start, static_cast<uint16_t>(len)});
        ++repetition_;
        return;
    }
    const uint16_t half = static_cast<uint16_t>(len / 2);
    if (level + 1 == power_) {
        const uint8_t flags = static_cast<uint8_t>((near(zero_nodes[start], 0.0f) ? 1 : 0) |
                                                   (near(zero_nodes[start + 1u], 0.0f) ? 2 : 0));
        plan_.push_back({Pair, lv, flags, start, 1});
        return;
    }
    plan_.push_back({F, lv, 0, start, half});
    plan(2 * node, level + 1, zero_nodes, cp, cr);
    plan_.push_back({G, lv, 0, start, half});
    plan(2 * node + 1, level + 1, zero_nodes, cp, cr);
    plan_.push_back({Combine, lv, 0, start, half});
}

void PolarFastDecoder::decode(const int16_t* llrs, uint8_t* bits)
{
    int32_t* const llr = llr_.data();
    uint8_t* const sums = sums_.data();
    const size_t n = n_;
    for (size_t i = 0; i < n; ++i)
        llr[i] = llrs[i];
    int32_t pm = 0;
    const int32_t* leaf = llr + offset_[power_];

    for (const Op& op : plan_) {
        const size_t start = op.start;
        const size_t half = op.half;
        switch (op.kind) {
        case F: {
            const int32_t* a = llr + offset_[op.level];
            const int32_t* b = a + half;
            int32_t* out = llr + offset_[op.level + 1];
            for (size_t i = 0; i < half; ++i)
                out[i] = f_minsum(a[i], b[i]);
            break;
        }
        case G: {
            const int32_t* a = llr + offset_[op.level];
            const int32_t* b = a + half;
            int32_t* out = llr + offset_[op.level + 1];
            const uint8_t* left = sums + (op.level + 1u) * n + start;
            for (size_t i = 0; i < half; ++i)
                out[i] = g_update(a[i], b[i], left[i]);
            break;
        }
        case Combine: {
            uint8_t* row = sums + size_t(op.level) * n + start;
            const uint8_t* child = sums + (op.level + 1u) * n + start;
            for (size_t i = 0; i < half; ++i) {
                row[i] = child[i] ^ child[half + i];
                row[half + i] = child[half + i];
            }
            break;
        }
        case LeafInfo: {
            const uint8_t bit = leaf[0] < 0;
            sums[size_t(power_) * n + start] = bit;
            bits[start] = bit;
            break;
        }
        case LeafFrozen:
            sums[size_t(power_) * n + start] = 0;
            bits[start] = 0;
            pm += std::max(0, -leaf[0]);
            break;
        case Rate0: {
            const int32_t* a = llr + offset_[op.level];
            int32_t negative = 0;
            for (size_t i = 0; i < half; ++i)
                negative += std::min(a[i], 0);
            pm = polar_metric_add(pm, static_cast<float>(-negative));
            std::memset(sums + size_t(op.level) * n + start, 0, half);
            std::memset(bits + start, 0, half);
            break;
        }
        case Repetition: {
            const int32_t* a = llr + offset_[op.level];
            int32_t negative = 0;
            int32_t positive = 0;
            for (size_t i = 0; i < half; ++i) {
                negative += std::min(a[i], 0);
                positive += std::max(a[i], 0);
            }
            const int32_t pm0 = polar_metric_add(pm, static_cast<float>(-negative));
            const int32_t pm1 = polar_metric_add(pm, static_cast<float>(positive));
            const uint8_t bit = pm1 < pm0;
            pm = bit ? pm1 : pm0;
            std::memset(sums + size_t(op.level) * n + start, bit, half);
            std::memset(bits + start, 0, half - 1);
            bits[start + half - 1] = bit;
            break;
        }
        case Pair: {
            const int32_t* a = llr + offset_[op.level];
            const int32_t x0 = f_minsum(a[0], a[1]);
            uint8_t b0 = 0;
            if (op.flags & 1)
                b0 = x0 < 0;
            else
                pm += std::max(0, -x0);
            const int32_t x1 = g_update(a[0], a[1], b0);
            uint8_t b1 = 0;
            if (op.flags & 2)
                b1 = x1 < 0;
            else
                pm += std::max(0, -x1);
            uint8_t* row = sums + size_t(op.level) * n + start;
            row[0] = b0 ^ b1;
            row[1] = b1;
            bits[start] = b0;
            bits[start + 1] = b1;
            break;
        }
        }
    }
}
