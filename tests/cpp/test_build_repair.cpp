// Splits repaired after a retry against the plain rules, which select every
// split afresh: the same bytes on tables large enough for the sampled
// repairs, with the duplicates that make splits move, retries happen and
// stems double.
#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <random>

#include "kdtree/build_parts.hpp"
#include "kdtree/order_key.hpp"
#include "kdtree/reference_build.hpp"
#include "kdtree/split_repair.hpp"
#include "test_build_support.hpp"

namespace vicinor::kdtree::testing {
namespace {

bool same_bytes(const ImmutableKdTree& a, const ImmutableKdTree& b) {
    if (a.stems.size() != b.stems.size() || a.leaves.size() != b.leaves.size()) return false;
    if (std::memcmp(a.stems.data(), b.stems.data(), a.stems.size() * sizeof(double)) != 0) {
        return false;
    }
    for (std::size_t i = 0; i < a.leaves.size(); ++i) {
        if (std::memcmp(&a.leaves[i], &b.leaves[i], sizeof(LeafNode)) != 0) return false;
    }
    return a.size == b.size;
}

// Places the way real tables hold them: rounded to a grid (rows of a
// latitude share z), clustered around towns, some listed twice.
std::vector<Point> table(std::mt19937& rng, int shape, std::size_t n) {
    std::vector<Point> points;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double step = shape == 0 ? 0.01 : shape == 1 ? 0.001 : 0.05;
    std::vector<std::pair<double, double>> towns;
    for (int t = 0; t < 60; ++t) towns.push_back({-60 + 130 * unit(rng), -180 + 360 * unit(rng)});
    while (points.size() < n) {
        double lat;
        double lon;
        if (shape == 3) {
            const auto& town = towns[rng() % towns.size()];
            lat = town.first + 3 * (unit(rng) - 0.5);
            lon = town.second + 3 * (unit(rng) - 0.5);
        } else if (shape == 2) {
            lat = -60 + 130 * unit(rng);
            lon = -180 + 360 * unit(rng);
        } else {
            lat = 35 + 25 * unit(rng);
            lon = -10 + 40 * unit(rng);
        }
        const double grid = shape == 3 ? 0.01 : step;
        points.push_back(
            sphere_point(std::round(lat / grid) * grid, std::round(lon / grid) * grid));
        if (rng() % 25 == 0 && points.size() < n) points.push_back(points.back());
    }
    return points;
}

TEST(BuildRepair, RepairedSplitsGiveTheBytesOfThePlainRules) {
    std::mt19937 rng(2026);
    int both_built = 0;
    int shifted = 0;
    detail::PackedBuildCounters counters;  // summed over the rounds
    // The plain rules sort every chunk they split: sizes stay modest.
    for (int round = 0; round < 16; ++round) {
        const std::size_t n = 2000 + rng() % (round % 6 == 5 ? 24000 : 8000);
        const std::vector<Point> points = table(rng, round % 4, n);
        SCOPED_TRACE(::testing::Message() << "round " << round << " n=" << n);
        PointColumns columns = PointColumns::from_points(points);
        const auto repaired = detail::build_packed_tree(columns, &counters);
        const auto selected = detail::build_reference_tree(points);
        ASSERT_EQ(repaired.has_value(), selected.has_value());
        if (!repaired) continue;
        ++both_built;
        if (repaired->leaves.size() > (n + 31) / 32) ++shifted;
        EXPECT_TRUE(same_bytes(*repaired, *selected));
    }
    EXPECT_GT(both_built, 10);
    EXPECT_GT(shifted, 6);
    // Lower sides moved with their chunk's front, both ways, were among
    // what gave those bytes.
    EXPECT_GT(counters.fronts_gained, 0u);
    EXPECT_GT(counters.fronts_lost, 0u);
}

// The repair on its own: a chunk divided by a selection, then changed the
// way a parent changes it (points swapped with the outside, the upper end
// cut off, positions gained in front), divided again at a new rank. The
// result must be what a fresh selection and walk would give.
TEST(BuildRepair, RepairDividesAsAFreshSelectionWould) {
    std::mt19937 rng(17);
    int repaired = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = 40 + rng() % (round % 10 == 0 ? 20000 : 1500);
        std::vector<double> column(n);
        const std::uint32_t distinct = 2 + rng() % (round % 3 == 0 ? 20 : 100000);
        for (double& v : column) v = double(rng() % distinct) - distinct / 3.0;
        // Splits at 0.0 and just around it (a range that ends below 0.0
        // must not take it in).
        if (round % 7 == 0) {
            for (double& v : column) v = double(int(rng() % 5) - 2) * (rng() % 2 ? 1.0 : 1e-300);
        }
        std::vector<std::uint32_t> order(n);
        std::iota(order.begin(), order.end(), 0u);
        std::shuffle(order.begin(), order.end(), rng);
        auto key_of = [&](std::uint32_t point) { return detail::order_key(column[point]); };

        // The chunk [lo, lo + length) inside the order, first divided by sorting.
        const std::size_t front = rng() % 4 == 0 ? 1 + rng() % 10 : 0;
        const std::size_t lo = 5 + front;
        const std::size_t length = 20 + rng() % (n - 30 - front);
        std::sort(order.begin() + lo, order.begin() + lo + length,
                  [&](auto a, auto b) { return key_of(a) < key_of(b); });
        std::size_t boundary = 1 + rng() % (length - 1);
        while (boundary > 1 && key_of(order[lo + boundary - 1]) == key_of(order[lo + boundary])) {
            --boundary;
        }
        if (key_of(order[lo + boundary - 1]) == key_of(order[lo + boundary])) continue;
        const detail::ArrangedChunk before{lo, length, boundary, key_of(order[lo + boundary]),
                                           order[lo + boundary], true};
        // Each side rearranged, as children do.
        std::shuffle(order.begin() + lo, order.begin() + lo + boundary, rng);
        std::shuffle(order.begin() + lo + boundary, order.begin() + lo + length, rng);
        const std::vector<std::uint32_t> seen_by_sides = order;

        // Changes: a cut upper end (sometimes into the lower side), positions
        // gained or lost in front, and a few swaps with points outside, from
        // the cut end among them.
        const std::size_t cut_room = rng() % 2 == 0 ? length - boundary : length - 10;
        const std::size_t cut = rng() % 3 == 0 ? rng() % (cut_room + 1) : 0;
        const std::size_t front_cut =
            front == 0 && length - cut > 11 && rng() % 4 == 0 ? rng() % (length - cut - 10) : 0;
        const std::size_t new_lo = lo - front + front_cut;
        const std::size_t new_length = length - cut + front - front_cut;
        const std::size_t swaps = rng() % 6;
        for (std::size_t s = 0; s < swaps; ++s) {
            const std::size_t inside = new_lo + rng() % new_length;
            const std::size_t outside = cut > 0 && rng() % 2 == 0
                                            ? new_lo + new_length + rng() % cut
                                            : lo + length + rng() % (n - lo - length);
            std::swap(order[inside], order[outside]);
        }
        // Told exactly the positions that hold another point; where every
        // point stands is tracked.
        std::vector<std::uint32_t> where(n);
        for (std::size_t q = 0; q < n; ++q) where[order[q]] = std::uint32_t(q);
        std::vector<std::uint32_t> positions;
        for (std::size_t q = new_lo; q < new_lo + new_length; ++q) {
            if (q < lo || order[q] != seen_by_sides[q]) positions.push_back(std::uint32_t(q));
        }
        // The new rank: near the old split, as after a retry.
        const std::size_t spread = 1 + rng() % 40;
        const std::size_t target = std::clamp<std::size_t>(
            boundary + spread / 2 - rng() % spread, 0, new_length - 1);

        const std::vector<std::uint32_t> unchanged = order;
        detail::SplitRepair repair;
        repair.track_positions(where.data());
        detail::ArrangedChunk after;
        detail::SideChanges lower;
        detail::SideChanges upper;
        const std::optional<std::size_t> split = repair.divide(
            order, column.data(), before, new_lo, new_length, target, {positions}, after, lower,
            upper);

        // What selecting afresh gives: the key of rank target, and the
        // number of keys below it.
        std::vector<detail::OrderKey> keys;
        for (std::size_t q = new_lo; q < new_lo + new_length; ++q) keys.push_back(key_of(order[q]));
        std::sort(keys.begin(), keys.end());
        const detail::OrderKey expected_key = keys[target];
        const std::size_t expected_split = static_cast<std::size_t>(
            std::lower_bound(keys.begin(), keys.end(), expected_key) - keys.begin());
        SCOPED_TRACE(::testing::Message() << "round " << round);
        if (!split) {
            EXPECT_EQ(order, unchanged) << "a refused repair must move nothing";
            continue;
        }
        ++repaired;
        ASSERT_EQ(*split, expected_split);
        EXPECT_EQ(after.pivot_key, expected_key);
        EXPECT_EQ(key_of(after.pivot_item), expected_key);
        for (std::size_t q = new_lo; q < new_lo + new_length; ++q) {
            ASSERT_EQ(key_of(order[q]) < expected_key, q < new_lo + expected_split)
                << "position " << q;
        }
        // The same points, only rearranged within the chunk.
        std::vector<std::uint32_t> was(unchanged.begin() + new_lo,
                                       unchanged.begin() + new_lo + new_length);
        std::vector<std::uint32_t> now(order.begin() + new_lo, order.begin() + new_lo + new_length);
        std::sort(was.begin(), was.end());
        std::sort(now.begin(), now.end());
        EXPECT_EQ(was, now);
        for (std::size_t q = 0; q < n; ++q) ASSERT_EQ(where[order[q]], q) << "tracked position";

        // Each side's node hears of every position that holds another point
        // than it saw.
        auto expect_told = [&](const detail::SideChanges& side, std::size_t old_begin,
                               std::size_t old_end, std::size_t new_begin, std::size_t new_end) {
            for (std::size_t q = new_begin; q < new_end; ++q) {
                if (q >= old_begin && q < old_end && order[q] == seen_by_sides[q]) continue;
                EXPECT_NE(std::find(side.positions.begin(), side.positions.end(), q),
                          side.positions.end())
                    << "position " << q;
            }
        };
        const std::size_t split_at = new_lo + *split;
        expect_told(lower, lo, lo + boundary, new_lo, split_at);
        // A later start leaves the upper side's node to select afresh.
        if (split_at <= lo + boundary) {
            expect_told(upper, lo + boundary, lo + length, split_at, new_lo + new_length);
        }
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(repaired, 2000);
}

// Repairs one after another on the same chunk, with positions tracked and
// each side's extremes kept between them (as the builder does): every
// division must still be the fresh selection's, however the sides were
// rearranged and the chunk changed in between.
TEST(BuildRepair, KeptExtremesServeRepairsAfterChanges) {
    std::mt19937 rng(5);
    int from_kept = 0;
    for (int round = 0; round < 60; ++round) {
        const std::size_t n = 4000 + rng() % 4000;
        std::vector<double> column(n);
        const std::uint32_t distinct = 30 + rng() % 3000;
        for (double& v : column) v = double(rng() % distinct);
        std::vector<std::uint32_t> order(n);
        std::iota(order.begin(), order.end(), 0u);
        std::shuffle(order.begin(), order.end(), rng);
        auto key_of = [&](std::uint32_t point) { return detail::order_key(column[point]); };
        const std::size_t lo = 10;
        const std::size_t length = n - 20;
        auto sorted_keys = [&] {
            std::vector<detail::OrderKey> keys;
            for (std::size_t q = lo; q < lo + length; ++q) keys.push_back(key_of(order[q]));
            std::sort(keys.begin(), keys.end());
            return keys;
        };
        std::vector<std::uint32_t> where(n);
        auto track = [&](std::size_t first, std::size_t last) {
            for (std::size_t q = first; q < last; ++q) where[order[q]] = std::uint32_t(q);
        };

        // A fresh division: sorted, split near the middle at a run's start.
        std::uint64_t lineage = 1;
        auto divide_afresh = [&](std::size_t target) {
            std::sort(order.begin() + lo, order.begin() + lo + length,
                      [&](auto a, auto b) { return key_of(a) < key_of(b); });
            std::size_t split = target;
            while (split > 0 && key_of(order[lo + split - 1]) == key_of(order[lo + split])) {
                --split;
            }
            track(0, n);
            return detail::ArrangedChunk{lo, length, split, key_of(order[lo + split]),
                                         order[lo + split], split > 0, ++lineage};
        };
        detail::ArrangedChunk state = divide_afresh(length / 2);
        if (!state.valid) continue;

        detail::SplitRepair repair;
        repair.track_positions(where.data());
        detail::ChunkKeptExtremes reserves;
        for (int step = 0; step < 25; ++step) {
            // The children rearrange each side; a few points are swapped
            // with the outside...
            std::shuffle(order.begin() + lo, order.begin() + lo + state.boundary, rng);
            std::shuffle(order.begin() + lo + state.boundary, order.begin() + lo + length, rng);
            const std::vector<std::uint32_t> seen = order;
            // ... or with each other, across the sides.
            for (std::size_t s = rng() % 4; s > 0; --s) {
                const std::size_t inside = lo + rng() % length;
                const std::size_t other = rng() % 3 == 0 ? lo + rng() % length
                                          : rng() % 2    ? rng() % lo
                                                         : lo + length + rng() % 10;
                std::swap(order[inside], order[other]);
            }
            track(0, n);
            std::vector<std::uint32_t> positions;
            for (std::size_t q = lo; q < lo + length; ++q) {
                if (order[q] != seen[q]) positions.push_back(std::uint32_t(q));
            }
            // Retries move splits by a few, mostly left.
            const std::size_t target =
                std::clamp<std::size_t>(state.boundary + 3 - rng() % 40, 1, length - 1);
            detail::ArrangedChunk after;
            detail::SideChanges lower;
            detail::SideChanges upper;
            const bool kept_before = reserves.lower.lineage == state.lineage ||
                                     reserves.upper.lineage == state.lineage;
            const std::optional<std::size_t> split =
                repair.divide(order, column.data(), state, lo, length, target, {positions},
                              after, lower, upper, &reserves);
            const std::vector<detail::OrderKey> keys = sorted_keys();
            const std::size_t expected = static_cast<std::size_t>(
                std::lower_bound(keys.begin(), keys.end(), keys[target]) - keys.begin());
            SCOPED_TRACE(::testing::Message() << "round " << round << " step " << step);
            if (!split) {
                state = divide_afresh(target);
                if (!state.valid) break;
                continue;
            }
            if (kept_before) ++from_kept;
            ASSERT_EQ(*split, expected);
            ASSERT_EQ(after.pivot_key, keys[target]);
            for (std::size_t q = lo; q < lo + length; ++q) {
                ASSERT_EQ(key_of(order[q]) < after.pivot_key, q < lo + expected)
                    << "position " << q;
                ASSERT_EQ(where[order[q]], q) << "tracked position";
            }
            state = after;
        }
    }
    EXPECT_GT(from_kept, 500);
}

}  // namespace
}  // namespace vicinor::kdtree::testing
