// The shared core of every lookup. A record is checked where it enters
// (construction builds it consistent, load checks it), so lookups trust
// every slice and item it holds and check nothing per query.
#include "geocoder/lookup.hpp"

#include <string>

#include "geocoder/answer_prefetch.hpp"
#include "geocoder/construction.hpp"

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

namespace {

[[gnu::cold]] Error no_places() { return Error("the geocoder holds no places to search"); }

}  // namespace

Status require_places(const ReverseGeocoder& geocoder) {
    if (geocoder.indexed_data.empty()) return no_places();
    return {};
}

Error no_answer() { return Error("no stored place could answer the query"); }

Result<NearestRow> nearest_row(const ReverseGeocoder& geocoder, double lat, double lon) {
    if (geocoder.indexed_data.empty()) [[unlikely]] return no_places();
    // The answer's row is fetched while the search still runs.
    const AnswerPrefetch prefetch(geocoder);
    return checked_row(kdtree::nearest_one(geocoder.tree, geocoder.search_bounds, prefetch.hook(),
                                           lat_lon_to_point(lat, lon)));
}

Result<std::string_view> nearest_row_text(const ReverseGeocoder& geocoder, double lat,
                                          double lon) {
    Result<NearestRow> nearest = nearest_row(geocoder, lat, lon);
    if (!nearest) [[unlikely]] return std::move(nearest).error();
    return row_text_at(geocoder, nearest->row);
}

}  // namespace vicinor
