#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Successive-cancellation decoder of the station's N = 256, K = 160 polar code with a list of
// one path, the only list size the station uses. It takes exactly the decisions of PolarDecoder
// with list size 1 (same min-sum updates, same rate-0 and repetition shortcuts, same metric
// rounding, ties to bit 0), but the walk through the code tree is unrolled at compile time for
// this one code and all working memory is held by the object, so a decode allocates nothing.
class PolarFastDecoder {
public:
    // zero_nodes: per bit, 0 for an information bit, otherwise frozen; cp and cr: per node
    // (heap number - 1), 1 marks a rate-0 or a repetition node. The tables must describe the
    // compiled code and its shortcuts; anything else throws std::invalid_argument.
    PolarFastDecoder(const std::vector<float>& zero_nodes, const std::vector<float>& cp,
                     const std::vector<float>& cr);

    static constexpr size_t length() { return 256; }

    // llrs: 256 channel values; bits: receives the 256 decided bits u, 0 or 1.
    void decode(const int16_t* llrs, uint8_t* bits);

    // Shortcuts the walk takes per decoded word.
    int rate0_nodes() const { return rate0_; }
    int repetition_nodes() const { return repetition_; }

    struct State {
        // One node per level; level l starts at 512 - (512 >> l). Magnitudes stay below 2^23
        // (256 channel values of at most 2^15), so 32-bit lanes never wrap.
        int32_t llr[512];
        uint8_t* bits;           // decided bits u
        int32_t pm;              // path metric, kept as the list decoder keeps it
    };

private:
    void check(uint32_t node, unsigned level, const std::vector<float>& zero_nodes, const std::vector<float>& cp,
               const std::vector<float>& cr);

    State state_;
    int rate0_ = 0;
    int repetition_ = 0;
};
