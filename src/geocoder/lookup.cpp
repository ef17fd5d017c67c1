// The shared core of both lookups. Everything it indexes may come from a
// loaded file, so each step is checked before it is used.
#include "geocoder/lookup.hpp"

#include <cmath>
#include <string>

#include "geocoder/construction.hpp"
#include "kdtree/query.hpp"

namespace vicinor {
namespace {

bool is_continuation_byte(char c) noexcept {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

void prepare_lookups(ReverseGeocoder& geocoder) {
    geocoder.search_bounds = kdtree::compute_search_bounds(geocoder.tree);
    geocoder.row_hints = compute_row_hints(geocoder);
}

Result<std::string_view> row_text(const ReverseGeocoder& geocoder, std::size_t row) {
    if (row >= geocoder.indexed_data.size()) {
        return Error("row " + std::to_string(row) + " is out of range: the geocoder holds " +
                     std::to_string(geocoder.indexed_data.size()) + " rows");
    }
    const StringSlice& slice = geocoder.indexed_data[row];
    const std::string_view text = geocoder.csv;
    if (slice.offset < 0 || static_cast<std::uint64_t>(slice.offset) > text.size() ||
        slice.len > text.size() - static_cast<std::uint64_t>(slice.offset)) {
        return Error("damaged geocoder: row " + std::to_string(row) +
                     " lies outside the stored text");
    }
    const auto begin = static_cast<std::size_t>(slice.offset);
    const auto end = begin + static_cast<std::size_t>(slice.len);
    // A slice cutting a character in two would hand the host broken UTF-8.
    if ((begin < text.size() && is_continuation_byte(text[begin])) ||
        (end < text.size() && is_continuation_byte(text[end]))) {
        return Error("damaged geocoder: row " + std::to_string(row) +
                     " does not start and end on character boundaries");
    }
    return text.substr(begin, end - begin);
}

Result<std::string_view> nearest_row_text(const ReverseGeocoder& geocoder, double lat,
                                          double lon) {
    if (!std::isfinite(lat) || !std::isfinite(lon)) {
        return Error("latitude and longitude must be finite numbers");
    }
    if (geocoder.indexed_data.empty()) return Error("the geocoder holds no places to search");

    const kdtree::Nearest nearest =
        kdtree::nearest_one(geocoder.tree, geocoder.search_bounds, answer_prefetch(geocoder),
                            lat_lon_to_point(lat, lon));
    if (!nearest.found) return Error("no stored place could answer the query");
    if (nearest.item >= geocoder.indexed_data.size()) {
        return Error("damaged geocoder: the index names row " + std::to_string(nearest.item) +
                     ", but only " + std::to_string(geocoder.indexed_data.size()) +
                     " rows are stored");
    }

    return row_text(geocoder, nearest.item);
}

Status read_row_fields(const ReverseGeocoder& geocoder, std::string_view row_text,
                       csv::CsvRecord& record) {
    Result<std::uint8_t> separator = separator_byte(geocoder.value_sep);
    if (!separator) return std::move(separator).error();
    return csv::parse_csv_line(row_text, separator.value(), record);
}

}  // namespace vicinor
