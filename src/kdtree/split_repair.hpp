// Moving a split whose chunk changed by a few points since it was last
// divided. When a split high up moves left, the whole subtree below it is
// redone with a few points fewer; selecting afresh at every node below
// would pass the full chunk through a selection each time. A node that
// knows where it divided its chunk, which positions changed since and where
// every point stands, finds the new division from the changed points and
// the extremes it kept of each side (or, failing those, one read-only pass
// over one side); then only the points on the wrong side swap.
//
// Sound only where a division depends on the set of points and not on their
// arrangement: without NaN (which copy of a NaN lands at a split depends on
// the arrangement). -0.0 and +0.0 share one key; the builder picks the bit
// pattern a zero stem gets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kdtree/order_key.hpp"

namespace vicinor::kdtree::detail {

// How a node's last call left its chunk [lo, lo + length) of the
// permutation: the `boundary` points with keys below `pivot_key` first, the
// rest after, `pivot_item` (whose key is `pivot_key`) among them. The
// node's children rearrange each side, never across.
struct ArrangedChunk {
    std::size_t lo = 0;
    std::size_t length = 0;
    std::size_t boundary = 0;
    OrderKey pivot_key = 0;
    std::uint32_t pivot_item = 0;
    bool valid = false;
    // Names the selection this division was repaired from, so that what
    // was kept about its sides (KeptExtremes) is recognised as its own.
    std::uint64_t lineage = 0;
};

// A side's extreme points as a pass over it found them: every point of the
// side whose key lies beyond `bound` (at or above it for the lower side's
// largest, at or below for the upper side's smallest) is in `points`, which
// may also name points that have left the side. Kept up to date as points
// arrive, it spares the next repair of that side its pass.
struct KeptExtremes {
    std::vector<std::uint32_t> points;
    OrderKey bound = 0;
    std::uint64_t lineage = 0;  // ArrangedChunk::lineage; 0: nothing kept
};

struct ChunkKeptExtremes {
    KeptExtremes lower;
    KeptExtremes upper;
};

// What happened to a chunk since its node's last call: the positions that
// hold another point now (the points that arrived stand there; which left
// the tracked positions tell).
struct ChunkChanges {
    std::span<const std::uint32_t> positions;
};

// The changes a repair makes for the node below each side.
struct SideChanges {
    std::vector<std::uint32_t> positions;
};

class SplitRepair {
public:
    // Divides the chunk `before` describes, now [lo, lo + length) and
    // changed as `changes` says, at rank `target` of `column`'s keys as a
    // selection followed by the walk down past copies of the selected key
    // would: returns the number of points put below (all keys below the
    // selected one) and describes the result in `after`. The chunk may
    // have grown or shrunk at either end; the positions gained count as
    // changed.
    //
    // Empty, with nothing moved, when the repair would not be cheap or the
    // walk would reach position 0; the caller then selects afresh. Needs
    // track_positions.
    //
    // With `reserves` the extremes of a side
    // come from what an earlier repair of this chunk kept, when that holds
    // enough, and what a pass finds is kept for the next.
    std::optional<std::size_t> divide(std::span<std::uint32_t> order, const double* column,
                                      const ArrangedChunk& before, std::size_t lo,
                                      std::size_t length, std::size_t target,
                                      const ChunkChanges& changes, ArrangedChunk& after,
                                      SideChanges& lower, SideChanges& upper,
                                      ChunkKeptExtremes* reserves = nullptr);

    // `where[point]` is the point's position in the order (below 2^31);
    // divide keeps it so across its swaps.
    void track_positions(std::uint32_t* where) noexcept { where_ = where; }

    // Entries read by the last divide, for the caller's work bound.
    std::size_t entries_read() const noexcept { return entries_read_; }

    // Whether the last successful divide left a side holding the same
    // points as before (wherever they now stand): the split kept its key,
    // and no point that arrived or left can belong to that side.
    bool lower_unchanged() const noexcept { return lower_unchanged_; }
    bool upper_unchanged() const noexcept { return upper_unchanged_; }

private:
    struct Region {
        std::size_t begin;
        std::size_t end;
    };
    bool pick_extremes(std::span<const std::uint32_t> order, const double* column, Region region,
                       const ChunkChanges& changes, OrderKey pivot_key, bool smallest,
                       std::size_t count, KeptExtremes* reserve, std::uint64_t lineage,
                       Region chunk);
    OrderKey sampled_bound(std::span<const std::uint32_t> order, const double* column,
                           Region region, OrderKey pivot_key, bool smallest, std::size_t count,
                           int attempt);
    bool collect_within(std::span<const std::uint32_t> order, const double* column, Region region,
                        const ChunkChanges& changes, OrderKey pivot_key, bool smallest,
                        OrderKey bound);
    bool pick_from_reserve(std::span<const std::uint32_t> order, const double* column,
                           const ChunkChanges& changes, OrderKey pivot_key, bool smallest,
                           std::size_t count, KeptExtremes& reserve, Region chunk);
    struct PickedRank {
        OrderKey key;
        std::uint32_t item;
        std::size_t keys_below;
    };
    PickedRank rank_picked(std::span<const std::uint32_t> order, std::size_t count,
                           bool smallest);
    void keep_arrivals(std::span<const std::uint32_t> order, const double* column,
                       const SideChanges& side, bool smallest, KeptExtremes& reserve) const;
    // Where a repaired division puts its split: the key there, its point,
    // the count below, and whether the split moved up from `below`.
    struct NewSplit {
        OrderKey key;
        std::uint32_t item;
        std::size_t split;
        bool upward;
    };
    std::optional<NewSplit> find_split(std::span<const std::uint32_t> order, const double* column,
                                       const ArrangedChunk& before, Region chunk,
                                       std::size_t target, const ChunkChanges& changes,
                                       ChunkKeptExtremes* reserves);
    bool move_misplaced(std::span<std::uint32_t> order, const double* column,
                        std::size_t old_split_at, std::size_t split_at, const NewSplit& found,
                        const ChunkChanges& changes, SideChanges& lower, SideChanges& upper);

    // The extreme points found: key and position.
    std::vector<std::pair<OrderKey, std::uint32_t>> picked_;
    std::vector<std::uint32_t> found_;       // positions a scan let through
    std::vector<std::uint32_t> positions_;   // the changed positions, each once
    std::vector<std::uint32_t> candidates_;  // positions whose side may be wrong
    std::vector<std::uint32_t> to_lower_;
    std::vector<std::uint32_t> to_upper_;
    std::vector<OrderKey> samples_;
    void note_unchanged_sides(const double* column, std::span<const std::uint32_t> order,
                              const ArrangedChunk& before, std::size_t lo, std::size_t length,
                              OrderKey key);

    std::size_t entries_read_ = 0;
    std::uint32_t* where_ = nullptr;
    bool lower_unchanged_ = false;
    bool upper_unchanged_ = false;
};

}  // namespace vicinor::kdtree::detail
