// Placement of the points into leaves once the stems are final. Every check
// runs before anything is moved, so a refused placement leaves the points as
// they were for the fallback construction. Then the points are reordered
// within their own columns, grouped by leaf (one column's worth of buffer at
// a time), and the leaves are filled front to back while the
// consumed points' pages go back: points and leaves, the two largest
// arrays of construction, are never both whole in memory.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/large_pages.hpp"
#include "common/stop_check.hpp"
#include "kdtree/build_parts.hpp"
#include "kdtree/leaf_descent.hpp"
#include "common/page_buffer.hpp"

namespace vicinor::kdtree::detail {
namespace {

// Pages are handed back in steps of about this many points.
constexpr std::size_t kReleaseStep = std::size_t{1} << 13;

// How far ahead the scattered reads of the gather are asked for.
constexpr std::size_t kGatherPrefetch = 32;

// Reorders the three columns so that entry j holds point `item_at[j]`, one
// column at a time through a buffer of one column. Following the cycles of
// the permutation in place would need no buffer, but each step of a cycle
// waits for the previous one; the gather's reads are independent.
void gather_columns(PointColumns& points, const PageArray<std::uint32_t>& item_at) {
    const std::size_t n = points.size();
    PageArray<double> gathered(n);
    for (std::size_t d = 0; d < K; ++d) {
        stop_point();
        double* column = points.column(d).data();
        for (std::size_t j = 0; j < n; ++j) {
            if (j + kGatherPrefetch < n) __builtin_prefetch(column + item_at[j + kGatherPrefetch]);
            gathered[j] = column[item_at[j]];
        }
        std::copy(gathered.data(), gathered.data() + n, column);
    }
}

}  // namespace

std::optional<ImmutableKdTree> place_points(std::vector<double> stems, std::size_t leaf_count,
                                            PointColumns& points) {
    const std::size_t n = points.size();
    // First the leaf of every point, then (the same array) where the point
    // goes in the leaf-grouped order: leaves in order, ascending point
    // numbers within a leaf.
    PageArray<std::uint32_t> position(n);
    std::vector<std::uint32_t> leaf_start(leaf_count + 1, 0);
    auto count_in_leaf = [&](std::size_t k, std::size_t leaf) {
        if (leaf >= leaf_count) return false;
        if (leaf_start[leaf + 1] == B) return false;  // would overfill the leaf
        ++leaf_start[leaf + 1];
        position[k] = static_cast<std::uint32_t>(leaf);
        return true;
    };
    std::size_t k = 0;
    for (; k + kDescentBlock <= n; k += kDescentBlock) {
        if (k % kStopEvery == 0) stop_point();
        std::size_t leaves[kDescentBlock];
        descend_block(stems, points, k, leaves);
        for (std::size_t lane = 0; lane < kDescentBlock; ++lane) {
            if (!count_in_leaf(k + lane, leaves[lane])) return std::nullopt;
        }
    }
    for (; k < n; ++k) {
        if (!count_in_leaf(k, descend_to_leaf(stems, points.point(k)))) return std::nullopt;
    }
    for (std::size_t leaf = 0; leaf < leaf_count; ++leaf) leaf_start[leaf + 1] += leaf_start[leaf];

    PageArray<std::uint32_t> item_at(n);
    {
        std::vector<std::uint32_t> next(leaf_start.begin(), leaf_start.end() - 1);
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t to = next[position[k]]++;
            item_at[to] = static_cast<Item>(k);
        }
    }
    position = PageArray<std::uint32_t>();  // before the gather takes its buffer
    stop_point();
    gather_columns(points, item_at);
    stop_point();

    ImmutableKdTree tree;
    tree.leaves.reserve(leaf_count);
    const LargePageAdvice advice(tree.leaves.data(), leaf_count * sizeof(LeafNode));
    std::size_t released = 0;
    for (std::size_t leaf_number = 0; leaf_number < leaf_count; ++leaf_number) {
        if (leaf_number % (kStopEvery / B) == 0) stop_point();
        LeafNode& leaf = tree.leaves.emplace_back();
        const std::size_t first = leaf_start[leaf_number];
        const std::size_t count = leaf_start[leaf_number + 1] - first;
        for (std::size_t d = 0; d < K; ++d) {
            const double* column = points.column(d).data() + first;
            for (std::size_t slot = 0; slot < count; ++slot) leaf.content_points[d][slot] = column[slot];
        }
        for (std::size_t slot = 0; slot < count; ++slot) leaf.content_items[slot] = item_at[first + slot];
        leaf.size = static_cast<std::uint32_t>(count);
        if (first + count - released >= kReleaseStep) {
            released = first + count;
            points.release_prefix(released);
            item_at.release(0, released);
        }
    }
    tree.stems = std::move(stems);
    tree.size = n;
    return tree;
}

}  // namespace vicinor::kdtree::detail
