#pragma once

#include <cstdint>

// The N = 256, K = 160 polar code of protocol-E records, as compile-time constants: the
// information positions (those at which the downlink encoder places its data bits, ascending)
// and the kinds of the code tree's nodes derived from them.
namespace polar256 {

constexpr unsigned kLength = 256;
constexpr unsigned kPower = 8;
constexpr unsigned kInformationBits = 160;

constexpr uint16_t kInformationPositions[kInformationBits] = {
    31,  47,  55,  57,  58,  59,  60,  61,  62,  63,  78,  79,  83,  85,  86,  87,  89,  90,  91,  92,
    93,  94,  95,  99,  101, 102, 103, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115, 116, 117,
    118, 119, 120, 121, 122, 123, 124, 125, 126, 127, 135, 139, 141, 142, 143, 147, 149, 150, 151, 152,
    153, 154, 155, 156, 157, 158, 159, 162, 163, 164, 165, 166, 167, 168, 169, 170, 171, 172, 173, 174,
    175, 176, 177, 178, 179, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189, 190, 191, 193, 194, 195,
    196, 197, 198, 199, 200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213, 214, 215,
    216, 217, 218, 219, 220, 221, 222, 223, 224, 225, 226, 227, 228, 229, 230, 231, 232, 233, 234, 235,
    236, 237, 238, 239, 240, 241, 242, 243, 244, 245, 246, 247, 248, 249, 250, 251, 252, 253, 254, 255,
};

constexpr bool is_information(unsigned p)
{
    for (uint16_t q : kInformationPositions)
        if (q == p)
            return true;
    return false;
}

constexpr unsigned information_count(unsigned start, unsigned len)
{
    unsigned n = 0;
    for (unsigned p = start; p < start + len; ++p)
        n += is_information(p) ? 1u : 0u;
    return n;
}

// Every bit of the node frozen.
constexpr bool is_rate0(unsigned start, unsigned len)
{
    return len > 1 && information_count(start, len) == 0;
}

// Every bit frozen but the last: the node's code bits are all equal.
constexpr bool is_repetition(unsigned start, unsigned len)
{
    return len > 1 && information_count(start, len) == 1 && is_information(start + len - 1);
}

} // namespace polar256
