#pragma once

#include "PolarDecoder.h"
#include "PolarFastDecoder.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The N = 256, K = 160 polar code of protocol-E uplink records: its tables, built once, and the
// decoding of a record's 32 coded bytes into its 20 data bytes.
//
// Bit p of a 256-bit word is bit 7 - p % 8 of byte p / 8 (most significant bit first). The
// information positions are those at which the downlink encoder places its data bits.
//
// Node tables are float vectors in heap order, root (node 1) at entry 0, level after level.
class PolarDecoder_Simple {
public:
    // Square matrix of 0/1 entries.
    struct Matrix {
        size_t rows = 0;
        size_t cols = 0;
        std::vector<uint16_t> v;
        uint16_t at(size_t r, size_t c) const { return v[r * cols + c]; }
    };

    static constexpr size_t kCodedBytes = 32;
    static constexpr size_t kDataBytes = 20;
    static constexpr size_t kCodeBits = 256;

    PolarDecoder_Simple();
    ~PolarDecoder_Simple();
    PolarDecoder_Simple(const PolarDecoder_Simple&) = delete;
    PolarDecoder_Simple& operator=(const PolarDecoder_Simple&) = delete;

    // 32 hard-decision coded bytes in, 20 data bytes out, in the same vector. Any other size is
    // refused: data stays unchanged and the result is false. Too many bit errors give 20 wrong
    // bytes without notice; the record's own CRC decides.
    bool decode(std::vector<uint8_t>& data);

    // 256 channel values (positive favours bit 0) in, 20 data bytes out. Any other number of
    // values is refused: data stays unchanged and the result is false.
    bool decode_llrs(const std::vector<int16_t>& llrs, std::vector<uint8_t>& data);

    // The same through the general list decoder walk with the object's list size; slower, it is
    // the reference that decode_llrs must agree with.
    bool decode_llrs_reference(const std::vector<int16_t>& llrs, std::vector<uint8_t>& data);

    const std::vector<uint16_t>& indexes() const { return indexes_; }
    const std::vector<uint16_t>& frozen_indexes() const { return check_indexes_; }
    const Matrix& generator() const { return F; }
    const std::vector<float>& zero_nodes() const { return zero_nodes1; }
    const std::vector<float>& hstack_ca() const { return hstackCa; }
    const std::vector<float>& hstack_dp() const { return hstackDp; }
    const std::vector<float>& hstack_da() const { return hstackDa; }
    const std::vector<float>& hstack_cs() const { return hstackCs; }
    const std::vector<float>& hstack_cr() const { return hstackCr; }
    const std::vector<float>& hstack_cp() const { return hstackCp; }
    uint8_t power() const { return POWER; }
    uint8_t list_size() const { return LIST_SIZE; }

    // Shortcuts the service path takes per word.
    int rate0_nodes() const { return fast_->rate0_nodes(); }
    int repetition_nodes() const { return fast_->repetition_nodes(); }

private:
    void get_indexes(uint16_t snr, uint8_t power, size_t N);
    void check_indexes();
    static Matrix pwrF(uint16_t pwr);
    static void sum_column_minus1_2(const std::vector<float>& in_c, std::vector<float>& out_c);
    std::vector<float> toSingleVector(const std::vector<std::vector<float>>& in) const;
    void pack(const uint8_t* bits, std::vector<uint8_t>& data) const;

    PolarDecoder decoder;
    std::vector<uint16_t> data_;
    std::vector<uint16_t> indexes_;
    std::vector<uint16_t> check_indexes_;
    Matrix F;
    std::vector<float> zero_nodes1;
    std::vector<float> hstackCa;
    std::vector<float> hstackDp;
    std::vector<float> hstackDa;
    std::vector<float> hstackCs;
    std::vector<float> hstackCr;
    std::vector<float> hstackCp;
    uint8_t POWER;
    uint8_t LIST_SIZE;

    std::unique_ptr<PolarFastDecoder> fast_;
    std::vector<int16_t> channel_;   // hard decisions of the word being decoded
    std::vector<uint8_t> bits_;      // decided bits u, 0 or 1
};
