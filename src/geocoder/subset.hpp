// A geocoder over some rows of another, made from what the other already
// holds: the rows' stored text and their points in the tree. The result is
// exactly the geocoder built from a table of those rows in that order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "geocoder/record.hpp"

namespace vicinor {

// Marks a row without a point in `row_positions` (only a damaged saved
// file has one).
inline constexpr std::uint32_t kNoPosition = UINT32_MAX;

// For every row, where its point lies in the tree: leaf * B + slot. One
// pass over the leaves; empty when the tree has too many slots for 32-bit
// positions. Stored in `row_positions`, it spares every later subset that
// pass.
std::vector<std::uint32_t> compute_row_positions(const ReverseGeocoder& geocoder);

// Fills geocoder.row_positions if it does not fit the record yet. Call
// before subsets run on several threads: they only read the record.
void prepare_subsets(ReverseGeocoder& geocoder);

// The point of a row the tree does not hold (see subset.cpp), from its
// coordinates; fails where the stored text has none.
Result<kdtree::Point> unstored_point(const ReverseGeocoder& geocoder, std::uint32_t row);

// `rows` must be strictly ascending row numbers below the row count (the
// binding says which one is not); row i of the result is row rows[i] of
// `geocoder`. Uses row_positions when they fit, else makes its own. Fails
// when a chosen row has no point in the tree.
Result<ReverseGeocoder> subset_geocoder(const ReverseGeocoder& geocoder,
                                        std::span<const std::uint32_t> rows);

}  // namespace vicinor
