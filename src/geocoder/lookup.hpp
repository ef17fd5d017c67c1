// Nearest-row lookups over a built or loaded geocoder: one search, which
// the string, distance, dict and batch lookups all run.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.hpp"
#include "geocoder/record.hpp"
#include "kdtree/query.hpp"

namespace vicinor {

// Computes the derived lookup aids (search bounds, row hints) of a built or
// loaded geocoder. Lookups answer the same without them, only slower; a
// geocoder that is built only to be saved never needs them, so the binding
// makes them on an instance's first lookup (prepare_lookups_once).
void prepare_lookups(ReverseGeocoder& geocoder);

// The stored text of row `row`, which must be below indexed_data.size(), as
// a view into `geocoder.csv`. Trusts the record's slices.
std::string_view row_text_at(const ReverseGeocoder& geocoder, std::size_t row) noexcept;

// The stored text of row `row` (0-based, in table order), as a view into
// `geocoder.csv`. Fails for a row beyond the table (the caller's number).
Result<std::string_view> row_text(const ReverseGeocoder& geocoder, std::size_t row);

// Fails when the geocoder holds no rows: there is nothing to search.
Status require_places(const ReverseGeocoder& geocoder);

// The nearest row of one query, or why there is none.
struct NearestRow {
    std::uint32_t row = 0;
    double squared_chord = 0;
};

// The one single search. `lat` and `lon` are checked where they enter (the
// binding refuses non-finite ones); a non-finite pair finds nothing.
Result<NearestRow> nearest_row(const ReverseGeocoder& geocoder, double lat, double lon);

// The error of a search that found no row.
[[gnu::cold]] Error no_answer();

// A search's answer as every lookup reports it (batch searches run the
// tree themselves, in their own order). Inline: batches call it per point.
// Items need no check: the record was checked where it entered.
inline Result<NearestRow> checked_row(const kdtree::Nearest& nearest) {
    if (!nearest.found) [[unlikely]] return no_answer();
    return NearestRow{nearest.item, nearest.distance};
}

// The stored text of the row nearest to (lat, lon), as a view into
// `geocoder.csv` (the caller copies it once, straight into its result).
Result<std::string_view> nearest_row_text(const ReverseGeocoder& geocoder, double lat, double lon);

}  // namespace vicinor
