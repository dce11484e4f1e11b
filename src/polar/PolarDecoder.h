#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Successive-cancellation list decoder of a polar code of length N (a power of two), walking the
// code tree node by node with min-sum updates and integer path metrics. Two kinds of subtree are
// decided without descending into them: rate-0 nodes (every bit frozen) and repetition nodes
// (every bit frozen but the last).
//
// Bits and partial sums are carried in sign form: +1 for a 0 bit, -1 for a 1 bit. A positive LLR
// favours bit 0. Node tables are indexed by heap node number - 1 (root 1, children 2k and 2k+1).
//
// This is the straightforward walk and serves as the reference for PolarFastDecoder.
class PolarDecoder {
public:
    enum Actions : int { L = 0, DL = 1, R = 2, DR = 3, LeafL = 4, LeafR = 5, UL = 6, UR = 7 };

    // What the last call did; for tests and diagnostics.
    struct WalkStats {
        int rate0 = 0;       // rate-0 shortcuts taken (summed over lists)
        int repetition = 0;  // repetition shortcuts taken (summed over lists)
        int steps = 0;
        Actions last_action = L;
        uint32_t last_node = 0;
    };

    PolarDecoder();
    ~PolarDecoder();

    // llrs_: N channel LLRs. zero_nodes: per bit, 0 for an information bit, otherwise frozen.
    // cp: per node, 1 marks a rate-0 node; cr: per inner node, 1 marks a repetition node; ca is
    // accepted for the caller's convenience and not consulted. msg_mem_out: on return row c holds
    // list c's N decided bits in sign form.
    void decode_polar_sc_list_rm(const std::vector<int16_t>& llrs_, const std::vector<float>& zero_nodes,
                                 uint8_t list_size, const std::vector<float>& ca, const std::vector<float>& cp,
                                 const std::vector<float>& cr, std::vector<std::vector<int8_t>>& msg_mem_out);

    // Start of the LLR region of a tree level inside one list's memory of 2N values.
    uint16_t calc_offset_large_mem(uint16_t level) const;

    // Absolute value of the sum of the negative (positive) values among the first segm_len
    // values of list cnd_num's region of level curr_level: the metric cost of forcing a whole
    // node to all-zero (all-one) bits.
    float abs_sum_negative_vals(const std::vector<std::vector<int32_t>>& array, size_t cnd_num,
                                uint16_t curr_level, size_t segm_len) const;
    float abs_sum_positive_vals(const std::vector<std::vector<int32_t>>& array, size_t cnd_num,
                                uint16_t curr_level, size_t segm_len) const;

    static bool is_equal(float x, float y);

    // Indexes ordered by value ascending; equal values keep their index order.
    static std::vector<size_t> arg_sort(const std::vector<int32_t>& values);

    const WalkStats& last_walk() const { return stats_; }

private:
    size_t len_zero_level;
    WalkStats stats_;
};

// A path metric plus a node cost, added in single precision as the list decoder does it; both
// decoders must round alike so that they take the same decisions on extreme words.
inline int32_t polar_metric_add(int32_t pm, float cost)
{
    return static_cast<int32_t>(static_cast<float>(pm) + cost);
}
