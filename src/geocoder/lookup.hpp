// Nearest-row lookups over a built or loaded geocoder.
#pragma once

#include <string_view>

#include "common/error.hpp"
#include "csv/record.hpp"
#include "geocoder/record.hpp"

namespace vicinor {

// Computes the derived lookup aids (search bounds, row hints) of a built or
// loaded geocoder: about 4 ms for a table of 171,000 rows. Lookups answer
// the same without them, only slower; a geocoder that is built only to be
// saved never needs them.
void prepare_lookups(ReverseGeocoder& geocoder);

// The stored text of row `row`, which must be below indexed_data.size(), as
// a view into `geocoder.csv`. Trusts the record's slices.
std::string_view row_text_at(const ReverseGeocoder& geocoder, std::size_t row) noexcept;

// The stored text of row `row` (0-based, in table order), as a view into
// `geocoder.csv`. Fails for a row beyond the table (the caller's number).
Result<std::string_view> row_text(const ReverseGeocoder& geocoder, std::size_t row);

// The stored text of the row nearest to (lat, lon), as a view into
// `geocoder.csv` (the caller copies it once, straight into its result).
// Fails when the geocoder has no row that can answer. `lat` and `lon` are
// checked where they enter (the binding refuses non-finite ones); a
// non-finite pair finds nothing.
Result<std::string_view> nearest_row_text(const ReverseGeocoder& geocoder, double lat, double lon);

// Reads a row text (from nearest_row_text) into its fields for the dict
// lookup: checks the separator, then parses. `record` is reused storage.
Status read_row_fields(const ReverseGeocoder& geocoder, std::string_view row_text,
                       csv::CsvRecord& record);

}  // namespace vicinor
