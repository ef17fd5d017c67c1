// The derived bounding boxes of the query: what they contain, that a query
// using them answers exactly as one without them, and that geocoders carry
// them after construction and after decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"
#include "kdtree/build.hpp"
#include "kdtree/search_bounds.hpp"
#include "persist/codec.hpp"
#include "test_query_support.hpp"

namespace vicinor::kdtree::testing {
namespace {

bool box_contains(const SearchBox& box, const Point& p) {
    for (std::size_t d = 0; d < K; ++d) {
        if (!(static_cast<double>(box.lo[d]) <= p[d] && p[d] <= static_cast<double>(box.hi[d]))) {
            return false;
        }
    }
    return true;
}

bool is_empty(const SearchBox& box) {
    for (std::size_t d = 0; d < K; ++d) {
        if (!(box.lo[d] == kInf && box.hi[d] == -kInf)) return false;
    }
    return true;
}

ImmutableKdTree single_leaf_tree(const LeafNode& leaf) {
    ImmutableKdTree tree;
    tree.stems = {kInf};
    tree.leaves = {leaf};
    tree.size = leaf.size;
    return tree;
}

TEST(SearchBoundsBoxes, LeafBoxHoldsItsPointsRoundedOutwardToFloats) {
    // 0.1 and 1/3 lie between floats: the box must still contain them.
    const Point a{0.1, -1.0 / 3.0, 1e-300};
    const Point b{-0.7, 2.0 / 3.0, -1e-300};
    const SearchBounds bounds = compute_search_bounds(single_leaf_tree(make_leaf({{a, 0}, {b, 1}})));
    ASSERT_TRUE(bounds.fits(single_leaf_tree(make_leaf({{a, 0}, {b, 1}}))));
    const SearchBox& box = bounds.boxes[1];
    EXPECT_TRUE(box_contains(box, a));
    EXPECT_TRUE(box_contains(box, b));
    // Outward by at most one float step: the next float inward misses.
    EXPECT_LT(static_cast<double>(std::nextafter(box.hi[0], -1.0f)), 0.1);
    EXPECT_GT(static_cast<double>(std::nextafter(box.lo[1], 1.0f)), -1.0 / 3.0);
    EXPECT_LT(box.hi[2], 1e-30f);
    EXPECT_GT(box.lo[2], -1e-30f);
}

TEST(SearchBoundsBoxes, ValuesBeyondFloatRangeStillFitTheBox) {
    const Point huge{1e300, -1e300, kInf};
    const Point small{-kInf, 5e-324, 0.0};
    const SearchBounds bounds =
        compute_search_bounds(single_leaf_tree(make_leaf({{huge, 0}, {small, 1}})));
    EXPECT_TRUE(box_contains(bounds.boxes[1], huge));
    EXPECT_TRUE(box_contains(bounds.boxes[1], small));
}

TEST(SearchBoundsBoxes, UnusedSlotsAndNaNPointsAreLeftOut) {
    // Unused slots hold the origin; a NaN point would widen nothing useful.
    LeafNode leaf = make_leaf({{{0.5, 0.5, 0.5}, 0}, {{kNaN, -9.0, -9.0}, 1}, {{0.6, 0.7, 0.8}, 2}});
    const SearchBox box = compute_search_bounds(single_leaf_tree(leaf)).boxes[1];
    EXPECT_EQ(box.lo[0], 0.5f);
    EXPECT_EQ(box.lo[1], 0.5f);
    EXPECT_EQ(box.lo[2], 0.5f);
    EXPECT_GE(box.hi[2], 0.8f);
    EXPECT_LT(box.hi[2], 0.81f);

    const LeafNode only_nan = make_leaf({{{kNaN, 0.0, 0.0}, 0}, {{0.0, 0.0, kNaN}, 1}});
    EXPECT_TRUE(is_empty(compute_search_bounds(single_leaf_tree(only_nan)).boxes[1]));
    EXPECT_TRUE(is_empty(compute_search_bounds(single_leaf_tree(LeafNode{})).boxes[1]));
}

TEST(SearchBoundsBoxes, OversizedLeafCountCoversAllSlotsOnly) {
    LeafNode leaf = make_leaf({{{1.0, 1.0, 1.0}, 0}});
    leaf.content_points[0][B - 1] = -3.0;
    leaf.size = 0xFFFFFFFFu;
    const SearchBox box = compute_search_bounds(single_leaf_tree(leaf)).boxes[1];
    EXPECT_EQ(box.lo[0], -3.0f);  // the last slot counts
    EXPECT_EQ(box.hi[0], 1.0f);
    EXPECT_EQ(box.lo[1], 0.0f);  // and so do the zeros between
}

TEST(SearchBoundsBoxes, StemBoxIsTheUnionOfTheLeavesBelowIt) {
    // Stems for four leaves, three present: node 3 covers leaf 2 and the
    // missing leaf 3, node 1 everything.
    ImmutableKdTree tree;
    tree.stems = {kInf, 0.0, -1.0, 1.0};
    tree.leaves = {make_leaf({{{-2.0, -2.0, 0.0}, 0}}), make_leaf({{{-1.5, 3.0, 1.0}, 1}}),
                   make_leaf({{{4.0, 0.5, -1.0}, 2}})};
    tree.size = 3;
    const SearchBounds bounds = compute_search_bounds(tree);
    ASSERT_TRUE(bounds.fits(tree));
    ASSERT_EQ(bounds.boxes.size(), 4u + 3u);
    const SearchBox& left = bounds.boxes[2];
    EXPECT_EQ(left.lo[0], -2.0f);
    EXPECT_EQ(left.hi[0], -1.5f);
    EXPECT_EQ(left.hi[1], 3.0f);
    const SearchBox& right = bounds.boxes[3];
    EXPECT_EQ(right.lo[0], 4.0f);
    EXPECT_EQ(right.hi[0], 4.0f);
    const SearchBox& root = bounds.boxes[1];
    EXPECT_EQ(root.lo[0], -2.0f);
    EXPECT_EQ(root.hi[0], 4.0f);
    EXPECT_EQ(root.lo[2], -1.0f);
    EXPECT_EQ(root.hi[2], 1.0f);
}

TEST(SearchBoundsBoxes, TreesWithoutStemsOrLeavesGetBoundsThatFit) {
    ImmutableKdTree no_stems;
    no_stems.leaves = {make_leaf({{{0.0, 0.0, 1.0}, 0}})};
    EXPECT_TRUE(compute_search_bounds(no_stems).fits(no_stems));
    ImmutableKdTree empty = build_tree(std::vector<Point>{});
    EXPECT_TRUE(compute_search_bounds(empty).fits(empty));
    EXPECT_FALSE(query_every_variant(empty, {0.0, 0.0, 1.0}).found);
}

TEST(SearchBoundsSeeds, EveryDirectionHasACellOnTheGrid) {
    for (std::size_t grid : {1u, 2u, 7u, 16u}) {
        const std::size_t cells = 6 * grid * grid;
        std::vector<int> hits(cells, 0);
        // Face centres, edges, corners, and the points where a coordinate
        // is exactly the largest one or exactly zero.
        for (double x : {-1.0, -0.5, -0.0, 0.0, 0.3, 1.0}) {
            for (double y : {-1.0, -0.25, 0.0, 0.7, 1.0}) {
                for (double z : {-1.0, -0.0, 0.5, 1.0}) {
                    const std::size_t cell = seed_cell({x, y, z}, grid);
                    ASSERT_LT(cell, cells) << x << ", " << y << ", " << z;
                    ++hits[cell];
                }
            }
        }
        // Sphere points at any scale land in the same cell as their direction.
        std::mt19937_64 rng(grid);
        for (int i = 0; i < 2000; ++i) {
            const Point p = random_unit_point(rng);
            const std::size_t cell = seed_cell(p, grid);
            ASSERT_LT(cell, cells);
            ++hits[cell];
            EXPECT_EQ(seed_cell({p[0] * 1e-300, p[1] * 1e-300, p[2] * 1e-300}, grid), cell);
        }
        if (grid <= 2) {
            for (std::size_t cell = 0; cell < cells; ++cell) EXPECT_GT(hits[cell], 0) << cell;
        }
    }
    EXPECT_LT(seed_cell({0.0, 0.0, 0.0}, 4), 6u * 4 * 4);  // no direction, still in range
}

// Found by fuzzing: a subnormal largest coordinate overflows the scale to
// infinity, whose conversion to an index is undefined.
TEST(SearchBoundsSeeds, TinyAndZeroDirectionsStillNameACell) {
    const std::size_t grid = 16;
    for (const Point& q : {Point{5e-324, 0.0, 0.0}, Point{-5e-324, 5e-324, 0.0},
                           Point{1e-310, -3e-310, 2e-310}, Point{0.0, 0.0, 0.0}}) {
        EXPECT_LT(seed_cell(q, grid), 6 * grid * grid);
    }
}

TEST(SearchBoundsSeeds, LargeTreesGetSeedsThatAreStoredPoints) {
    std::mt19937_64 rng(21);
    std::vector<Point> points;
    for (int i = 0; i < 3000; ++i) points.push_back(random_unit_point(rng));
    const ImmutableKdTree tree = build_tree(points);
    const SearchBounds bounds = compute_search_bounds(tree);
    ASSERT_GT(bounds.seed_grid, 0u);
    ASSERT_EQ(bounds.seeds.size(), 6 * bounds.seed_grid * bounds.seed_grid);
    for (const Point& seed : bounds.seeds) {
        EXPECT_NE(std::find(points.begin(), points.end(), seed), points.end());
    }
    // A handful of leaves is not worth seeds.
    const ImmutableKdTree small = build_tree(std::span<const Point>(points).first(100));
    EXPECT_EQ(compute_search_bounds(small).seed_grid, 0u);
    EXPECT_TRUE(compute_search_bounds(small).seeds.empty());
}

// Seeds assume the search is exact, which needs every point on its side of
// every split. A loaded tree may break that; its queries must still answer
// exactly as without bounds.
TEST(SearchBoundsSeeds, PointsOnTheWrongSideOfASplitDisableSeeds) {
    std::mt19937_64 rng(4);
    std::vector<Point> points;
    for (int i = 0; i < 3000; ++i) points.push_back(random_unit_point(rng));
    ImmutableKdTree tree = build_tree(points);
    ASSERT_GT(compute_search_bounds(tree).seed_grid, 0u);

    // Move one point of the first leaf to the far side of the sphere.
    LeafNode& leaf = tree.leaves[0];
    for (std::size_t d = 0; d < K; ++d) leaf.content_points[d][3] = -leaf.content_points[d][3];
    points[leaf.content_items[3]] = {leaf.content_points[0][3], leaf.content_points[1][3],
                                     leaf.content_points[2][3]};
    const SearchBounds bounds = compute_search_bounds(tree);
    EXPECT_EQ(bounds.seed_grid, 0u);
    EXPECT_TRUE(bounds.seeds.empty());
    for (int i = 0; i < 300; ++i) query_every_variant(tree, random_unit_point(rng), &bounds);
    for (const Point& p : points) query_every_variant(tree, p, &bounds);

    // A NaN split says nothing, so anything may lie below it.
    ImmutableKdTree nan_split = build_tree(std::span<const Point>(points).first(2000));
    nan_split.stems[1] = kNaN;
    EXPECT_GT(compute_search_bounds(nan_split).seed_grid, 0u);
}

TEST(SearchBoundsBoxes, StemsFarBeyondTheLeavesGetNoBounds) {
    // As a hostile saved file could hold: the boxes would dwarf the tree.
    ImmutableKdTree tree;
    tree.stems.assign(1 << 12, kInf);
    tree.leaves = {make_leaf({{{0.0, 0.0, 1.0}, 4}})};
    tree.size = 1;
    const SearchBounds bounds = compute_search_bounds(tree);
    EXPECT_TRUE(bounds.boxes.empty());
    EXPECT_FALSE(bounds.fits(tree));
    EXPECT_EQ(nearest_one(tree, bounds, {0.0, 0.1, 1.0}).item, 4u);
}

TEST(SearchBoundsQuery, BoundsOfAnotherShapeAreIgnored) {
    std::mt19937_64 rng(5);
    std::vector<Point> points;
    for (int i = 0; i < 300; ++i) points.push_back(random_unit_point(rng));
    const ImmutableKdTree tree = build_tree(points);
    const ImmutableKdTree other = build_tree(std::span<const Point>(points).first(40));
    const SearchBounds wrong = compute_search_bounds(other);
    ASSERT_FALSE(wrong.fits(tree));
    for (int i = 0; i < 50; ++i) {
        const Point query = random_unit_point(rng);
        EXPECT_TRUE(same_answer(nearest_one(tree, SearchBounds{}, query), nearest_one(tree, query)));
        EXPECT_TRUE(same_answer(nearest_one(tree, wrong, query), nearest_one(tree, query)));
    }
}

// Found by fuzzing the loader: a further child on a leaf position past the
// leaves was looked up in the box table before being dismissed.
TEST(SearchBoundsQuery, LeafPositionsPastTheLeavesAreNeverLookedUp) {
    ImmutableKdTree tree;
    tree.stems = {kInf, 0.0, kInf, 0.0};  // leaf positions 4..7, one leaf
    tree.leaves = {make_leaf({{Point{-0.5, 0.0, 0.0}, 0}, {Point{-0.25, 0.1, 0.0}, 1}})};
    tree.size = 2;
    const SearchBounds bounds = compute_search_bounds(tree);
    ASSERT_TRUE(bounds.fits(tree));
    for (const Point& query : {Point{0.5, 0.0, 0.0}, Point{0.0, -1.0, 0.0}, Point{-0.4, 0.2, 0.0}}) {
        const Nearest bare = nearest_one(tree, query);
        const Nearest bounded = nearest_one(tree, bounds, query);
        ASSERT_TRUE(bare.found);
        EXPECT_TRUE(same_answer(bounded, bare));
    }
}

// Where boxes prune most: clustered places and queries far from all of
// them, with exact ties between clusters placed symmetrically about the
// query, so a pruned leaf that held a tie would change the answer.
TEST(SearchBoundsQuery, SparseClustersAndSymmetricTiesAnswerAsWithoutBounds) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> spread(0.0, 0.002);
    std::vector<Point> points;
    for (int cluster = 0; cluster < 40; ++cluster) {
        const Point centre = random_unit_point(rng);
        for (int i = 0; i < 60; ++i) {
            points.push_back({centre[0] + spread(rng), centre[1] + spread(rng), centre[2] + spread(rng)});
        }
        // Mirror images in x: a query with x = 0 is equally far from both.
        points.push_back({0.25, centre[1], centre[2]});
        points.push_back({-0.25, centre[1], centre[2]});
    }
    for (const bool built : {true, false}) {
        const ImmutableKdTree tree = built ? build_tree(points) : MedianLayout::lay_out(points);
        const SearchBounds bounds = compute_search_bounds(tree);
        // Seeds bound the search before its first leaf is read; ties must
        // still go to the first leaf visited.
        if (built) {
            EXPECT_GT(bounds.seed_grid, 0u);
        }
        for (int i = 0; i < 400; ++i) {
            Point query = random_unit_point(rng);
            if (i % 2 == 0) query[0] = 0.0;
            expect_matches_brute_force(tree, points, query, &bounds);
        }
        for (const Point& p : points) {
            expect_matches_brute_force(tree, points, {0.0, p[1], p[2]}, &bounds);
        }
    }
}

}  // namespace
}  // namespace vicinor::kdtree::testing

namespace vicinor {
namespace {

// Exact places, poles and both sides of the antimeridian.
constexpr const char* kPlaces =
    "10,20,Alpha\n"
    "-33.9,151.2,Sydney\n"
    "64.1,-21.9,Reykjavik\n"
    "0,179.99,East\n"
    "0,-179.99,West\n"
    "90,0,North\n"
    "-90,0,South\n";

std::string world_like_table(int rows) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> lat(-60.0, 70.0), lon(-180.0, 180.0);
    std::string text = "lat,lon,name\n";
    for (int i = 0; i < rows; ++i) {
        text += std::to_string(lat(rng)) + "," + std::to_string(lon(rng)) + ",p" +
                std::to_string(i) + "\n";
    }
    return text + kPlaces + "10,20,AlphaAgain\n";
}

TEST(GeocoderSearchBounds, PreparedBuiltAndDecodedGeocodersCarryTheSameBounds) {
    Result<ReverseGeocoder> built = build_geocoder(world_like_table(3000), U',', false);
    ASSERT_TRUE(built.ok()) << built.error().render();
    prepare_lookups(built.value());
    EXPECT_TRUE(built->search_bounds.fits(built->tree));

    Result<std::vector<std::uint8_t>> bytes = persist::encode_to_bytes(built.value());
    ASSERT_TRUE(bytes.ok());
    Result<ReverseGeocoder> decoded = persist::decode_from_bytes(bytes.value());
    ASSERT_TRUE(decoded.ok()) << decoded.error().render();
    prepare_lookups(decoded.value());
    ASSERT_TRUE(decoded->search_bounds.fits(decoded->tree));
    ASSERT_EQ(decoded->search_bounds.boxes.size(), built->search_bounds.boxes.size());
    EXPECT_EQ(0, std::memcmp(decoded->search_bounds.boxes.data(), built->search_bounds.boxes.data(),
                             built->search_bounds.boxes.size() * sizeof(kdtree::SearchBox)));
}

TEST(GeocoderSearchBounds, LookupsAnswerAsTheBareTreeDoes) {
    Result<ReverseGeocoder> built = build_geocoder(world_like_table(3000), U',', false);
    ASSERT_TRUE(built.ok());
    ReverseGeocoder bare = built.value();
    prepare_lookups(built.value());
    const ReverseGeocoder& g = built.value();
    ASSERT_TRUE(g.search_bounds.fits(g.tree));
    std::mt19937_64 rng(8);
    std::uniform_real_distribution<double> lat(-90.0, 90.0), lon(-180.0, 180.0);
    for (int i = 0; i < 3000; ++i) {
        const double qlat = i < 8 ? 90.0 - i * 25.7 : lat(rng);
        const double qlon = i < 8 ? (i % 2 ? 180.0 : -180.0) : lon(rng);
        Result<std::string_view> fast = nearest_row_text(g, qlat, qlon);
        Result<std::string_view> plain = nearest_row_text(bare, qlat, qlon);
        ASSERT_TRUE(fast.ok() && plain.ok());
        ASSERT_EQ(fast.value(), plain.value()) << qlat << ", " << qlon;
    }
    Result<std::string_view> alpha = nearest_row_text(g, 10.0, 20.0);
    ASSERT_TRUE(alpha.ok());
    EXPECT_EQ(alpha.value(), "10,20,Alpha");
}

}  // namespace
}  // namespace vicinor
