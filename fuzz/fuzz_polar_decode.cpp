// Arbitrary byte strings of every size to the record decoder, and the first 512 bytes read as
// 256 channel values (extremes included) to both the service path and the reference walk, which
// must agree.
#include "PolarDecoder_Simple.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static PolarDecoder_Simple dec;

    std::vector<uint8_t> bytes(data, data + size);
    const bool decoded = dec.decode(bytes);
    if (decoded != (size == 32) || (decoded ? bytes.size() != 20 : bytes.size() != size))
        std::abort();

    if (size >= 512) {
        std::vector<int16_t> llrs(256);
        std::memcpy(llrs.data(), data, 512);
        std::vector<uint8_t> service;
        std::vector<uint8_t> reference;
        if (!dec.decode_llrs(llrs, service) || !dec.decode_llrs_reference(llrs, reference))
            std::abort();
        if (service != reference || service.size() != 20)
            std::abort();
    }
    return 0;
}
