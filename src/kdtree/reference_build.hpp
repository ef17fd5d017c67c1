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
// split shift that wraps, a NaN split value, or past the bounds that stop a
// runaway: leaves past twice the smallest count that holds the points (at
// least 4), stems past twice the smallest count that holds those, or more
// than `max_attempts` attempts. The fast builder gives up at the same
// bounds, and besides only past a work bound no table reaches.
std::optional<ImmutableKdTree> build_reference_tree(std::span<const Point> points,
                                                    std::size_t max_attempts = 128);

}  // namespace vicinor::kdtree::detail
