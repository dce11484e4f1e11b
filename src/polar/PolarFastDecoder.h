#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Successive-cancellation decoder with a list of one path, the only list size the station uses.
// It takes exactly the decisions of PolarDecoder with list size 1 (same min-sum updates, same
// rate-0 and repetition shortcuts, same metric rounding, ties to bit 0), but the walk through
// the code tree is planned once at construction and all working memory is held by the object,
// so a decode allocates nothing.
class PolarFastDecoder {
public:
    // zero_nodes: per bit, 0 for an information bit, otherwise frozen; cp and cr: per node
    // (heap number - 1), 1 marks a rate-0 or a repetition node. N = size of zero_nodes, a power
    // of two from 2 to 32768.
    PolarFastDecoder(const std::vector<float>& zero_nodes, const std::vector<float>& cp,
                     const std::vector<float>& cr);

    size_t length() const { return n_; }

    // llrs: N channel LLRs; bits: receives the N decided bits u, 0 or 1.
    void decode(const int16_t* llrs, uint8_t* bits);

    // Shortcuts in the plan, per decoded word.
    int rate0_nodes() const { return rate0_; }
    int repetition_nodes() const { return repetition_; }

private:
    enum Kind : uint8_t { F, G, Combine, LeafInfo, LeafFrozen, Rate0, Repetition, Pair };
    struct Op {
        Kind kind;
        uint8_t level;
        uint8_t flags;    // Pair: bit 0 left leaf information, bit 1 right leaf information
        uint16_t start;   // first bit position of the node
        uint16_t half;    // half the node's length (Rate0, Repetition: the whole length)
    };

    void plan(uint32_t node, unsigned level, const std::vector<float>& zero_nodes, const std::vector<float>& cp,
              const std::vector<float>& cr);

    size_t n_;
    unsigned power_;
    std::vector<Op> plan_;
    std::vector<size_t> offset_;   // start of each level's LLR region in llr_
    std::vector<int32_t> llr_;     // one node per level: 2N values
    std::vector<uint8_t> sums_;    // partial sums: one row of N bits per level
    int rate0_ = 0;
    int repetition_ = 0;
};
