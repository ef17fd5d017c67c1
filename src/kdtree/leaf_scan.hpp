// The bucket scan of the nearest-one query: all 32 distances of a leaf at
// once in vectors of W doubles, then the first slot holding the minimum.
// Written once over the vector width; query.cpp instantiates it per
// instruction set, so every width must give bit-identical answers.
#pragma once

#include <cstddef>
#include <cstring>
#include <limits>

#include "kdtree/tree.hpp"

namespace vicinor::kdtree::detail {

// Inside a class: the compiler drops vector attributes on alias templates.
template <int W>
struct Lanes {
    typedef double Doubles __attribute__((vector_size(W * sizeof(double))));
};

// Vectors go by reference: passing them by value would depend on the
// instruction set of the caller.
template <int W>
[[gnu::always_inline]] inline void set_lane_numbers(typename Lanes<W>::Doubles& lanes) {
    for (int lane = 0; lane < W; ++lane) lanes[lane] = lane;
}

template <int W>
[[gnu::always_inline]] inline double lane_minimum(const typename Lanes<W>::Doubles& v) {
    double minimum = v[0];
    for (int lane = 1; lane < W; ++lane) minimum = v[lane] < minimum ? v[lane] : minimum;
    return minimum;
}

// Writes the distance of every slot to `distances` and returns the least.
// A full leaf, the common case, needs no masking of unused slots.
template <int W, bool kFull>
[[gnu::always_inline]] inline double slot_distances(const LeafNode& leaf, const Point& query,
                                                    double (&distances)[B]) {
    using V = typename Lanes<W>::Doubles;
    const V qx = V{} + query[0];
    const V qy = V{} + query[1];
    const V qz = V{} + query[2];
    const V far = V{} + std::numeric_limits<double>::infinity();
    const V zero = V{};
    // slot - occupied + 1: positive exactly for the unused slots.
    V past_end;
    set_lane_numbers<W>(past_end);
    past_end += 1.0 - static_cast<double>(leaf.size < B ? leaf.size : B);

    V nearest = far;
    for (std::size_t base = 0; base < B; base += W) {
        V x, y, z;
        std::memcpy(&x, &leaf.content_points[0][base], sizeof x);
        std::memcpy(&y, &leaf.content_points[1][base], sizeof y);
        std::memcpy(&z, &leaf.content_points[2][base], sizeof z);
        const V dx = x - qx;
        const V dy = y - qy;
        const V dz = z - qz;
        // Summed in this order everywhere, so distances match a scalar scan exactly.
        V d = (dx * dx + dy * dy) + dz * dz;
        if constexpr (!kFull) {
            // max(past_end, 0) * largest: 0.0 for a used slot, whose distance
            // (never -0.0) it leaves as it is, and at least the largest
            // finite double for an unused one.
            d += (past_end > zero ? past_end : zero) * std::numeric_limits<double>::max();
            past_end += double{W};
        }
        d = d < far ? d : far;  // NaN fails the test and becomes +infinity
        std::memcpy(&distances[base], &d, sizeof d);
        // No NaN or -0.0 is left, so the lane order of the minimum cannot
        // change its value.
        nearest = d < nearest ? d : nearest;
    }
    return lane_minimum<W>(nearest);
}

// The lowest slot whose distance equals `minimum`, which one slot holds.
// Branch-free: (d - minimum) * inf is NaN where d equals the minimum and
// +infinity elsewhere, and the max pattern turns NaN into the slot number.
template <int W>
[[gnu::always_inline]] inline std::size_t first_slot_at(const double (&distances)[B],
                                                        double minimum) {
    using V = typename Lanes<W>::Doubles;
    const V inf = V{} + std::numeric_limits<double>::infinity();
    const V target = V{} + minimum;
    V slot;
    set_lane_numbers<W>(slot);
    V first = inf;
    for (std::size_t base = 0; base < B; base += W) {
        V d;
        std::memcpy(&d, &distances[base], sizeof d);
        const V excess = (d - target) * inf;
        const V key = excess > slot ? excess : slot;
        first = key < first ? key : first;
        slot += double{W};
    }
    return static_cast<std::size_t>(lane_minimum<W>(first));
}

// Returns the new best distance and writes `best_item` and `best_slot`
// when this leaf holds a point strictly nearer than `best_distance`. Slots
// past `size` (clamped to B, as a loaded leaf may claim more) and points
// with a NaN coordinate can never answer: the former get a distance of at
// least the largest finite double, which never beats a best distance, the
// latter +infinity.
// Among equal distances the lowest slot, the earliest inserted point, wins.
//
// Only arithmetic and the min/max select patterns are used: integer lane
// masks would be split into scalar code by some compilers on 512-bit
// vectors.
template <int W>
[[gnu::always_inline]] inline double scan_leaf(const LeafNode& leaf, const Point& query,
                                               double best_distance, Item& best_item,
                                               std::size_t& best_slot) {
    static_assert(B % W == 0);
    alignas(64) double distances[B];
    const double minimum = leaf.size >= B ? slot_distances<W, true>(leaf, query, distances)
                                          : slot_distances<W, false>(leaf, query, distances);
    if (!(minimum < best_distance)) return best_distance;
    best_slot = first_slot_at<W>(distances, minimum);
    best_item = leaf.content_items[best_slot];
    return minimum;
}

}  // namespace vicinor::kdtree::detail
