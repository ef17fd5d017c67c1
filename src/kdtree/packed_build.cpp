// The left-packed construction. Leaves below a left child are filled to
// capacity and the remainder collects at the right end. Splits never separate
// equal values (an equal coordinate descends right), so repeated values move
// splits left ("shifts", remembered per stem across attempts) and may add
// leaves and retry. Every step here is part of the saved-file layout.
#include <algorithm>
#include <bit>
#include <numeric>

#include "kdtree/build_parts.hpp"
#include "kdtree/chunk_fingerprint.hpp"
#include "kdtree/order_key.hpp"
#include "kdtree/page_buffer.hpp"
#include "kdtree/select.hpp"

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

bool any_nan(std::span<const double> column) noexcept {
    return std::any_of(column.begin(), column.end(), [](double v) { return v != v; });
}

// Finds the stems; its working arrays die with it, before placement
// allocates the leaves.
class PackedBuilder {
public:
    explicit PackedBuilder(const PointColumns& points)
        : points_(points), sort_index_(points.size()) {
        std::iota(sort_index_.data(), sort_index_.data() + points.size(), std::uint32_t{0});
    }

    PackedSplits build() {
        const std::size_t n = points_.size();
        std::size_t leaf_node_count = ceil_div_bucket(n);
        std::size_t stem_node_count = leaf_node_count < 2 ? 1 : std::bit_ceil(leaf_node_count);
        stems_.assign(stem_node_count, kUnsetStem);
        stem_shifts_.assign(stem_node_count, 0);
        memos_ = PageArray<NodeMemo>(stem_node_count);
        memo_allowed_ = !any_nan(points_.column(0)) && !any_nan(points_.column(1)) &&
                        !any_nan(points_.column(2));
        const ChunkFingerprint everything =
            memo_allowed_ ? fingerprint_of(sort_index_.data(), n) : ChunkFingerprint{};

        // Repeated values make this construction retry: whole attempts, each
        // adding at least one leaf, and within an attempt a filled left
        // subtree redone for each shift that reaches its root. Three bounds
        // stop only runaways, so that the caller falls back in bounded time:
        // - work: 320 clean attempts' worth (a clean attempt hands about n
        //   entries per level to the selection; reused subtrees cost none).
        //   Measured on the 171,075-place world table: 27 as it is, 238
        //   with coordinates rounded to 4 decimals; with 3 decimals the
        //   shifts wrap after 300, about where this stops;
        // - attempts: real tables need a few dozen at most (the world table
        //   5, rounded to 4 decimals 42); a 1-degree grid runs two thousand
        //   before its shifts wrap, each too cheap for the work bound;
        // - leaves that could hold every point twice over.
        const std::size_t levels = static_cast<std::size_t>(std::countr_zero(stem_node_count)) + 1;
        work_left_ = kWorkFloor + kCleanAttemptsOfWork * std::max<std::size_t>(n, 1) * levels;
        const std::size_t leaf_limit = std::max<std::size_t>(2 * ceil_div_bucket(n), 4);
        std::size_t attempts_left = kMaxAttempts;
        for (;;) {
            const std::size_t shift = split_chunk(0, n, 1, 0, leaf_node_count * B, everything);
            if (shift == 0) break;
            if (--attempts_left == 0) throw Unbuildable{};
            leaf_node_count += ceil_div_bucket(shift);
            if (leaf_node_count > leaf_limit) throw Unbuildable{};
            if (leaf_node_count > stem_node_count) {
                // One doubling per attempt, even if the leaves grew further.
                stem_node_count *= 2;
                stems_.assign(stem_node_count, kUnsetStem);
                stem_shifts_ = remap_shifts(stem_shifts_, stem_node_count, shift);
                memos_ = PageArray<NodeMemo>(stem_node_count);  // every node moved
            }
        }
        // More leaves than leaf positions, or a NaN split value (which the
        // query cannot prune around), would make a tree that is unsound.
        if (leaf_node_count > stem_node_count) throw Unbuildable{};
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
                                memo_allowed_ && shifts_recorded_ == shifts_before};
        return result;
    }

    std::size_t split_fresh(std::size_t lo, std::size_t m, std::size_t node, std::size_t dim,
                            std::size_t capacity, const ChunkFingerprint& chunk) {
        const std::size_t stem_count = stems_.size();
        const std::size_t height =
            static_cast<std::size_t>(std::countr_zero(stem_count) - std::bit_width(node));
        const std::size_t half = B << height;
        const std::size_t left_capacity = std::min(capacity, half);
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
    };
    PageArray<NodeMemo> memos_;
    std::size_t shifts_recorded_ = 0;
    // A NaN split value makes a part depend on the arrangement of the NaN
    // copies rather than on the set, so reuse is off for such input.
    bool memo_allowed_ = true;
};

}  // namespace

std::optional<ImmutableKdTree> build_packed_tree(PointColumns& points) {
    PackedSplits splits;
    try {
        splits = PackedBuilder(points).build();
    } catch (const Unbuildable&) {
        return std::nullopt;
    }
    return place_points(std::move(splits.stems), splits.leaf_count, points);
}

std::optional<ImmutableKdTree> build_packed_tree(std::span<const Point> points) {
    PointColumns columns = PointColumns::from_points(points);
    return build_packed_tree(columns);
}

}  // namespace vicinor::kdtree::detail
