// The fast left-packed construction, on the permutation and on ranks,
// against the plain statement of its rules: all must give the same bytes
// wherever they finish, and finish on the same tables.
#include <cmath>
#include <cstring>
#include <optional>

#include "kdtree/build_parts.hpp"
#include "kdtree/ranked_build.hpp"
#include "kdtree/reference_build.hpp"
#include "test_build_support.hpp"

namespace vicinor::kdtree::testing {
namespace {

void expect_same_bytes(const ImmutableKdTree& a, const ImmutableKdTree& b) {
    ASSERT_EQ(a.stems.size(), b.stems.size());
    ASSERT_EQ(a.leaves.size(), b.leaves.size());
    EXPECT_EQ(std::memcmp(a.stems.data(), b.stems.data(), a.stems.size() * sizeof(double)), 0);
    for (std::size_t i = 0; i < a.leaves.size(); ++i) {
        EXPECT_EQ(std::memcmp(&a.leaves[i], &b.leaves[i], sizeof(LeafNode)), 0) << "leaf " << i;
    }
    EXPECT_EQ(a.size, b.size);
}

// Builds `points` both ways and compares the bytes; counts the tables both
// built and those whose duplicates forced extra leaves.
struct ComparedBuilds {
    int both_built = 0;
    int shifted = 0;

    void compare(const std::vector<Point>& points) {
        const std::optional<ImmutableKdTree> plain = detail::build_reference_tree(points);
        const std::optional<ImmutableKdTree> packed =
            detail::build_packed_tree(points, detail::PackedMethod::kPermutation);
        ASSERT_EQ(plain.has_value(), packed.has_value());
        const std::optional<ImmutableKdTree> ranked =
            detail::build_packed_tree(points, detail::PackedMethod::kRanks);
        ASSERT_EQ(ranked.has_value(), packed.has_value());
        if (ranked) expect_same_bytes(*ranked, *packed);
        // Numbered along the space-filling curve, as large tables are: the
        // same bytes, and on failure the points back as they were.
        PointColumns columns = PointColumns::from_points(points);
        const std::optional<ImmutableKdTree> renumbered =
            detail::build_packed_tree(columns, nullptr, /*renumber_from=*/0, detail::PackedMethod::kPermutation);
        ASSERT_EQ(renumbered.has_value(), packed.has_value());
        if (renumbered) expect_same_bytes(*renumbered, *packed);
        for (std::size_t k = 0; !renumbered && k < points.size(); ++k) {
            EXPECT_EQ(std::memcmp(&points[k], columns.point(k).data(), sizeof(Point)), 0) << k;
        }
        if (!plain) return;
        ++both_built;
        if (plain->leaves.size() > (points.size() + 31) / 32) ++shifted;
        expect_same_bytes(*packed, *plain);
    }
};

TEST(BuildReference, SameLayoutAsThePlainRules) {
    std::mt19937 rng(99);
    ComparedBuilds builds;
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 33 + rng() % 1200;
        std::vector<Point> points(n);
        // Mostly distinct values with some coordinates drawn from small sets,
        // so that shifts, retries and doublings happen without always failing.
        const int spread = 2 + int(rng() % 400);
        const int repeated_dim = int(rng() % 4);  // 3: none
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        for (Point& p : points) {
            for (int d = 0; d < 3; ++d) p[d] = d == repeated_dim ? double(rng() % spread) : u(rng);
        }
        if (round % 5 == 0) {
            for (std::size_t k = 0; k < n; k += 3) points[k][(k / 3) % 3] = double(rng() % 7);
        }
        if (round % 13 == 0) points[rng() % n][rng() % 3] = kNaN;
        SCOPED_TRACE(::testing::Message() << "round " << round << " n=" << n);
        builds.compare(points);
        if (::testing::Test::HasFailure()) break;
    }
    // The mix must exercise the retries, not only clean splits.
    EXPECT_GT(builds.both_built, 100);
    EXPECT_GT(builds.shifted, 30);
}

// Tables shaped like real ones and large enough that shifts travel up
// through filled left subtrees and retry them many times: places on a
// coarse grid (so that rows of a latitude share z) plus some towns listed
// twice. Retried subtrees whose points did not change are reused, and must
// come out exactly as if redone.
TEST(BuildReference, SameLayoutOnLargeRoundedTables) {
    std::mt19937 rng(7);
    ComparedBuilds builds;
    for (int round = 0; round < 8; ++round) {
        const std::size_t n = 2000 + rng() % 5000;
        const double step = round % 3 == 0 ? 0.01 : 0.001;
        std::uniform_real_distribution<double> lat(35.0, 60.0), lon(-10.0, 30.0);
        std::vector<Point> points;
        while (points.size() < n) {
            const double la = std::round(lat(rng) / step) * step;
            const double lo = std::round(lon(rng) / step) * step;
            points.push_back(sphere_point(la, lo));
            if (rng() % 20 == 0 && points.size() < n) points.push_back(points.back());
        }
        SCOPED_TRACE(::testing::Message() << "round " << round << " n=" << n);
        builds.compare(points);
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(builds.both_built, 5);
    EXPECT_GT(builds.shifted, 3);
}

// -0.0 and +0.0 are one value to every split, but two bit patterns in a
// stem: a split at zero must take the same copy's pattern as the plain
// rules (the lowest point number on its upper side), whichever way the
// chunk was arranged or repaired. Zeros of both signs in every dimension,
// in tables small enough for selections and large enough for repairs.
TEST(BuildReference, SameStemsAtSignedZeros) {
    std::mt19937 rng(5);
    ComparedBuilds builds;
    int zero_stems = 0;
    for (int round = 0; round < 60; ++round) {
        const std::size_t n = 33 + rng() % (round % 4 == 3 ? 5000 : 1500);
        const int spread = 3 + int(rng() % (round % 2 == 0 ? 9 : 400));
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        std::vector<Point> points(n);
        for (Point& p : points) {
            for (int d = 0; d < 3; ++d) {
                double v = rng() % 3 == 0 ? double(int(rng() % spread) - spread / 2) : u(rng);
                if (v == 0.0 && rng() % 2 == 0) v = -0.0;
                p[d] = v;
            }
        }
        SCOPED_TRACE(::testing::Message() << "round " << round << " n=" << n);
        builds.compare(points);
        if (::testing::Test::HasFailure()) break;
        if (const auto tree = detail::build_reference_tree(points)) {
            for (double stem : tree->stems) zero_stems += stem == 0.0;
        }
    }
    EXPECT_GT(builds.both_built, 40);
    EXPECT_GT(builds.shifted, 10);
    EXPECT_GT(zero_stems, 20);
}

// When most of a chunk shares its smallest key, the walk down the run
// stops at 1 and leaves one copy below: the lowest point number in the
// table's own order, however the construction numbered the points.
TEST(BuildReference, SameLoneCopyBelowASplit) {
    std::mt19937 rng(3);
    ComparedBuilds builds;
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 33 + rng() % 300;
        const int dim = int(rng() % 3);
        const double shared = 0.3 + 0.6 * double(rng() % 100) / 100.0;
        std::vector<Point> points(n);
        for (Point& p : points) {
            for (int d = 0; d < 3; ++d) p[d] = u(rng);
            if (double(rng() % 1000) / 1000.0 < shared) p[dim] = -0.75;
        }
        SCOPED_TRACE(::testing::Message() << "round " << round << " n=" << n);
        builds.compare(points);
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(builds.both_built, 40);
}

// Ranks pay only where values repeat: a grid of rounded places says so, a
// table of distinct places does not, whatever its order.
TEST(BuildReference, RanksChosenWhereValuesRepeat) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> lat(-60.0, 70.0), lon(-180.0, 180.0);
    for (const double step : {0.0, 0.01, 0.1}) {
        std::vector<Point> points;
        for (int k = 0; k < 60000; ++k) {
            double la = lat(rng), lo = lon(rng);
            if (step > 0.0) la = std::round(la / step) * step, lo = std::round(lo / step) * step;
            points.push_back(sphere_point(la, lo));
        }
        const PointColumns columns = PointColumns::from_points(points);
        EXPECT_EQ(detail::values_repeat_often(columns), step > 0.0) << "step " << step;
    }
}

// A retry divides only nodes whose points or capacity changed, or below
// which a split moved. Here the root's left subtree is exactly the 65,536
// points with x < 0, all distinct, and fills its 2,048 leaves: after the
// first attempt nothing in it changes, so its 2,047 divisions happen once,
// while values repeated in the small right part (a 0.01 grid) force retries.
TEST(BuildReference, RetriesLeaveUnchangedSubtreesAlone) {
    std::mt19937_64 rng(27);
    std::uniform_real_distribution<double> low(-1.0, -0.1), high(0.1, 1.0), any(-1.0, 1.0);
    const auto rounded = [](double v) { return std::round(v * 100) / 100; };
    std::vector<Point> points;
    for (int k = 0; k < 65536; ++k) points.push_back({low(rng), any(rng), any(rng)});
    for (int k = 0; k < 3200; ++k) points.push_back({rounded(high(rng)), rounded(any(rng)), rounded(any(rng))});
    constexpr std::size_t kLeftDivisions = 2047;
    for (const auto method : {detail::PackedMethod::kPermutation, detail::PackedMethod::kRanks}) {
        PointColumns columns = PointColumns::from_points(points);
        detail::PackedBuildCounters counters;
        ASSERT_TRUE(detail::build_packed_tree(columns, &counters, detail::SpatialNumbering::kMinPoints, method));
        EXPECT_GE(counters.attempts, 3u);
        // The right part takes about a thousand divisions over all attempts;
        // dividing the left subtree again on any retry would add 2,047.
        EXPECT_LT(counters.divisions, 2 * kLeftDivisions);
    }
}

}  // namespace
}  // namespace vicinor::kdtree::testing
