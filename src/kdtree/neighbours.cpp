// The k-nearest and within-distance searches: depth first over the boxes of
// the search bounds, nearer child first, skipping a box strictly farther
// than the worst answer kept so far (a point on that distance could still
// enter by a lower item). A bounded max-heap holds the k best; with no
// bound on k every point within the distance is kept and sorted at the end.
#include "kdtree/neighbours.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kdtree/query.hpp"

namespace vicinor::kdtree {
namespace {

// Summed like a point distance from per-axis gaps that are, by monotonic
// rounding, at most the computed difference of any point in the box: the
// bound never exceeds a stored point's computed distance. Empty boxes
// (lo = +inf, hi = -inf) are infinitely far.
inline double box_distance(const SearchBox& box, const Point& q) noexcept {
    double sum[K];
    for (std::size_t d = 0; d < K; ++d) {
        const double below = static_cast<double>(box.lo[d]) - q[d];
        const double above = q[d] - static_cast<double>(box.hi[d]);
        const double outside = below > above ? below : above;
        const double gap = outside > 0.0 ? outside : 0.0;
        sum[d] = gap * gap;
    }
    return (sum[0] + sum[1]) + sum[2];
}

// A leaf's distances, summed in the nearest-one query's order so that
// equal points give equal distances in both.
inline void leaf_distances(const LeafNode& leaf, const Point& q, double (&out)[B]) noexcept {
    for (std::size_t slot = 0; slot < B; ++slot) {
        const double dx = leaf.content_points[0][slot] - q[0];
        const double dy = leaf.content_points[1][slot] - q[1];
        const double dz = leaf.content_points[2][slot] - q[2];
        out[slot] = (dx * dx + dy * dy) + dz * dz;
    }
}

// A functor, not a function pointer: the heap operations then inline it.
struct Nearer {
    bool operator()(const Neighbour& a, const Neighbour& b) const noexcept { return nearer(a, b); }
};

// Up to this k the best are kept sorted, with insertion; beyond it, in a heap.
constexpr std::size_t kSortedUpTo = 64;

// Keeps `candidate` if it is among the k best so far; `worst` is then the
// k-th best distance once k are kept.
[[gnu::always_inline]] inline void offer(const Neighbour& candidate, std::size_t k,
                                         double& worst, std::vector<Neighbour>& out) {
    if (k == NeighbourSearch::kAll) {
        out.push_back(candidate);
    } else if (k <= kSortedUpTo) {
        if (out.size() == k) {
            if (!nearer(candidate, out.back())) return;
            out.pop_back();
        }
        std::size_t at = out.size();
        out.push_back(candidate);
        for (; at > 0 && nearer(candidate, out[at - 1]); --at) out[at] = out[at - 1];
        out[at] = candidate;
        if (out.size() == k) worst = out.back().distance;
    } else if (out.size() < k) {
        out.push_back(candidate);
        std::push_heap(out.begin(), out.end(), Nearer{});
        if (out.size() == k) worst = out.front().distance;
    } else if (nearer(candidate, out.front())) {
        std::pop_heap(out.begin(), out.end(), Nearer{});
        out.back() = candidate;
        std::push_heap(out.begin(), out.end(), Nearer{});
        worst = out.front().distance;
    }
}

}  // namespace

void NeighbourSearch::search(const ImmutableKdTree& tree, const SearchBounds& bounds,
                             const ItemCopies& copies, const Point& query, std::size_t k, double max_distance,
                             std::vector<Neighbour>& out) {
    out.clear();
    if (k == 0 || !std::isfinite(query[0]) || !std::isfinite(query[1]) ||
        !std::isfinite(query[2]) || tree.leaves.empty()) {
        return;
    }
    const bool bounded = bounds.fits(tree);
    const std::size_t stem_count = tree.stems.size();
    const std::size_t leaf_count = tree.leaves.size();
    // Worst distance an answer may have: the cap, then the k-th best.
    double worst = max_distance;
    auto node_bound = [&](std::size_t node) {
        if (node >= stem_count + leaf_count) return std::numeric_limits<double>::infinity();
        return bounded ? box_distance(bounds.boxes[node], query) : 0.0;
    };
    // An infinite bound is an empty box or a position past the leaves:
    // nothing there, even when every distance is wanted.
    auto push = [this](std::size_t node, double bound, double limit) {
        if (bound <= limit && bound < std::numeric_limits<double>::infinity()) {
            stack_.push_back({node, bound});
        }
    };
    stack_.clear();
    push(1, node_bound(1), worst);
    alignas(64) double distances[B];
    while (!stack_.empty()) {
        const Pending next = stack_.back();
        stack_.pop_back();
        if (next.bound > worst) continue;
        if (next.node < stem_count) {
            // Leaf positions past the leaves hold nothing; without boxes,
            // whole subtrees of them are skipped here.
            const std::size_t left = 2 * next.node;
            const double left_bound = node_bound(left);
            const double right_bound = node_bound(left + 1);
            // Pushed farther first, so the nearer is searched first.
            if (left_bound <= right_bound) {
                push(left + 1, right_bound, worst);
                push(left, left_bound, worst);
            } else {
                push(left, left_bound, worst);
                push(left + 1, right_bound, worst);
            }
            continue;
        }
        const LeafNode& leaf = tree.leaves[next.node - stem_count];
        const std::size_t size = leaf.size < B ? leaf.size : B;
        leaf_distances(leaf, query, distances);
        for (std::size_t slot = 0; slot < size; ++slot) {
            const double distance = distances[slot];
            // NaN fails this test: such a point is never an answer.
            if (!(distance <= worst)) continue;
            const Item item = leaf.content_items[slot];
            offer(Neighbour{distance, item}, k, worst, out);
            if (!copies.empty()) {
                for (const Item copy : copies.of(item)) offer(Neighbour{distance, copy}, k, worst, out);
            }
        }
    }
    if (k == kAll || k > kSortedUpTo) std::sort(out.begin(), out.end(), Nearer{});
}

}  // namespace vicinor::kdtree
