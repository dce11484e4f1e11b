// Cost of decoding one protocol-E record (32 hard-decision bytes, 4 to 8 bit errors) with the
// station's decoder and with the naive recursive decoder of the tests, in per-thread CPU time,
// best of 5 repetitions over 10,000 words. Meant for a Release build without sanitizers.
#include "PolarDecoder_Simple.h"
#include "PolarTestKit.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace polartest;

namespace {

double thread_cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

template <typename Fn>
double best_of_5_us(size_t words, Fn&& run)
{
    double best = 1e30;
    for (int rep = 0; rep < 5; ++rep) {
        const double t0 = thread_cpu_seconds();
        run();
        best = std::min(best, thread_cpu_seconds() - t0);
    }
    return best * 1e6 / double(words);
}

bool sanitized()
{
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#endif
    return false;
}

} // namespace

int main()
{
    const size_t count = 10000;
    Source src(42);
    std::vector<std::vector<uint8_t>> words;
    for (size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> w = encode_word(src.data());
        for (int p : src.positions(4 + int(src.raw() % 5)))
            flip_bit(w, p);
        words.push_back(w);
    }
    std::vector<std::vector<int16_t>> llrs;
    for (const auto& w : words)
        llrs.push_back(hard_llrs(w));

    PolarDecoder_Simple dec;
    std::vector<std::vector<uint8_t>> fast(count, std::vector<uint8_t>(20));
    std::vector<std::vector<uint8_t>> naive(count);
    std::vector<uint8_t> buf;
    buf.reserve(32);

    const double fast_us = best_of_5_us(count, [&] {
        for (size_t i = 0; i < count; ++i) {
            buf.assign(words[i].begin(), words[i].end());
            dec.decode(buf);
            std::copy(buf.begin(), buf.end(), fast[i].begin());
        }
    });
    const std::vector<uint16_t>& info = dec.indexes();
    const double naive_us = best_of_5_us(count, [&] {
        for (size_t i = 0; i < count; ++i)
            naive[i] = naive_decode(llrs[i], info);
    });

    size_t mismatches = 0;
    for (size_t i = 0; i < count; ++i)
        mismatches += fast[i] != naive[i];

    const double ratio = naive_us / fast_us;
    const double load = 89000.0;  // 1,000 gateways, 89 records of 36 bytes/s each at 25600 bit/s
    if (sanitized())
        std::printf("note: built with a sanitizer; the figures are not representative\n");
    std::printf("%zu words, 4 to 8 bit errors each, per-thread CPU time, best of 5\n", count);
    std::printf("  PolarDecoder_Simple::decode  %8.3f us per word   target <= 2 us: %s\n", fast_us,
                fast_us <= 2.0 ? "met" : "missed");
    std::printf("  naive recursive SC decoder   %8.3f us per word\n", naive_us);
    std::printf("  speed-up                     %8.1f x            target >= 4x: %s\n", ratio,
                ratio >= 4.0 ? "met" : "missed");
    std::printf("  1,000 gateways at 25600 bit/s: about %.0f decodes/s = %.1f %% of one core\n", load,
                load * fast_us * 1e-4);
    std::printf("  same 20 bytes from both decoders: %zu of %zu words%s\n", count - mismatches, count,
                mismatches ? "  MISMATCH" : "");
    return mismatches ? 1 : 0;
}
