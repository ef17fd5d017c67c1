// Which country a point lies in: from degrees, from a point on the unit
// sphere, and for whole columns of coordinates on several threads.
#pragma once

#include <cstddef>

#include "borders/country_borders.hpp"
#include "common/double_column.hpp"
#include "common/error.hpp"

namespace vicinor::borders {

// Any finite latitude and longitude: latitudes beyond the poles fold over
// them, longitudes wrap into [-180, 180) (so 180 is -180). A non-finite
// coordinate lies in no country.
CountryNumber country_at(const CountryBorders& borders, double lat, double lon) noexcept;

// A point on the unit sphere (or any non-zero vector towards one).
CountryNumber country_at_point(const CountryBorders& borders, double x, double y,
                               double z) noexcept;

// out[i] = country_at(lats[i], lons[i]) for i < count, on `threads` threads.
Status countries_at(const CountryBorders& borders, DoubleColumn lats, DoubleColumn lons,
                    std::size_t count, unsigned threads, CountryNumber* out);

}  // namespace vicinor::borders
