// The shared core of both lookups. A record is checked where it enters
// (construction builds it consistent, load checks it), so lookups trust
// every slice and item it holds and check nothing per query.
#include "geocoder/lookup.hpp"

#include <string>

#include "geocoder/answer_prefetch.hpp"
#include "geocoder/construction.hpp"
#include "kdtree/query.hpp"

namespace vicinor {

void prepare_lookups(ReverseGeocoder& geocoder) {
    geocoder.search_bounds = kdtree::compute_search_bounds(geocoder.tree);
    geocoder.row_hints = compute_row_hints(geocoder);
}

std::string_view row_text_at(const ReverseGeocoder& geocoder, std::size_t row) noexcept {
    const StringSlice& slice = geocoder.indexed_data[row];
    return std::string_view(geocoder.csv.data() + slice.offset, static_cast<std::size_t>(slice.len));
}

Result<std::string_view> row_text(const ReverseGeocoder& geocoder, std::size_t row) {
    if (row >= geocoder.indexed_data.size()) {
        return Error("row " + std::to_string(row) + " is out of range: the geocoder holds " +
                     std::to_string(geocoder.indexed_data.size()) + " rows");
    }
    return row_text_at(geocoder, row);
}

Result<std::string_view> nearest_row_text(const ReverseGeocoder& geocoder, double lat,
                                          double lon) {
    if (geocoder.indexed_data.empty()) return Error("the geocoder holds no places to search");
    // A non-finite query finds nothing here: the tree answers no such point.
    const AnswerPrefetch prefetch(geocoder);
    const kdtree::Nearest nearest = kdtree::nearest_one(
        geocoder.tree, geocoder.search_bounds, prefetch.hook(), lat_lon_to_point(lat, lon));
    if (!nearest.found) return Error("no stored place could answer the query");
    return row_text_at(geocoder, nearest.item);
}

Status read_row_fields(const ReverseGeocoder& geocoder, std::string_view row_text,
                       csv::CsvRecord& record) {
    Result<std::uint8_t> separator = separator_byte(geocoder.value_sep);
    if (!separator) return std::move(separator).error();
    // Rows written by construction (drop_coordinates) are the only ones in
    // a text without a header, so row 0 starts that text; there a leading
    // U+FEFF is the field's own text. A row of the caller's text is read as
    // construction read it.
    const bool written_rows =
        !geocoder.indexed_data.empty() && geocoder.indexed_data.front().offset == 0;
    return csv::parse_csv_line(row_text, separator.value(), record,
                               written_rows ? csv::ByteOrderMark::kKeep : csv::ByteOrderMark::kSkip);
}

}  // namespace vicinor
