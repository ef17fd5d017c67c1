#include "kdtree/range_scan.hpp"

#ifdef VICINOR_CPU_X86
#include <immintrin.h>
#endif

namespace vicinor::kdtree::detail {
namespace {

// The column is read in an order the hardware cannot foresee; asking for a
// key this many positions ahead hides most of the wait.
constexpr std::size_t kPrefetchDistance = 64;

std::size_t scan_baseline(const std::uint32_t* order, std::size_t begin, std::size_t end,
                          const double* column, double lowest, double highest,
                          std::uint32_t* out) noexcept {
    std::size_t taken = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (i + kPrefetchDistance < end) __builtin_prefetch(column + order[i + kPrefetchDistance]);
        const double value = column[order[i]];
        out[taken] = static_cast<std::uint32_t>(i);
        taken += static_cast<std::size_t>((value >= lowest) & (value <= highest));
    }
    return taken;
}

#ifdef VICINOR_CPU_X86
[[gnu::target("avx512f,avx512vl")]] std::size_t scan_avx512(
    const std::uint32_t* order, std::size_t begin, std::size_t end, const double* column,
    double lowest, double highest, std::uint32_t* out) noexcept {
    const __m512d low = _mm512_set1_pd(lowest);
    const __m512d high = _mm512_set1_pd(highest);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    std::size_t taken = 0;
    std::size_t i = begin;
    for (; i + 8 <= end; i += 8) {
        const __m256i points = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(order + i));
        const __m512d values =
            _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xFF, points, column, 8);
        // Ordered comparisons: NaN fails both, as in the baseline.
        const __mmask8 inside = _mm512_cmp_pd_mask(values, low, _CMP_GE_OQ) &
                                _mm512_cmp_pd_mask(values, high, _CMP_LE_OQ);
        const auto first = static_cast<int>(static_cast<std::uint32_t>(i));
        const __m256i positions = _mm256_add_epi32(lanes, _mm256_set1_epi32(first));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + taken),
                            _mm256_maskz_compress_epi32(inside, positions));
        taken += static_cast<std::size_t>(__builtin_popcount(inside));
    }
    return taken + scan_baseline(order, i, end, column, lowest, highest, out + taken);
}
#endif

using ScanFunction = std::size_t(const std::uint32_t*, std::size_t, std::size_t, const double*,
                                 double, double, std::uint32_t*) noexcept;

#ifdef VICINOR_CPU_X86
constexpr cpu::KernelForms<ScanFunction> kScanForms(scan_baseline, nullptr, scan_avx512);
#else
constexpr cpu::KernelForms<ScanFunction> kScanForms(scan_baseline);
#endif

}  // namespace

std::size_t scan_in_range(const std::uint32_t* order, std::size_t begin, std::size_t end,
                          const double* column, double lowest, double highest,
                          std::uint32_t* out) noexcept {
    static ScanFunction* const best = kScanForms.best();
    return best(order, begin, end, column, lowest, highest, out);
}

std::size_t scan_in_range_with(cpu::Level level, const std::uint32_t* order, std::size_t begin,
                               std::size_t end, const double* column, double lowest,
                               double highest, std::uint32_t* out) noexcept {
    return kScanForms.at(level)(order, begin, end, column, lowest, highest, out);
}

}  // namespace vicinor::kdtree::detail
