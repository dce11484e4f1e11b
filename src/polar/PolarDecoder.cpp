#include "PolarDecoder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace {

int32_t sign_of(int32_t v)
{
    return (v > 0) - (v < 0);
}

} // namespace

PolarDecoder::PolarDecoder() : len_zero_level(0) {}

PolarDecoder::~PolarDecoder() = default;

bool PolarDecoder::is_equal(float x, float y)
{
    return std::fabs(x - y) < std::numeric_limits<float>::epsilon();
}

std::vector<size_t> PolarDecoder::arg_sort(const std::vector<int32_t>& values)
{
    std::vector<size_t> idx(values.size());
    std::iota(idx.begin(), idx.end(), size_t(0));
    std::stable_sort(idx.begin(), idx.end(), [&values](size_t a, size_t b) { return values[a] < values[b]; });
    return idx;
}

uint16_t PolarDecoder::calc_offset_large_mem(uint16_t level) const
{
    uint16_t offset = 0;
    for (uint16_t k = 0; k < level; ++k)
        offset = static_cast<uint16_t>(offset + static_cast<uint16_t>(len_zero_level >> k));
    return offset;
}

float PolarDecoder::abs_sum_negative_vals(const std::vector<std::vector<int32_t>>& array, size_t cnd_num,
                                          uint16_t curr_level, size_t segm_len) const
{
    const int32_t* region = array[cnd_num].data() + calc_offset_large_mem(curr_level);
    int32_t sum = 0;
    for (size_t i = 0; i < segm_len; ++i)
        if (region[i] < 0)
            sum += region[i];
    return static_cast<float>(-sum);
}

float PolarDecoder::abs_sum_positive_vals(const std::vector<std::vector<int32_t>>& array, size_t cnd_num,
                                          uint16_t curr_level, size_t segm_len) const
{
    const int32_t* region = array[cnd_num].data() + calc_offset_large_mem(curr_level);
    int32_t sum = 0;
    for (size_t i = 0; i < segm_len; ++i)
        if (region[i] > 0)
            sum += region[i];
    return static_cast<float>(sum);
}

void PolarDecoder::decode_polar_sc_list_rm(const std::vector<int16_t>& llrs_, const std::vector<float>& zero_nodes,
                                           uint8_t list_size, const std::vector<float>& /*ca*/,
                                           const std::vector<float>& cp, const std::vector<float>& cr,
                                           std::vector<std::vector<int8_t>>& msg_mem_out)
{
    const size_t N = llrs_.size();
    const size_t lists = list_size;
    len_zero_level = N;
    stats_ = WalkStats();
    if (N < 2 || lists == 0)
        return;
    const float power = std::log2(static_cast<float>(N));
    const uint16_t leaf_level = static_cast<uint16_t>(power);
    const size_t rows = size_t(leaf_level) + 1;

    std::vector<std::vector<int32_t>> large_mem2(lists, std::vector<int32_t>(2 * N, 0));
    std::copy(llrs_.begin(), llrs_.end(), large_mem2[0].begin());
    std::vector<std::vector<int32_t>> msg_llr1(lists, std::vector<int32_t>(N / 2, 0));
    // Partial sums: per list one row of N values per level.
    std::vector<std::vector<int8_t>> large_bit_mem1(lists, std::vector<int8_t>(rows * N, 0));
    if (msg_mem_out.size() < lists)
        msg_mem_out.resize(lists);
    for (auto& row : msg_mem_out)
        row.resize(N, 0);
    std::vector<int32_t> PM(lists, 0);
    std::vector<uint8_t> active_lists(lists, 0);
    active_lists[0] = 1;
    std::vector<int32_t> PM_pre_pruning(2 * lists, 0);

    uint32_t node = 1;
    uint16_t level = 0;
    Actions action = L;
    uint16_t offset = 0;

    for (;;) {
        std::vector<int16_t> active_lists_pp1(2 * lists, 0);
        bool prune = false;

        // Phase 1: where the walk goes next.
        uint32_t next_node = node;
        uint16_t next_level = level;
        Actions next_action = action;
        switch (action) {
        case L:
            next_action = DL;
            break;
        case DL:
            next_node = 2 * node;
            next_level = static_cast<uint16_t>(level + 1);
            break;
        case R:
            next_action = DR;
            break;
        case DR:
            next_node = 2 * node + 1;
            next_level = static_cast<uint16_t>(level + 1);
            next_action = (level + 1 == leaf_level) ? LeafR : L;
            break;
        case LeafL:
            next_action = UL;
            prune = is_equal(zero_nodes[node - N], 0.0f);
            break;
        case LeafR:
            next_action = UR;
            prune = is_equal(zero_nodes[node - N], 0.0f);
            break;
        case UL:
            next_node = node / 2;
            next_level = static_cast<uint16_t>(level - 1);
            next_action = R;
            break;
        case UR:
            next_node = node / 2;
            next_level = static_cast<uint16_t>(level - 1);
            next_action = (next_node % 2 == 0) ? UL : UR;
            break;
        }

        const size_t len = N >> level;
        const size_t n = len / 2;
        const size_t start = (size_t(node) - (size_t(1) << level)) * len;

        // Phase 2: the work of the action on every active list.
        for (size_t c = 0; c < lists; ++c) {
            if (active_lists[c] != 1)
                continue;
            int32_t* region = large_mem2[c].data() + offset;
            int8_t* bits = large_bit_mem1[c].data();
            int32_t* scratch = msg_llr1[c].data();
            switch (action) {
            case L: {
                for (size_t i = 0; i < n; ++i) {
                    const int32_t a = region[i];
                    const int32_t b = region[n + i];
                    scratch[i] = sign_of(a) * sign_of(b) * std::min(std::abs(a), std::abs(b));
                }
                if (level > 0 && is_equal(cp[node - 1], 1.0f)) {
                    int8_t* parent_row = bits + size_t(level - 1) * N;
                    for (size_t i = start; i < start + len; ++i) {
                        msg_mem_out[c][i] = 1;
                        parent_row[i] = 1;
                    }
                    PM[c] = polar_metric_add(PM[c], abs_sum_negative_vals(large_mem2, c, level, len));
                    next_node = node / 2;
                    next_level = static_cast<uint16_t>(level - 1);
                    next_action = R;
                    ++stats_.rate0;
                }
                if (level > 0 && level <= leaf_level && cr[node - 1] == 1.0f) {
                    for (size_t i = start; i < start + len; ++i)
                        msg_mem_out[c][i] = 1;
                    PM_pre_pruning[c] = polar_metric_add(PM[c], abs_sum_negative_vals(large_mem2, c, level, len));
                    PM_pre_pruning[c + lists] =
                        polar_metric_add(PM[c], abs_sum_positive_vals(large_mem2, c, level, len));
                    active_lists_pp1[c] = 1;
                    active_lists_pp1[c + lists] = 1;
                    prune = true;
                    next_node = node / 2;
                    next_level = static_cast<uint16_t>(level - 1);
                    next_action = R;
                    ++stats_.repetition;
                }
                break;
            }
            case DL:
                std::copy(scratch, scratch + n, large_mem2[c].data() + calc_offset_large_mem(level + 1));
                next_action = (level + 1 == leaf_level) ? LeafL : L;
                break;
            case R: {
                const int8_t* s = bits + size_t(level) * N + start;
                for (size_t i = 0; i < n; ++i)
                    scratch[i] = s[i] * region[i] + region[n + i];
                break;
            }
            case DR:
                std::copy(scratch, scratch + n, large_mem2[c].data() + calc_offset_large_mem(level + 1));
                break;
            case LeafL:
            case LeafR: {
                const int32_t x = region[0];
                const size_t u = node - N;
                if (prune) {
                    PM_pre_pruning[c] = PM[c] + std::max(0, -x);
                    PM_pre_pruning[c + lists] = PM[c] + std::max(0, x);
                    active_lists_pp1[c] = 1;
                    active_lists_pp1[c + lists] = 1;
                } else {
                    msg_mem_out[c][u] = 1;
                    bits[size_t(level) * N + u] = 1;
                    PM[c] += std::max(0, -x);
                }
                break;
            }
            case UL: {
                const int8_t* own = bits + size_t(level) * N + start;
                std::copy(own, own + len, bits + size_t(level - 1) * N + start);
                break;
            }
            case UR: {
                int8_t* parent_left = bits + size_t(level - 1) * N + (start - len);
                int8_t* parent_right = bits + size_t(level - 1) * N + start;
                const int8_t* own = bits + size_t(level) * N + start;
                for (size_t i = 0; i < len; ++i) {
                    parent_left[i] = static_cast<int8_t>(parent_left[i] * own[i]);
                    parent_right[i] = own[i];
                }
                break;
            }
            }
        }

        // Phase 3: keep the list_size best candidates of this decision.
        if (prune) {
            const std::vector<size_t> order = arg_sort(PM_pre_pruning);
            std::vector<size_t> survivors;
            for (size_t idx : order)
                if (active_lists_pp1[idx] == 1 && survivors.size() < lists)
                    survivors.push_back(idx);
            const auto msg_copy = msg_mem_out;
            const auto bits_copy = large_bit_mem1;
            const auto llr_copy = large_mem2;
            for (size_t j = 0; j < survivors.size(); ++j) {
                const size_t idx = survivors[j];
                const size_t source = idx % lists;
                PM[j] = PM_pre_pruning[idx];
                active_lists[j] = static_cast<uint8_t>(active_lists_pp1[idx]);
                msg_mem_out[j] = msg_copy[source];
                large_bit_mem1[j] = bits_copy[source];
                large_mem2[j] = llr_copy[source];
                const int8_t r = idx < lists ? 1 : -1;
                msg_mem_out[j][start + len - 1] = r;
                int8_t* row = large_bit_mem1[j].data() + size_t(next_level) * N;
                std::fill(row + start, row + start + len, r);
            }
        }

        ++stats_.steps;
        stats_.last_action = action;
        stats_.last_node = node;
        if (action == UR && next_node == 1)
            break;
        node = next_node;
        level = next_level;
        action = next_action;
        offset = calc_offset_large_mem(level);
    }
}
