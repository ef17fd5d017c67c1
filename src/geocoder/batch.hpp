// Nearest rows for whole columns of coordinates: row numbers and
// great-circle distances, answered exactly as single lookups answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/double_column.hpp"
#include "common/error.hpp"
#include "geocoder/lookup.hpp"
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

// Great-circle kilometres for a squared chord of the unit sphere.
double chord_to_km(double squared_chord) noexcept;

// The coordinates the batch and distance lookups accept: latitudes within
// ±90 degrees, longitudes within ±360 (0 to 360 is a common convention).
// Anything beyond is swapped columns or a unit mistake, not a place; NaN
// and infinities fail too.
inline constexpr double kLatitudeLimit = 90.0;
inline constexpr double kLongitudeLimit = 360.0;
inline bool usable_latitude(double degrees) noexcept {
    return degrees >= -kLatitudeLimit && degrees <= kLatitudeLimit;
}
inline bool usable_longitude(double degrees) noexcept {
    return degrees >= -kLongitudeLimit && degrees <= kLongitudeLimit;
}

// The first index whose latitude or longitude is not usable, or `count`.
// Sets `in_lons` when it is the longitude.
std::size_t first_unusable(const BatchQuery& query, bool& in_lons, double& value) noexcept;

// The first index whose latitude or longitude is not finite, or `count`.
// Sets `in_lons` when it is the longitude.
std::size_t first_non_finite(const BatchQuery& query, bool& in_lons) noexcept;

// A coordinate that first_non_finite passed but the search found not
// finite: the caller's arrays changed during the call.
struct NonFiniteCoordinate {
    std::size_t index = 0;
    bool in_lons = false;
    double value = 0;
};

// Fills rows[i] and km[i] for every query; the coordinates must be finite
// (first_non_finite). When the failing query's coordinate is no longer
// finite, `non_finite` (if given) says which and what the search saw. Runs on `threads` threads, each over its own part, and
// needs the lookup aids already prepared: it only reads the geocoder. On
// failure the error is that of the first failing query, and the outputs
// hold nothing meaningful.
Status nearest_rows(const ReverseGeocoder& geocoder, const BatchQuery& query, std::int64_t* rows,
                    double* km, std::optional<NonFiniteCoordinate>* non_finite = nullptr);

// The thread count used when the caller gives none: one below
// kParallelThreshold queries, where starting threads costs more than it
// saves, else every core.
inline constexpr std::size_t kParallelThreshold = 20000;
unsigned default_batch_threads(std::size_t count) noexcept;

}  // namespace vicinor
