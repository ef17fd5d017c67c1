// The instruction-set variants of construction's wide loops (the repair's
// scan of a side, the descent of points to their leaves). Each loop picks
// the widest variant the CPU runs; tests run every variant and check that
// all give the same results.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VICINOR_BUILD_HAS_AVX512 1
#endif

namespace vicinor::kdtree::detail {

// kBaseline needs only what every target of the build has; kAvx512 exists
// on x86-64 only and runs where the CPU supports it.
enum class BuildVariant { kBaseline, kAvx512 };

inline constexpr BuildVariant kAllBuildVariants[] = {BuildVariant::kBaseline,
                                                     BuildVariant::kAvx512};

bool build_variant_supported(BuildVariant variant) noexcept;

// kAvx512 where supported, else kBaseline.
BuildVariant widest_build_variant() noexcept;

}  // namespace vicinor::kdtree::detail
