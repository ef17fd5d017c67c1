// Tables the left-packed construction cannot finish (identical places, grids,
// places sharing a latitude) still build a tree every query can rely on.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "kdtree/build_parts.hpp"
#include "kdtree/query.hpp"
#include "test_build_support.hpp"

namespace vicinor::kdtree::testing {
namespace {

// The query over the built tree finds a point as near as the nearest of all
// points: leaving out copies and NaN points loses no answer.
void expect_nearest_found(const ImmutableKdTree& tree, const std::vector<Point>& points) {
    std::mt19937 rng(static_cast<std::uint32_t>(points.size()));
    std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
    for (int q = 0; q < 200; ++q) {
        const Point query = q < 20 ? points[rng() % points.size()] : sphere_point(lat(rng), lon(rng));
        double best = std::numeric_limits<double>::max();
        for (const Point& p : points) {
            const double d = ((p[0] - query[0]) * (p[0] - query[0]) +
                              (p[1] - query[1]) * (p[1] - query[1])) +
                             (p[2] - query[2]) * (p[2] - query[2]);
            if (d < best) best = d;
        }
        const Nearest found = nearest_one(tree, query);
        ASSERT_TRUE(found.found);
        EXPECT_EQ(found.distance, best) << "query " << q;
    }
}

TEST(BuildFallback, ManyCopiesOfOnePlaceKeepOnlyTheFirst) {
    const std::vector<Point> points(1000, sphere_point(48.85, 2.35));
    EXPECT_FALSE(detail::build_packed_tree(points).has_value());  // overfills one leaf
    const ImmutableKdTree tree = build_tree(points);
    ASSERT_EQ(tree.leaves.size(), 1u);
    EXPECT_EQ(tree.size, 1u);
    EXPECT_EQ(tree.leaves[0].content_items[0], 0u);
    expect_sound_cells(tree, points);
}

TEST(BuildFallback, ThirtyThreeCopiesAmongDistinctPlaces) {
    std::vector<Point> points = random_points(500, 3);
    for (std::size_t k = 100; k < 133; ++k) points[k] = points[7];  // 34 copies in all
    const ImmutableKdTree tree = build_tree(points);
    expect_sound_cells(tree, points);
    EXPECT_EQ(tree.size, 500u - 33u);
}

// The copy count decides the layout: 32 copies still fit a leaf, 33 do not.
// -0.0 and +0.0 are one value, NaN points are never copies, and the count
// must survive groups whose hashes crowd one part of the table.
TEST(BuildFallback, CopiesAreCountedByValue) {
    std::vector<Point> points = random_points(20000, 9);
    auto columns = [&] { return PointColumns::from_points(points); };
    EXPECT_FALSE(detail::has_more_copies_than(columns(), B));
    // With a limit of 1, shared hashes among distinct points are certain:
    // the exact count must still say no, and yes once one point repeats.
    EXPECT_FALSE(detail::has_more_copies_than(columns(), 1));
    points[19999] = points[3];
    EXPECT_TRUE(detail::has_more_copies_than(columns(), 1));
    points[19999] = {2.0, 2.0, 2.0};
    for (std::size_t k = 0; k < 31; ++k) points[1000 + 7 * k] = points[12];
    EXPECT_FALSE(detail::has_more_copies_than(columns(), B));  // 32 copies
    const double nan = std::nan("");
    points[5000] = {points[12][0], points[12][1], nan};
    EXPECT_FALSE(detail::has_more_copies_than(columns(), B));
    points[5001] = points[12];
    EXPECT_TRUE(detail::has_more_copies_than(columns(), B));  // 33 copies

    std::vector<Point> signed_zeros(40, Point{0.0, 0.5, 0.0});
    for (std::size_t k = 0; k < signed_zeros.size(); k += 2) signed_zeros[k] = {-0.0, 0.5, -0.0};
    EXPECT_TRUE(detail::has_more_copies_than(PointColumns::from_points(signed_zeros), B));
    EXPECT_EQ(detail::distinct_first_copies(PointColumns::from_points(signed_zeros)),
              std::vector<std::uint32_t>{0});

    // Many groups of 32 with neighbouring values: every group is found again.
    std::vector<Point> groups;
    for (int g = 0; g < 3000; ++g) {
        for (int c = 0; c < 32; ++c) groups.push_back({double(g) * 0x1p-40, 0.25, 0.5});
    }
    EXPECT_FALSE(detail::has_more_copies_than(PointColumns::from_points(groups), B));
    const std::vector<std::uint32_t> firsts =
        detail::distinct_first_copies(PointColumns::from_points(groups));
    ASSERT_EQ(firsts.size(), 3000u);
    for (std::size_t g = 0; g < firsts.size(); ++g) EXPECT_EQ(firsts[g], 32 * g);
    groups.push_back(groups[32 * 1234]);
    EXPECT_TRUE(detail::has_more_copies_than(PointColumns::from_points(groups), B));
}

TEST(BuildFallback, OneDegreeGrid) {
    std::vector<Point> points;
    for (int lat = -90; lat < 90; ++lat) {
        for (int lon = -180; lon < 180; ++lon) points.push_back(sphere_point(lat, lon));
    }
    ASSERT_EQ(points.size(), 64800u);
    const ImmutableKdTree tree = build_tree(points);
    expect_sound_cells(tree, points);
    expect_nearest_found(tree, points);
}

TEST(BuildFallback, GroupsOfIdenticalPlaces) {
    std::mt19937 rng(40);
    std::uniform_real_distribution<double> lat(-80, 80), lon(-180, 180);
    std::vector<Point> places;
    for (int g = 0; g < 40; ++g) places.push_back(sphere_point(lat(rng), lon(rng)));
    std::vector<Point> grouped, interleaved;
    for (const Point& p : places) grouped.insert(grouped.end(), 20, p);
    for (int c = 0; c < 20; ++c) interleaved.insert(interleaved.end(), places.begin(), places.end());
    for (const std::vector<Point>* points : {&grouped, &interleaved}) {
        const ImmutableKdTree tree = build_tree(*points);
        expect_sound_cells(tree, *points);
        expect_nearest_found(tree, *points);
    }
}

TEST(BuildFallback, PlacesSharingCoordinates) {
    std::vector<Point> equator, poles, meridian;
    for (int i = 0; i < 3600; ++i) equator.push_back(sphere_point(0.0, -180.0 + i * 0.1));
    for (int lon = -180; lon < 180; ++lon) {
        poles.push_back(sphere_point(90.0, lon));
        poles.push_back(sphere_point(-90.0, lon));
    }
    for (int i = 0; i < 1800; ++i) meridian.push_back(sphere_point(-90.0 + i * 0.1, 0.0));
    for (const std::vector<Point>* points : {&equator, &poles, &meridian}) {
        const ImmutableKdTree tree = build_tree(*points);
        expect_sound_cells(tree, *points);
        expect_nearest_found(tree, *points);
        // Sharing one coordinate must not blow the layout up.
        EXPECT_LE(tree.leaves.size(), points->size());
    }
}

TEST(BuildFallback, SmallIntegerCubes) {
    for (int k = 2; k <= 10; ++k) {
        for (std::size_t n : {60u, 200u, 500u}) {
            SCOPED_TRACE(::testing::Message() << "k=" << k << " n=" << n);
            std::vector<Point> points;
            for (int x = 0; x <= k && points.size() < n; ++x) {
                for (int y = 0; y <= k && points.size() < n; ++y) {
                    for (int z = 0; z <= k && points.size() < n; ++z) {
                        points.push_back({double(x), double(y), double(z)});
                    }
                }
            }
            // Past the cube's size, repeat it: duplicates on top of shared values.
            for (std::size_t j = 0; points.size() < n; ++j) points.push_back(points[j]);
            const ImmutableKdTree tree = build_tree(points);
            expect_sound_cells(tree, points);
        }
    }
}

TEST(BuildFallback, NanAndSignedZeroCoordinates) {
    std::vector<Point> points = random_points(300, 9);
    for (std::size_t k = 0; k < points.size(); k += 5) points[k][1] = kNaN;
    for (std::size_t k = 1; k < points.size(); k += 7) points[k][2] = (k % 2 != 0) ? -0.0 : 0.0;
    expect_sound_cells(build_tree(points), points);

    // With 40 identical points the fallback runs; it drops NaN points.
    points.insert(points.end(), 40, Point{0.25, -0.5, 0.75});
    const ImmutableKdTree tree = build_tree(points);
    expect_sound_cells(tree, points);
    for (const LeafNode& leaf : tree.leaves) {
        for (std::uint32_t slot = 0; slot < leaf.size; ++slot) {
            EXPECT_FALSE(std::isnan(leaf.content_points[1][slot]));
        }
    }

    const std::vector<Point> all_nan(50, Point{kNaN, kNaN, kNaN});
    const ImmutableKdTree empty = build_tree(all_nan);
    EXPECT_EQ(empty.size, 0u);
    expect_sound_cells(empty, all_nan);
}

TEST(BuildFallback, InfiniteCoordinates) {
    std::vector<Point> points = random_points(200, 4);
    for (std::size_t k = 0; k < 60; ++k) points[k] = {kInf, double(k), -kInf};
    points.insert(points.end(), 40, Point{kInf, kInf, kInf});
    expect_sound_cells(build_tree(points), points);
}

// Values drawn from tiny sets give every kind of repeated split value; each
// table must build soundly, and the same table must give the same tree.
TEST(BuildFallback, RandomTablesWithHeavyRepetition) {
    std::mt19937 rng(77);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = 33 + rng() % 1500;
        const int spread[3] = {1 + int(rng() % 12), 1 + int(rng() % 12), 1 + int(rng() % 12)};
        std::vector<Point> points(n);
        for (Point& p : points) {
            for (int d = 0; d < 3; ++d) p[d] = double(int(rng() % spread[d]));
        }
        SCOPED_TRACE(::testing::Message() << "round " << round << " n=" << n);
        const ImmutableKdTree tree = build_tree(points);
        expect_sound_cells(tree, points);
        const ImmutableKdTree again = build_tree(points);
        EXPECT_EQ(again.stems, tree.stems);
        EXPECT_EQ(leaf_sizes(again), leaf_sizes(tree));
        if (::testing::Test::HasFailure()) break;
    }
}

// Large tables find the fallback's splits on points numbered along a curve;
// the tree, and the points handed back, are the same as without.
TEST(BuildFallback, SameTreeWhenNumberedAlongACurve) {
    std::mt19937 rng(41);
    for (int round = 0; round < 20; ++round) {
        const std::size_t n = 40 + rng() % 3000;
        std::vector<Point> points(n);
        for (Point& p : points) {
            for (int d = 0; d < 3; ++d) p[d] = double(int(rng() % 9)) / 8.0 - 0.5;
        }
        points[rng() % n][1] = kNaN;
        points[rng() % n][2] = -0.0;
        SCOPED_TRACE(::testing::Message() << "round " << round << " n=" << n);
        PointColumns plain = PointColumns::from_points(points);
        PointColumns curved = PointColumns::from_points(points);
        const std::vector<std::uint32_t> kept = detail::distinct_first_copies(plain);
        const ImmutableKdTree expected = detail::build_robust_tree(plain, kept, SIZE_MAX);
        const ImmutableKdTree tree = detail::build_robust_tree(curved, kept, 1);
        ASSERT_EQ(tree.stems.size(), expected.stems.size());
        EXPECT_EQ(std::memcmp(tree.stems.data(), expected.stems.data(),
                              tree.stems.size() * sizeof(double)), 0);
        ASSERT_EQ(tree.leaves.size(), expected.leaves.size());
        for (std::size_t i = 0; i < tree.leaves.size(); ++i) {
            EXPECT_EQ(std::memcmp(&tree.leaves[i], &expected.leaves[i], sizeof(LeafNode)), 0);
        }
        for (std::size_t d = 0; d < K; ++d) {
            EXPECT_EQ(std::memcmp(curved.column(d).data(), plain.column(d).data(), n * sizeof(double)), 0);
        }
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
}  // namespace vicinor::kdtree::testing
