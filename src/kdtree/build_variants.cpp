#include "kdtree/build_variants.hpp"

namespace vicinor::kdtree::detail {

bool build_variant_supported(BuildVariant variant) noexcept {
    if (variant == BuildVariant::kBaseline) return true;
#ifdef VICINOR_BUILD_HAS_AVX512
    // Also right when this runs before the runtime's own CPU probe.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#else
    return false;
#endif
}

BuildVariant widest_build_variant() noexcept {
    static const BuildVariant widest = build_variant_supported(BuildVariant::kAvx512)
                                           ? BuildVariant::kAvx512
                                           : BuildVariant::kBaseline;
    return widest;
}

}  // namespace vicinor::kdtree::detail
