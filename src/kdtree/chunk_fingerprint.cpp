#include "kdtree/chunk_fingerprint.hpp"

#include <array>

namespace vicinor::kdtree::detail {
namespace {

// One body for every form; the target attribute of the caller decides how
// wide the compiler makes it.
[[gnu::always_inline]] inline ChunkFingerprint sum_fingerprint(const std::uint32_t* numbers,
                                                              std::size_t count) noexcept {
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t h = mix_point_number(numbers[i] + 0x9e3779b97f4a7c15ULL);
        first += h;
        second += h * h;
    }
    return {first, second};
}

ChunkFingerprint fingerprint_baseline(const std::uint32_t* numbers, std::size_t count) noexcept {
    return sum_fingerprint(numbers, count);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define VICINOR_FINGERPRINT_HAS_AVX512 1
// 64-bit lane multiplies need AVX-512DQ; without them a vector form gains
// nothing over the scalar one.
[[gnu::target("avx512f,avx512dq")]] ChunkFingerprint fingerprint_avx512(
    const std::uint32_t* numbers, std::size_t count) noexcept {
    return sum_fingerprint(numbers, count);
}
#endif

std::array<FingerprintForm, 2> detect_forms() noexcept {
    std::array<FingerprintForm, 2> forms{};
    forms[0] = {"baseline", fingerprint_baseline, true};
#ifdef VICINOR_FINGERPRINT_HAS_AVX512
    __builtin_cpu_init();
    forms[1] = {"avx512", fingerprint_avx512,
                __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")};
#else
    forms[1] = {"avx512", fingerprint_baseline, false};
#endif
    return forms;
}

const std::array<FingerprintForm, 2>& forms() noexcept {
    static const std::array<FingerprintForm, 2> detected = detect_forms();
    return detected;
}

}  // namespace

std::span<const FingerprintForm> fingerprint_forms() noexcept { return forms(); }

ChunkFingerprint fingerprint_of(const std::uint32_t* numbers, std::size_t count) noexcept {
    static const auto sum = forms()[1].supported ? forms()[1].sum : forms()[0].sum;
    return sum(numbers, count);
}

}  // namespace vicinor::kdtree::detail
