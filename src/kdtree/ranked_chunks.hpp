// What the construction on ranks remembers of every node between its calls
// and between attempts: its chunk as an ascending list of ranks on its own
// dimension, its cut (ranks below go left), the points that entered or left
// it since its last call, and its last answer. The rule loop in
// ranked_build.cpp asks the questions of the rules; this class keeps the
// lists in step, so that a retry costs what its moved points cost.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/fault.hpp"
#include "kdtree/build_parts.hpp"
#include "kdtree/rank_lists.hpp"
#include "kdtree/rank_tables.hpp"

namespace vicinor::kdtree::detail {

// The construction on ranks spent its work bound.
struct RankedOutOfWork {};

class RankedChunks {
public:
    // Ranks the points (no NaN, fewer than 2^31).
    RankedChunks(const PointColumns& points, PackedBuildCounters& counters);

    // Forgets every node, for a tree of `stem_count` stems whose root holds
    // every point.
    void resize(std::size_t stem_count);
    // Entries handed on, sorted or moved from now on before RankedOutOfWork.
    void set_budget(std::size_t entries) noexcept { work_left_ = entries; }

    // Brings the chunk of `node` (of `m` points, on `dim`) up to date: the
    // points its parent told it of, or, at its first call, its parent's
    // side. Whether it changed since the node's last call.
    bool arrive(std::size_t node, std::size_t dim, std::size_t m);
    // Whether `node` answers as at its last call: same points and capacity,
    // and that call moved no split at or below it, so nothing below could
    // come out differently.
    bool answer_as_before(std::size_t node, bool changed, std::size_t capacity) const noexcept {
        const NodeState& state = nodes_[node];
        return !changed && state.clean && state.capacity == capacity;
    }
    std::size_t last_result(std::size_t node) const noexcept { return nodes_[node].result; }
    void finish(std::size_t node, std::size_t capacity, std::size_t result, bool moved_no_split) noexcept;

    // The rules' selection at position p of the chunk, with the walk left
    // past copies of its value, but not below 1.
    std::size_t select(std::size_t node, std::size_t dim, std::size_t p) const;
    // Puts the cut of `node` before its chunk's p-th point (after all of
    // them for p = m).
    void move_cut(std::size_t node, std::size_t p) noexcept {
        NodeState& state = nodes_[node];
        state.cut_at = p;
        state.cut = p < state.chunk.size() ? state.chunk[p] : kAllLeft;
    }
    // The rank of the chunk's p-th point, whose value is the split value
    // there; looked up only for the splits that stand at the end.
    Rank rank_at(std::size_t node, std::size_t p) const { return nodes_[node].chunk[p]; }
    double value(std::size_t dim, Rank rank) const noexcept { return ranks_.value(dim, rank); }
    // Readies the child on `side` (0 left, 1 right) to be called: its chunk
    // follows the node's present cut.
    void enter_child(std::size_t node, std::size_t side, std::size_t dim);

private:
    static constexpr Rank kLeaves = std::uint32_t{1} << 31;             // a pending entry's flag: the point left
    static constexpr Rank kAllLeft = std::numeric_limits<Rank>::max();  // a cut above every rank

    struct NodeState {
        std::vector<Rank> chunk;    // the chunk at the last call, ranks on the node's dimension
        std::vector<Rank> pending;  // entered (or left, kLeaves) since, ranks on this dimension
        Rank cut = kAllLeft;        // ranks below go left
        std::size_t cut_at = 0;     // where the cut lies in `chunk` during the node's division
        Rank seen_cut[2] = {kAllLeft, kAllLeft};  // the cut each child's chunk follows
        std::size_t capacity = 0;
        std::size_t result = 0;
        // The chunk sorted on the next two dimensions too, until handed down
        // to the children or changed.
        Rank* others[2] = {nullptr, nullptr};
        bool has_others = false;
        // Storage of other lists, kept by the node that received it: the
        // children's lists stay where their parent's lay.
        std::vector<Rank> own_others;
        bool known = false;
        bool clean = false;  // the last call moved no split at or below the node
    };

    void spend(std::size_t entries);
    void know(std::size_t node, std::size_t dim);
    void hand_down(std::size_t node, std::size_t dim);
    void tell(std::size_t node, std::size_t side, std::size_t dim, Rank rank, bool leaves);
    void sync_child(std::size_t node, std::size_t side, std::size_t dim);
    void net_changes(std::vector<Rank>& pending, std::size_t dim);
    bool apply_pending(std::size_t node, std::size_t dim);

    const std::size_t point_count_;
    PackedBuildCounters& counters_;
    RankTables ranks_;
    std::vector<NodeState> nodes_;
    std::vector<Rank> entered_, left_, spare_;
    std::vector<Rank> sort_spare_;  // the radix sort's second buffer
    std::vector<std::int8_t> tally_[K];  // per dimension and rank, a point's net entries; 0 between uses
    std::size_t work_left_ = 0;
};

// What every call of a node goes through, defined here so that the rule
// loop inlines it.

inline bool RankedChunks::arrive(std::size_t node, std::size_t dim, std::size_t m) {
    bool changed = true;
    if (!nodes_[node].known) {
        know(node, dim);
    } else {
        changed = apply_pending(node, dim);
    }
    if (nodes_[node].chunk.size() != m) raise_fault("ranked construction lost track of a chunk");
    return changed;
}

inline void RankedChunks::finish(std::size_t node, std::size_t capacity, std::size_t result,
                                 bool moved_no_split) noexcept {
    NodeState& state = nodes_[node];
    state.capacity = capacity;
    state.result = result;
    state.clean = moved_no_split;
}

// A NaN equals nothing; there is none here.
inline std::size_t RankedChunks::select(std::size_t node, std::size_t dim, std::size_t p) const {
    if (p <= 1) return p;
    const std::vector<Rank>& chunk = nodes_[node].chunk;
    const Rank run_start = ranks_.run_start(dim, chunk[p]);
    if (run_start == chunk[p]) return p;
    const auto first = gallop_down(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(p), run_start);
    return std::max<std::size_t>(static_cast<std::size_t>(first - chunk.begin()), 1);
}

inline void RankedChunks::enter_child(std::size_t node, std::size_t side, std::size_t dim) {
    if (nodes_[node].has_others) hand_down(node, dim);
    sync_child(node, side, dim);
}

inline void RankedChunks::spend(std::size_t entries) {
    if (entries > work_left_) throw RankedOutOfWork{};
    work_left_ -= entries;
}

// Tells the child on `side` (0 left, 1 right) of `node`, if it keeps a
// chunk, that the point of rank `rank` on `dim` entered or left it.
inline void RankedChunks::tell(std::size_t node, std::size_t side, std::size_t dim, Rank rank,
                               bool leaves) {
    const std::size_t child = 2 * node + side;
    if (child >= nodes_.size() || !nodes_[child].known) return;
    const std::size_t child_dim = (dim + 1) % K;
    const Rank child_rank = ranks_.rank_on(dim, child_dim, rank);
    nodes_[child].pending.push_back(child_rank | (leaves ? kLeaves : 0));
}

// Brings the child on `side` up to the node's cut: the points between
// the cut it last saw and the present one enter or leave it. Done only
// when the child is called, so a cut that moves back and forth between
// calls costs nothing.
inline void RankedChunks::sync_child(std::size_t node, std::size_t side, std::size_t dim) {
    NodeState& state = nodes_[node];
    const Rank seen = state.seen_cut[side];
    state.seen_cut[side] = state.cut;
    if (seen == state.cut || !nodes_[2 * node + side].known) return;
    const auto cut = state.chunk.begin() + static_cast<std::ptrdiff_t>(state.cut_at);
    const auto from = seen < state.cut ? gallop_down(state.chunk.begin(), cut, seen) : cut;
    const auto to = seen < state.cut ? cut : gallop_up(cut, state.chunk.end(), seen);
    spend(static_cast<std::size_t>(to - from));
    // The left side gains what a rising cut passes; the right side loses it.
    const bool leaves = (state.cut > seen) == (side == 1);
    for (auto at = from; at != to; ++at) tell(node, side, dim, *at, leaves);
}

// Applies what entered and left the node's chunk since its last call,
// passing it on to the side of the cut each point is on; whether the
// chunk changed at all.
inline bool RankedChunks::apply_pending(std::size_t node, std::size_t dim) {
    NodeState& state = nodes_[node];
    std::vector<Rank>& pending = state.pending;
    if (pending.empty()) return false;
    spend(pending.size());
    net_changes(pending, dim);
    pending.clear();
    if (entered_.empty() && left_.empty()) return false;
    state.has_others = false;  // the other lists no longer match: children sort their own
    ++counters_.repairs;
    // Moving the chunk's entries costs too, counted at memory speed.
    spend(entered_.size() + left_.size() + state.chunk.size() / 32);
    if (!splice_ranks(state.chunk, entered_, left_)) raise_fault("ranked construction lost a point");
    if (2 * node < nodes_.size()) {
        // Each child hears of the points on its side of the cut it last saw.
        for (std::size_t side = 0; side < 2; ++side) {
            if (!nodes_[2 * node + side].known) continue;
            const Rank seen = state.seen_cut[side];
            for (Rank rank : left_) {
                if ((rank < seen) == (side == 0)) tell(node, side, dim, rank, true);
            }
            for (Rank rank : entered_) {
                if ((rank < seen) == (side == 0)) tell(node, side, dim, rank, false);
            }
        }
    }
    return true;
}

}  // namespace vicinor::kdtree::detail
