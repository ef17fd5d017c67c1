// What the fast packed construction remembers from one attempt to the next,
// so that an attempt costs what its moved points cost. The rules
// (packed_build.cpp) ask it for each division; it answers from a node's last
// division where the node's points did not change, repairs the division
// where a few did (SplitRepair), and selects afresh only where it knows
// nothing. It owns every piece of that memory: per node what it divided and
// returned (memo), which positions changed since (ChangeBook), where each
// point stands, the ranges a selection rearranged since, the extremes kept
// of large chunks' sides, the lineage of each division, and the work budget
// that stops a runaway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/page_buffer.hpp"
#include "kdtree/build_parts.hpp"
#include "kdtree/change_book.hpp"
#include "kdtree/order_key.hpp"
#include "kdtree/spatial_numbering.hpp"
#include "kdtree/special_values.hpp"
#include "kdtree/split_repair.hpp"

namespace vicinor::kdtree::detail {

// Thrown where the packed construction cannot go on; caught where it began.
struct Unbuildable {};

// A chunk divided: how many points went below, and what each child is told.
struct Division {
    std::size_t split = 0;
    ChangeSlice lower;  // what changed in the lower side since its child's last call
    ChangeSlice upper;
    // The side holds the same points as at its child's last call,
    // wherever they now stand.
    bool lower_kept = false;
    bool upper_kept = false;
};

class SplitReuse {
public:
    // Which children a node called after its latest division.
    enum Side : std::uint8_t { kLower = 1, kUpper = 2 };

    // `order` is the permutation the divisions rearrange.
    SplitReuse(const PointColumns& points, const SpatialNumbering& numbering,
               std::span<std::uint32_t> order, SpecialValues special,
               PackedBuildCounters& counters);

    // Memory for `stem_count` stems; nothing remembered about nodes holds
    // any longer (the old tree became a subtree of a new root).
    void resize(std::size_t stem_count);
    // Entries the selections and repairs may still read (and as many the
    // rotations of keep_lower_side_together may move).
    void set_budget(std::size_t entries) { work_left_ = rotations_left_ = entries; }
    std::size_t work_left() const noexcept { return work_left_; }

    // Where the node's call can return its last result without dividing:
    // the same points (the parent's repair knows, `same_points`, or the
    // chunk is untouched), capacity, and no split moved below since. The
    // changes it did not use are kept for its next division.
    ChangeSlice changes_for(std::size_t node, ChangeSlice changes) {
        return changes_.with_held(node, changes);
    }
    bool answer_as_before(std::size_t node, std::size_t lo, std::size_t m, std::size_t capacity,
                          ChangeSlice changes, bool same_points);
    std::size_t last_result(std::size_t node) const noexcept { return memos_[node].result; }

    // Brackets a node's division: what it returns is remembered, and the
    // changes its children were handed are dropped after.
    struct Bracket {
        std::size_t changes_mark;
        std::size_t split_moves;
    };
    Bracket begin() const noexcept { return {changes_.mark(), split_moves_}; }
    void finish(std::size_t node, std::size_t capacity, std::size_t result, Bracket bracket);

    // At the start of a division: which sides the node's children heard
    // since its last one; tells the children how far their chunks moved.
    std::uint8_t start_division(std::size_t node);
    void heard(std::size_t node, Side side) { memos_[node].sides_heard |= side; }

    // Divides [lo, lo + m) at rank `target` on `dim` as a selection and the
    // walk down past copies of the selected key would: by repair when the
    // node's last division is known, afresh otherwise. `heard` is what
    // start_division returned.
    Division select(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                    std::size_t target, ChangeSlice changes, std::uint8_t heard);
    // The split at `p` moves left to rank `target`: the upper side gains
    // the points between, its changes (`division.upper`) say so.
    void select_lower(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                      std::size_t target, Division& division);
    // The whole chunk goes left; the node divided nothing.
    void not_divided(std::size_t node) { memos_[node].arranged.valid = false; }
    // A split recorded a move: no result from here up to the root may be
    // reused this attempt.
    void split_moved() { ++split_moves_; }
    std::size_t split_moves() const noexcept { return split_moves_; }

    // The value a split writes to its stem (see the definition).
    double stem_value(std::size_t lo, std::size_t split, std::size_t m, std::size_t node,
                      std::size_t dim) const noexcept;

    // The children were not called: what changed waits for their next call.
    std::size_t hold_for_children(std::size_t node, const Division& division, std::size_t result);
    void hold(std::size_t node, ChangeSlice changes);

private:
    static constexpr std::size_t kReservedChunk = 1024;

    struct NodeMemo {
        std::size_t capacity = 0;
        std::uint8_t sides_heard = 0;       // Side bits: children called since `arranged`
        std::ptrdiff_t children_moved = 0;  // how far the children's chunks moved, untold
        std::size_t result = 0;
        bool reusable = false;
        ArrangedChunk arranged;
    };

    OrderKey key(std::size_t position, std::size_t dim) const noexcept {
        return order_key(points_.column(dim)[order_[position]]);
    }
    std::size_t select_fresh(std::size_t lo, std::size_t selectable, std::size_t dim,
                             std::size_t p);
    void settle_lone_copy(std::size_t lo, std::size_t selectable, std::size_t dim);
    std::size_t select_afresh(std::size_t lo, std::size_t m, std::size_t selectable,
                              std::size_t dim, std::size_t target, ArrangedChunk& arranged);
    ChangeSlice keep_lower_side_together(std::size_t lo, std::size_t m, std::size_t node,
                                         ChangeSlice changes, ArrangedChunk& arranged);
    void translate(std::size_t node, std::ptrdiff_t delta);
    bool repair(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                std::size_t target, ChangeSlice changes, ArrangedChunk& arranged);
    void refresh_positions();
    void charge(std::size_t entries);

    const PointColumns& points_;
    const SpatialNumbering& numbering_;  // original numbers decide ties
    std::span<std::uint32_t> order_;
    PackedBuildCounters& counters_;
    const bool reuse_;          // no NaN: divisions follow from sets
    const bool repairs_;        // and positions fit the repair's 31 bits
    const bool negative_zero_;  // stems at zero pick their copy (stem_value)
    std::size_t work_left_ = 0;
    std::size_t rotations_left_ = 0;
    std::size_t split_moves_ = 0;

    PageArray<NodeMemo> memos_;
    ChangeBook changes_;
    SplitRepair repairer_;
    SideChanges repair_lower_;
    SideChanges repair_upper_;
    SideChanges rotated_;
    // Where each point stands in order_, kept by every move.
    PageArray<std::uint32_t> position_of_;
    // Ranges of order_ rearranged since position_of_ was last brought up
    // to date.
    std::vector<std::pair<std::size_t, std::size_t>> stale_;
    // What large chunks kept about their sides' extremes.
    std::unordered_map<std::size_t, ChunkKeptExtremes> reserves_;
    std::uint64_t lineages_ = 0;
};

// Called for every split: defined here so that they inline into it.

inline bool SplitReuse::answer_as_before(std::size_t node, std::size_t lo, std::size_t m,
                                         std::size_t capacity, ChangeSlice changes,
                                         bool same_points) {
    const NodeMemo& memo = memos_[node];
    const ArrangedChunk& arranged = memo.arranged;
    const bool untouched =
        arranged.valid && arranged.lo == lo && arranged.length == m && changes.none();
    if (!memo.reusable || memo.capacity != capacity || !(same_points || untouched)) return false;
    hold(node, changes);  // where they moved matters at its next division
    return true;
}

inline void SplitReuse::finish(std::size_t node, std::size_t capacity, std::size_t result,
                               Bracket bracket) {
    changes_.cut_back(bracket.changes_mark);
    NodeMemo& memo = memos_[node];
    memo.capacity = capacity;
    memo.result = result;
    memo.reusable = reuse_ && split_moves_ == bracket.split_moves;
}

inline std::uint8_t SplitReuse::start_division(std::size_t node) {
    NodeMemo& memo = memos_[node];
    // The children hear now how far their chunks moved since they last
    // divided.
    if (const std::ptrdiff_t moved = std::exchange(memo.children_moved, 0); moved != 0) {
        translate(2 * node, moved);
        translate(2 * node + 1, moved);
    }
    return std::exchange(memo.sides_heard, std::uint8_t{0});
}

inline void SplitReuse::hold(std::size_t node, ChangeSlice changes) {
    if (node >= memos_.size()) return;  // a leaf position: nothing to remember
    NodeMemo& memo = memos_[node];
    if (changes.unknown || !memo.arranged.valid) {
        memo.arranged.valid = false;  // it selects afresh anyway
        changes_.forget(node);
        return;
    }
    changes_.hold(node, changes);
}

// Copies of the split's key descend alike, but -0.0 and +0.0 are one key in
// two bit patterns: the copy with the lowest point number on the upper side
// gives the value, so that the stem follows from the points, not from how a
// selection arranged them.
inline double SplitReuse::stem_value(std::size_t lo, std::size_t split, std::size_t m,
                                     std::size_t node, std::size_t dim) const noexcept {
    const double* column = points_.column(dim).data();
    const std::uint32_t pivot_item = memos_[node].arranged.pivot_item;
    if (!negative_zero_ || column[pivot_item] != 0.0) return column[pivot_item];
    std::uint32_t lowest = pivot_item;
    for (std::size_t i = lo + split; i < lo + m; ++i) {
        const std::uint32_t item = order_[i];
        if (column[item] == 0.0 && numbering_.original(item) < numbering_.original(lowest)) {
            lowest = item;
        }
    }
    return column[lowest];
}

}  // namespace vicinor::kdtree::detail
