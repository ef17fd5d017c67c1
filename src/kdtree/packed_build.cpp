// The left-packed construction. Leaves below a left child are filled to
// capacity and the remainder collects at the right end. Splits never separate
// equal values (an equal coordinate descends right), so repeated values move
// splits left ("shifts", remembered per stem across attempts) and may add
// leaves and retry. Every step here is part of the saved-file layout.
#include <algorithm>
#include <bit>
#include <numeric>
#include <unordered_map>
#include <utility>

#include "common/page_buffer.hpp"
#include "common/stop_check.hpp"
#include "kdtree/build_parts.hpp"
#include "kdtree/change_book.hpp"
#include "kdtree/order_key.hpp"
#include "kdtree/select.hpp"
#include "kdtree/spatial_numbering.hpp"
#include "kdtree/special_values.hpp"
#include "kdtree/split_repair.hpp"

namespace vicinor::kdtree::detail {
namespace {

// Thrown where this construction cannot go on; caught in build_packed_tree.
struct Unbuildable {};

std::size_t ceil_div_bucket(std::size_t count) noexcept { return (count + B - 1) / B; }

// The shift table after the stems doubled: the old tree becomes the left
// subtree of a new root, which gets the shift that caused the doubling.
std::vector<std::size_t> remap_shifts(const std::vector<std::size_t>& old_shifts,
                                      std::size_t new_length, std::size_t shift) {
    std::vector<std::size_t> remapped(new_length, 0);
    remapped[1] = shift;
    if (old_shifts.size() > 1) remapped[2] = old_shifts[1];
    for (std::size_t j = 2; j < old_shifts.size(); ++j) {
        if (old_shifts[j] != 0) remapped[j + std::bit_floor(j)] = old_shifts[j];
    }
    return remapped;
}

// The outcome of the split attempts: everything placement needs.
struct PackedSplits {
    std::vector<double> stems;
    std::size_t leaf_count = 0;
};

// Finds the stems; its working arrays die with it, before placement
// allocates the leaves.
class PackedBuilder {
public:
    PackedBuilder(const PointColumns& points, const SpatialNumbering& numbering,
                  SpecialValues special, PackedBuildCounters& counters)
        : points_(points),
          numbering_(numbering),
          sort_index_(points.size()),
          counters_(counters),
          reuse_(!special.nan),
          negative_zero_(special.negative_zero) {
        std::iota(sort_index_.data(), sort_index_.data() + points.size(), std::uint32_t{0});
    }

    PackedSplits build() {
        const std::size_t n = points_.size();
        std::size_t leaf_node_count = ceil_div_bucket(n);
        resize_stems(leaf_node_count < 2 ? 1 : std::bit_ceil(leaf_node_count));
        choose_reuse();

        // Repeated values make this construction retry: whole attempts, each
        // adding at least one leaf, and within an attempt a filled left
        // subtree redone for each shift that reaches its root. Bounds stop
        // only runaways, so that the caller falls back in bounded time: work
        // (entries handed to selections and repairs, a multiple of what a
        // clean attempt reads), attempts, leaves that could hold every point
        // twice over, and stems past twice the smallest count that holds the
        // points. What real tables need against these bounds is recorded
        // with the construction benchmark (docs/performance.md).
        const std::size_t levels = static_cast<std::size_t>(std::countr_zero(stems_.size())) + 1;
        work_left_ = kWorkFloor + kCleanAttemptsOfWork * std::max<std::size_t>(n, 1) * levels;
        const std::size_t leaf_limit = std::max<std::size_t>(2 * ceil_div_bucket(n), 4);
        const std::size_t stem_limit = 2 * stems_.size();
        const CountOnExit count_on_exit{*this, work_left_};
        for (std::size_t attempt = 1;; ++attempt) {
            counters_.attempts = attempt;
            // Between attempts nothing but the root's own subtree moved its
            // points, so the root may repair its split like any node.
            const std::size_t shift = split_arranged(0, n, 1, 0, leaf_node_count * B, kNoChanges);
            if (shift == 0) break;
            if (attempt == kMaxAttempts) throw Unbuildable{};
            leaf_node_count += ceil_div_bucket(shift);
            if (leaf_node_count > leaf_limit) throw Unbuildable{};
            if (leaf_node_count > stems_.size()) {
                if (stems_.size() >= stem_limit) throw Unbuildable{};
                // One doubling per attempt, even if the leaves grew further.
                double_stems(shift);
            }
        }
        // More leaves than leaf positions, or a NaN split value (which the
        // query cannot prune around), would make a tree that is unsound.
        if (leaf_node_count > stems_.size()) throw Unbuildable{};
        for (double stem : stems_) {
            if (stem != stem) throw Unbuildable{};
        }
        return PackedSplits{std::move(stems_), leaf_node_count};
    }

private:
    // Work is counted in entries handed to the selection; a clean attempt
    // hands over about n per level. The floor is a few milliseconds.
    static constexpr std::size_t kWorkFloor = std::size_t{1} << 20;
    static constexpr std::size_t kCleanAttemptsOfWork = 320;
    static constexpr std::size_t kMaxAttempts = 128;
    // Which children a node called after its latest division.
    static constexpr std::uint8_t kHeardLower = 1;
    static constexpr std::uint8_t kHeardUpper = 2;
    // Which sides of a repaired division hold the same points as before.
    struct KeptSides {
        bool lower = false;
        bool upper = false;
    };
    // Chunks up to this long have sides a repair reads whole anyway:
    // nothing is kept for them.
    static constexpr std::size_t kReservedChunk = 1024;

    // Keeps the counters current on every exit, an abandoned construction
    // included.
    struct CountOnExit {
        PackedBuilder& builder;
        std::size_t budget;
        ~CountOnExit() {
            builder.counters_.split_moves = builder.shifts_recorded_;
            builder.counters_.entries_read = budget - builder.work_left_;
        }
    };

    void resize_stems(std::size_t stem_node_count) {
        stems_.assign(stem_node_count, kUnsetStem);
        stem_shifts_.assign(stem_node_count, 0);
        memos_ = PageArray<NodeMemo>(stem_node_count);
    }

    // A division depends on the set of points alone, except where a NaN
    // lands at a split (which copy, and so which points go left, follows
    // the arrangement): with NaN nothing is reused. Repairs track
    // positions in 31 bits (SplitRepair marks the top one); beyond that,
    // only unchanged subtrees are kept.
    void choose_reuse() {
        const std::size_t n = points_.size();
        repairs_ = reuse_ && n <= (std::size_t{1} << 31);
        if (repairs_) {
            position_of_ = PageArray<std::uint32_t>(n);
            std::iota(position_of_.data(), position_of_.data() + n, std::uint32_t{0});
            repairer_.track_positions(position_of_.data());
        }
    }

    // The old tree becomes the new root's left subtree: every node moved,
    // so nothing remembered about nodes still holds.
    void double_stems(std::size_t shift) {
        std::vector<std::size_t> shifts = remap_shifts(stem_shifts_, 2 * stems_.size(), shift);
        resize_stems(2 * stems_.size());
        stem_shifts_ = std::move(shifts);
        changes_.forget_all();
        reserves_.clear();
    }

    OrderKey key(std::size_t position, std::size_t dim) const noexcept {
        return order_key(points_.column(dim)[sort_index_[position]]);
    }

    // Selects rank `p` of the chunk on `dim`, then moves p down to the start
    // of the run of its value (not below 1), because an equal value would
    // descend to the right of the split anyway.
    //
    // Only the first `selectable` positions take part in the selection: when
    // a split moves left, the chunk is already partitioned at the old split,
    // so the new rank lies below it and the part above cannot change.
    std::size_t adjust_pivot(std::size_t lo, std::size_t selectable, std::size_t dim,
                             std::size_t p) {
        charge(selectable);
        counters_.entries_selected += selectable;
        ++counters_.fresh_selections;
        select_nth(std::span(sort_index_.data() + lo, selectable), points_.column(dim), p);
        const OrderKey value = key(lo + p, dim);
        if (value == kNanKey) return p;  // a NaN equals nothing
        while (p > 1 && key(lo + p - 1, dim) == value) --p;
        if (p == 1 && key(lo, dim) == value) settle_lone_copy(lo, selectable, dim);
        return p;
    }

    // The walk stops at 1, leaving one copy of the split value alone on the
    // left. Which copy depends on how the selection happened to arrange the
    // run; the lowest point number makes the layout depend on the points
    // only.
    void settle_lone_copy(std::size_t lo, std::size_t selectable, std::size_t dim) {
        const OrderKey value = key(lo, dim);
        std::size_t lowest = 0;
        // The selection leaves the other copies anywhere above position 0.
        for (std::size_t j = 1; j < selectable; ++j) {
            if (key(lo + j, dim) == value &&
                numbering_.original(sort_index_[lo + j]) <
                    numbering_.original(sort_index_[lo + lowest])) {
                lowest = j;
            }
        }
        std::swap(sort_index_[lo], sort_index_[lo + lowest]);
    }

    // The slots of the left child's subtree this chunk may use: all of
    // them, or what the chunk may use at all.
    std::size_t left_capacity_of(std::size_t node, std::size_t capacity) const noexcept {
        const std::size_t height =
            static_cast<std::size_t>(std::countr_zero(stems_.size()) - std::bit_width(node));
        return std::min(capacity, B << height);
    }

    // The value a split at `pivot_item`'s key writes to its stem. Copies of
    // that key descend alike, but -0.0 and +0.0 are one key in two bit
    // patterns: the copy with the lowest point number on the upper side
    // [upper_begin, upper_end) gives the value, so that the stem follows
    // from the points, not from how a selection arranged them.
    double stem_value(std::size_t upper_begin, std::size_t upper_end, std::size_t dim,
                      std::uint32_t pivot_item) const noexcept {
        const double* column = points_.column(dim).data();
        if (!negative_zero_ || column[pivot_item] != 0.0) return column[pivot_item];
        std::uint32_t lowest = pivot_item;
        for (std::size_t i = upper_begin; i < upper_end; ++i) {
            const std::uint32_t item = sort_index_[i];
            if (column[item] == 0.0 && numbering_.original(item) < numbering_.original(lowest)) {
                lowest = item;
            }
        }
        return column[lowest];
    }

    // Returns 0 when the chunk [lo, lo+m) fits below `node`, else how many
    // points did not fit (the shift requested from the caller).
    //
    // A retry mostly hands a node the same points as its previous call.
    // Every node remembers how it divided its chunk (ArrangedChunk) and
    // hears from its parent which positions changed since: an unchanged
    // chunk whose previous call recorded no shift below would write the
    // same stems and return the same value, and a changed one repairs its
    // split instead of selecting it afresh.
    std::size_t split_arranged(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                               std::size_t capacity, ChangeSlice changes,
                               bool same_points = false) {
        if (m <= B || m > capacity) {
            // Not divided now: what changed waits for its next division.
            defer(node, changes);
            return m <= B ? 0 : m - capacity;
        }
        if (node >= stems_.size()) throw Unbuildable{};
        NodeMemo& memo = memos_[node];
        changes = changes_.with_held(node, changes);
        // Same points, capacity and shifts below: same stems and result.
        // The parent's repair can tell the points are the same even where
        // they moved (`same_points`); otherwise only an untouched chunk is.
        const ArrangedChunk& arranged = memo.arranged;
        const bool untouched =
            arranged.valid && arranged.lo == lo && arranged.length == m && changes.none();
        if (memo.reusable && memo.capacity == capacity && (same_points || untouched)) {
            defer(node, changes);  // where they moved matters at its next division
            return memo.result;
        }
        const std::size_t shifts_before = shifts_recorded_;
        const std::size_t mark_positions = changes_.mark();
        const std::size_t result = split_fresh_arranged(lo, m, node, dim, capacity, changes);
        changes_.cut_back(mark_positions);
        memo.capacity = capacity;
        memo.result = result;
        memo.reusable = reuse_ && shifts_recorded_ == shifts_before;
        return result;
    }

    std::size_t split_fresh_arranged(std::size_t lo, std::size_t m, std::size_t node,
                                     std::size_t dim, std::size_t capacity, ChangeSlice changes) {
        const std::size_t left_capacity = left_capacity_of(node, capacity);
        const std::size_t right_capacity = capacity - left_capacity;
        NodeMemo& memo = memos_[node];
        ArrangedChunk& arranged = memo.arranged;
        // A side the repair kept holds a child's last points only if that
        // child was called after the division the repair started from.
        const std::uint8_t heard = std::exchange(memo.sides_heard, std::uint8_t{0});

        std::size_t p = split_target(m, node, right_capacity);
        if (p > m) throw Unbuildable{};
        ChangeSlice left_changes;
        ChangeSlice right_changes;
        KeptSides kept;
        if (p < m) {
            p = divide(lo, m, node, dim, p, changes, left_changes, right_changes, kept);
            stems_[node] = stem_value(lo + p, lo + m, dim, arranged.pivot_item);
        } else {
            arranged.valid = false;  // not divided: the whole chunk goes left
        }
        kept.lower = kept.lower && (heard & kHeardLower) != 0;
        kept.upper = kept.upper && (heard & kHeardUpper) != 0;
        if (p <= B && m - p <= B) return defer_children(node, left_changes, right_changes, 0);
        if (m - p > right_capacity) {
            return defer_children(node, left_changes, right_changes, (m - p) - right_capacity);
        }

        const std::size_t child_dim = dim == K - 1 ? 0 : dim + 1;
        for (;;) {
            memo.sides_heard |= kHeardLower;
            const std::size_t left_shift = split_arranged(lo, p, 2 * node, child_dim,
                                                          left_capacity, left_changes, kept.lower);
            if (left_shift == 0) {
                memo.sides_heard |= kHeardUpper;
                return split_arranged(lo + p, m - p, 2 * node + 1, child_dim, right_capacity,
                                      right_changes, kept.upper);
            }
            if (left_shift > p) throw Unbuildable{};
            const std::size_t old_p = p;
            p = move_split_left(lo, m, node, dim, p, p - left_shift, left_changes);
            memo.sides_heard = 0;
            kept = KeptSides{};
            // The right chunk gains the positions between the two splits.
            right_changes = changes_.with_positions(right_changes, lo + p, lo + old_p);
            stem_shifts_[node] += left_shift;
            ++shifts_recorded_;
            if (m - p > right_capacity) {
                return defer_children(node, left_changes, right_changes, (m - p) - right_capacity);
            }
            stems_[node] = stem_value(lo + p, lo + m, dim, arranged.pivot_item);
        }
    }

    // Returning without calling the children leaves changes they have not
    // heard of: kept for their next call.
    std::size_t defer_children(std::size_t node, ChangeSlice left, ChangeSlice right,
                               std::size_t result) {
        defer(2 * node, left);
        defer(2 * node + 1, right);
        return result;
    }

    void defer(std::size_t node, ChangeSlice changes) {
        if (node >= memos_.size()) return;  // a leaf position: nothing to remember
        NodeMemo& memo = memos_[node];
        if (changes.unknown || !memo.arranged.valid) {
            memo.arranged.valid = false;  // it selects afresh anyway
            changes_.forget(node);
            return;
        }
        changes_.hold(node, changes);
    }

    // Divides the chunk at rank `target`, repairing the node's previous
    // division when it can; sets the changes each child will see.
    std::size_t divide(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                       std::size_t target, ChangeSlice changes, ChangeSlice& left_changes,
                       ChangeSlice& right_changes, KeptSides& kept) {
        ArrangedChunk& arranged = memos_[node].arranged;
        // A chunk that moved entirely has nothing of the old division left.
        if (repairs_ && !changes.unknown && arranged.valid && lo < arranged.lo + arranged.length &&
            arranged.lo < lo + m) {
            if (repair(lo, m, node, dim, target, changes, arranged)) {
                left_changes = changes_.push(repair_lower_);
                right_changes = changes_.push(repair_upper_);
                kept = KeptSides{repairer_.lower_unchanged(), repairer_.upper_unchanged()};
                return arranged.boundary;
            }
        }
        left_changes = ChangeSlice{};
        right_changes = ChangeSlice{};
        return select_afresh(lo, m, m, dim, target, arranged);
    }

    // Moves the split left to rank `target` of the lower side; the upper
    // side is not touched, as in split_fresh.
    std::size_t move_split_left(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                                std::size_t p, std::size_t target, ChangeSlice& left_changes) {
        ArrangedChunk& arranged = memos_[node].arranged;
        if (repairs_ && arranged.valid && arranged.lo == lo && arranged.boundary == p &&
            repair(lo, m, node, dim, target, kNoChanges, arranged)) {
            left_changes = changes_.push(repair_lower_);
            return arranged.boundary;
        }
        left_changes = ChangeSlice{};
        return select_afresh(lo, m, p, dim, target, arranged);
    }

    bool repair(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                std::size_t target, ChangeSlice changes, ArrangedChunk& arranged) {
        const ChunkChanges seen = changes_.view(changes);
        ArrangedChunk after;
        refresh_positions();
        const std::optional<std::size_t> split =
            repairer_.divide(std::span(sort_index_.data(), sort_index_.size()),
                             points_.column(dim).data(), arranged, lo, m, target, seen, after,
                             repair_lower_, repair_upper_,
                             m > kReservedChunk ? &reserves_[node] : nullptr);
        charge(repairer_.entries_read());
        ++counters_.repairs;
        if (!split) return false;
        arranged = after;
        return true;
    }

    std::size_t select_afresh(std::size_t lo, std::size_t m, std::size_t selectable,
                              std::size_t dim, std::size_t target, ArrangedChunk& arranged) {
        const std::size_t p = adjust_pivot(lo, selectable, dim, target);
        if (repairs_) stale_.push_back({lo, lo + selectable});
        const OrderKey pivot_key = key(lo + p, dim);
        // A copy left alone below (the walk stopped at 1) breaks "below the
        // pivot key"; such a node selects afresh next time as well.
        const bool lone_copy = p == 1 && key(lo, dim) == pivot_key;
        // A new lineage: nothing kept about the old division's sides holds.
        arranged = ArrangedChunk{lo, m, p, pivot_key, sort_index_[lo + p], !lone_copy,
                                 ++lineages_};
        return p;
    }

    // Brings the position table up to date before a repair reads it. Fresh
    // selections only note the range they rearranged: a subtree selected
    // afresh level by level would otherwise rewrite its positions once per
    // level, where the repair needs them once.
    void refresh_positions() {
        if (stale_.empty()) return;
        std::sort(stale_.begin(), stale_.end());
        std::size_t done = 0;  // positions below this are up to date
        for (const auto& [begin, end] : stale_) {
            for (std::size_t i = std::max(begin, done); i < end; ++i) {
                position_of_[sort_index_[i]] = static_cast<std::uint32_t>(i);
            }
            done = std::max(done, end);
        }
        stale_.clear();
    }

    // Every selection and repair passes here: where a request to stop is heeded.
    void charge(std::size_t entries) {
        stop_point();
        if (entries > work_left_) throw Unbuildable{};
        work_left_ -= entries;
    }

    // The number of points to send left: half the chunk (plus the shifts
    // recorded here) rounded to a power of two so left subtrees fill whole
    // leaves, and at least enough that the right side fits.
    std::size_t split_target(std::size_t m, std::size_t node, std::size_t right_capacity) const {
        const std::size_t shift = stem_shifts_[node];
        const std::size_t total = m + shift;
        const std::size_t half = total / 2;
        const bool odd = (m % 2) != 0;
        const bool round_above = node == 1 ? odd : odd && shift == 0;
        std::size_t rounded;
        if (round_above) {
            rounded = total < 2 ? 1 : std::bit_floor(half) << 1;  // power of two > half
        } else {
            rounded = total < 4 ? 1 : std::bit_ceil(half);  // power of two >= half
        }
        const std::size_t shifted = rounded - shift;  // wraps when the shift is larger
        const std::size_t right_floor = m > right_capacity ? m - right_capacity : 0;
        return std::max(shifted, right_floor);
    }

    const PointColumns& points_;
    const SpatialNumbering& numbering_;  // original numbers decide ties
    PageArray<std::uint32_t> sort_index_;
    std::vector<double> stems_;
    std::vector<std::size_t> stem_shifts_;
    std::size_t work_left_ = 0;

    // What a node's previous call saw and returned; `reusable` only when it
    // recorded no shift anywhere below the node.
    struct NodeMemo {
        std::size_t capacity = 0;
        std::uint8_t sides_heard = 0;  // kHeard*: children called since `arranged` was set
        std::size_t result = 0;
        bool reusable = false;
        ArrangedChunk arranged;
    };
    PageArray<NodeMemo> memos_;
    std::size_t shifts_recorded_ = 0;
    PackedBuildCounters& counters_;
    bool reuse_ = true;           // no NaN: divisions follow from sets
    bool repairs_ = true;         // and positions fit the repair's 31 bits
    bool negative_zero_ = false;  // stems at zero pick their copy (stem_value)
    ChangeBook changes_;
    SplitRepair repairer_;
    SideChanges repair_lower_;
    SideChanges repair_upper_;
    // Where each point stands in sort_index_, kept by every move, and what
    // nodes kept about their sides' extremes.
    PageArray<std::uint32_t> position_of_;
    // Ranges of sort_index_ rearranged since position_of_ was last brought
    // up to date.
    std::vector<std::pair<std::size_t, std::size_t>> stale_;
    std::unordered_map<std::size_t, ChunkKeptExtremes> reserves_;
    std::uint64_t lineages_ = 0;
};

}  // namespace

std::optional<ImmutableKdTree> build_packed_tree(PointColumns& points,
                                                 PackedBuildCounters* counters,
                                                 std::size_t renumber_from) {
    PackedBuildCounters ignored;
    const SpecialValues special = special_values(points);
    // Which copy of a NaN lands at a split follows the arrangement, so such
    // tables keep their numbers.
    SpatialNumbering numbering =
        special.nan ? SpatialNumbering() : SpatialNumbering(points, renumber_from);
    stop_point();
    std::optional<PackedSplits> splits;
    try {
        splits = PackedBuilder(points, numbering, special, counters != nullptr ? *counters : ignored)
                     .build();
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

std::optional<ImmutableKdTree> build_packed_tree(std::span<const Point> points) {
    PointColumns columns = PointColumns::from_points(points);
    return build_packed_tree(columns);
}

}  // namespace vicinor::kdtree::detail
