// The left-packed construction, fast: the rules of reference_build.cpp in
// the same words and order, with the reuse between attempts delegated to
// SplitReuse. Leaves below a left child are filled to capacity and the
// remainder collects at the right end. Splits never separate equal values
// (an equal coordinate descends right), so repeated values move splits left
// (`moves_`, remembered per stem across attempts) and may add leaves and
// retry. Every step here is part of the saved-file layout.
#include <algorithm>
#include <bit>
#include <numeric>
#include <utility>

#include "common/page_buffer.hpp"
#include "common/stop_check.hpp"
#include "kdtree/build_parts.hpp"
#include "kdtree/ranked_build.hpp"
#include "kdtree/spatial_numbering.hpp"
#include "kdtree/special_values.hpp"
#include "kdtree/split_reuse.hpp"

namespace vicinor::kdtree::detail {
namespace {

// Finds the stems; its working arrays die with it, before placement
// allocates the leaves.
class PackedBuild {
public:
    PackedBuild(const PointColumns& points, const SpatialNumbering& numbering,
                SpecialValues special, PackedBuildCounters& counters)
        : points_(points),
          order_(points.size()),
          counters_(counters),
          reuse_(points, numbering, std::span(order_.data(), points.size()), special, counters) {
        std::iota(order_.data(), order_.data() + points.size(), std::uint32_t{0});
    }

    PackedSplits run() {
        const std::size_t n = points_.size();
        std::size_t leaves = leaves_for(n);
        const std::size_t leaf_limit = std::max<std::size_t>(2 * leaves, 4);
        resize_stems(stems_for(leaves));
        const std::size_t stem_limit = 2 * stems_.size();
        // Work is counted in entries handed to selections and repairs.
        const std::size_t budget = packed_work_bound(n, stems_.size());
        reuse_.set_budget(budget);
        const CountOnExit count_on_exit{*this, budget};
        for (std::size_t attempt = 1;; ++attempt) {
            counters_.attempts = attempt;
            // Between attempts nothing but the root's own subtree moved its
            // points, so the root may repair its split like any node.
            const std::size_t shift = split(0, n, 1, 0, leaves * B, kNoChanges);
            if (shift == 0) break;
            if (attempt == kMaxPackedAttempts) throw Unbuildable{};
            leaves += leaves_for(shift);
            if (leaves > leaf_limit) throw Unbuildable{};
            if (leaves > stems_.size()) {
                if (stems_.size() >= stem_limit) throw Unbuildable{};
                // One doubling per attempt, even if the leaves grew further.
                double_stems(shift);
            }
        }
        // More leaves than leaf positions, or a NaN split value (which the
        // query cannot prune around), would make a tree that is unsound.
        if (leaves > stems_.size()) throw Unbuildable{};
        for (double stem : stems_) {
            if (stem != stem) throw Unbuildable{};
        }
        return PackedSplits{std::move(stems_), leaves};
    }

private:
    // Keeps the counters current on every exit, an abandoned construction
    // included.
    struct CountOnExit {
        PackedBuild& build;
        std::size_t budget;
        ~CountOnExit() {
            build.counters_.split_moves = build.reuse_.split_moves();
            build.counters_.entries_read = budget - build.reuse_.work_left();
        }
    };

    void resize_stems(std::size_t stem_count) {
        stems_.assign(stem_count, kUnsetStem);
        moves_.assign(stem_count, 0);
        reuse_.resize(stem_count);
    }

    // The old tree becomes the new root's left subtree, keeping its
    // recorded moves one level down; the new root gets the shift that
    // caused the doubling. Every node moved, so nothing remembered about
    // nodes still holds.
    void double_stems(std::size_t shift) {
        std::vector<std::size_t> moves = moves_after_doubling(moves_, shift);
        resize_stems(2 * stems_.size());
        moves_ = std::move(moves);
    }

    // Where the split of m points at `node` goes before runs are looked at.
    std::size_t target(std::size_t m, std::size_t node, std::size_t right_capacity) const {
        return split_target(m, node, moves_[node], right_capacity);
    }

    // 0 when the chunk [lo, lo + m) fits below `node`, else its shift.
    // `changes` says which positions changed since the node's last call,
    // `same_points` that its points did not; where it already knows the
    // answer, SplitReuse gives it without dividing.
    std::size_t split(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                      std::size_t capacity, ChangeSlice changes, bool same_points = false) {
        if (m <= B || m > capacity) {
            reuse_.hold(node, changes);  // not divided: what changed waits
            return m <= B ? 0 : m - capacity;
        }
        if (node >= stems_.size()) throw Unbuildable{};
        changes = reuse_.changes_for(node, changes);
        if (reuse_.answer_as_before(node, lo, m, capacity, changes, same_points)) {
            return reuse_.last_result(node);
        }
        ++counters_.divisions;
        const SplitReuse::Bracket bracket = reuse_.begin();
        const std::size_t result = divide(lo, m, node, dim, capacity, changes);
        reuse_.finish(node, capacity, result, bracket);
        return result;
    }

    // The rest of the rules' split, for a chunk that divides. Where the
    // children are not called, what changed in their sides waits for them.
    std::size_t divide(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                       std::size_t capacity, ChangeSlice changes) {
        const int height = std::countr_zero(stems_.size()) - std::bit_width(node);
        const std::size_t left_capacity = std::min(capacity, B << height);
        const std::size_t right_capacity = capacity - left_capacity;
        const std::uint8_t heard = reuse_.start_division(node);
        std::size_t p = target(m, node, right_capacity);
        if (p > m) throw Unbuildable{};
        Division division;
        division.split = p;
        if (p < m) {
            division = reuse_.select(lo, m, node, dim, p, changes, heard);
            p = division.split;
            stems_[node] = reuse_.stem_value(lo, p, m, node, dim);
        } else {
            reuse_.not_divided(node);  // the whole chunk goes left
        }
        if (p <= B && m - p <= B) return reuse_.hold_for_children(node, division, 0);
        if (m - p > right_capacity) {
            return reuse_.hold_for_children(node, division, (m - p) - right_capacity);
        }
        const std::size_t child_dim = (dim + 1) % K;
        for (;;) {
            reuse_.heard(node, SplitReuse::kLower);
            const std::size_t left_shift = split(lo, p, 2 * node, child_dim, left_capacity,
                                                 division.lower, division.lower_kept);
            if (left_shift == 0) {
                reuse_.heard(node, SplitReuse::kUpper);
                return split(lo + p, m - p, 2 * node + 1, child_dim, right_capacity,
                             division.upper, division.upper_kept);
            }
            if (left_shift > p) throw Unbuildable{};
            reuse_.select_lower(lo, m, node, dim, p - left_shift, division);
            p = division.split;
            moves_[node] += left_shift;
            reuse_.split_moved();
            if (m - p > right_capacity) {
                return reuse_.hold_for_children(node, division, (m - p) - right_capacity);
            }
            stems_[node] = reuse_.stem_value(lo, p, m, node, dim);
        }
    }

    const PointColumns& points_;
    PageArray<std::uint32_t> order_;  // the permutation the splits rearrange
    std::vector<double> stems_;
    std::vector<std::size_t> moves_;  // per stem, how far its split moved left
    PackedBuildCounters& counters_;
    SplitReuse reuse_;
};

}  // namespace

std::optional<ImmutableKdTree> build_packed_tree(PointColumns& points,
                                                 PackedBuildCounters* counters,
                                                 std::size_t renumber_from, PackedMethod method) {
    PackedBuildCounters ignored;
    PackedBuildCounters& count = counters != nullptr ? *counters : ignored;
    const SpecialValues special = special_values(points);
    // Retries are what ranks make cheap; a table that will hardly retry
    // starts quicker on the permutation.
    const bool by_rank = !special.nan && points.size() <= kMaxRankedPoints &&
                         (method == PackedMethod::kRanks ||
                          (method == PackedMethod::kChoose && values_repeat_often(points)));
    if (by_rank) {
        count.by_rank = true;
        RankedSplits ranked = find_splits_by_rank(points, count);
        if (ranked.outcome == RankedOutcome::kUnbuildable) return std::nullopt;
        if (ranked.outcome == RankedOutcome::kBuilt) {
            return place_points(std::move(ranked.splits.stems), ranked.splits.leaf_count, points);
        }
        // Out of its own work bound: the permutation decides.
        count = PackedBuildCounters{};
    }
    // Which copy of a NaN lands at a split follows the arrangement, so such
    // tables keep their numbers.
    SpatialNumbering numbering =
        special.nan ? SpatialNumbering() : SpatialNumbering(points, renumber_from);
    stop_point();
    std::optional<PackedSplits> splits;
    try {
        splits = PackedBuild(points, numbering, special, count).run();
    } catch (const Unbuildable&) {
        // the rules cannot finish: the caller falls back on the points
    }
    // Any other exception ends the whole construction, points and all, so
    // they need no restoring then.
    numbering.restore(points);
    stop_point();
    if (!splits) return std::nullopt;
    return place_points(std::move(splits->stems), splits->leaf_count, points);
}

std::optional<ImmutableKdTree> build_packed_tree(std::span<const Point> points, PackedMethod method) {
    PointColumns columns = PointColumns::from_points(points);
    return build_packed_tree(columns, nullptr, SpatialNumbering::kMinPoints, method);
}

}  // namespace vicinor::kdtree::detail
