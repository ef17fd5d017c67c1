// The instruction-set variants behind nearest_one. nearest_one picks the
// widest one the CPU runs; they are exposed so tests and benchmarks can run
// each of them and check that all give bit-identical answers.
#pragma once

#include <span>

#include "kdtree/query.hpp"

namespace vicinor::kdtree {

enum class QueryVariant { kSse2, kAvx2, kAvx512 };

inline constexpr QueryVariant kAllQueryVariants[] = {QueryVariant::kSse2, QueryVariant::kAvx2,
                                                     QueryVariant::kAvx512};

const char* query_variant_name(QueryVariant variant) noexcept;
bool query_variant_supported(QueryVariant variant) noexcept;
// The variant nearest_one uses on this machine.
QueryVariant selected_query_variant() noexcept;

// Precondition: query_variant_supported(variant); otherwise the result is
// that of the baseline variant.
Nearest nearest_one_with(QueryVariant variant, const ImmutableKdTree& tree,
                         const Point& query) noexcept;

}  // namespace vicinor::kdtree
