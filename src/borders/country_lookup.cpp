// The lookup: one cell of the grid, and in a cell that borders cross, the
// edges crossed on the way from the point to the cell's centre (east or
// west along the point's latitude, then north or south along the centre's
// longitude), each crossing entering or leaving its country.
#include "borders/country_lookup.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "borders/border_geometry.hpp"
#include "borders/country_parity.hpp"
#include "common/parallel_parts.hpp"

namespace vicinor::borders {
namespace {

constexpr double RAD_TO_DEG = 180.0 / 3.14159265358979323846;

// Latitude in [-90, 90] and longitude in [-180, 180); in-range values are
// kept exactly.
void normalise(double& lat, double& lon) noexcept {
    if (!(lat >= -90.0 && lat <= 90.0)) {
        lat = std::fmod(lat, 360.0);
        if (lat >= 180.0) lat -= 360.0;
        if (lat < -180.0) lat += 360.0;
        if (lat > 90.0) {
            lat = 180.0 - lat;
            lon += 180.0;
        } else if (lat < -90.0) {
            lat = -180.0 - lat;
            lon += 180.0;
        }
    }
    if (!(lon >= -180.0 && lon < 180.0)) {
        lon = std::fmod(lon + 180.0, 360.0);
        if (lon < 0.0) lon += 360.0;
        lon -= 180.0;
        if (lon >= 180.0) lon -= 360.0;  // a tiny negative rounded up to 360
    }
}

CountryNumber country_in_plane(const CountryBorders& borders, double lat, double lon) noexcept {
    const BorderGrid& grid = borders.grid;
    const BorderPolygons& p = borders.polygons;
    const int column = column_of(lon);
    const int row = row_of(lat);
    const std::size_t cell = std::size_t(row) * BorderGrid::COLUMNS + column;
    const CountryNumber centre = grid.cells[cell].country;
    const std::uint32_t begin = grid.cells[cell].first_edge;
    const std::uint32_t end = grid.cells[cell + 1].first_edge;
    if (begin == end) return centre;
    const double cx = cell_centre_lon(column);
    const double cy = cell_centre_lat(row);
    CountryParity inside;
    if (centre != NO_COUNTRY) inside.toggle(centre);
    for (std::uint32_t k = begin; k < end; ++k) {
        const std::uint32_t e = grid.edges[k];
        const auto [x1, y1] = p.points[e];
        const auto [x2, y2] = p.points[e + 1];
        bool crossed = crosses_line_y(y1, y2, lat) && between(crossing_x(x1, y1, x2, y2, lat), lon, cx);
        if (crosses_line_x(x1, x2, cx) && between(crossing_y(x1, y1, x2, y2, cx), lat, cy)) {
            crossed = !crossed;
        }
        if (crossed) inside.toggle(p.edge_country[e]);
    }
    return inside.lowest();
}

// Points ahead of the one being answered have their cell fetched meanwhile:
// a cell is usually a cache miss, and most of a lookup's time.
constexpr std::size_t PREFETCH_AHEAD = 8;

void prefetch_cell(const CountryBorders& borders, double lat, double lon) noexcept {
    if (!(lat >= -90.0 && lat <= 90.0 && lon >= -180.0 && lon < 180.0)) return;
    __builtin_prefetch(&borders.grid.cells[std::size_t(row_of(lat)) * BorderGrid::COLUMNS +
                                           column_of(lon)]);
}

}  // namespace

CountryNumber country_at(const CountryBorders& borders, double lat, double lon) noexcept {
    if (!std::isfinite(lat) || !std::isfinite(lon)) return NO_COUNTRY;
    normalise(lat, lon);
    return country_in_plane(borders, lat, lon);
}

CountryNumber country_at_point(const CountryBorders& borders, double x, double y,
                               double z) noexcept {
    const double across = std::hypot(x, y);
    if (!std::isfinite(across) || !std::isfinite(z) || (across == 0.0 && z == 0.0)) {
        return NO_COUNTRY;
    }
    // At a pole the longitude is arbitrary; atan2 gives 0 for it.
    return country_at(borders, std::atan2(z, across) * RAD_TO_DEG, std::atan2(y, x) * RAD_TO_DEG);
}

Status countries_at(const CountryBorders& borders, DoubleColumn lats, DoubleColumn lons,
                    std::size_t count, unsigned threads, CountryNumber* out) {
    if (count == 0) return {};
    run_in_parts(count, useful_parts(count, threads),
                 [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i + PREFETCH_AHEAD < end) {
                prefetch_cell(borders, lats[i + PREFETCH_AHEAD], lons[i + PREFETCH_AHEAD]);
            }
            out[i] = country_at(borders, lats[i], lons[i]);
        }
    });
    return {};
}

}  // namespace vicinor::borders
