// Construction of the tree from points in input order; point k gets item k.
#pragma once

#include <span>

#include "kdtree/tree.hpp"

namespace vicinor::kdtree {

// Never fails on valid input; throws InternalFault only on a broken invariant.
ImmutableKdTree build_tree(std::span<const Point> points);

}  // namespace vicinor::kdtree
