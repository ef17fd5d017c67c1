// The k-nearest and within-distance searches: depth first over the boxes of
// the search bounds, nearer child first, skipping a box strictly farther
// than the worst answer kept so far (a point at that very distance could
// still enter by a lower item). Up to 64 best are kept sorted by insertion,
// more in a max-heap; with no bound on k every point within the distance is
// kept and sorted at the end. A leaf's distances come from the nearest-one
// query's vector scan, so equal points give equal distances in both, and
// a leaf whose least distance is out of reach is passed over at once.
#include "kdtree/neighbours.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/cpu_dispatch.hpp"
#include "kdtree/leaf_scan.hpp"

namespace vicinor::kdtree {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Summed like a point distance from per-axis gaps that are, by monotonic
// rounding, at most the computed difference of any point in the box: the
// bound never exceeds a stored point's computed distance. Empty boxes
// (lo = +inf, hi = -inf) are infinitely far.
[[gnu::always_inline]] inline double box_distance(const SearchBox& box, const Point& q) noexcept {
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

using Pending = NeighbourSearch::Pending;

struct Request {
    const ImmutableKdTree* tree;
    const SearchBounds* bounds;
    const ItemCopies* copies;
    const Point* query;
    std::size_t k;
    double max_distance;
    std::vector<Pending>* stack;
    std::vector<Neighbour>* out;
};

template <int W>
[[gnu::always_inline]] inline void search_with(const Request& r) {
    const ImmutableKdTree& tree = *r.tree;
    const Point& query = *r.query;
    std::vector<Pending>& stack = *r.stack;
    std::vector<Neighbour>& out = *r.out;
    const bool bounded = r.bounds->fits(tree);
    const std::size_t stem_count = tree.stems.size();
    const std::size_t leaf_count = tree.leaves.size();
    // Worst distance an answer may have: the cap, then the k-th best.
    double worst = r.max_distance;
    auto node_bound = [&](std::size_t node) {
        if (node >= stem_count + leaf_count) return kInfinity;
        return bounded ? box_distance(r.bounds->boxes[node], query) : 0.0;
    };
    // An infinite bound is an empty box or a position past the leaves:
    // nothing there, even when every distance is wanted.
    auto push = [&](std::size_t node, double bound) {
        if (bound <= worst && bound < kInfinity) stack.push_back({node, bound});
    };
    stack.clear();
    push(1, node_bound(1));
    alignas(64) double distances[B];
    while (!stack.empty()) {
        const Pending next = stack.back();
        stack.pop_back();
        if (next.bound > worst) continue;
        if (next.node < stem_count) {
            const std::size_t left = 2 * next.node;
            const double left_bound = node_bound(left);
            const double right_bound = node_bound(left + 1);
            // Pushed farther first, so the nearer is searched first.
            if (left_bound <= right_bound) {
                push(left + 1, right_bound);
                push(left, left_bound);
            } else {
                push(left, left_bound);
                push(left + 1, right_bound);
            }
            continue;
        }
        const LeafNode& leaf = tree.leaves[next.node - stem_count];
        // Unused slots come back at least the largest finite double, and
        // points with a NaN coordinate as +infinity: neither is an answer.
        const double least = leaf.size >= B
                                 ? detail::slot_distances<W, true>(leaf, query, distances)
                                 : detail::slot_distances<W, false>(leaf, query, distances);
        if (!(least <= worst)) continue;
        const std::size_t size = leaf.size < B ? leaf.size : B;
        for (std::size_t slot = 0; slot < size; ++slot) {
            const double distance = distances[slot];
            if (!(distance <= worst) || !(distance < kInfinity)) continue;
            const Item item = leaf.content_items[slot];
            offer(Neighbour{distance, item}, r.k, worst, out);
            if (!r.copies->empty()) {
                for (const Item copy : r.copies->of(item)) {
                    offer(Neighbour{distance, copy}, r.k, worst, out);
                }
            }
        }
    }
    if (r.k == NeighbourSearch::kAll || r.k > kSortedUpTo) {
        std::sort(out.begin(), out.end(), Nearer{});
    }
}

void search_baseline(const Request& r) { search_with<2>(r); }

#ifdef VICINOR_CPU_X86
[[gnu::target("avx2")]] void search_avx2(const Request& r) { search_with<4>(r); }
[[gnu::target("avx512f")]] void search_avx512(const Request& r) { search_with<8>(r); }
constexpr cpu::KernelForms<void(const Request&)> kSearchForms(search_baseline, search_avx2,
                                                              search_avx512);
#else
constexpr cpu::KernelForms<void(const Request&)> kSearchForms(search_baseline);
#endif

// What no form needs to search for.
bool finds_nothing(const ImmutableKdTree& tree, const Point& query, std::size_t k) {
    return k == 0 || !std::isfinite(query[0]) || !std::isfinite(query[1]) ||
           !std::isfinite(query[2]) || tree.leaves.empty();
}

}  // namespace

void NeighbourSearch::search(const ImmutableKdTree& tree, const SearchBounds& bounds,
                             const ItemCopies& copies, const Point& query, std::size_t k,
                             double max_distance, std::vector<Neighbour>& out) {
    out.clear();
    if (finds_nothing(tree, query, k)) return;
    static auto* const form = kSearchForms.best();
    form(Request{&tree, &bounds, &copies, &query, k, max_distance, &stack_, &out});
}

void NeighbourSearch::search_with(cpu::Level level, const ImmutableKdTree& tree,
                                  const SearchBounds& bounds, const ItemCopies& copies,
                                  const Point& query, std::size_t k, double max_distance,
                                  std::vector<Neighbour>& out) {
    out.clear();
    if (finds_nothing(tree, query, k)) return;
    kSearchForms.at(level)(Request{&tree, &bounds, &copies, &query, k, max_distance, &stack_, &out});
}

}  // namespace vicinor::kdtree
