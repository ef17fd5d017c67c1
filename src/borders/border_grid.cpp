// The grid's construction: every edge listed in each cell it touches
// (within a margin far above rounding, so a point near a cell's side still
// finds every edge it could cross), then one sweep per row of cells along
// the line through their centres.
#include "borders/border_grid.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "borders/border_geometry.hpp"
#include "borders/country_parity.hpp"

namespace vicinor::borders {
namespace {

constexpr double MARGIN = 1e-9;  // degrees
constexpr std::size_t CELLS = std::size_t{BorderGrid::COLUMNS} * BorderGrid::ROWS;
// A straight edge touches about as many cells as the grid's rows and
// columns together; real borders average under two. Beyond this many
// listings an edge (and one grid's worth), the file is refused instead of
// filling memory.
constexpr std::size_t MAX_LISTINGS_PER_EDGE = 16;

using EdgeCells = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// Where an edge crosses the line through the centres of a row of cells.
struct RowCrossing {
    double x;
    std::uint32_t row;
    CountryNumber country;
};

// Every (cell, edge) pair where the edge touches the cell, and every
// crossing of a row's centre line (found in the same pass, while the edge
// is at hand); nothing if the edges touch far more cells than borders do.
std::optional<EdgeCells> edge_cells(const BorderPolygons& p, std::vector<RowCrossing>& crossings) {
    EdgeCells pairs;
    pairs.reserve(p.points.size() + p.points.size() / 4);
    for (const BorderRing& ring : p.rings) {
        for (std::uint32_t e = ring.first; e < ring.first + ring.count; ++e) {
            const auto [x1, y1] = p.points[e];
            const auto [x2, y2] = p.points[e + 1];
            const int first_row = row_of(std::min(y1, y2) - MARGIN);
            const int last_row = row_of(std::max(y1, y2) + MARGIN);
            for (int row = first_row; row <= last_row; ++row) {
                const double centre = cell_centre_lat(row);
                if (crosses_line_y(y1, y2, centre)) {
                    crossings.push_back({crossing_x(x1, y1, x2, y2, centre),
                                         static_cast<std::uint32_t>(row), p.edge_country[e]});
                }
                // The part of the edge within the row's band (all of it,
                // when the edge lies in one row).
                double xa = x1, xb = x2;
                if (first_row != last_row && y1 != y2) {
                    const double low = -90.0 + row * BorderGrid::CELL_DEGREES - MARGIN;
                    const double high = low + BorderGrid::CELL_DEGREES + 2 * MARGIN;
                    const double ta = std::clamp((low - y1) / (y2 - y1), 0.0, 1.0);
                    const double tb = std::clamp((high - y1) / (y2 - y1), 0.0, 1.0);
                    xa = x1 + ta * (x2 - x1);
                    xb = x1 + tb * (x2 - x1);
                }
                const int first_column = column_of(std::min(xa, xb) - MARGIN);
                const int last_column = column_of(std::max(xa, xb) + MARGIN);
                const std::uint32_t base = static_cast<std::uint32_t>(row) * BorderGrid::COLUMNS;
                for (int column = first_column; column <= last_column; ++column) {
                    pairs.emplace_back(base + column, e);
                }
            }
            if (pairs.size() > MAX_LISTINGS_PER_EDGE * (e + 1) + CELLS ||
                pairs.size() > std::numeric_limits<std::uint32_t>::max()) {
                return std::nullopt;
            }
        }
    }
    return pairs;
}

Status list_edges(const BorderPolygons& p, BorderGrid& grid, std::vector<RowCrossing>& crossings) {
    const std::optional<EdgeCells> listed = edge_cells(p, crossings);
    if (!listed) {
        return Error("malformed country border file: its edges cross more of the grid than "
                     "borders do");
    }
    const EdgeCells& pairs = *listed;
    // A counting sort by cell; edges stay in vertex order within a cell.
    grid.cells.assign(CELLS + 1, GridCell{});
    for (const auto& pair : pairs) ++grid.cells[pair.first + 1].first_edge;
    for (std::size_t c = 0; c < CELLS; ++c) grid.cells[c + 1].first_edge += grid.cells[c].first_edge;
    grid.edges.resize(pairs.size());
    std::vector<std::uint32_t> next(CELLS);
    for (std::size_t c = 0; c < CELLS; ++c) next[c] = grid.cells[c].first_edge;
    for (const auto& pair : pairs) grid.edges[next[pair.first]++] = pair.second;
    return {};
}

Status check_countries_per_cell(const BorderPolygons& p, const BorderGrid& grid) {
    std::vector<std::uint32_t> seen_in(p.codes.size() + 1, std::numeric_limits<std::uint32_t>::max());
    for (std::size_t cell = 0; cell < CELLS; ++cell) {
        std::size_t distinct = 0;
        for (std::uint32_t k = grid.cells[cell].first_edge; k < grid.cells[cell + 1].first_edge; ++k) {
            const CountryNumber country = p.edge_country[grid.edges[k]];
            if (seen_in[country] == cell) continue;
            seen_in[country] = static_cast<std::uint32_t>(cell);
            if (++distinct > MAX_COUNTRIES_PER_CELL) {
                return Error("malformed country border file: more than " +
                             std::to_string(MAX_COUNTRIES_PER_CELL) +
                             " countries meet in one grid cell");
            }
        }
    }
    return {};
}

// A line through the centres of a row of cells, swept from beyond the
// western edge of the plane (outside every country) eastwards.
void sweep_rows(std::vector<RowCrossing>& crossings, BorderGrid& grid) {
    std::sort(crossings.begin(), crossings.end(), [](const RowCrossing& a, const RowCrossing& b) {
        return a.row != b.row ? a.row < b.row : a.x < b.x;
    });
    std::size_t next = 0;
    for (std::uint32_t row = 0; row < BorderGrid::ROWS; ++row) {
        const std::size_t base = std::size_t(row) * BorderGrid::COLUMNS;
        CountryParity inside;
        CountryNumber country = NO_COUNTRY;
        for (int column = 0; column < BorderGrid::COLUMNS; ++column) {
            const double x = cell_centre_lon(column);
            // The lookup counts a crossing at x as west of x: so does this.
            if (next < crossings.size() && crossings[next].row == row && crossings[next].x <= x) {
                for (; next < crossings.size() && crossings[next].row == row &&
                       crossings[next].x <= x;
                     ++next) {
                    inside.toggle(crossings[next].country);
                }
                country = inside.lowest();
            }
            grid.cells[base + column].country = country;
        }
        // Crossings east of the last centre change no cell.
        while (next < crossings.size() && crossings[next].row == row) ++next;
    }
}

}  // namespace

Result<BorderGrid> build_border_grid(const BorderPolygons& polygons) {
    BorderGrid grid;
    std::vector<RowCrossing> crossings;
    if (Status s = list_edges(polygons, grid, crossings); !s) return std::move(s).error();
    if (Status s = check_countries_per_cell(polygons, grid); !s) return std::move(s).error();
    sweep_rows(crossings, grid);
    return grid;
}

}  // namespace vicinor::borders
