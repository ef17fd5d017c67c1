// Helpers for the construction tests: point sets shaped like real tables and
// an independent check of every invariant the query and the saved file rely
// on.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "kdtree/build.hpp"
#include "kdtree/tree.hpp"

namespace vicinor::kdtree::testing {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline Point sphere_point(double lat_deg, double lon_deg) {
    const double lat = lat_deg * 0.017453292519943295;
    const double lon = lon_deg * 0.017453292519943295;
    return {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
}

// Values pairwise distinct in each dimension (with overwhelming likelihood).
inline std::vector<Point> random_points(std::size_t n, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<Point> points(n);
    for (Point& p : points) p = {u(rng), u(rng), u(rng)};
    return points;
}

// Leaf number reached by the descent rule, written out again so that the
// tests do not trust the construction's own helper.
inline std::size_t leaf_reached(const ImmutableKdTree& tree, const Point& point) {
    std::size_t node = 1;
    std::size_t dim = 0;
    while (node < tree.stems.size()) {
        node = point[dim] >= tree.stems[node] ? 2 * node + 1 : 2 * node;
        dim = (dim + 1) % 3;
    }
    return node - tree.stems.size();
}

inline bool leaf_holds(const LeafNode& leaf, Item item) {
    for (std::uint32_t slot = 0; slot < leaf.size && slot < B; ++slot) {
        if (leaf.content_items[slot] == item) return true;
    }
    return false;
}

// The invariants of any built tree: power-of-two stems with stem 0 unset,
// no NaN split, leaf sizes summing to the tree's size, items increasing
// within a leaf, each slot carrying its own point, unused slots zero.
inline void expect_sound_structure(const ImmutableKdTree& tree, const std::vector<Point>& points) {
    const std::size_t stem_count = tree.stems.size();
    ASSERT_TRUE(std::has_single_bit(stem_count));
    ASSERT_LE(tree.leaves.size(), stem_count);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(tree.stems[0]), 0x7FF0000000000000ULL);
    for (double stem : tree.stems) EXPECT_FALSE(std::isnan(stem));

    std::size_t stored = 0;
    for (const LeafNode& leaf : tree.leaves) {
        ASSERT_LE(leaf.size, B);
        stored += leaf.size;
        for (std::uint32_t slot = 0; slot < leaf.size; ++slot) {
            const Item item = leaf.content_items[slot];
            ASSERT_LT(item, points.size());
            if (slot > 0) {
                EXPECT_LT(leaf.content_items[slot - 1], item);
            }
            for (std::size_t d = 0; d < K; ++d) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(leaf.content_points[d][slot]),
                          std::bit_cast<std::uint64_t>(points[item][d]));
            }
        }
        for (std::uint32_t slot = leaf.size; slot < B; ++slot) {
            EXPECT_EQ(leaf.content_items[slot], 0u);
            for (std::size_t d = 0; d < K; ++d) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(leaf.content_points[d][slot]), 0u);
            }
        }
    }
    EXPECT_EQ(stored, tree.size);
}

// The first copy of every point without NaN (-0.0 and 0.0 compare equal).
inline std::vector<Item> first_copies(const std::vector<Point>& points) {
    std::map<Point, Item> first_copy;
    std::vector<Item> owners(points.size(), std::numeric_limits<Item>::max());
    for (std::size_t k = 0; k < points.size(); ++k) {
        const Point& p = points[k];
        if (std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2])) continue;
        owners[k] = first_copy.try_emplace(p, static_cast<Item>(k)).first->second;
    }
    return owners;
}

// The structure, plus: every point without NaN descends to the leaf that
// holds it or, when it repeats an earlier point, the leaf that holds that
// earlier copy. The left-packed layout keeps this.
inline void expect_sound_tree(const ImmutableKdTree& tree, const std::vector<Point>& points) {
    expect_sound_structure(tree, points);
    const std::vector<Item> owners = first_copies(points);
    for (std::size_t k = 0; k < points.size(); ++k) {
        if (owners[k] == std::numeric_limits<Item>::max()) continue;
        const std::size_t leaf = leaf_reached(tree, points[k]);
        ASSERT_LT(leaf, tree.leaves.size()) << "point " << k;
        ASSERT_TRUE(leaf_holds(tree.leaves[leaf], owners[k])) << "point " << k << " leaf " << leaf;
    }
}

// The structure, plus: every point without NaN is stored once through its
// first copy, and every stored point lies in the closed cell of its leaf
// (at or below a split on the left, at or above it on the right), which is
// all an exact query needs. Points with a NaN never answer and may lie anywhere. Both layouts keep this.
inline void expect_sound_cells(const ImmutableKdTree& tree, const std::vector<Point>& points) {
    expect_sound_structure(tree, points);
    const std::size_t stem_count = tree.stems.size();
    std::map<Item, std::size_t> stored_in;
    for (std::size_t j = 0; j < tree.leaves.size(); ++j) {
        const LeafNode& leaf = tree.leaves[j];
        for (std::uint32_t slot = 0; slot < leaf.size; ++slot) {
            const Point& p = points[leaf.content_items[slot]];
            ASSERT_TRUE(stored_in.emplace(leaf.content_items[slot], j).second);
            if (std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2])) continue;
            for (std::size_t node = stem_count + j; node > 1; node /= 2) {
                const std::size_t parent = node / 2;
                const std::size_t d = static_cast<std::size_t>(std::bit_width(parent) - 1) % K;
                if (node % 2 == 0) {
                    ASSERT_LE(p[d], tree.stems[parent]) << "leaf " << j << " slot " << slot;
                } else {
                    ASSERT_GE(p[d], tree.stems[parent]) << "leaf " << j << " slot " << slot;
                }
            }
        }
    }
    const std::vector<Item> owners = first_copies(points);
    for (std::size_t k = 0; k < points.size(); ++k) {
        if (owners[k] == std::numeric_limits<Item>::max()) continue;
        ASSERT_TRUE(stored_in.contains(owners[k])) << "point " << k;
    }
}

inline std::vector<std::uint32_t> leaf_sizes(const ImmutableKdTree& tree) {
    std::vector<std::uint32_t> sizes;
    for (const LeafNode& leaf : tree.leaves) sizes.push_back(leaf.size);
    return sizes;
}

}  // namespace vicinor::kdtree::testing
