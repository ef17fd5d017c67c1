// The instruction-set variants behind nearest_one. nearest_one picks the
// widest one the CPU runs; they are exposed so tests and benchmarks can run
// each of them and check that all give bit-identical answers.
#pragma once

#include "kdtree/query.hpp"

namespace vicinor::kdtree {

// kBaseline needs only what every target of the build has (SSE2 on x86-64);
// the others exist on x86 only and run where the CPU and OS support them.
enum class QueryVariant { kBaseline, kAvx2, kAvx512 };

inline constexpr QueryVariant kAllQueryVariants[] = {QueryVariant::kBaseline,
                                                     QueryVariant::kAvx2, QueryVariant::kAvx512};

const char* query_variant_name(QueryVariant variant) noexcept;
bool query_variant_supported(QueryVariant variant) noexcept;
// The variant nearest_one uses on this machine.
QueryVariant selected_query_variant() noexcept;

// An unsupported variant runs as the baseline, so this never executes an
// instruction the CPU lacks.
Nearest nearest_one_with(QueryVariant variant, const ImmutableKdTree& tree,
                         const Point& query) noexcept;
Nearest nearest_one_with(QueryVariant variant, const ImmutableKdTree& tree,
                         const SearchBounds& bounds, const Point& query) noexcept;
Nearest nearest_one_with(QueryVariant variant, const ImmutableKdTree& tree,
                         const SearchBounds& bounds, const AnswerPrefetch& prefetch,
                         const Point& query) noexcept;

}  // namespace vicinor::kdtree
