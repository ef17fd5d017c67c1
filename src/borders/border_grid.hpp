// Building the grid over decoded polygons.
#pragma once

#include "borders/country_borders.hpp"
#include "common/error.hpp"

namespace vicinor::borders {

// Lists in each cell every edge that touches it, and finds the country at
// each cell's centre by sweeping a line along each row of cells. Fails if
// more than MAX_COUNTRIES_PER_CELL countries have edges in one cell.
Result<BorderGrid> build_border_grid(const BorderPolygons& polygons);

}  // namespace vicinor::borders
