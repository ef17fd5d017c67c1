// The construction used when the left-packed one cannot finish. Points are
// distinct and NaN-free here, so a chunk that is constant on one dimension
// still differs on another, and a split at the edge of a run of equal values
// always makes progress. The depth follows the data; leaf positions follow
// from the depth, and chunks that stop early sit in the leftmost leaf below
// their node, exactly as in the packed layout.
#include <algorithm>
#include <bit>
#include <string>

#include "common/fault.hpp"
#include "kdtree/build_parts.hpp"
#include "kdtree/order_key.hpp"
#include "kdtree/select.hpp"

namespace vicinor::kdtree::detail {
namespace {

// Node numbers double per level; far beyond any tree that fits in memory.
constexpr std::size_t kMaxDepth = 48;

class RobustBuilder {
public:
    RobustBuilder(const PointColumns& points, std::span<const std::uint32_t> kept)
        : points_(points), order_(kept.begin(), kept.end()), kept_(kept) {}

    ImmutableKdTree build() {
        stems_.assign(1, kUnsetStem);
        split(0, order_.size(), 1, 0);
        stems_.resize(std::size_t{1} << depth_, kUnsetStem);
        return place();
    }

private:
    OrderKey key(std::size_t position, std::size_t dim) const noexcept {
        return order_key(coordinate(position, dim));
    }

    double coordinate(std::size_t position, std::size_t dim) const noexcept {
        return points_.column(dim)[order_[position]];
    }

    void set_stem(std::size_t node, double value) {
        if (node >= stems_.size()) stems_.resize(std::bit_ceil(node + 1), kUnsetStem);
        stems_[node] = value;
    }

    void split(std::size_t lo, std::size_t hi, std::size_t node, std::size_t depth) {
        const std::size_t m = hi - lo;
        if (m <= B) {
            depth_ = std::max(depth_, depth);
            return;
        }
        if (depth >= kMaxDepth) raise_fault("k-d tree deeper than " + std::to_string(kMaxDepth));
        const std::size_t dim = depth % K;
        const std::size_t mid = m / 2;
        select_nth(std::span(order_).subspan(lo, m), points_.column(dim), mid);
        // The copies of the median's value form one run [run_begin, run_end).
        const OrderKey median = key(lo + mid, dim);
        std::size_t run_begin = mid;
        while (run_begin > 0 && key(lo + run_begin - 1, dim) == median) --run_begin;
        std::size_t run_end = mid + 1;
        while (run_end < m && key(lo + run_end, dim) == median) ++run_end;

        if (run_begin == 0 && run_end == m) {
            // Constant on this dimension: leave the stem unset, which sends
            // the chunk to one child (right only for +infinity, which is >=
            // the unset stem), and split on the next dimension below.
            const bool goes_right = coordinate(lo, dim) >= kUnsetStem;
            split(lo, hi, 2 * node + (goes_right ? 1 : 0), depth + 1);
            return;
        }
        // Split at whichever end of the run leaves the larger side smaller.
        const auto larger_side = [m](std::size_t p) { return std::max(p, m - p); };
        const bool at_begin =
            run_begin > 0 && (run_end == m || larger_side(run_begin) <= larger_side(run_end));
        const std::size_t p = at_begin ? run_begin : run_end;
        if (!at_begin) {
            // The smallest value right of the run becomes the split value.
            std::size_t smallest = p;
            for (std::size_t j = p + 1; j < m; ++j) {
                if (key(lo + j, dim) < key(lo + smallest, dim)) smallest = j;
            }
            std::swap(order_[lo + p], order_[lo + smallest]);
        }
        set_stem(node, coordinate(lo + p, dim));
        split(lo, lo + p, 2 * node, depth + 1);
        split(lo + p, hi, 2 * node + 1, depth + 1);
    }

    ImmutableKdTree place() {
        std::vector<std::size_t> leaf_of(kept_.size());
        std::size_t leaf_count = 0;
        for (std::size_t j = 0; j < kept_.size(); ++j) {
            const std::size_t leaf = descend_to_leaf(stems_, points_.point(kept_[j]));
            leaf_of[j] = leaf;
            leaf_count = std::max(leaf_count, leaf + 1);
        }
        ImmutableKdTree tree;
        tree.leaves.resize(leaf_count);
        for (std::size_t j = 0; j < kept_.size(); ++j) {
            LeafNode& leaf = tree.leaves[leaf_of[j]];
            if (leaf.size == B) raise_fault("k-d tree leaf overfilled by split of equal values");
            const Point point = points_.point(kept_[j]);
            for (std::size_t d = 0; d < K; ++d) leaf.content_points[d][leaf.size] = point[d];
            leaf.content_items[leaf.size] = kept_[j];
            ++leaf.size;
        }
        tree.stems = std::move(stems_);
        tree.size = kept_.size();
        return tree;
    }

    const PointColumns& points_;
    std::vector<std::uint32_t> order_;
    std::span<const std::uint32_t> kept_;
    std::vector<double> stems_;
    std::size_t depth_ = 0;
};

}  // namespace

ImmutableKdTree build_robust_tree(const PointColumns& points,
                                  std::span<const std::uint32_t> kept) {
    return RobustBuilder(points, kept).build();
}

}  // namespace vicinor::kdtree::detail
