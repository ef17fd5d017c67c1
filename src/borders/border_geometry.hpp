// The few formulas the grid's construction and the lookup must compute
// identically: a point found by one is answered consistently by the other
// only if both round the same way.
#pragma once

#include <algorithm>
#include <cmath>

#include "borders/country_borders.hpp"

namespace vicinor::borders {

inline double cell_centre_lon(int column) noexcept {
    return -180.0 + (column + 0.5) * BorderGrid::CELL_DEGREES;
}
inline double cell_centre_lat(int row) noexcept {
    return -90.0 + (row + 0.5) * BorderGrid::CELL_DEGREES;
}
// The cell holding a longitude or latitude, clamped to the grid. Callers
// pass values within a degree of the plane, so the conversion cannot
// overflow, and truncation is floor wherever it matters (at or above 0).
inline int column_of(double lon) noexcept {
    const int at = static_cast<int>((lon + 180.0) / BorderGrid::CELL_DEGREES);
    return std::clamp(at, 0, BorderGrid::COLUMNS - 1);
}
inline int row_of(double lat) noexcept {
    const int at = static_cast<int>((lat + 90.0) / BorderGrid::CELL_DEGREES);
    return std::clamp(at, 0, BorderGrid::ROWS - 1);
}

// Whether the edge (x1, y1)-(x2, y2) crosses the horizontal line at y. A
// vertex exactly on the line counts as below it, so that of two edges
// meeting there exactly one crosses.
inline bool crosses_line_y(double y1, double y2, double y) noexcept {
    return (y1 > y) != (y2 > y);
}
// Where an edge that crosses_line_y meets that line.
inline double crossing_x(double x1, double y1, double x2, double y2, double y) noexcept {
    return x1 + (y - y1) * (x2 - x1) / (y2 - y1);
}
// The same two, for the vertical line at x.
inline bool crosses_line_x(double x1, double x2, double x) noexcept {
    return (x1 > x) != (x2 > x);
}
inline double crossing_y(double x1, double y1, double x2, double y2, double x) noexcept {
    return y1 + (x - x1) * (y2 - y1) / (x2 - x1);
}
// Whether a crossing at `at` lies between a and b, counting b and not a:
// the rule that makes "crossings left of x" add up along a line.
inline bool between(double at, double a, double b) noexcept { return (at > a) != (at > b); }

}  // namespace vicinor::borders
