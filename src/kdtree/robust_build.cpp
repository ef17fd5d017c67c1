// The construction used when the left-packed one cannot finish. It has the
// packed layout's shape on any point set: the smallest power of two of leaf
// positions that holds the points, left subtrees filled to capacity, every
// leaf but the last full. Size therefore grows linearly with the points
// whatever coordinates they share.
//
// The price is that a split may leave points equal to its value on the
// left: splits order points by the node's dimension and break ties on the
// following dimensions, so a run of equal values is cut wherever the fill
// requires. The query stays exact because its bounds are closed: a point
// on the split plane is exactly as far from the query, on that axis, as
// the plane. Splitting at the edge of such a run instead (strict sides)
// cannot bound the depth: points that share two coordinates leave only
// every third level to tell them apart, and the stems grow with the cube
// of the points.
#include <algorithm>
#include <bit>

#include "common/fault.hpp"
#include "common/stop_check.hpp"
#include "kdtree/build_parts.hpp"
#include "kdtree/order_key.hpp"
#include "kdtree/spatial_numbering.hpp"

namespace vicinor::kdtree::detail {
namespace {

class RobustBuilder {
public:
    RobustBuilder(const PointColumns& points, std::vector<std::uint32_t> kept)
        : points_(points), order_(std::move(kept)) {
        const std::size_t leaf_count = (order_.size() + B - 1) / B;
        stem_count_ = leaf_count < 2 ? 1 : std::bit_ceil(leaf_count);
    }

    // The splits are found on the points as `numbering` arranged them (the
    // kept points numbered so too); the leaves are filled after `points`
    // is put back, by original numbers.
    ImmutableKdTree build(SpatialNumbering& numbering, PointColumns& points) {
        ImmutableKdTree tree;
        tree.stems.assign(stem_count_, kUnsetStem);
        tree.size = order_.size();
        split(tree, 0, order_.size(), 1, 0, stem_count_ * B);
        // The leaves are made only now, after the selection's scratch is
        // gone, so that the two never take memory at once.
        std::vector<Keyed>().swap(keyed_);
        if (numbering.renumbered()) {
            for (std::uint32_t& item : order_) item = numbering.original(item);
            numbering.restore(points);
        }
        tree.leaves.resize((order_.size() + B - 1) / B);
        for (const LeafChunk& chunk : leaf_chunks_) place(tree, chunk);
        return tree;
    }

private:
    // Kept points are distinct by value, so this is a strict total order
    // on them and the split does not depend on how the selection arranges
    // the chunk.
    bool before(std::uint32_t a, std::uint32_t b, std::size_t dim) const noexcept {
        for (std::size_t step = 0; step < K; ++step) {
            const std::span<const double> column = points_.column((dim + step) % K);
            const OrderKey ka = order_key(column[a]);
            const OrderKey kb = order_key(column[b]);
            if (ka != kb) return ka < kb;
        }
        return false;
    }

    // Puts the `rank` first points of the chunk on `dim` before the rest.
    // The keys are copied beside the point numbers first, so that the
    // selection reads them in sequence rather than through the order.
    void select(std::size_t lo, std::size_t m, std::size_t rank, std::size_t dim) {
        stop_point();
        const std::span<const double> column = points_.column(dim);
        if (keyed_.size() < m) keyed_.resize(m);
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint32_t item = order_[lo + j];
            keyed_[j] = Keyed{order_key(column[item]), item};
        }
        const auto first = keyed_.begin();
        std::nth_element(first, first + static_cast<std::ptrdiff_t>(rank),
                         first + static_cast<std::ptrdiff_t>(m),
                         [&](const Keyed& a, const Keyed& b) {
                             if (a.key != b.key) return a.key < b.key;
                             return before(a.item, b.item, dim);
                         });
        for (std::size_t j = 0; j < m; ++j) order_[lo + j] = keyed_[j].item;
    }

    // `capacity` is the slot count of the leaves below `node`; the chunk
    // always fits it, since each side gets at most its child's half.
    void split(ImmutableKdTree& tree, std::size_t lo, std::size_t hi, std::size_t node,
               std::size_t depth, std::size_t capacity) {
        const std::size_t m = hi - lo;
        if (m == 0) return;
        if (m <= B) {
            leaf_chunks_.push_back({lo, hi, node});
            return;
        }
        if (node >= stem_count_) raise_fault("k-d tree fallback chunk exceeds its leaf");
        const std::size_t half = capacity / 2;
        if (m <= half) {
            // All of it fits the left child: the stem stays unset, which
            // sends every query there first and never to the empty right.
            split(tree, lo, hi, 2 * node, depth + 1, half);
            return;
        }
        const std::size_t dim = depth % K;
        select(lo, m, half, dim);
        tree.stems[node] = points_.column(dim)[order_[lo + half]];
        split(tree, lo, lo + half, 2 * node, depth + 1, half);
        split(tree, lo + half, hi, 2 * node + 1, depth + 1, half);
    }

    // A chunk that stops splitting sits in the leftmost leaf below its node,
    // where unset stems lead; within the leaf, points keep input order.
    struct LeafChunk {
        std::size_t lo;
        std::size_t hi;
        std::size_t node;
    };

    void place(ImmutableKdTree& tree, const LeafChunk& chunk) {
        const auto [lo, hi, first_node] = chunk;
        std::size_t node = first_node;
        while (node < stem_count_) node *= 2;
        if (node - stem_count_ >= tree.leaves.size()) raise_fault("k-d tree fallback leaf out of range");
        LeafNode& leaf = tree.leaves[node - stem_count_];
        const auto first = order_.begin() + static_cast<std::ptrdiff_t>(lo);
        std::sort(first, order_.begin() + static_cast<std::ptrdiff_t>(hi));
        for (std::size_t j = lo; j < hi; ++j) {
            const Point point = points_.point(order_[j]);
            for (std::size_t d = 0; d < K; ++d) leaf.content_points[d][leaf.size] = point[d];
            leaf.content_items[leaf.size] = order_[j];
            ++leaf.size;
        }
    }

    struct Keyed {
        OrderKey key;
        std::uint32_t item;
    };

    const PointColumns& points_;
    std::vector<std::uint32_t> order_;
    std::vector<Keyed> keyed_;  // the selection's scratch
    std::vector<LeafChunk> leaf_chunks_;  // where each leaf's points stand in order_
    std::size_t stem_count_ = 1;
};

// The kept points under their new numbers. Their order does not matter:
// the selections order points by value alone.
std::vector<std::uint32_t> renumber_kept(const SpatialNumbering& numbering,
                                         std::vector<std::uint32_t> kept, std::size_t n) {
    std::vector<bool> is_kept(n, false);
    for (std::uint32_t item : kept) is_kept[item] = true;
    kept.clear();
    for (std::size_t k = 0; k < n; ++k) {
        const auto number = static_cast<std::uint32_t>(k);
        if (is_kept[numbering.original(number)]) kept.push_back(number);
    }
    return kept;
}

}  // namespace

ImmutableKdTree build_robust_tree(PointColumns& points, std::vector<std::uint32_t> kept,
                                  std::size_t renumber_from) {
    SpatialNumbering numbering(points, renumber_from);
    if (numbering.renumbered()) kept = renumber_kept(numbering, std::move(kept), points.size());
    return RobustBuilder(points, std::move(kept)).build(numbering, points);
}

}  // namespace vicinor::kdtree::detail
