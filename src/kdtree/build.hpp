// Construction of the tree from points in input order; point k gets item k.
#pragma once

#include <span>

#include "kdtree/point_columns.hpp"
#include "kdtree/tree.hpp"

namespace vicinor::kdtree {

// Never fails on valid input; throws InternalFault only on a broken invariant.
// The first form consumes the points' storage (released while the leaves
// are filled), so that construction never holds both at full size.
ImmutableKdTree build_tree(PointColumns points);
ImmutableKdTree build_tree(std::span<const Point> points);

}  // namespace vicinor::kdtree
