// Bounding boxes of the points actually stored below each node: a derived,
// in-memory accelerator for the nearest-one query, computed from a finished
// tree and never saved. The split planes alone bound a cell loosely where
// data is sparse (over the oceans); the boxes let a query skip a subtree or
// a leaf whose points are all farther than the best found so far, without
// changing the answer.
//
// They also keep, per cell of a cube map over directions, a stored point
// near the cell: its distance from a query bounds the answer's distance
// from above, so a query whose first leaf lies far away (over an ocean)
// need not visit every leaf nearer than that first leaf.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "kdtree/tree.hpp"

namespace vicinor::kdtree {

// Floats rounded outward: the box still contains every point exactly, at
// half the memory of doubles. An empty box has lo = +inf and hi = -inf,
// which puts it at infinite distance from every query.
struct SearchBox {
    float lo[K];
    float hi[K];
};

struct SearchBounds {
    // Indexed like the search's node numbers: entry i < stem_count is stem
    // i, entry stem_count + j is leaf j. Entry 0 is unused.
    std::vector<SearchBox> boxes;
    std::size_t stem_count = 0;
    std::size_t leaf_count = 0;

    // Cube-map cells per face side, 0 without seeds. Seeds are kept only
    // when every point lies on its side of every split above it: the
    // search is then exact, so its answer is never farther than a seed.
    std::size_t seed_grid = 0;
    // Per cell (seed_cell), a stored point the search can reach; NaN where
    // the cell has none.
    std::vector<Point> seeds;

    // Whether these bounds have the shape of `tree`. Bounds of another tree
    // of the same shape would give wrong answers: compute them from the
    // tree they go with.
    bool fits(const ImmutableKdTree& tree) const noexcept {
        return stem_count == tree.stems.size() && leaf_count == tree.leaves.size() &&
               boxes.size() == stem_count + leaf_count;
    }
};

// The seed cell of a direction: the face of the cube its largest
// coordinate points at, then a grid x grid square on that face. Any finite
// point other than the origin has one; the result is below 6 x grid x grid.
inline std::size_t seed_cell(const Point& q, std::size_t grid) noexcept {
    const double ax = std::fabs(q[0]), ay = std::fabs(q[1]), az = std::fabs(q[2]);
    // Selects rather than branches: the face of a query is unpredictable.
    const bool on_x = ax >= ay && ax >= az;
    const bool on_y = !on_x && ay >= az;
    const double major = on_x ? ax : on_y ? ay : az;
    const double a = on_x ? q[1] : q[0];
    const double b = on_x || on_y ? q[2] : q[1];
    const double signed_major = on_x ? q[0] : on_y ? q[1] : q[2];
    const std::size_t face = (on_x ? 0 : on_y ? 2 : 4) + (signed_major >= 0.0 ? 0 : 1);
    const double half = static_cast<double>(grid) * 0.5;
    const double scale = half / major;
    // c / major lies in [-1, 1]; the clamps keep 1 (and any rounding)
    // inside, and stop a tiny `major` (scale overflowing to infinity) from
    // reaching the integer conversion, which is undefined out of range.
    auto square = [&](double c) {
        const double at = c * scale + half;
        if (!(at > 0.0)) return std::size_t{0};
        if (!(at < static_cast<double>(grid))) return grid - 1;
        return static_cast<std::size_t>(at);
    };
    return (face * grid + square(a)) * grid + square(b);
}

// O(stems + leaves x 32), plus one search per seed cell. Slots past a
// leaf's size (clamped to 32) and points with a NaN coordinate are left
// out of the boxes: neither can ever answer.
SearchBounds compute_search_bounds(const ImmutableKdTree& tree);

}  // namespace vicinor::kdtree
