// The left-packed construction. Leaves below a left child are filled to
// capacity and the remainder collects at the right end. Splits never separate
// equal values (an equal coordinate descends right), so repeated values move
// splits left ("shifts", remembered per stem across attempts) and may add
// leaves and retry. Every step here is part of the saved-file layout.
#include <algorithm>
#include <bit>
#include <numeric>
#include <unordered_map>

#include "kdtree/build_parts.hpp"
#include "kdtree/change_book.hpp"
#include "kdtree/chunk_fingerprint.hpp"
#include "kdtree/order_key.hpp"
#include "kdtree/page_buffer.hpp"
#include "kdtree/select.hpp"
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

struct SpecialValues {
    bool nan = false;
    bool negative_zero = false;
};

// One pass without an early exit, so that the compiler compares whole
// vectors: the columns are rarely special, and then every value is read
// anyway. Baseline x86-64 has no 64-bit lane compare, hence the clone.
#if defined(__x86_64__) && !defined(__clang__)
[[gnu::target_clones("avx2", "default")]]
#endif
SpecialValues special_values(const PointColumns& points) noexcept {
    std::uint64_t nan = 0;
    std::uint64_t negative_zero = 0;
    for (std::size_t d = 0; d < K; ++d) {
        const double* column = points.column(d).data();
        const std::size_t n = points.size();
        for (std::size_t i = 0; i < n; ++i) {
            const double v = column[i];
            nan |= static_cast<std::uint64_t>(v != v);
            negative_zero |=
                static_cast<std::uint64_t>(std::bit_cast<std::uint64_t>(v) == (1ULL << 63));
        }
    }
    return SpecialValues{nan != 0, negative_zero != 0};
}

// Finds the stems; its working arrays die with it, before placement
// allocates the leaves.
class PackedBuilder {
public:
    PackedBuilder(const PointColumns& points, SplitWork work, PackedBuildCounters& counters)
        : points_(points), sort_index_(points.size()), work_(work), counters_(counters) {
        std::iota(sort_index_.data(), sort_index_.data() + points.size(), std::uint32_t{0});
    }

    PackedSplits build() {
        const std::size_t n = points_.size();
        std::size_t leaf_node_count = ceil_div_bucket(n);
        resize_stems(leaf_node_count < 2 ? 1 : std::bit_ceil(leaf_node_count));
        const ChunkFingerprint everything = choose_reuse();

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
            const std::size_t shift = split_all(n, leaf_node_count * B, everything);
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

    // Repairs need divisions that depend on sets of points only: no NaN and
    // no -0.0 (which copy lands at a split depends on the arrangement), and
    // positions that fit 31 bits (SplitRepair marks the top one). Elsewhere
    // whole chunks are remembered by fingerprint; with NaN not even that.
    ChunkFingerprint choose_reuse() {
        const std::size_t n = points_.size();
        const SpecialValues special = special_values(points_);
        memo_allowed_ = !special.nan;
        arranged_ = work_ == SplitWork::kRepair && memo_allowed_ &&
                    n <= (std::size_t{1} << 31) && !special.negative_zero;
        if (arranged_) {
            position_of_ = PageArray<std::uint32_t>(n);
            std::iota(position_of_.data(), position_of_.data() + n, std::uint32_t{0});
            repairer_.track_positions(position_of_.data());
        }
        return memo_allowed_ && !arranged_ ? fingerprint_of(sort_index_.data(), n)
                                           : ChunkFingerprint{};
    }

    std::size_t split_all(std::size_t n, std::size_t capacity, const ChunkFingerprint& everything) {
        // Between attempts nothing but the root's own subtree moved its
        // points, so the root may repair its split like any node.
        return arranged_ ? split_arranged(0, n, 1, 0, capacity, kNoChanges)
                         : split_chunk(0, n, 1, 0, capacity, everything);
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
        if (selectable > work_left_) throw Unbuildable{};
        work_left_ -= selectable;
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
        for (std::size_t j = 1; j < selectable && key(lo + j, dim) == value; ++j) {
            if (sort_index_[lo + j] < sort_index_[lo + lowest]) lowest = j;
        }
        std::swap(sort_index_[lo], sort_index_[lo + lowest]);
    }

    double coordinate(std::size_t position, std::size_t dim) const noexcept {
        return points_.column(dim)[sort_index_[position]];
    }

    // Returns 0 when the chunk [lo, lo+m) fits below `node`, else how many
    // points did not fit (the shift requested from the caller). `chunk` is
    // the fingerprint of the chunk's point numbers.
    std::size_t split_chunk(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                            std::size_t capacity, const ChunkFingerprint& chunk) {
        if (m <= B) return 0;
        if (m > capacity) return m - capacity;
        if (node >= stems_.size()) throw Unbuildable{};  // past the stems

        // A retry mostly hands a node the same points as its previous call.
        // Everything a call does follows from its set of points, its capacity
        // and the shifts recorded below it (never from how the set happens to
        // be arranged), and it writes only the stems below it. So when the
        // previous call recorded no shift, nothing below has changed since,
        // and the same inputs would write the same stems again and return
        // the same value.
        NodeMemo& memo = memos_[node];
        if (memo.reusable && memo.chunk == chunk && memo.length == m && memo.capacity == capacity) {
            return memo.result;
        }
        const std::size_t shifts_before = shifts_recorded_;
        const std::size_t result = split_fresh(lo, m, node, dim, capacity, chunk);
        memos_[node] = NodeMemo{chunk, m, capacity, result,
                                memo_allowed_ && shifts_recorded_ == shifts_before, {}};
        return result;
    }

    // The slots of the left child's subtree this chunk may use: all of
    // them, or what the chunk may use at all.
    std::size_t left_capacity_of(std::size_t node, std::size_t capacity) const noexcept {
        const std::size_t height =
            static_cast<std::size_t>(std::countr_zero(stems_.size()) - std::bit_width(node));
        return std::min(capacity, B << height);
    }

    std::size_t split_fresh(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                            std::size_t capacity, const ChunkFingerprint& chunk) {
        const std::size_t left_capacity = left_capacity_of(node, capacity);
        const std::size_t right_capacity = capacity - left_capacity;

        std::size_t p = split_target(m, node, right_capacity);
        if (p > m) throw Unbuildable{};  // the shift outgrew the split and wrapped
        if (p < m) {
            p = adjust_pivot(lo, m, dim, p);
            stems_[node] = coordinate(lo + p, dim);
        }
        if (p <= B && m - p <= B) return 0;
        if (m - p > right_capacity) return (m - p) - right_capacity;

        const std::size_t child_dim = dim == K - 1 ? 0 : dim + 1;
        ChunkFingerprint left = part_fingerprint(lo, p, m, chunk);
        for (;;) {
            const std::size_t left_shift =
                split_chunk(lo, p, 2 * node, child_dim, left_capacity, left);
            if (left_shift == 0) {
                return split_chunk(lo + p, m - p, 2 * node + 1, child_dim, right_capacity,
                                   chunk - left);
            }
            // Move this split left by what did not fit on the left side.
            if (left_shift > p) throw Unbuildable{};  // the target would wrap
            const std::size_t old_p = p;
            p = adjust_pivot(lo, p, dim, p - left_shift);
            stem_shifts_[node] += left_shift;
            ++shifts_recorded_;
            if (m - p > right_capacity) return (m - p) - right_capacity;
            // Position p already holds rank p: the values before it are
            // smaller, so selecting it again would change nothing.
            stems_[node] = coordinate(lo + p, dim);
            // The left part lost only the points between the two splits.
            left -= fingerprint_of(sort_index_.data() + lo + p, old_p - p);
        }
    }

    // The same procedure where divisions depend only on sets of points:
    // instead of fingerprints, every node remembers how it divided its chunk
    // (ArrangedChunk) and hears from its parent what changed since, so that
    // a retry repairs splits instead of selecting them afresh.
    std::size_t split_arranged(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                               std::size_t capacity, ChangeSlice changes) {
        if (m <= B || m > capacity) {
            // Not divided now: what changed waits for its next division.
            defer(node, changes);
            return m <= B ? 0 : m - capacity;
        }
        if (node >= stems_.size()) throw Unbuildable{};
        NodeMemo& memo = memos_[node];
        changes = changes_.with_held(node, changes);
        // As in split_chunk: same points, capacity and shifts below give
        // the same stems and result.
        const ArrangedChunk& arranged = memo.arranged;
        if (memo.reusable && arranged.valid && arranged.lo == lo && arranged.length == m &&
            memo.capacity == capacity && changes.none()) {
            return memo.result;
        }
        const std::size_t shifts_before = shifts_recorded_;
        const std::size_t mark_positions = changes_.mark();
        const std::size_t result = split_fresh_arranged(lo, m, node, dim, capacity, changes);
        changes_.cut_back(mark_positions);
        memo.capacity = capacity;
        memo.result = result;
        memo.reusable = shifts_recorded_ == shifts_before;
        return result;
    }

    std::size_t split_fresh_arranged(std::size_t lo, std::size_t m, std::size_t node,
                                     std::size_t dim, std::size_t capacity, ChangeSlice changes) {
        const std::size_t left_capacity = left_capacity_of(node, capacity);
        const std::size_t right_capacity = capacity - left_capacity;
        ArrangedChunk& arranged = memos_[node].arranged;

        std::size_t p = split_target(m, node, right_capacity);
        if (p > m) throw Unbuildable{};
        ChangeSlice left_changes;
        ChangeSlice right_changes;
        if (p < m) {
            p = divide(lo, m, node, dim, p, changes, left_changes, right_changes);
            stems_[node] = points_.column(dim)[arranged.pivot_item];
        } else {
            arranged.valid = false;  // not divided: the whole chunk goes left
        }
        if (p <= B && m - p <= B) return defer_children(node, left_changes, right_changes, 0);
        if (m - p > right_capacity) {
            return defer_children(node, left_changes, right_changes, (m - p) - right_capacity);
        }

        const std::size_t child_dim = dim == K - 1 ? 0 : dim + 1;
        for (;;) {
            const std::size_t left_shift =
                split_arranged(lo, p, 2 * node, child_dim, left_capacity, left_changes);
            if (left_shift == 0) {
                return split_arranged(lo + p, m - p, 2 * node + 1, child_dim, right_capacity,
                                      right_changes);
            }
            if (left_shift > p) throw Unbuildable{};
            const std::size_t old_p = p;
            p = move_split_left(lo, m, node, dim, p, p - left_shift, left_changes);
            // The right chunk gains the positions between the two splits.
            right_changes = changes_.with_positions(right_changes, lo + p, lo + old_p);
            stem_shifts_[node] += left_shift;
            ++shifts_recorded_;
            if (m - p > right_capacity) {
                return defer_children(node, left_changes, right_changes, (m - p) - right_capacity);
            }
            stems_[node] = points_.column(dim)[arranged.pivot_item];
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
        if (changes.everything || !memo.arranged.valid) {
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
                       ChangeSlice& right_changes) {
        ArrangedChunk& arranged = memos_[node].arranged;
        if (!changes.everything && arranged.valid && lo <= arranged.lo &&
            arranged.lo + arranged.boundary <= lo + m) {
            if (repair(lo, m, node, dim, target, changes, arranged)) {
                left_changes = changes_.push(repair_lower_);
                right_changes = changes_.push(repair_upper_);
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
        if (arranged.valid && arranged.lo == lo && arranged.boundary == p &&
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
        if (!split) return false;
        arranged = after;
        return true;
    }

    std::size_t select_afresh(std::size_t lo, std::size_t m, std::size_t selectable,
                              std::size_t dim, std::size_t target, ArrangedChunk& arranged) {
        const std::size_t p = adjust_pivot(lo, selectable, dim, target);
        stale_.push_back({lo, lo + selectable});
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

    void charge(std::size_t entries) {
        if (entries > work_left_) throw Unbuildable{};
        work_left_ -= entries;
    }

    // The fingerprint of the first p of the m positions at lo, counting
    // whichever side is shorter.
    ChunkFingerprint part_fingerprint(std::size_t lo, std::size_t p, std::size_t m,
                                      const ChunkFingerprint& chunk) const noexcept {
        if (!memo_allowed_) return {};
        if (p <= m - p) return fingerprint_of(sort_index_.data() + lo, p);
        return chunk - fingerprint_of(sort_index_.data() + lo + p, m - p);
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
    PageArray<std::uint32_t> sort_index_;
    std::vector<double> stems_;
    std::vector<std::size_t> stem_shifts_;
    std::size_t work_left_ = 0;

    // What a node's previous call saw and returned; `reusable` only when it
    // recorded no shift anywhere below the node.
    struct NodeMemo {
        ChunkFingerprint chunk;
        std::size_t length = 0;
        std::size_t capacity = 0;
        std::size_t result = 0;
        bool reusable = false;
        ArrangedChunk arranged;  // in arranged mode only
    };
    PageArray<NodeMemo> memos_;
    std::size_t shifts_recorded_ = 0;
    // A NaN split value makes a part depend on the arrangement of the NaN
    // copies rather than on the set, so reuse is off for such input.
    bool memo_allowed_ = true;
    // Without NaN and -0.0 every division depends on sets alone, and splits
    // are repaired rather than selected again (split_arranged).
    const SplitWork work_;
    PackedBuildCounters& counters_;
    bool arranged_ = false;
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
    std::unordered_map<std::size_t, ChunkReserves> reserves_;
    std::uint64_t lineages_ = 0;
};

}  // namespace

std::optional<ImmutableKdTree> build_packed_tree(PointColumns& points, SplitWork work,
                                                 PackedBuildCounters* counters) {
    PackedBuildCounters ignored;
    PackedSplits splits;
    try {
        splits = PackedBuilder(points, work, counters != nullptr ? *counters : ignored).build();
    } catch (const Unbuildable&) {
        return std::nullopt;
    }
    return place_points(std::move(splits.stems), splits.leaf_count, points);
}

std::optional<ImmutableKdTree> build_packed_tree(std::span<const Point> points, SplitWork work) {
    PointColumns columns = PointColumns::from_points(points);
    return build_packed_tree(columns, work);
}

}  // namespace vicinor::kdtree::detail
