// Country polygons and the grid that answers which country a point lies in.
// Coordinates are planar longitude and latitude in degrees: edges are
// straight in that plane, as the source shapefile draws them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace vicinor::borders {

// Country numbers are 1-based; 0 is "no country" (the sea).
using CountryNumber = std::uint16_t;
inline constexpr CountryNumber NO_COUNTRY = 0;

enum class RingKind : std::uint8_t { outer = 0, hole = 1 };

struct BorderRing {
    CountryNumber country = NO_COUNTRY;
    RingKind kind = RingKind::outer;
    // Its vertices are [first, first + count) of the vertex arrays, the
    // first repeated at first + count so that edge i always runs from
    // vertex i to vertex i + 1.
    std::uint32_t first = 0;
    std::uint32_t count = 0;
};

struct LonLat {
    double lon = 0;
    double lat = 0;
};

struct BorderPolygons {
    std::vector<std::array<char, 2>> codes;  // country n's ISO code at n - 1
    std::vector<BorderRing> rings;
    std::vector<LonLat> points;  // side by side: an edge's ends share cache lines
    std::vector<CountryNumber> edge_country;  // of the edge starting at each vertex
};

// A 0.25-degree grid over the whole plane. A cell with no edge crossing it
// lies wholly in its `country`; in any other cell that is the country at
// the cell's centre, and a point is answered from there by counting the
// listed edges its way crosses.
struct GridCell {
    std::uint32_t first_edge = 0;  // its edges: edges[first_edge, next cell's first_edge)
    CountryNumber country = NO_COUNTRY;
};

struct BorderGrid {
    static constexpr int COLUMNS = 1440;
    static constexpr int ROWS = 720;
    static constexpr double CELL_DEGREES = 0.25;
    // Row after row, then one more that only ends the last cell's edges.
    // Together, so that a lookup's first step touches one cache line.
    std::vector<GridCell> cells;
    std::vector<std::uint32_t> edges;  // vertex numbers of edge starts
};

// At most this many countries meet in one cell; the lookup's bookkeeping
// is sized by it, and a file exceeding it is refused.
inline constexpr std::size_t MAX_COUNTRIES_PER_CELL = 32;

struct CountryBorders {
    BorderPolygons polygons;
    BorderGrid grid;
};

}  // namespace vicinor::borders
