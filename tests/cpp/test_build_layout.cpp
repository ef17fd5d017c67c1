// The left-packed layout is the saved-file layout, so these pin it exactly.
#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#include "kdtree/build_parts.hpp"
#include "test_build_support.hpp"

namespace vicinor::kdtree::testing {
namespace {

struct LayoutCase {
    std::size_t n;
    std::size_t stem_count;
    std::vector<std::uint32_t> sizes;
};

std::vector<std::uint32_t> packed_sizes(std::size_t n) {
    std::vector<std::uint32_t> sizes(n / B, B);
    if (n % B != 0) sizes.push_back(n % B);
    return sizes;
}

bool is_unset(double stem) { return std::bit_cast<std::uint64_t>(stem) == 0x7FF0000000000000ULL; }

TEST(BuildLayout, WorkedLayoutsForDistinctValues) {
    std::vector<LayoutCase> cases = {
        {0, 1, {}},
        {33, 2, {32, 1}},
        {64, 2, {32, 32}},
        {65, 4, {32, 32, 1}},
        {100, 4, {32, 32, 32, 4}},
        {1000, 32, packed_sizes(1000)},
    };
    for (std::size_t n = 1; n <= 32; ++n) cases.push_back({n, 1, {static_cast<std::uint32_t>(n)}});
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.n);
        const std::vector<Point> points = random_points(c.n, static_cast<std::uint32_t>(c.n));
        const ImmutableKdTree tree = build_tree(points);
        EXPECT_EQ(tree.stems.size(), c.stem_count);
        EXPECT_EQ(leaf_sizes(tree), c.sizes);
        EXPECT_EQ(tree.size, c.n);
        expect_sound_tree(tree, points);
    }
}

TEST(BuildLayout, SmallInputIsOneLeafInInputOrder) {
    const std::vector<Point> points = {{0.5, -0.25, 1.0}, {-2.0, 3.0, 0.0}, {0.5, -0.25, 1.0}};
    const ImmutableKdTree tree = build_tree(points);
    ASSERT_EQ(tree.leaves.size(), 1u);
    ASSERT_EQ(tree.stems.size(), 1u);
    EXPECT_TRUE(is_unset(tree.stems[0]));
    const LeafNode& leaf = tree.leaves[0];
    ASSERT_EQ(leaf.size, 3u);
    for (std::uint32_t slot = 0; slot < 3; ++slot) {
        EXPECT_EQ(leaf.content_items[slot], slot);
        for (std::size_t d = 0; d < K; ++d) EXPECT_EQ(leaf.content_points[d][slot], points[slot][d]);
    }
}

TEST(BuildLayout, SplitValuesAndUntouchedStems) {
    // 65 points: the root sends 64 left; node 3 gets one point and keeps
    // +infinity, so that point reaches leaf 2 through node 6.
    const std::vector<Point> points = random_points(65, 7);
    const ImmutableKdTree tree = build_tree(points);
    ASSERT_EQ(tree.stems.size(), 4u);
    std::vector<double> xs;
    for (const Point& p : points) xs.push_back(p[0]);
    std::sort(xs.begin(), xs.end());
    EXPECT_EQ(tree.stems[1], xs[64]);
    EXPECT_FALSE(is_unset(tree.stems[2]));
    EXPECT_TRUE(is_unset(tree.stems[3]));
    ASSERT_EQ(tree.leaves[2].size, 1u);
    EXPECT_EQ(tree.leaves[2].content_points[0][0], xs[64]);

    // 33 points, odd root: rounding up sends 32 left.
    const std::vector<Point> odd = random_points(33, 8);
    const ImmutableKdTree odd_tree = build_tree(odd);
    xs.clear();
    for (const Point& p : odd) xs.push_back(p[0]);
    std::sort(xs.begin(), xs.end());
    EXPECT_EQ(odd_tree.stems[1], xs[32]);
}

TEST(BuildLayout, RandomDistinctPointsStayOnThePackedPath) {
    std::mt19937 rng(2024);
    std::vector<std::size_t> sizes = {31, 32, 33, 63, 64, 95, 96, 97, 127, 128, 129, 1023, 1024,
                                      1025, 4097};
    for (int i = 0; i < 40; ++i) sizes.push_back(rng() % 6000);
    for (std::size_t n : sizes) {
        SCOPED_TRACE(n);
        const std::vector<Point> points = random_points(n, static_cast<std::uint32_t>(rng()));
        const std::optional<ImmutableKdTree> tree = detail::build_packed_tree(points);
        ASSERT_TRUE(tree.has_value());
        EXPECT_EQ(leaf_sizes(*tree), packed_sizes(n));
        const std::size_t leaves = (n + B - 1) / B;
        EXPECT_EQ(tree->stems.size(), leaves < 2 ? 1 : std::bit_ceil(leaves));
        expect_sound_tree(*tree, points);
    }
}

TEST(BuildLayout, RepeatedValuesShiftTheSplitAndDoubleTheStems) {
    // 64 points whose x values hold a run of 10 copies across the middle
    // (ranks 27..36). The root split walks back to rank 27, leaving 37 on the
    // right of a 2-leaf tree: a shift of 5 adds a leaf and doubles the stems.
    // The retry starts the root with that shift: t = 69, p = 64 - 5 = 59.
    std::vector<Point> points = random_points(64, 11);
    std::vector<std::size_t> by_x(64);
    std::iota(by_x.begin(), by_x.end(), 0);
    std::sort(by_x.begin(), by_x.end(),
              [&](std::size_t a, std::size_t b) { return points[a][0] < points[b][0]; });
    const double repeated = points[by_x[27]][0];
    for (std::size_t rank = 27; rank < 37; ++rank) points[by_x[rank]][0] = repeated;

    const ImmutableKdTree tree = build_tree(points);
    ASSERT_EQ(tree.stems.size(), 4u);
    EXPECT_EQ(leaf_sizes(tree), (std::vector<std::uint32_t>{32, 27, 5}));
    EXPECT_EQ(tree.stems[1], points[by_x[59]][0]);
    EXPECT_TRUE(is_unset(tree.stems[3]));
    expect_sound_tree(tree, points);
}

TEST(BuildLayout, SameInputSameBytes) {
    std::vector<Point> points = random_points(3000, 5);
    for (std::size_t k = 0; k < points.size(); k += 3) points[k][2] = 0.0;  // many shared z
    const ImmutableKdTree a = build_tree(points);
    const ImmutableKdTree b = build_tree(points);
    ASSERT_EQ(a.leaves.size(), b.leaves.size());
    ASSERT_EQ(a.stems.size(), b.stems.size());
    for (std::size_t i = 0; i < a.stems.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(a.stems[i]), std::bit_cast<std::uint64_t>(b.stems[i]));
    }
    for (std::size_t i = 0; i < a.leaves.size(); ++i) {
        EXPECT_EQ(std::memcmp(&a.leaves[i], &b.leaves[i], sizeof(LeafNode)), 0);
    }
    expect_sound_cells(a, points);
}

}  // namespace
}  // namespace vicinor::kdtree::testing
