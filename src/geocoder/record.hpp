// The geocoder record: one owned table text, where each row lies in it, the
// column names, and the spatial index whose item k is row k.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "geocoder/row_hints.hpp"
#include "kdtree/item_copies.hpp"
#include "kdtree/search_bounds.hpp"
#include "kdtree/tree.hpp"

namespace vicinor {

struct StringSlice {
    std::int64_t offset = 0;  // byte offset of the row in `csv`
    std::uint64_t len = 0;    // byte length, line terminator excluded
};

struct ReverseGeocoder {
    std::string csv;
    char32_t value_sep = U',';
    // `value_sep` as the byte rows are split at, set with it by
    // set_value_sep when the record is made and never saved. Empty for a
    // separator that is not ASCII: construction refuses one, a loaded file
    // may hold one, and then only reading a row's fields fails.
    std::optional<std::uint8_t> separator = std::uint8_t{','};
    std::vector<std::string> columns;
    std::vector<StringSlice> indexed_data;
    kdtree::ImmutableKdTree tree;
    // Lookup aids, derived from `tree` and `indexed_data` by
    // prepare_lookups and never saved: the one change a record sees after it
    // is made, before its first lookup (see prepare_lookups). Lookups ignore
    // aids that do not fit and answer the same without them, only slower.
    kdtree::SearchBounds search_bounds;
    RowHints row_hints;
    // Where each row's point lies in the tree, for subsets; made by
    // prepare_subsets on the first one and never saved.
    std::vector<std::uint32_t> row_positions;
    // Rows the tree leaves out as copies of a stored point, by that point's
    // row; made by prepare_neighbours and never saved.
    kdtree::ItemCopies unstored_copies;
};

}  // namespace vicinor
