#include "kdtree/split_reuse.hpp"

#include <algorithm>
#include <numeric>

#include "common/stop_check.hpp"
#include "kdtree/select.hpp"

namespace vicinor::kdtree::detail {

// A division depends on the set of points alone, except where a NaN lands
// at a split (which copy, and so which points go left, follows the
// arrangement): with NaN nothing is reused. Repairs track positions in 31
// bits (SplitRepair marks the top one); beyond that, only unchanged
// subtrees are kept.
SplitReuse::SplitReuse(const PointColumns& points, const SpatialNumbering& numbering,
                       std::span<std::uint32_t> order, SpecialValues special,
                       PackedBuildCounters& counters)
    : points_(points),
      numbering_(numbering),
      order_(order),
      counters_(counters),
      reuse_(!special.nan),
      repairs_(!special.nan && points.size() <= (std::size_t{1} << 31)),
      negative_zero_(special.negative_zero) {
    if (repairs_) {
        const std::size_t n = points.size();
        position_of_ = PageArray<std::uint32_t>(n);
        std::iota(position_of_.data(), position_of_.data() + n, std::uint32_t{0});
        repairer_.track_positions(position_of_.data());
    }
}

void SplitReuse::resize(std::size_t stem_count) {
    memos_ = PageArray<NodeMemo>(stem_count);
    changes_.forget_all();
    reserves_.clear();
}

Division SplitReuse::select(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                            std::size_t target, ChangeSlice changes, std::uint8_t heard) {
    ArrangedChunk& arranged = memos_[node].arranged;
    Division division;
    // The upper side's first points, rotated to the front, left the
    // positions the repair would look for them at: it cannot tell whether
    // that side kept its points.
    bool lost_front = false;
    if (repairs_ && !changes.unknown && arranged.valid) {
        const std::size_t old_lo = arranged.lo;
        changes = keep_lower_side_together(lo, m, node, changes, arranged);
        lost_front = old_lo < lo && arranged.lo == lo;
    }
    // A chunk that moved entirely has nothing of the old division left.
    if (repairs_ && !changes.unknown && arranged.valid && lo < arranged.lo + arranged.length &&
        arranged.lo < lo + m && repair(lo, m, node, dim, target, changes, arranged)) {
        division.split = arranged.boundary;
        division.lower = changes_.push(repair_lower_);
        division.upper = changes_.push(repair_upper_);
        // A side the repair kept holds a child's last points only if that
        // child was called after the division the repair started from.
        division.lower_kept = repairer_.lower_unchanged() && (heard & kLower) != 0;
        division.upper_kept = repairer_.upper_unchanged() && !lost_front && (heard & kUpper) != 0;
        return division;
    }
    division.split = select_afresh(lo, m, m, dim, target, arranged);
    return division;
}

// Only the lower side is selected again: the chunk is partitioned at the
// old split, so the new rank lies below it and the upper side cannot
// change.
void SplitReuse::select_lower(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                              std::size_t target, Division& division) {
    const std::size_t old_split = division.split;
    ArrangedChunk& arranged = memos_[node].arranged;
    if (repairs_ && arranged.valid && arranged.lo == lo && arranged.boundary == old_split &&
        repair(lo, m, node, dim, target, kNoChanges, arranged)) {
        division.split = arranged.boundary;
        division.lower = changes_.push(repair_lower_);
    } else {
        division.split = select_afresh(lo, m, old_split, dim, target, arranged);
        division.lower = ChangeSlice{};
    }
    memos_[node].sides_heard = 0;
    division.lower_kept = false;
    division.upper_kept = false;
    // The upper side gains the positions between the two splits.
    division.upper = changes_.with_positions(division.upper, lo + division.split, lo + old_split);
}

std::size_t SplitReuse::hold_for_children(std::size_t node, const Division& division,
                                          std::size_t result) {
    hold(2 * node, division.lower);
    hold(2 * node + 1, division.upper);
    return result;
}

// Selects rank `p` of the chunk on `dim`, then moves p down to the start of
// the run of its value (not below 1), because an equal value would descend
// to the right of the split anyway. Only the first `selectable` positions
// take part (see select_lower).
std::size_t SplitReuse::select_fresh(std::size_t lo, std::size_t selectable, std::size_t dim,
                                     std::size_t p) {
    charge(selectable);
    counters_.entries_selected += selectable;
    ++counters_.fresh_selections;
    select_nth(order_.subspan(lo, selectable), points_.column(dim), p);
    const OrderKey value = key(lo + p, dim);
    if (value == kNanKey) return p;  // a NaN equals nothing
    while (p > 1 && key(lo + p - 1, dim) == value) --p;
    if (p == 1 && key(lo, dim) == value) settle_lone_copy(lo, selectable, dim);
    return p;
}

// The walk stops at 1, leaving one copy of the split value alone on the
// left. Which copy depends on how the selection happened to arrange the
// run; the lowest point number makes the layout depend on the points only.
void SplitReuse::settle_lone_copy(std::size_t lo, std::size_t selectable, std::size_t dim) {
    const OrderKey value = key(lo, dim);
    std::size_t lowest = 0;
    // The selection leaves the other copies anywhere above position 0.
    for (std::size_t j = 1; j < selectable; ++j) {
        if (key(lo + j, dim) == value &&
            numbering_.original(order_[lo + j]) < numbering_.original(order_[lo + lowest])) {
            lowest = j;
        }
    }
    std::swap(order_[lo], order_[lo + lowest]);
}

std::size_t SplitReuse::select_afresh(std::size_t lo, std::size_t m, std::size_t selectable,
                                      std::size_t dim, std::size_t target,
                                      ArrangedChunk& arranged) {
    const std::size_t p = select_fresh(lo, selectable, dim, target);
    if (repairs_) stale_.push_back({lo, lo + selectable});
    const OrderKey pivot_key = key(lo + p, dim);
    // A copy left alone below (the walk stopped at 1) breaks "below the
    // pivot key"; such a node selects afresh next time as well.
    const bool lone_copy = p == 1 && key(lo, dim) == pivot_key;
    // A new lineage: nothing kept about the old division's sides holds.
    arranged = ArrangedChunk{lo, m, p, pivot_key, order_[lo + p], !lone_copy, ++lineages_};
    return p;
}

// A chunk whose front moved (a split to its left moved) would, divided
// where it stands, move its lower side by as many positions, and with it
// every chunk below: each node there would see its chunk changed although
// few of its points did. Instead the lower side is rotated to the chunk's
// new front as a whole, and the nodes below are told their chunks moved:
// positions gained at the front end up beside the old split, and positions
// lost there are made up from the upper side's first ones, which count as
// changed. Returns the changes as positions after the rotation.
ChangeSlice SplitReuse::keep_lower_side_together(std::size_t lo, std::size_t m, std::size_t node,
                                                 ChangeSlice changes, ArrangedChunk& arranged) {
    const std::size_t old_lo = arranged.lo;
    const std::size_t old_split = old_lo + arranged.boundary;
    const std::size_t old_end = old_lo + arranged.length;
    if (old_lo == lo) return changes;
    const bool gained = old_lo > lo;
    const std::size_t by = gained ? old_lo - lo : lo - old_lo;
    // The region rotated: the front gained and the lower side, or what is
    // left of the lower side and as many upper positions.
    const std::size_t end = gained ? old_split : old_split + by;
    const std::size_t first_moved = gained ? old_lo : old_split;
    // A memory of the chunk that no longer fits inside it (its offsets
    // wrapped as the chunks above moved) cannot be rotated: the node
    // selects afresh, which the rules give the same answer as any reuse.
    if (old_split > old_end || old_end > order_.size() || first_moved < lo || first_moved > end) {
        arranged.valid = false;
        return changes;
    }
    if (end > lo + m || (!gained && (old_split <= lo || end > old_end))) return changes;
    std::rotate(order_.begin() + static_cast<std::ptrdiff_t>(lo),
                order_.begin() + static_cast<std::ptrdiff_t>(first_moved),
                order_.begin() + static_cast<std::ptrdiff_t>(end));
    stale_.push_back({lo, end});
    // Bounded apart from the reads, so that the rotations leave the work
    // bound what it was; real tables rotate a fraction of what they read.
    if (end - lo > rotations_left_) throw Unbuildable{};
    rotations_left_ -= end - lo;
    ++(gained ? counters_.fronts_gained : counters_.fronts_lost);
    rotated_.positions.clear();
    // Where the entries of [lo, end) went, by where they stood.
    for (std::uint32_t position : changes_.view(changes).positions) {
        if (position >= lo && position < first_moved) {
            position += static_cast<std::uint32_t>(end - first_moved);
        } else if (position >= first_moved && position < end) {
            position -= static_cast<std::uint32_t>(first_moved - lo);
        }
        rotated_.positions.push_back(position);
    }
    if (!gained) {
        for (std::size_t q = lo; q < lo + by; ++q) {
            rotated_.positions.push_back(static_cast<std::uint32_t>(q));
        }
    }
    arranged.length = old_end - lo;
    arranged.lo = lo;
    translate(2 * node, static_cast<std::ptrdiff_t>(lo) - static_cast<std::ptrdiff_t>(old_lo));
    return changes_.push(rotated_);
}

// `node`'s chunk, and so everything below it, moved by `delta` as a whole:
// its memory of the chunk moves along, and its children hear of it when it
// next divides (a node that selects afresh tells them nothing of their old
// chunks anyway).
void SplitReuse::translate(std::size_t node, std::ptrdiff_t delta) {
    if (node >= memos_.size()) return;
    changes_.translate(node, delta);
    NodeMemo& memo = memos_[node];
    if (!memo.arranged.valid) return;
    memo.arranged.lo =
        static_cast<std::size_t>(static_cast<std::ptrdiff_t>(memo.arranged.lo) + delta);
    memo.children_moved += delta;
}

bool SplitReuse::repair(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                        std::size_t target, ChangeSlice changes, ArrangedChunk& arranged) {
    const ChunkChanges seen = changes_.view(changes);
    ArrangedChunk after;
    refresh_positions();
    const std::optional<std::size_t> split =
        repairer_.divide(order_, points_.column(dim).data(), arranged, lo, m, target, seen,
                         after, repair_lower_, repair_upper_,
                         m > kReservedChunk ? &reserves_[node] : nullptr);
    charge(repairer_.entries_read());
    ++counters_.repairs;
    if (!split) return false;
    arranged = after;
    return true;
}

// Fresh selections only note the range they rearranged: a subtree selected
// afresh level by level would otherwise rewrite its positions once per
// level, where the repair needs them once.
void SplitReuse::refresh_positions() {
    if (stale_.empty()) return;
    std::sort(stale_.begin(), stale_.end());
    std::size_t done = 0;  // positions below this are up to date
    for (const auto& [begin, end] : stale_) {
        for (std::size_t i = std::max(begin, done); i < end; ++i) {
            position_of_[order_[i]] = static_cast<std::uint32_t>(i);
        }
        done = std::max(done, end);
    }
    stale_.clear();
}

// Every selection and repair passes here: where a request to stop is heeded.
void SplitReuse::charge(std::size_t entries) {
    stop_point();
    if (entries > work_left_) throw Unbuildable{};
    work_left_ -= entries;
}

}  // namespace vicinor::kdtree::detail
