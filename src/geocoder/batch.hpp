// Nearest rows for whole columns of coordinates: row numbers and
// great-circle distances, answered exactly as single lookups answer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/double_column.hpp"
#include "common/error.hpp"
#include "geocoder/record.hpp"

namespace vicinor {

// Mean Earth radius, the one distances are reported in.
inline constexpr double EARTH_RADIUS_KM = 6371.0088;

struct BatchQuery {
    DoubleColumn lats;
    DoubleColumn lons;
    std::size_t count = 0;
    // Rows farther than this come back as -1; infinity keeps every row.
    double max_km = 0;
    unsigned threads = 1;
};

// The nearest row of one query, or why there is none (the texts of the
// single lookups).
struct NearestRow {
    std::uint32_t row = 0;
    double squared_chord = 0;
};
Result<NearestRow> nearest_row(const ReverseGeocoder& geocoder, double lat, double lon);

// Great-circle kilometres for a squared chord of the unit sphere.
double chord_to_km(double squared_chord) noexcept;

// The first index whose latitude or longitude is not finite, or `count`.
// Sets `in_lons` when it is the longitude.
std::size_t first_non_finite(const BatchQuery& query, bool& in_lons) noexcept;

// Fills rows[i] and km[i] for every query; the coordinates must be finite
// (first_non_finite). Runs on `threads` threads, each over its own part, and
// needs the lookup aids already prepared: it only reads the geocoder. On
// failure the error is that of the first failing query, and the outputs
// hold nothing meaningful.
Status nearest_rows(const ReverseGeocoder& geocoder, const BatchQuery& query, std::int64_t* rows,
                    double* km);

// The thread count used when the caller gives none: one below
// kParallelThreshold queries, where starting threads costs more than it
// saves, else every core.
inline constexpr std::size_t kParallelThreshold = 20000;
unsigned default_batch_threads(std::size_t count) noexcept;

}  // namespace vicinor
