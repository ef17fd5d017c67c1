// Every form of every kernel the processor runs gives the baseline's
// results, bit for bit; and dispatch never hands out a form the processor
// cannot run. A new kernel with wide forms joins kKernels.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "common/cpu_dispatch.hpp"
#include "kdtree/leaf_descent.hpp"
#include "kdtree/neighbours.hpp"
#include "kdtree/point_columns.hpp"
#include "kdtree/query_variants.hpp"
#include "kdtree/range_scan.hpp"
#include "kdtree/search_bounds.hpp"
#include "kdtree/special_values.hpp"

namespace vicinor::cpu {
namespace {

using kdtree::Point;

// Few distinct values, so that comparisons often tie; NaN, infinities and
// both zeros among them.
double awkward_value(std::mt19937& rng) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double values[] = {-inf, -1.0, -0.5, -0.0, 0.0, 0.25, 0.5, 1.0, inf, std::nan("")};
    return values[rng() % std::size(values)];
}

// A tree of `stems` random splits and leaf_count() leaves of random points,
// some of them awkward values.
template <class LeafCount>
kdtree::ImmutableKdTree awkward_tree(std::mt19937& rng, std::size_t stems, LeafCount leaf_count) {
    kdtree::ImmutableKdTree tree;
    tree.stems.assign(stems, kdtree::kUnsetStem);
    for (double& stem : tree.stems) stem = std::uniform_real_distribution<double>(-1, 1)(rng);
    tree.leaves.resize(leaf_count());
    for (kdtree::LeafNode& leaf : tree.leaves) {
        leaf.size = static_cast<std::uint32_t>(rng() % (kdtree::B + 1));
        for (std::size_t slot = 0; slot < leaf.size; ++slot) {
            for (std::size_t d = 0; d < kdtree::K; ++d) {
                leaf.content_points[d][slot] = rng() % 4 == 0 ? awkward_value(rng)
                                               : std::uniform_real_distribution<double>(-1, 1)(rng);
            }
            leaf.content_items[slot] = static_cast<kdtree::Item>(rng() % 1000);
        }
        tree.size += leaf.size;
    }
    return tree;
}

// Everything a kernel's form computes over one random input, as raw bits.
using Outcome = std::vector<std::uint64_t>;

Outcome query_outcome(Level level, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const std::size_t stems = std::size_t{1} << (rng() % 5);
    const kdtree::ImmutableKdTree tree = awkward_tree(rng, stems, [&] { return stems; });
    const kdtree::SearchBounds bounds = kdtree::compute_search_bounds(tree);
    Outcome outcome;
    for (int q = 0; q < 50; ++q) {
        Point query;
        for (double& c : query) c = std::uniform_real_distribution<double>(-1.2, 1.2)(rng);
        for (const kdtree::Nearest& found : {kdtree::nearest_one_with(level, tree, query),
                                             kdtree::nearest_one_with(level, tree, bounds, query)}) {
            outcome.insert(outcome.end(), {std::bit_cast<std::uint64_t>(found.distance), found.item,
                                           found.found, found.position});
        }
    }
    return outcome;
}

Outcome leaf_descent_outcome(Level level, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<double> stems(std::size_t{1} << (rng() % 11));
    for (double& stem : stems) stem = awkward_value(rng);
    std::vector<Point> points(2 * kdtree::detail::kDescentBlock);
    for (Point& p : points) p = {awkward_value(rng), awkward_value(rng), awkward_value(rng)};
    const kdtree::PointColumns columns = kdtree::PointColumns::from_points(points);
    Outcome outcome;
    for (std::size_t first = 0; first + kdtree::detail::kDescentBlock <= points.size(); first += 5) {
        std::size_t leaves[kdtree::detail::kDescentBlock];
        kdtree::detail::descend_block_with(level, stems, columns, first, leaves);
        outcome.insert(outcome.end(), std::begin(leaves), std::end(leaves));
    }
    return outcome;
}

Outcome range_scan_outcome(Level level, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<double> column(500);
    for (double& v : column) v = awkward_value(rng);
    std::vector<std::uint32_t> order(column.size());
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), rng);
    const std::size_t begin = rng() % 50;
    const std::size_t end = begin + rng() % (order.size() - begin + 1);
    std::vector<std::uint32_t> out(end - begin + kdtree::detail::kScanSlack);
    const std::size_t taken = kdtree::detail::scan_in_range_with(
        level, order.data(), begin, end, column.data(), awkward_value(rng), awkward_value(rng),
        out.data());
    return Outcome(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(taken));
}

Outcome special_values_outcome(Level level, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Point> points(1 + rng() % 300);
    for (Point& p : points) p = {awkward_value(rng), awkward_value(rng), awkward_value(rng)};
    const kdtree::detail::SpecialValues found =
        kdtree::detail::special_values_with(level, kdtree::PointColumns::from_points(points));
    return {found.nan, found.negative_zero};
}

// Ordered answers of both neighbour searches over the same awkward trees.
Outcome neighbours_outcome(Level level, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const std::size_t stems = std::size_t{1} << (rng() % 4);
    const kdtree::ImmutableKdTree tree = awkward_tree(rng, stems, [&] { return 1 + rng() % stems; });
    const kdtree::SearchBounds bounds = kdtree::compute_search_bounds(tree);
    kdtree::NeighbourSearch search;
    std::vector<kdtree::Neighbour> found;
    Outcome outcome;
    for (int q = 0; q < 20; ++q) {
        Point query;
        for (double& c : query) c = std::uniform_real_distribution<double>(-1.2, 1.2)(rng);
        search.search_with(level, tree, bounds, {}, query, 1 + rng() % 40, 0.5 + rng() % 4, found);
        for (const kdtree::Neighbour& n : found) {
            outcome.insert(outcome.end(), {std::bit_cast<std::uint64_t>(n.distance), n.item});
        }
        outcome.push_back(found.size());
    }
    return outcome;
}

struct Kernel {
    const char* name;
    std::function<Outcome(Level, std::uint32_t)> outcome;
};

const Kernel kKernels[] = {
    {"nearest_one", query_outcome},
    {"descend_block", leaf_descent_outcome},
    {"scan_in_range", range_scan_outcome},
    {"special_values", special_values_outcome},
    {"neighbours", neighbours_outcome},
};

TEST(CpuDispatch, EverySupportedFormOfEveryKernelMatchesTheBaseline) {
    for (const Kernel& kernel : kKernels) {
        for (Level level : kAllLevels) {
            if (level == Level::kBaseline || !supports(level)) continue;
            for (std::uint32_t seed = 0; seed < 40; ++seed) {
                ASSERT_EQ(kernel.outcome(level, seed), kernel.outcome(Level::kBaseline, seed))
                    << kernel.name << " at " << level_name(level) << ", seed " << seed;
            }
        }
    }
}

int baseline_form() { return 0; }
int avx2_form() { return 2; }
int avx512_form() { return 512; }

TEST(CpuDispatch, FormsFallBackToTheWidestOneThatRuns) {
    const KernelForms<int()> all(baseline_form, avx2_form, avx512_form);
    const KernelForms<int()> no_avx2(baseline_form, nullptr, avx512_form);
    const KernelForms<int()> only_baseline(baseline_form);
    EXPECT_EQ(all.at(Level::kBaseline)(), 0);
    EXPECT_EQ(all.at(Level::kAvx2)(), supports(Level::kAvx2) ? 2 : 0);
    EXPECT_EQ(all.at(Level::kAvx512)(), supports(Level::kAvx512) ? 512
                                        : supports(Level::kAvx2)  ? 2
                                                                  : 0);
    EXPECT_EQ(no_avx2.at(Level::kAvx2)(), 0);
    EXPECT_FALSE(no_avx2.runs(Level::kAvx2));
    EXPECT_EQ(only_baseline.best()(), 0);
    EXPECT_EQ(all.best(), all.at(widest_supported()));
    EXPECT_TRUE(supports(Level::kBaseline));
}

}  // namespace
}  // namespace vicinor::cpu
