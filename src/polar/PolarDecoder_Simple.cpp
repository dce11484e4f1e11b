#include "PolarDecoder_Simple.h"

#include "PolarCode256.h"

#include <algorithm>
#include <cmath>

namespace {

// Each value times 2^-shift, computed in double and stored as float.
std::vector<float> fractions(const std::vector<float>& counts, int shift)
{
    std::vector<float> out;
    out.reserve(counts.size());
    const double scale = std::ldexp(1.0, -shift);
    for (float c : counts)
        out.push_back(static_cast<float>(static_cast<double>(c) * scale));
    return out;
}

} // namespace

PolarDecoder_Simple::PolarDecoder_Simple() : POWER(8), LIST_SIZE(1)
{
    get_indexes(1, 8, 160);
    F = pwrF(POWER);
    check_indexes();

    const size_t n = size_t(1) << POWER;
    zero_nodes1.assign(n, 0.0f);
    for (uint16_t p : check_indexes_)
        zero_nodes1[p] = 1.0f;
    std::vector<float> data_nodes1(n, 0.0f);
    for (uint16_t p : indexes_)
        data_nodes1[p] = 1.0f;

    std::vector<std::vector<float>> ca1{zero_nodes1};
    std::vector<std::vector<float>> cp1{zero_nodes1};
    std::vector<std::vector<float>> da1{data_nodes1};
    std::vector<std::vector<float>> dp1{data_nodes1};
    std::vector<float> c1 = zero_nodes1;  // frozen leaves per node of the current level
    std::vector<float> d1 = data_nodes1;  // information leaves per node of the current level

    // Two-leaf nodes: a frozen left leaf and an information right leaf is both a repetition and
    // a single-parity-check node.
    const size_t half_sz_c1 = c1.size() / 2;
    std::vector<float> r(half_sz_c1, 0.0f);
    std::vector<float> s(half_sz_c1, 0.0f);
    for (size_t j = 0; j < half_sz_c1; ++j)
        r[j] = s[j] = (c1[2 * j] == 1.0f && d1[2 * j + 1] == 1.0f) ? 1.0f : 0.0f;
    std::vector<std::vector<float>> cr{r};
    std::vector<std::vector<float>> cs{s};

    for (int i = 1; i <= POWER; ++i) {
        const int t = i - 1;
        std::vector<float> next;
        sum_column_minus1_2(c1, next);
        c1.swap(next);
        ca1.push_back(c1);
        cp1.push_back(fractions(c1, i));

        next.clear();
        sum_column_minus1_2(d1, next);
        d1.swap(next);
        da1.push_back(d1);
        dp1.push_back(fractions(d1, i));

        if (t < POWER - 1) {
            // Flags of the nodes of length 2^(i+1) from their children of length 2^i.
            const float full = static_cast<float>(std::ldexp(1.0, i));
            const std::vector<float> r_old = r;
            const std::vector<float> s_old = s;
            const size_t count = c1.size() / 2;
            r.assign(count, 0.0f);
            s.assign(count, 0.0f);
            for (size_t j = 0; j < count; ++j) {
                r[j] = (c1[2 * j] == full && r_old[2 * j + 1] == 1.0f) ? 1.0f : 0.0f;
                s[j] = (s_old[2 * j] == 1.0f && d1[2 * j + 1] == full) ? 1.0f : 0.0f;
            }
            cr.push_back(r);
            cs.push_back(s);
        }
    }

    for (auto* list : {&ca1, &cp1, &cr, &cs, &da1, &dp1})
        std::reverse(list->begin(), list->end());
    hstackCa = toSingleVector(ca1);
    hstackCp = toSingleVector(cp1);
    hstackCr = toSingleVector(cr);
    hstackCs = toSingleVector(cs);
    hstackDa = toSingleVector(da1);
    hstackDp = toSingleVector(dp1);

    fast_ = std::make_unique<PolarFastDecoder>(zero_nodes1, hstackCp, hstackCr);
    channel_.resize(kCodeBits);
    bits_.resize(kCodeBits);
}

PolarDecoder_Simple::~PolarDecoder_Simple() = default;

void PolarDecoder_Simple::get_indexes(uint16_t /*snr*/, uint8_t /*power*/, size_t /*N*/)
{
    indexes_.assign(std::begin(polar256::kInformationPositions), std::end(polar256::kInformationPositions));
}

void PolarDecoder_Simple::check_indexes()
{
    for (size_t i = 0; static_cast<double>(i) < std::pow(2.0, POWER); ++i)
        if (std::find(indexes_.begin(), indexes_.end(), i) == indexes_.end())
            check_indexes_.push_back(static_cast<uint16_t>(i));
}

PolarDecoder_Simple::Matrix PolarDecoder_Simple::pwrF(uint16_t pwr)
{
    Matrix m;
    m.rows = m.cols = 1;
    m.v = {1};
    for (uint16_t step = 0; step < pwr; ++step) {
        // [[M, M], [0, M]]
        Matrix next;
        next.rows = 2 * m.rows;
        next.cols = 2 * m.cols;
        next.v.assign(next.rows * next.cols, 0);
        for (size_t r = 0; r < m.rows; ++r)
            for (size_t c = 0; c < m.cols; ++c) {
                const uint16_t e = m.at(r, c);
                next.v[r * next.cols + c] = e;
                next.v[r * next.cols + m.cols + c] = e;
                next.v[(m.rows + r) * next.cols + m.cols + c] = e;
            }
        m = std::move(next);
    }
    return m;
}

void PolarDecoder_Simple::sum_column_minus1_2(const std::vector<float>& in_c, std::vector<float>& out_c)
{
    if (in_c.empty() || in_c.size() % 2 != 0)
        return;
    for (size_t m = 0; 2 * m + 1 < in_c.size(); ++m)
        out_c.push_back(in_c[2 * m] + in_c[2 * m + 1]);
}

std::vector<float> PolarDecoder_Simple::toSingleVector(const std::vector<std::vector<float>>& in) const
{
    std::vector<float> out;
    for (const auto& v : in)
        out.insert(out.end(), v.begin(), v.end());
    return out;
}

void PolarDecoder_Simple::pack(const uint8_t* bits, std::vector<uint8_t>& data) const
{
    uint8_t out[kDataBytes];
    const uint16_t* idx = indexes_.data();
    for (size_t byte = 0; byte < kDataBytes; ++byte, idx += 8) {
        unsigned v = 0;
        for (unsigned j = 0; j < 8; ++j)
            v = (v << 1) | bits[idx[j]];
        out[byte] = static_cast<uint8_t>(v);
    }
    data.assign(out, out + kDataBytes);
}

bool PolarDecoder_Simple::decode(std::vector<uint8_t>& data)
{
    if (data.size() != kCodedBytes)
        return false;
    int16_t* channel = channel_.data();
    for (size_t byte = 0; byte < kCodedBytes; ++byte)
        for (unsigned j = 0; j < 8; ++j)
            channel[8 * byte + j] = static_cast<int16_t>(1 - 2 * ((data[byte] >> (7 - j)) & 1));
    return decode_llrs(channel_, data);
}

bool PolarDecoder_Simple::decode_llrs(const std::vector<int16_t>& llrs, std::vector<uint8_t>& data)
{
    if (llrs.size() != kCodeBits)
        return false;
    fast_->decode(llrs.data(), bits_.data());
    pack(bits_.data(), data);
    return true;
}

bool PolarDecoder_Simple::decode_llrs_reference(const std::vector<int16_t>& llrs, std::vector<uint8_t>& data)
{
    if (llrs.size() != kCodeBits)
        return false;
    std::vector<std::vector<int8_t>> c_dec_1;
    decoder.decode_polar_sc_list_rm(llrs, zero_nodes1, LIST_SIZE, hstackCa, hstackCp, hstackCr, c_dec_1);
    // The last row holds the best path.
    const std::vector<int8_t>& row = c_dec_1.back();
    uint8_t bits[kCodeBits];
    for (size_t p = 0; p < kCodeBits; ++p)
        bits[p] = row[p] == -1 ? 1 : 0;
    pack(bits, data);
    return true;
}
