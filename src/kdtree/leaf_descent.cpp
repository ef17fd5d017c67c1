#include "kdtree/leaf_descent.hpp"

#include <cstdint>

#ifdef VICINOR_CPU_X86
#include <immintrin.h>
#endif

namespace vicinor::kdtree::detail {
namespace {

using Leaves = std::size_t[kDescentBlock];

// Every descent takes the same number of steps, since the stems have
// power-of-two length: the lanes move in lockstep.
void descend_baseline(std::span<const double> stems, const PointColumns& points,
                      std::size_t first, Leaves& leaves) noexcept {
    const std::size_t stem_count = stems.size();
    std::size_t node[kDescentBlock];
    for (std::size_t lane = 0; lane < kDescentBlock; ++lane) node[lane] = 1;
    std::size_t dim = 0;
    for (std::size_t width = 1; width < stem_count; width *= 2) {
        const double* column = points.column(dim).data() + first;
        for (std::size_t lane = 0; lane < kDescentBlock; ++lane) {
            node[lane] = 2 * node[lane] + (column[lane] >= stems[node[lane]] ? 1 : 0);
        }
        dim = dim == K - 1 ? 0 : dim + 1;
    }
    for (std::size_t lane = 0; lane < kDescentBlock; ++lane) leaves[lane] = node[lane] - stem_count;
}

#ifdef VICINOR_CPU_X86
constexpr std::size_t kVectors = kDescentBlock / 8;

[[gnu::target("avx512f")]] void descend_avx512(std::span<const double> stems,
                                                const PointColumns& points, std::size_t first,
                                                Leaves& leaves) noexcept {
    const std::size_t stem_count = stems.size();
    const __m512i one = _mm512_set1_epi64(1);
    __m512i node[kVectors];
    for (auto& lanes : node) lanes = one;
    std::size_t dim = 0;
    for (std::size_t width = 1; width < stem_count; width *= 2) {
        const double* column = points.column(dim).data() + first;
        for (std::size_t v = 0; v < kVectors; ++v) {
            const __m512d values = _mm512_loadu_pd(column + 8 * v);
            const __m512d splits =
                _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, node[v], stems.data(), 8);
            // Ordered: a NaN coordinate fails, as in the baseline.
            const __mmask8 right = _mm512_cmp_pd_mask(values, splits, _CMP_GE_OQ);
            const __m512i doubled = _mm512_add_epi64(node[v], node[v]);
            node[v] = _mm512_mask_add_epi64(doubled, right, doubled, one);
        }
        dim = dim == K - 1 ? 0 : dim + 1;
    }
    const __m512i offset = _mm512_set1_epi64(static_cast<long long>(stem_count));
    for (std::size_t v = 0; v < kVectors; ++v) {
        _mm512_storeu_si512(leaves + 8 * v, _mm512_sub_epi64(node[v], offset));
    }
}
#endif

using DescentFunction = void(std::span<const double>, const PointColumns&, std::size_t,
                             Leaves&) noexcept;

#ifdef VICINOR_CPU_X86
static_assert(sizeof(std::size_t) == 8, "leaves are stored as 64-bit lanes");
constexpr cpu::KernelForms<DescentFunction> kDescentForms(descend_baseline, nullptr,
                                                          descend_avx512);
#else
constexpr cpu::KernelForms<DescentFunction> kDescentForms(descend_baseline);
#endif

}  // namespace

void descend_block(std::span<const double> stems, const PointColumns& points, std::size_t first,
                   Leaves& leaves) noexcept {
    static DescentFunction* const best = kDescentForms.best();
    best(stems, points, first, leaves);
}

void descend_block_with(cpu::Level level, std::span<const double> stems,
                        const PointColumns& points, std::size_t first, Leaves& leaves) noexcept {
    kDescentForms.at(level)(stems, points, first, leaves);
}

}  // namespace vicinor::kdtree::detail
