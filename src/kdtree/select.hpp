// Nth-element selection over a permutation of point numbers, ordered by one
// coordinate (in the order of order_key).
//
// Beyond the usual guarantee (position `nth` holds the key of rank `nth`,
// nothing before it is greater, nothing after it is smaller) every copy of
// that key lies in one unbroken run around `nth`. Split adjustment looks only
// at the neighbour at nth - 1 to find where the run starts, so the copies
// must not be scattered. Every pass partitions at a value (all copies of
// a key land on one side), which keeps the positions outside the working
// range strictly below or above it, and the small range left at the end is
// sorted; std::nth_element promises neither.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kdtree/order_key.hpp"
#include "kdtree/tree.hpp"

namespace vicinor::kdtree::detail {

// Requires nth < order.size() and dim < K. Deterministic: the same input
// arrangement gives the same output arrangement on every platform.
void select_nth(std::span<std::uint32_t> order, std::span<const Point> points, std::size_t dim,
                std::size_t nth) noexcept;

// The same selection over keys computed in advance: `keys[k]` is the key of
// point number k. Same result, without a coordinate load per step.
void select_nth(std::span<std::uint32_t> order, std::span<const OrderKey> keys,
                std::size_t nth) noexcept;

// The same selection over one coordinate column: `column[k]` is the
// coordinate of point number k. Same result; the keys are dense as with
// stored keys, at no extra memory.
void select_nth(std::span<std::uint32_t> order, std::span<const double> column,
                std::size_t nth) noexcept;

}  // namespace vicinor::kdtree::detail
