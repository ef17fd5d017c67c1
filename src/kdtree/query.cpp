// The nearest-one query: a depth-first descent, closer child first, that
// skips a further child when a lower bound on its distance already exceeds
// the best distance found. The recursion is unrolled onto a fixed stack of
// pending further children; popping them in LIFO order visits nodes in
// exactly the recursive order, which the tie rule depends on.
//
// With search bounds the same search also skips a subtree or leaf whose box
// of stored points is strictly farther than the best distance: nothing in
// it can beat or tie the best, so the answer stays bit for bit the same.
// The distance to a seed point (a stored point near the query's cell)
// tightens the best before the first leaf is even read.
#include "kdtree/query.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "kdtree/leaf_scan.hpp"
#include "kdtree/query_variants.hpp"

namespace vicinor::kdtree {
namespace {

// A descent doubles the node number at every stem and stops once it reaches
// the length of `stems`, so a path holds fewer than 64 stems and at most one
// pending further child per depth.
constexpr int kMaxDepth = 64;

struct PendingChild {
    std::size_t node;
    std::size_t dim;
    double off[K];  // per-axis distance from the query to the child's cell
    double bound;   // squared distance from the query to the child's cell
};

// A best distance to go on from: just above the distance of the query's
// seed. The seed is a stored point the exact search reaches, so the answer
// is at most that far and still replaces this bound; anything beyond it
// can be skipped. kNoDistance without a usable seed.
[[gnu::always_inline]] inline double seeded_start(const SearchBounds& bounds, const Point& query) {
    const std::size_t grid = bounds.seed_grid;
    if (grid == 0 || bounds.seeds.size() != 6 * grid * grid) return kNoDistance;
    const Point& seed = bounds.seeds[seed_cell(query, grid)];
    const double dx = seed[0] - query[0];
    const double dy = seed[1] - query[1];
    const double dz = seed[2] - query[2];
    const double distance = (dx * dx + dy * dy) + dz * dz;  // as a leaf scan sums it
    if (!(distance < kNoDistance)) return kNoDistance;  // NaN: the cell has no seed
    // The next double up: distance is finite and not negative.
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(distance) + 1);
}

template <int W, bool kBounded>
class Search {
public:
    // `bounds` must fit the tree (SearchBounds::fits) when kBounded.
    Search(const ImmutableKdTree& tree, const SearchBounds* bounds,
           const AnswerPrefetch* prefetch, const Point& query, bool use_seed)
        : stems_(tree.stems.data()),
          stem_count_(tree.stems.size()),
          leaves_(tree.leaves.data()),
          leaf_count_(tree.leaves.size()),
          boxes_(kBounded ? bounds->boxes.data() : nullptr),
          bounds_(bounds),
          prefetch_(prefetch),
          query_(query),
          use_seed_(use_seed) {}

    [[gnu::always_inline]] Nearest run() {
        descend_to_leaf();
        // Taken before the first leaf is read: a far first leaf (over an
        // ocean) is then often ruled out unread, and near the seed costs
        // nothing that the first leaf's cache miss does not hide.
        if constexpr (kBounded) {
            if (use_seed_) {
                seed_bound_ = seeded_start(*bounds_, query_);
                if (seed_bound_ < best_distance_) best_distance_ = seed_bound_;
            }
        }
        for (;;) {
            // Missing leaves (no points, or stems that disagree with the
            // leaves of a loaded tree) hold nothing.
            const std::size_t leaf = node_ - stem_count_;
            if (leaf < leaf_count_ && !out_of_reach(node_)) scan(leaf);
            if (!resume_pending()) {
                // Nothing at or below the seed cannot happen on the trees
                // seeds are kept for; the caller then searches without.
                if (kBounded && best_distance_ >= seed_bound_) return Nearest{};
                return Nearest{best_distance_, best_item_, best_distance_ < kNoDistance,
                               best_position_};
            }
            descend_to_leaf();
        }
    }

private:
    [[gnu::always_inline]] void scan(std::size_t leaf) {
        // The caller's row offsets of this leaf arrive with the leaf itself,
        // so the answer's row can be fetched the moment the scan picks it.
        if (prefetch_ != nullptr) detail::prefetch_slot_offsets(*prefetch_, leaf);
        const double before = best_distance_;
        std::size_t slot = 0;
        best_distance_ =
            detail::scan_leaf<W>(leaves_[leaf], query_, best_distance_, best_item_, slot);
        if (best_distance_ < before) {
            best_position_ = leaf * B + slot;
            if (prefetch_ != nullptr) detail::prefetch_answer(*prefetch_, leaf, slot, best_item_);
        }
    }

    // Each level names its axis as a constant so that the offsets stay in
    // registers; the switch enters the cycle of axes where a resumed child is.
    [[gnu::always_inline]] void descend_to_leaf() {
        while (node_ < stem_count_) {
            switch (dim_) {
                case 0:
                    descend_level<0>();
                    if (node_ >= stem_count_) break;
                    [[fallthrough]];
                case 1:
                    descend_level<1>();
                    if (node_ >= stem_count_) break;
                    [[fallthrough]];
                default:
                    descend_level<2>();
                    break;
            }
        }
    }

    template <std::size_t D>
    [[gnu::always_inline]] void descend_level() {
        const double split = stems_[node_];
        const double u = query_[D];
        // Equal to the split goes right, as in construction. A NaN split
        // (only in a loaded tree) sends the query right as well. One
        // comparison, so the compiler can avoid a branch here.
        const std::size_t closer = 2 * node_ + (u < split ? 0 : 1);
        constexpr std::size_t next_dim = D == K - 1 ? 0 : D + 1;

        // The further cell lies both inside this cell and beyond the split,
        // so its offset on this axis is the larger of the two. A split
        // placed by an earlier construction attempt can lie nearer than an
        // ancestor's: the old offset then still holds. A NaN split tells
        // nothing, so the offset stays.
        double far_off[K] = {off_[0], off_[1], off_[2]};
        const double split_off = std::fabs(u - split);
        far_off[D] = split_off > off_[D] ? split_off : off_[D];
        const double bound = cell_bound(far_off);
        // A child out of reach now stays out of reach: the best only shrinks.
        // The entry is written either way and kept by the count, because
        // whether it is kept is unpredictable (a branch here mispredicts).
        PendingChild& far = pending_[pending_count_];
        far.node = closer ^ 1;
        far.dim = next_dim;
        far.off[0] = far_off[0];
        far.off[1] = far_off[1];
        far.off[2] = far_off[2];
        far.bound = bound;
        pending_count_ += bound <= best_distance_ ? 1 : 0;
        node_ = closer;
        dim_ = next_dim;
    }

    // Moves to the deepest pending further child still in reach of the best
    // distance found so far; false when none is left.
    [[gnu::always_inline]] bool resume_pending() {
        while (pending_count_ > 0) {
            const PendingChild& next = pending_[--pending_count_];
            if (next.bound <= best_distance_ && !out_of_reach(next.node)) {
                node_ = next.node;
                dim_ = next.dim;
                off_[0] = next.off[0];
                off_[1] = next.off[1];
                off_[2] = next.off[2];
                return true;
            }
        }
        return false;
    }

    // Summed like a point distance: every offset is at most the matching
    // rounded coordinate difference of any point in the cell, and rounding
    // is monotonic, so the bound never exceeds the computed distance of
    // such a point.
    static double cell_bound(const double (&off)[K]) {
        return (off[0] * off[0] + off[1] * off[1]) + off[2] * off[2];
    }

    // Only a box strictly farther than the best rules a node out: a point
    // inside can then neither beat nor tie the best.
    [[gnu::always_inline]] bool out_of_reach(std::size_t node) const {
        if constexpr (!kBounded) {
            (void)node;
            return false;
        } else {
            // A leaf position past the leaves (a loaded tree whose stems and
            // leaves disagree) has no box and holds nothing.
            if (node >= stem_count_ + leaf_count_) return true;
            return box_distance(boxes_[node]) > best_distance_;
        }
    }

    // Summed like a point distance from per-axis gaps that are, by
    // monotonic rounding, at most the computed difference of any point in
    // the box; an empty box is infinitely far. In vectors, because scalar
    // code gets a data-dependent branch per axis for the max with zero.
    [[gnu::always_inline]] double box_distance(const SearchBox& box) const {
        using V = typename detail::Lanes<4>::Doubles;
        const V lo = {box.lo[0], box.lo[1], box.lo[2], 0.0};
        const V hi = {box.hi[0], box.hi[1], box.hi[2], 0.0};
        const V q = {query_[0], query_[1], query_[2], 0.0};
        const V below = lo - q;
        const V above = q - hi;
        const V outside = below > above ? below : above;
        const V gap = outside > V{} ? outside : V{};
        const V squares = gap * gap;
        return (squares[0] + squares[1]) + squares[2];
    }

    const double* const stems_;
    const std::size_t stem_count_;
    const LeafNode* const leaves_;
    const std::size_t leaf_count_;
    const SearchBox* const boxes_;
    const SearchBounds* const bounds_;
    const AnswerPrefetch* const prefetch_;  // nullptr: nothing to prefetch
    const Point& query_;

    const bool use_seed_;
    double seed_bound_ = std::numeric_limits<double>::infinity();
    double best_distance_ = kNoDistance;
    Item best_item_ = 0;
    std::size_t best_position_ = 0;
    std::size_t node_ = 1;
    std::size_t dim_ = 0;
    double off_[K] = {0.0, 0.0, 0.0};
    PendingChild pending_[kMaxDepth];
    int pending_count_ = 0;
};

template <int W>
[[gnu::noinline]] Nearest search_without_seed(const ImmutableKdTree& tree,
                                              const SearchBounds& bounds,
                                              const AnswerPrefetch* prefetch,
                                              const Point& query) {
    return Search<W, true>(tree, &bounds, prefetch, query, false).run();
}

template <int W>
[[gnu::always_inline]] inline Nearest search(const ImmutableKdTree& tree,
                                             const SearchBounds* bounds,
                                             const AnswerPrefetch* prefetch,
                                             const Point& query) {
    // A non-finite query has no finite distance to anything; a NaN one
    // would not even order against the stems.
    if (!std::isfinite(query[0]) || !std::isfinite(query[1]) || !std::isfinite(query[2])) {
        return Nearest{};
    }
    // Bounds of another shape (e.g. never computed) would be read out of
    // range: search without them.
    if (prefetch != nullptr && !prefetch->fits(tree)) prefetch = nullptr;
    if (bounds == nullptr || !bounds->fits(tree)) {
        return Search<W, false>(tree, nullptr, prefetch, query, false).run();
    }
    const Nearest found = Search<W, true>(tree, bounds, prefetch, query, true).run();
    if (found.found) return found;
    return search_without_seed<W>(tree, *bounds, prefetch, query);
}

Nearest nearest_baseline(const ImmutableKdTree& tree, const SearchBounds* bounds,
                         const AnswerPrefetch* prefetch, const Point& query) {
    return search<2>(tree, bounds, prefetch, query);
}

#if defined(__x86_64__) || defined(__i386__)
#define VICINOR_QUERY_HAS_X86_VARIANTS 1

[[gnu::target("avx2")]] Nearest nearest_avx2(const ImmutableKdTree& tree,
                                              const SearchBounds* bounds,
                                              const AnswerPrefetch* prefetch,
                                              const Point& query) {
    return search<4>(tree, bounds, prefetch, query);
}

[[gnu::target("avx512f")]] Nearest nearest_avx512(const ImmutableKdTree& tree,
                                                  const SearchBounds* bounds,
                                                  const AnswerPrefetch* prefetch,
                                                  const Point& query) {
    return search<8>(tree, bounds, prefetch, query);
}
#endif

using QueryFunction = Nearest (*)(const ImmutableKdTree&, const SearchBounds*,
                                  const AnswerPrefetch*, const Point&);

QueryFunction function_for(QueryVariant variant) {
#ifdef VICINOR_QUERY_HAS_X86_VARIANTS
    switch (variant) {
        case QueryVariant::kAvx512:
            return nearest_avx512;
        case QueryVariant::kAvx2:
            return nearest_avx2;
        case QueryVariant::kBaseline:
            break;
    }
#else
    (void)variant;
#endif
    return nearest_baseline;
}

QueryVariant pick_variant() {
    // Widest first: measured fastest where supported.
    for (QueryVariant candidate : {QueryVariant::kAvx512, QueryVariant::kAvx2}) {
        if (query_variant_supported(candidate)) return candidate;
    }
    return QueryVariant::kBaseline;
}

}  // namespace

const char* query_variant_name(QueryVariant variant) noexcept {
    switch (variant) {
        case QueryVariant::kBaseline:
            return "baseline";
        case QueryVariant::kAvx2:
            return "avx2";
        case QueryVariant::kAvx512:
            return "avx512";
    }
    return "unknown";
}

bool query_variant_supported(QueryVariant variant) noexcept {
#ifdef VICINOR_QUERY_HAS_X86_VARIANTS
    // Needed when this runs before the runtime's own CPU probe, e.g. from a
    // static initialiser.
    __builtin_cpu_init();
#endif
    switch (variant) {
        case QueryVariant::kBaseline:
            return true;
#ifdef VICINOR_QUERY_HAS_X86_VARIANTS
        case QueryVariant::kAvx2:
            return __builtin_cpu_supports("avx2");
        case QueryVariant::kAvx512:
            return __builtin_cpu_supports("avx512f");
#else
        default:
            return false;
#endif
    }
    return false;
}

QueryVariant selected_query_variant() noexcept { return pick_variant(); }

Nearest nearest_one_with(QueryVariant variant, const ImmutableKdTree& tree,
                         const Point& query) noexcept {
    if (!query_variant_supported(variant)) variant = QueryVariant::kBaseline;
    return function_for(variant)(tree, nullptr, nullptr, query);
}

Nearest nearest_one_with(QueryVariant variant, const ImmutableKdTree& tree,
                         const SearchBounds& bounds, const Point& query) noexcept {
    if (!query_variant_supported(variant)) variant = QueryVariant::kBaseline;
    return function_for(variant)(tree, &bounds, nullptr, query);
}

Nearest nearest_one_with(QueryVariant variant, const ImmutableKdTree& tree,
                         const SearchBounds& bounds, const AnswerPrefetch& prefetch,
                         const Point& query) noexcept {
    if (!query_variant_supported(variant)) variant = QueryVariant::kBaseline;
    return function_for(variant)(tree, &bounds, &prefetch, query);
}

Nearest nearest_one(const ImmutableKdTree& tree, const Point& query) noexcept {
    static const QueryFunction selected = function_for(pick_variant());
    return selected(tree, nullptr, nullptr, query);
}

Nearest nearest_one(const ImmutableKdTree& tree, const SearchBounds& bounds,
                    const Point& query) noexcept {
    static const QueryFunction selected = function_for(pick_variant());
    return selected(tree, &bounds, nullptr, query);
}

Nearest nearest_one(const ImmutableKdTree& tree, const SearchBounds& bounds,
                    const AnswerPrefetch& prefetch, const Point& query) noexcept {
    static const QueryFunction selected = function_for(pick_variant());
    return selected(tree, &bounds, &prefetch, query);
}

}  // namespace vicinor::kdtree
