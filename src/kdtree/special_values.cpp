#include "kdtree/special_values.hpp"

#include <bit>
#include <cstdint>

#include "kdtree/tree.hpp"

namespace vicinor::kdtree::detail {
namespace {

// One pass without an early exit, so that the compiler compares whole
// vectors: the columns are rarely special, and then every value is read
// anyway.
[[gnu::always_inline]] inline SpecialValues find_special_values(
    const PointColumns& points) noexcept {
    std::uint64_t nan = 0;
    std::uint64_t negative_zero = 0;
    for (std::size_t d = 0; d < K; ++d) {
        const double* column = points.column(d).data();
        const std::size_t n = points.size();
        for (std::size_t i = 0; i < n; ++i) {
            const double v = column[i];
            nan |= static_cast<std::uint64_t>(v != v);
            negative_zero |=
                static_cast<std::uint64_t>(std::bit_cast<std::uint64_t>(v) == (1ULL << 63));
        }
    }
    return SpecialValues{nan != 0, negative_zero != 0};
}

SpecialValues special_values_baseline(const PointColumns& points) noexcept {
    return find_special_values(points);
}

using SpecialValuesFunction = SpecialValues(const PointColumns&) noexcept;

// Baseline x86-64 has no 64-bit lane compare; AVX2 does.
#ifdef VICINOR_CPU_X86
[[gnu::target("avx2")]] SpecialValues special_values_avx2(const PointColumns& points) noexcept {
    return find_special_values(points);
}

constexpr cpu::KernelForms<SpecialValuesFunction> kSpecialValuesForms(special_values_baseline,
                                                                      special_values_avx2);
#else
constexpr cpu::KernelForms<SpecialValuesFunction> kSpecialValuesForms(special_values_baseline);
#endif

}  // namespace

SpecialValues special_values(const PointColumns& points) noexcept {
    static SpecialValuesFunction* const best = kSpecialValuesForms.best();
    return best(points);
}

SpecialValues special_values_with(cpu::Level level, const PointColumns& points) noexcept {
    return kSpecialValuesForms.at(level)(points);
}

}  // namespace vicinor::kdtree::detail
