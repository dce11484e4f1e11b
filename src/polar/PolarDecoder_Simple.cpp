#include "PolarDecoder_Simple.h"

#include <algorithm>
#include <cmath>

namespace {

// Information positions of the code, ascending: the same positions at which the downlink
// encoder places its data bits.
const uint16_t kInformationPositions[160] = {
    31,  47,  55,  57,  58,  59,  60,  61,  62,  63,  78,  79,  83,  85,  86,  87,  89,  90,  91,  92,
    93,  94,  95,  99,  101, 102, 103, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115, 116, 117,
    118, 119, 120, 121, 122, 123, 124, 125, 126, 127, 135, 139, 141, 142, 143, 147, 149, 150, 151, 152,
    153, 154, 155, 156, 157, 158, 159, 162, 163, 164, 165, 166, 167, 168, 169, 170, 171, 172, 173, 174,
    175, 176, 177, 178, 179, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189, 190, 191, 193, 194, 195,
    196, 197, 198, 199, 200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213, 214, 215,
    216, 217, 218, 219, 220, 221, 222, 223, 224, 225, 226, 227, 228, 229, 230, 231, 232, 233, 234, 235,
    236, 237, 238, 239, 240, 241, 242, 243, 244, 245, 246, 247, 248, 249, 250, 251, 252, 253, 254, 255,
};

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
    indexes_.assign(std::begin(kInformationPositions), std::end(kInformationPositions));
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
    uint8_t out[kDataBytes] = {};
    for (size_t k = 0; k < indexes_.size(); ++k)
        if (bits[indexes_[k]])
            out[k / 8] = static_cast<uint8_t>(out[k / 8] | (0x80u >> (k % 8)));
    data.assign(out, out + kDataBytes);
}

bool PolarDecoder_Simple::decode(std::vector<uint8_t>& data)
{
    if (data.size() != kCodedBytes)
        return false;
    for (size_t p = 0; p < kCodeBits; ++p)
        channel_[p] = (data[p / 8] & (0x80u >> (p % 8))) ? -1 : 1;
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
        bits[p] = row[p] == -1;
    pack(bits, data);
    return true;
}
