// Fuzzes loading a country border file from arbitrary bytes. A file that
// loads must answer any point with a country it holds (or none), the same
// from the batch as from single lookups, without reading out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "borders/border_file.hpp"
#include "borders/country_lookup.hpp"

namespace {

using namespace vicinor::borders;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_borders: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vicinor::Result<CountryBorders> loaded = load_country_borders(std::span(data, size));
    if (!loaded) return 0;
    const CountryBorders& borders = *loaded;
    // Every vertex, the points between neighbours, and a coarse sweep of the plane.
    std::vector<double> lats, lons;
    const auto& points = borders.polygons.points;
    for (std::size_t i = 0; i + 1 < points.size() && lats.size() < 4096; ++i) {
        lats.push_back(points[i].lat);
        lons.push_back(points[i].lon);
        lats.push_back((points[i].lat + points[i + 1].lat) / 2);
        lons.push_back((points[i].lon + points[i + 1].lon) / 2);
    }
    for (double lat = -90; lat <= 90; lat += 7.5) {
        for (double lon = -180; lon <= 180; lon += 7.5) {
            lats.push_back(lat);
            lons.push_back(lon);
        }
    }
    std::vector<CountryNumber> out(lats.size());
    require(countries_at(borders, {lats.data(), 1}, {lons.data(), 1}, lats.size(), 2, out.data()).ok(),
            "batch failed");
    for (std::size_t i = 0; i < lats.size(); ++i) {
        require(out[i] <= borders.polygons.codes.size(), "a country the file does not hold");
        require(out[i] == country_at(borders, lats[i], lons[i]), "batch and single lookups differ");
    }
    return 0;
}
