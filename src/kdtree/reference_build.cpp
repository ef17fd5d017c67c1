// The rules of the left-packed layout, in the order they run.
//
// Sizing: ceil(n / 32) leaves; stems the smallest power of two holding
// them (1 for n <= 32), all unset (+infinity); no stem moved yet.
//
// Attempts: split the whole point set at node 1 on dimension 0 with room
// for every leaf. A non-zero result is a shift: that many points found no
// room, so add ceil(shift / 32) leaves and try again; when the leaves no
// longer fit the stems, double the stems (the old tree becomes the new
// root's left subtree, keeping its recorded moves one level down). The
// bounds of the header stop a runaway.
//
// Split of a chunk at node i: chunks of 32 or fewer stop. The left child
// is filled to its capacity and the rest goes right; the target position
// comes from half the chunk plus the moves recorded at i, rounded to a
// power of two. Points equal to the split value descend right, so the
// split walks left to the start of its run. If the left side then does
// not fit, its overflow moves this split further left (recorded at i); if
// the right side does not fit, the overflow goes up as this node's shift.
//
// Placement: every point, in input order, into the next slot of the leaf
// its descent reaches. A NaN split value would leave the query nothing to
// prune by, so a tree with one is not this layout.
#include "kdtree/reference_build.hpp"

#include <algorithm>
#include <bit>
#include <vector>

#include "kdtree/build_parts.hpp"
#include "kdtree/order_key.hpp"

namespace vicinor::kdtree::detail {
namespace {

// Thrown where the rules cannot go on.
struct Unfinished {};

class ReferenceBuild {
public:
    explicit ReferenceBuild(std::span<const Point> points) : points_(points) {
        for (std::size_t k = 0; k < points.size(); ++k) order_.push_back(static_cast<Item>(k));
    }

    ImmutableKdTree run(std::size_t max_attempts) {
        const std::size_t n = points_.size();
        std::size_t leaves = leaves_for(n);
        const std::size_t leaf_limit = std::max<std::size_t>(2 * leaves, 4);
        const std::size_t stem_limit = 2 * stems_for(leaves);
        stems_.assign(stems_for(leaves), kUnsetStem);
        moves_.assign(stems_.size(), 0);
        for (std::size_t attempt = 0; attempt < max_attempts; ++attempt) {
            const std::size_t shift = split(0, n, 1, 0, leaves * B);
            if (shift == 0) return place(leaves);
            leaves += leaves_for(shift);
            if (leaves > leaf_limit) throw Unfinished{};
            if (leaves > stems_.size()) {
                if (2 * stems_.size() > stem_limit) throw Unfinished{};
                double_stems(shift);
            }
        }
        throw Unfinished{};
    }

private:
    void double_stems(std::size_t shift) {
        stems_.assign(2 * stems_.size(), kUnsetStem);
        moves_ = moves_after_doubling(moves_, shift);
    }

    OrderKey key(std::size_t position, std::size_t dim) const {
        return order_key(points_[order_[position]][dim]);
    }

    // Sorts the chunk on `dim` (a full sort is a valid selection; point
    // numbers order equal keys), then walks p left to the start of the run
    // of its value, but not below 1. A NaN equals nothing.
    std::size_t select(std::size_t lo, std::size_t m, std::size_t dim, std::size_t p) {
        std::sort(order_.begin() + static_cast<std::ptrdiff_t>(lo),
                  order_.begin() + static_cast<std::ptrdiff_t>(lo + m), [&](Item a, Item b) {
                      const OrderKey ka = order_key(points_[a][dim]);
                      const OrderKey kb = order_key(points_[b][dim]);
                      return ka < kb || (ka == kb && a < b);
                  });
        while (p > 1 && key(lo + p, dim) != kNanKey && key(lo + p - 1, dim) == key(lo + p, dim)) --p;
        return p;
    }

    // Where the split of m points at `node` goes before runs are looked at.
    std::size_t target(std::size_t m, std::size_t node, std::size_t right_capacity) const {
        return split_target(m, node, moves_[node], right_capacity);
    }

    // 0 when the chunk [lo, lo + m) fits below `node`, else its shift.
    std::size_t split(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                      std::size_t capacity) {
        if (m <= B) return 0;
        if (m > capacity) return m - capacity;
        if (node >= stems_.size()) throw Unfinished{};
        const int height = std::countr_zero(stems_.size()) - std::bit_width(node);
        const std::size_t left_capacity = std::min(capacity, B << height);
        const std::size_t right_capacity = capacity - left_capacity;
        std::size_t p = target(m, node, right_capacity);
        if (p > m) throw Unfinished{};
        if (p < m) {
            p = select(lo, m, dim, p);
            stems_[node] = points_[order_[lo + p]][dim];
        }
        if (p <= B && m - p <= B) return 0;
        if (m - p > right_capacity) return (m - p) - right_capacity;
        const std::size_t child_dim = (dim + 1) % K;
        for (;;) {
            const std::size_t left_shift = split(lo, p, 2 * node, child_dim, left_capacity);
            if (left_shift == 0) return split(lo + p, m - p, 2 * node + 1, child_dim, right_capacity);
            if (left_shift > p) throw Unfinished{};
            p = select(lo, m, dim, p - left_shift);
            moves_[node] += left_shift;
            if (m - p > right_capacity) return (m - p) - right_capacity;
            stems_[node] = points_[order_[lo + p]][dim];
        }
    }

    ImmutableKdTree place(std::size_t leaf_count) {
        for (double stem : stems_) {
            if (stem != stem) throw Unfinished{};
        }
        ImmutableKdTree tree;
        tree.leaves.resize(leaf_count);
        for (std::size_t k = 0; k < points_.size(); ++k) {
            const std::size_t leaf = descend_to_leaf(stems_, points_[k]);
            if (leaf >= leaf_count || tree.leaves[leaf].size == B) throw Unfinished{};
            LeafNode& into = tree.leaves[leaf];
            for (std::size_t d = 0; d < K; ++d) into.content_points[d][into.size] = points_[k][d];
            into.content_items[into.size++] = static_cast<Item>(k);
        }
        tree.stems = std::move(stems_);
        tree.size = points_.size();
        return tree;
    }

    std::span<const Point> points_;
    std::vector<Item> order_;
    std::vector<double> stems_;
    std::vector<std::size_t> moves_;  // per stem, how far its split moved left
};

}  // namespace

std::optional<ImmutableKdTree> build_reference_tree(std::span<const Point> points,
                                                    std::size_t max_attempts) {
    try {
        return ReferenceBuild(points).run(max_attempts);
    } catch (const Unfinished&) {
        return std::nullopt;
    }
}

}  // namespace vicinor::kdtree::detail
