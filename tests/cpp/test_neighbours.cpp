// The k-nearest and within-distance searches against brute force, with and
// without search bounds, with copies the tree stores once, and on a loaded
// tree whose stems point past its leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kdtree/build.hpp"
#include "kdtree/neighbours.hpp"
#include "test_query_support.hpp"

namespace vicinor::kdtree {
namespace {

using testing::distance;

std::vector<Neighbour> brute_force(const std::vector<Point>& points, const ItemCopies& copies,
                                   const Point& q, std::size_t k, double cap) {
    std::vector<Neighbour> all;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double d = distance(points[i], q);
        if (!(d <= cap)) continue;
        all.push_back({d, static_cast<Item>(i)});
        for (Item copy : copies.of(static_cast<Item>(i))) all.push_back({d, copy});
    }
    std::sort(all.begin(), all.end(), nearer);
    if (all.size() > k) all.resize(k);
    return all;
}

void expect_same(const std::vector<Neighbour>& got, const std::vector<Neighbour>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].item, want[i].item) << "at " << i;
        EXPECT_EQ(got[i].distance, want[i].distance) << "at " << i;
    }
}

Point on_sphere(std::mt19937_64& random) {
    std::normal_distribution<double> normal;
    Point p{normal(random), normal(random), normal(random)};
    const double norm = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    return {p[0] / norm, p[1] / norm, p[2] / norm};
}

TEST(Neighbours, EqualBruteForceWithAndWithoutBoundsAndCopies) {
    std::mt19937_64 random(5);
    std::vector<Point> points;
    for (int i = 0; i < 700; ++i) points.push_back(i % 7 == 3 ? points[i - 1] : on_sphere(random));
    const ImmutableKdTree tree = build_tree(std::span<const Point>(points));
    const SearchBounds bounds = compute_search_bounds(tree);
    // Items 1000.. stand for rows the tree left out, at item 10's point.
    const ItemCopies copies = ItemCopies::from_pairs({{10, 1001}, {10, 1000}}, 1002);
    const ItemCopies none;
    NeighbourSearch search;
    std::vector<Neighbour> found;
    for (int trial = 0; trial < 200; ++trial) {
        const Point q = trial < 10 ? points[10 + trial] : on_sphere(random);
        for (const SearchBounds* b : {&bounds, static_cast<const SearchBounds*>(nullptr)}) {
            const SearchBounds& used = b != nullptr ? *b : SearchBounds{};
            for (std::size_t k : {std::size_t{1}, std::size_t{7}, std::size_t{100},
                                  NeighbourSearch::kAll}) {
                search.search(tree, used, copies, q, k, testing::kInf, found);
                expect_same(found, brute_force(points, copies, q, k, testing::kInf));
            }
            search.search(tree, used, none, q, NeighbourSearch::kAll, 0.01, found);
            expect_same(found, brute_force(points, none, q, NeighbourSearch::kAll, 0.01));
        }
    }
}

TEST(Neighbours, FindNothingForNonFiniteQueriesOrEmptyTrees) {
    const ImmutableKdTree tree = build_tree(std::span<const Point>(std::vector<Point>{{1, 0, 0}}));
    NeighbourSearch search;
    std::vector<Neighbour> found;
    search.search(tree, SearchBounds{}, ItemCopies{}, {testing::kNaN, 0, 0}, 3, testing::kInf,
                  found);
    EXPECT_TRUE(found.empty());
    search.search(ImmutableKdTree{{}, {testing::kInf}, 0}, SearchBounds{}, ItemCopies{},
                  {1, 0, 0}, 3, testing::kInf, found);
    EXPECT_TRUE(found.empty());
}

TEST(Neighbours, StemsPastTheLeavesOfALoadedTreeHoldNothing) {
    // Four leaf positions, one leaf: every other position is missing.
    ImmutableKdTree tree;
    tree.stems = {testing::kInf, 0.5, testing::kNaN, -0.5};
    tree.leaves.push_back(testing::make_leaf({{{1, 0, 0}, 0}, {{0, 1, 0}, 1}}));
    tree.size = 2;
    NeighbourSearch search;
    std::vector<Neighbour> found;
    for (const Point& q : {Point{1, 0, 0}, Point{-1, 0, 0}, Point{0, 0, 1}}) {
        search.search(tree, SearchBounds{}, ItemCopies{}, q, NeighbourSearch::kAll,
                      testing::kInf, found);
        ASSERT_EQ(found.size(), 2u);
    }
}

}  // namespace
}  // namespace vicinor::kdtree
