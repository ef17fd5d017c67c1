// The query's forms per vector level, for tests and benchmarks that run
// each and check that all give bit-identical answers. nearest_one itself
// uses the widest form the processor runs.
#pragma once

#include "common/cpu_dispatch.hpp"
#include "kdtree/query.hpp"

namespace vicinor::kdtree {

// A level the processor cannot run is run by the widest one it can, so this
// never executes an instruction the processor lacks.
Nearest nearest_one_with(cpu::Level level, const ImmutableKdTree& tree,
                         const Point& query) noexcept;
Nearest nearest_one_with(cpu::Level level, const ImmutableKdTree& tree,
                         const SearchBounds& bounds, const Point& query) noexcept;
Nearest nearest_one_with(cpu::Level level, const ImmutableKdTree& tree,
                         const SearchBounds& bounds, const AnswerHook& hook,
                         const Point& query) noexcept;

}  // namespace vicinor::kdtree
