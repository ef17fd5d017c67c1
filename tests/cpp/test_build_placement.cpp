// Filling the leaves from the final stems, freeing the points as it goes: a
// refused placement must leave the points for the fallback exactly as they
// were.
#include <bit>
#include <cstring>

#include "kdtree/build_parts.hpp"
#include "kdtree/point_columns.hpp"
#include "test_build_support.hpp"

namespace vicinor::kdtree::testing {
namespace {

std::vector<Point> points_of(const PointColumns& columns) {
    std::vector<Point> points;
    for (std::size_t k = 0; k < columns.size(); ++k) points.push_back(columns.point(k));
    return points;
}

void expect_bitwise_equal(const std::vector<Point>& a, const std::vector<Point>& b) {
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(Point)), 0);
}

// Large enough that the leaves are filled while earlier points' pages are
// handed back (several release steps), with a -0.0 and a NaN coordinate
// that must arrive in their leaves bit for bit.
TEST(BuildPlacement, FillsEveryLeafInAscendingItemsWhileFreeingThePoints) {
    std::vector<Point> points = random_points(40000, 21);
    points[17][1] = -0.0;
    points[23456][2] = kNaN;
    PointColumns columns = PointColumns::from_points(points);
    const std::optional<ImmutableKdTree> tree = detail::build_packed_tree(columns);
    ASSERT_TRUE(tree.has_value());
    expect_sound_tree(*tree, points);
    std::size_t stored = 0;
    for (const LeafNode& leaf : tree->leaves) stored += leaf.size;
    EXPECT_EQ(stored, points.size());
}

TEST(BuildPlacement, RefusedPlacementLeavesThePointsUntouched) {
    const std::vector<Point> points = random_points(3000, 4);
    const std::vector<Point> original = points;
    // Unset stems send every point to leaf 0, which holds only 32.
    PointColumns columns = PointColumns::from_points(points);
    const std::size_t stem_count = 128;
    EXPECT_FALSE(
        detail::place_points(std::vector<double>(stem_count, kInf), stem_count, columns).has_value());
    expect_bitwise_equal(points_of(columns), original);

    // A descent past the last leaf is refused the same way.
    std::vector<double> stems(stem_count, kInf);
    stems[1] = -kInf;  // everything goes right, to leaf 64
    EXPECT_FALSE(detail::place_points(stems, 10, columns).has_value());
    expect_bitwise_equal(points_of(columns), original);
}

// Points are descended several at a time, the last few (past a whole
// group) one by one; a refusal found in either part must still come before
// anything moves, and a placement that succeeds must match the descent rule
// in both parts.
TEST(BuildPlacement, GroupedDescentsRefuseAndPlaceLikeSingleOnes) {
    // Node 1 splits x at 0.5, node 2 splits y at 0: with 128 leaf positions
    // the left half's points reach leaf 0 or leaf 32, the right half leaf 64.
    std::vector<double> stems(128, kInf);
    stems[1] = 0.5;
    stems[2] = 0.0;
    for (const std::size_t far_point : {std::size_t{5}, std::size_t{34}}) {
        std::vector<Point> points;
        for (std::size_t k = 0; k < 35; ++k) {
            points.push_back({k == far_point ? 0.9 : 0.1, k % 2 == 0 ? -1.0 : 1.0, double(k)});
        }
        SCOPED_TRACE(::testing::Message() << "far point " << far_point);
        PointColumns columns = PointColumns::from_points(points);
        // Leaf 64 lies past the 64 leaves allowed.
        EXPECT_FALSE(detail::place_points(stems, 64, columns).has_value());
        expect_bitwise_equal(points_of(columns), points);

        const std::optional<ImmutableKdTree> tree = detail::place_points(stems, 65, columns);
        ASSERT_TRUE(tree.has_value());
        const std::uint32_t far_is_odd = far_point % 2;
        EXPECT_EQ(tree->leaves[0].size, 18u - (1 - far_is_odd));  // the even points
        EXPECT_EQ(tree->leaves[32].size, 17u - far_is_odd);       // the odd points
        ASSERT_EQ(tree->leaves[64].size, 1u);
        EXPECT_EQ(tree->leaves[64].content_items[0], far_point);
        for (std::size_t k = 0; k < points.size(); ++k) {
            EXPECT_TRUE(leaf_holds(tree->leaves[leaf_reached(*tree, points[k])], Item(k))) << k;
        }
    }
}

// When the packed construction gives up (after many attempts, or at
// placement), the fallback must get the points exactly as they came.
TEST(BuildPlacement, GivingUpLeavesThePointsInInputOrder) {
    std::vector<Point> grid;  // shifts run away: gives up after many attempts
    for (int lat = -90; lat < 90; ++lat) {
        for (int lon = -180; lon < 180; ++lon) grid.push_back(sphere_point(lat, lon));
    }
    std::vector<Point> copies = random_points(2000, 5);  // 40 copies: overfills a leaf
    for (std::size_t k = 1000; k < 1040; ++k) copies[k] = copies[3];
    for (const std::vector<Point>* points : {&grid, &copies}) {
        PointColumns columns = PointColumns::from_points(*points);
        EXPECT_FALSE(detail::build_packed_tree(columns).has_value());
        expect_bitwise_equal(points_of(columns), *points);
    }
}

TEST(BuildPlacement, ColumnsAndSpanGiveTheSameTree) {
    std::vector<Point> points = random_points(5000, 9);
    for (std::size_t k = 0; k < points.size(); k += 7) points[k][2] = double(k % 5);
    const ImmutableKdTree from_span = build_tree(points);
    const ImmutableKdTree from_columns = build_tree(PointColumns::from_points(points));
    ASSERT_EQ(from_span.leaves.size(), from_columns.leaves.size());
    ASSERT_EQ(from_span.stems.size(), from_columns.stems.size());
    EXPECT_EQ(std::memcmp(from_span.stems.data(), from_columns.stems.data(),
                          from_span.stems.size() * sizeof(double)),
              0);
    EXPECT_EQ(std::memcmp(from_span.leaves.data(), from_columns.leaves.data(),
                          from_span.leaves.size() * sizeof(LeafNode)),
              0);
}

}  // namespace
}  // namespace vicinor::kdtree::testing
