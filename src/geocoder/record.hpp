// The geocoder record: one owned table text, where each row lies in it, the
// column names, and the spatial index whose item k is row k.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "geocoder/row_hints.hpp"
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
    std::vector<std::string> columns;
    std::vector<StringSlice> indexed_data;
    kdtree::ImmutableKdTree tree;
    // Derived from `tree` once it is built or loaded, to speed up lookups;
    // not part of the saved file. Lookups ignore it when it does not fit.
    kdtree::SearchBounds search_bounds;
    // Derived from `tree` and `indexed_data` for lookups (prepare_lookups);
    // not saved. Lookups work without them, only slower.
    RowHints row_hints;
};

}  // namespace vicinor
