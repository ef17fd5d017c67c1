// The left-packed layout stated plainly: the rules that decide every byte
// of a packed tree, with whole-chunk sorts for selection, no reuse between
// attempts and no work bound. Start reading here; the fast builder
// (packed_build.cpp) must give exactly these bytes wherever both finish,
// and the tests and the fuzz target hold it to that.
#pragma once

#include <optional>
#include <span>

#include "kdtree/tree.hpp"

namespace vicinor::kdtree::detail {

// Empty where the rules cannot finish: a leaf overfilled at placement, a
// split shift that wraps, a NaN split value, stems past twice the smallest count that holds
// the points (the size bound), or more than `max_attempts` attempts.
std::optional<ImmutableKdTree> build_reference_tree(std::span<const Point> points,
                                                    std::size_t max_attempts = 100000);

}  // namespace vicinor::kdtree::detail
