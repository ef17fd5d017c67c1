// Helpers for the nearest-one query tests: hand-laid trees, a simple layout
// of many points that keeps the descent invariants (independent of the real
// construction), a brute-force reference, and a check that every
// instruction-set variant answers bit for bit alike.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <numeric>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "kdtree/query.hpp"
#include "kdtree/query_variants.hpp"
#include "kdtree/search_bounds.hpp"
#include "kdtree/tree.hpp"

namespace vicinor::kdtree::testing {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Stored {
    Point point;
    Item item;
};

inline LeafNode make_leaf(std::initializer_list<Stored> slots) {
    LeafNode leaf;
    for (const Stored& s : slots) {
        for (std::size_t d = 0; d < K; ++d) leaf.content_points[d][leaf.size] = s.point[d];
        leaf.content_items[leaf.size] = s.item;
        ++leaf.size;
    }
    return leaf;
}

inline double distance(const Point& a, const Point& b) {
    const double dx = a[0] - b[0];
    const double dy = a[1] - b[1];
    const double dz = a[2] - b[2];
    return (dx * dx + dy * dy) + dz * dz;
}

// Smallest distance from the query to any stored point; NaN distances never
// count. The largest finite double when nothing is nearer than that.
inline double brute_force_distance(std::span<const Point> points, const Point& query) {
    double best = kNoDistance;
    for (const Point& p : points) {
        const double d = distance(p, query);
        if (d < best) best = d;
    }
    return best;
}

inline bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

inline bool same_answer(const Nearest& a, const Nearest& b) {
    return same_bits(a.distance, b.distance) && a.item == b.item && a.found == b.found &&
           (!a.found || a.position == b.position);
}

// A hook that remembers what the search told it: every leaf named must
// exist, and the last new best must be where the answer lies.
struct HeardAnswers {
    std::size_t leaf_count = 0;
    bool leaf_out_of_range = false;
    bool any_best = false;
    std::size_t last_position = 0;
    Item last_item = 0;

    static void new_best(const void* self, std::size_t leaf, std::size_t slot,
                         Item item) noexcept {
        auto* heard = const_cast<HeardAnswers*>(static_cast<const HeardAnswers*>(self));
        heard->leaf_out_of_range |= leaf >= heard->leaf_count;
        heard->any_best = true;
        heard->last_position = leaf * B + slot;
        heard->last_item = item;
    }
    AnswerHook hook() const noexcept {
        // Per-leaf entries of the wrong count, which must be ignored.
        static const std::uint64_t entries[3] = {};
        return AnswerHook{this, new_best, reinterpret_cast<const std::byte*>(entries),
                          sizeof entries[0], sizeof entries[0], std::size(entries)};
    }
};

inline void expect_heard(const HeardAnswers& heard, const Nearest& answer, const char* variant) {
    EXPECT_FALSE(heard.leaf_out_of_range) << variant;
    if (answer.found) {
        EXPECT_TRUE(heard.any_best && heard.last_position == answer.position &&
                    heard.last_item == answer.item)
            << variant << ": the hook last heard of position " << heard.last_position
            << ", the answer is at " << answer.position;
    }
}

// Runs nearest_one and every variant this CPU supports, each with and
// without search bounds, and with a hook; all must agree bit for bit.
// Pass the tree's bounds when querying it often; they are computed here
// otherwise.
inline Nearest query_every_variant(const ImmutableKdTree& tree, const Point& query,
                                   const SearchBounds* known_bounds = nullptr) {
    const SearchBounds computed = known_bounds ? SearchBounds{} : compute_search_bounds(tree);
    const SearchBounds& bounds = known_bounds ? *known_bounds : computed;
    const Nearest chosen = nearest_one(tree, query);
    auto expect_same = [&](const Nearest& other, const char* variant, const char* how) {
        EXPECT_TRUE(same_answer(other, chosen))
            << variant << how << " gives item " << other.item << " at " << other.distance
            << " (found " << other.found << "), nearest_one item " << chosen.item << " at "
            << chosen.distance << " (found " << chosen.found << ")";
    };
    expect_same(nearest_one(tree, bounds, query), "nearest_one", " with bounds");
    {
        HeardAnswers heard{tree.leaves.size()};
        const Nearest hooked = nearest_one(tree, bounds, heard.hook(), query);
        expect_same(hooked, "nearest_one", " with a hook");
        expect_heard(heard, hooked, "nearest_one");
    }
    for (cpu::Level variant : cpu::kAllLevels) {
        if (!cpu::supports(variant)) continue;
        expect_same(nearest_one_with(variant, tree, query), cpu::level_name(variant), "");
        expect_same(nearest_one_with(variant, tree, bounds, query), cpu::level_name(variant),
                    " with bounds");
        HeardAnswers heard{tree.leaves.size()};
        const Nearest hooked = nearest_one_with(variant, tree, bounds, heard.hook(), query);
        expect_same(hooked, cpu::level_name(variant), " with a hook");
        expect_heard(heard, hooked, cpu::level_name(variant));
    }
    return chosen;
}

// Checks a query against brute force: the answer must be at the minimum
// distance, and among stored copies of the answering position the earliest
// row must win (copies always share a leaf). Distinct points at equal
// distance may answer in either order, as that depends on the visiting order.
inline void expect_matches_brute_force(const ImmutableKdTree& tree,
                                       std::span<const Point> points, const Point& query,
                                       const SearchBounds* bounds = nullptr) {
    const Nearest got = query_every_variant(tree, query, bounds);
    const double expected = brute_force_distance(points, query);
    ASSERT_EQ(got.found, expected < kNoDistance)
        << "query (" << query[0] << ", " << query[1] << ", " << query[2] << ")";
    if (!got.found) return;
    ASSERT_LT(got.item, points.size());
    // The position names the slot that holds the answer.
    ASSERT_LT(got.position / B, tree.leaves.size());
    const LeafNode& leaf = tree.leaves[got.position / B];
    EXPECT_LT(got.position % B, leaf.size);
    EXPECT_EQ(leaf.content_items[got.position % B], got.item);
    EXPECT_TRUE(same_bits(got.distance, expected))
        << "query (" << query[0] << ", " << query[1] << ", " << query[2] << ") got "
        << got.distance << " for item " << got.item << ", brute force " << expected;
    EXPECT_TRUE(same_bits(distance(points[got.item], query), got.distance));
    for (Item earlier = 0; earlier < got.item; ++earlier) {
        if (points[earlier] == points[got.item]) {
            ADD_FAILURE() << "item " << got.item << " answered, but item " << earlier
                          << " is stored at the same position";
            break;
        }
    }
}

// A valid layout of any points with at most 32 copies of a position:
// median splits in heap order, equal split values to the right, NaN
// coordinates to the left, and +infinity stems where a chunk fits one leaf.
// It stands in for the real construction so the query can be tested apart.
class MedianLayout {
public:
    static ImmutableKdTree lay_out(std::span<const Point> points) {
        const std::size_t leaves_needed = (points.size() + B - 1) / B;
        for (std::size_t stem_count = std::bit_ceil(std::max<std::size_t>(leaves_needed, 1));;
             stem_count *= 2) {
            MedianLayout layout(points, stem_count);
            std::vector<Item> all(points.size());
            std::iota(all.begin(), all.end(), Item{0});
            if (layout.place(all, 1, 0)) return layout.finish();
            if (stem_count > (std::size_t{1} << 24)) {
                ADD_FAILURE() << "points cannot be laid out";
                return {};
            }
        }
    }

private:
    MedianLayout(std::span<const Point> points, std::size_t stem_count) : points_(points) {
        tree_.stems.assign(stem_count, kInf);
        tree_.leaves.resize(stem_count);
        tree_.size = points.size();
    }

    bool place(std::vector<Item>& chunk, std::size_t node, std::size_t dim) {
        const std::size_t stem_count = tree_.stems.size();
        const std::size_t next_dim = (dim + 1) % K;
        if (node >= stem_count) {
            if (chunk.size() > B) return false;
            std::sort(chunk.begin(), chunk.end());
            LeafNode& leaf = tree_.leaves[node - stem_count];
            for (Item item : chunk) {
                for (std::size_t d = 0; d < K; ++d) {
                    leaf.content_points[d][leaf.size] = points_[item][d];
                }
                leaf.content_items[leaf.size++] = item;
            }
            return true;
        }
        // A chunk that fits one leaf keeps an unset stem, which still sends
        // +infinity coordinates right.
        double split = kInf;
        if (chunk.size() > B) {
            std::vector<double> values;
            for (Item item : chunk) {
                if (!std::isnan(points_[item][dim])) values.push_back(points_[item][dim]);
            }
            std::sort(values.begin(), values.end());
            if (!values.empty()) {
                split = values[values.size() / 2];
                if (split == values.front()) {
                    auto above = std::upper_bound(values.begin(), values.end(), split);
                    split = above == values.end() ? kInf : *above;
                }
            }
        }
        std::vector<Item> left, right;
        for (Item item : chunk) {
            (points_[item][dim] >= split ? right : left).push_back(item);
        }
        tree_.stems[node] = split;
        return place(left, 2 * node, next_dim) && place(right, 2 * node + 1, next_dim);
    }

    ImmutableKdTree finish() {
        // Trailing empty leaves need not exist: the query treats a missing
        // leaf as empty, and built trees often stop short of the stems.
        while (!tree_.leaves.empty() && tree_.leaves.back().size == 0) tree_.leaves.pop_back();
        return std::move(tree_);
    }

    std::span<const Point> points_;
    ImmutableKdTree tree_;
};

inline Point unit_point_at(double lat_deg, double lon_deg) {
    const double lat = lat_deg * (std::numbers::pi / 180.0);
    const double lon = lon_deg * (std::numbers::pi / 180.0);
    return {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
}

inline Point random_unit_point(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> lat(-90.0, 90.0);
    std::uniform_real_distribution<double> lon(-180.0, 180.0);
    return unit_point_at(lat(rng), lon(rng));
}

}  // namespace vicinor::kdtree::testing
