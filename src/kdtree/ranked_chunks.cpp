// When a node's chunk changes, or when it calls a child after its cut moved,
// it tells the child which points entered or left that child's side
// (`pending`, in the child's ranks); the child applies them when it is next
// called. A child not called keeps collecting, so what it applies is always
// the difference to its own list. A node's first call takes its lists from
// its parent: split by side in one pass where the parent still has all
// three (`hand_down`), else sorted afresh (`know`).
#include "kdtree/ranked_chunks.hpp"

#include <algorithm>
#include <numeric>
#include <span>
#include <utility>

#include "common/fault.hpp"
#include "kdtree/rank_lists.hpp"

namespace vicinor::kdtree::detail {
namespace {

constexpr std::size_t kFewChanges = 24;  // pending entries sorted in place

// Orders pending entries by rank, whichever way each went (the `flag` bit);
// a few are the common case.
void sort_by_rank(std::vector<Rank>& entries, Rank flag) {
    const auto rank = [flag](Rank entry) { return entry & ~flag; };
    if (entries.size() > 16) {
        std::sort(entries.begin(), entries.end(), [&](Rank a, Rank b) { return rank(a) < rank(b); });
        return;
    }
    for (std::size_t i = 1; i < entries.size(); ++i) {
        const Rank entry = entries[i];
        std::size_t j = i;
        for (; j > 0 && rank(entries[j - 1]) > rank(entry); --j) entries[j] = entries[j - 1];
        entries[j] = entry;
    }
}

}  // namespace

RankedChunks::RankedChunks(const PointColumns& points, PackedBuildCounters& counters)
    : point_count_(points.size()), counters_(counters), ranks_(points) {}

void RankedChunks::resize(std::size_t stem_count) {
    nodes_.clear();
    nodes_.resize(stem_count);
    // The root holds every point: ranks 0 to n - 1 on each dimension.
    if (point_count_ <= B) return;
    NodeState& root = nodes_[1];
    root.known = root.has_others = true;
    root.chunk.resize(point_count_);
    std::iota(root.chunk.begin(), root.chunk.end(), Rank{0});
    root.own_others.resize(2 * point_count_);
    const auto middle = root.own_others.begin() + static_cast<std::ptrdiff_t>(point_count_);
    std::iota(root.own_others.begin(), middle, Rank{0});
    std::iota(middle, root.own_others.end(), Rank{0});
    root.others[0] = root.own_others.data();
    root.others[1] = root.own_others.data() + point_count_;
}

// A node first called after its parent's chunk changed takes its chunk
// from its parent's side and sorts it, on all three dimensions where its
// own children may need them.
void RankedChunks::know(std::size_t node, std::size_t dim) {
    NodeState& state = nodes_[node];
    state.known = true;
    state.pending.clear();
    ++counters_.fresh_selections;
    const NodeState& parent = nodes_[node / 2];
    const std::size_t parent_dim = (dim + K - 1) % K;
    const auto cut = parent.chunk.begin() + static_cast<std::ptrdiff_t>(parent.cut_at);
    const auto from = node % 2 == 0 ? parent.chunk.begin() : cut;
    const auto to = node % 2 == 0 ? cut : parent.chunk.end();
    const std::size_t count = static_cast<std::size_t>(to - from);
    state.has_others = count > 2 * B;
    spend(count * (state.has_others ? K : 1));
    counters_.entries_selected += count;
    state.chunk.clear();
    state.chunk.reserve(count);
    for (auto at = from; at != to; ++at) state.chunk.push_back(ranks_.rank_on(parent_dim, dim, *at));
    sort_ranks(state.chunk, sort_spare_);
    if (!state.has_others) return;
    state.own_others.resize(2 * count);
    for (std::size_t list = 0; list < 2; ++list) {
        const std::size_t d = (dim + 1 + list) % K;
        Rank* into = state.own_others.data() + list * count;
        for (auto at = from; at != to; ++at) *into++ = ranks_.rank_on(parent_dim, d, *at);
        state.others[list] = state.own_others.data() + list * count;
        sort_ranks(std::span(state.others[list], count), sort_spare_);
    }
}

// Gives both children their chunks, sorted on all three dimensions,
// from this node's lists: each list splits by side in order. The
// children's other lists take the place of this node's, which are used
// up.
void RankedChunks::hand_down(std::size_t node, std::size_t dim) {
    NodeState& state = nodes_[node];
    state.has_others = false;
    const std::size_t m = state.chunk.size();
    const std::size_t left = state.cut_at;
    NodeState* children[2] = {&nodes_[2 * node], &nodes_[2 * node + 1]};
    state.seen_cut[0] = state.seen_cut[1] = state.cut;
    for (NodeState* child : children) {
        if (child->known) raise_fault("ranked construction handed down twice");
        child->known = true;
        child->pending.clear();
        child->chunk.clear();
    }
    children[0]->chunk.reserve(left);
    children[1]->chunk.reserve(m - left);
    spend(2 * m);
    // The children's own dimension.
    const std::size_t next = (dim + 1) % K;
    for (const Rank* at = state.others[0]; at != state.others[0] + m; ++at) {
        children[ranks_.rank_on(next, dim, *at) < state.cut ? 0 : 1]->chunk.push_back(*at);
    }
    // The dimension after it, split in place.
    const std::size_t after = (dim + 2) % K;
    Rank* list = state.others[1];
    spare_.resize(m - left);
    std::size_t low = 0, high = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const Rank rank = list[i];
        if (ranks_.rank_on(after, dim, rank) < state.cut) {
            list[low++] = rank;
        } else {
            spare_[high++] = rank;
        }
    }
    std::copy(spare_.begin(), spare_.begin() + static_cast<std::ptrdiff_t>(high), list + low);
    // This node's dimension: its own list, in the place of the one used up.
    std::copy(state.chunk.begin(), state.chunk.end(), state.others[0]);
    const std::size_t starts[2] = {0, left};
    for (std::size_t side = 0; side < 2; ++side) {
        NodeState& child = *children[side];
        child.has_others = child.chunk.size() > 2 * B;
        child.others[0] = state.others[1] + starts[side];
        child.others[1] = state.others[0] + starts[side];
    }
    if (!state.own_others.empty()) {
        // The children's lists live in this node's storage now.
        children[0]->own_others.swap(state.own_others);
    }
}

// What the entries of `pending` (ranks on `dim`) come to: the points
// that entered (`entered_`) and left (`left_`), each ascending. Entries
// of one point alternate entering and leaving; what counts is their sum.
void RankedChunks::net_changes(std::vector<Rank>& pending, std::size_t dim) {
    entered_.clear();
    left_.clear();
    const auto rank = [](Rank entry) { return entry & ~kLeaves; };
    if (pending.size() <= kFewChanges) {
        sort_by_rank(pending, kLeaves);
        for (std::size_t i = 0; i < pending.size();) {
            const Rank at = rank(pending[i]);
            int net = 0;
            for (; i < pending.size() && rank(pending[i]) == at; ++i) net += (pending[i] & kLeaves) != 0 ? -1 : 1;
            if (net == 1) entered_.push_back(at);
            if (net == -1) left_.push_back(at);
            if (net < -1 || net > 1) raise_fault("ranked construction counted a point twice");
        }
        return;
    }
    std::vector<std::int8_t>& tally = tally_[dim];
    if (tally.empty()) tally.assign(point_count_, 0);
    for (Rank entry : pending) tally[rank(entry)] += (entry & kLeaves) != 0 ? -1 : 1;
    for (Rank entry : pending) {
        const Rank at = rank(entry);
        const int net = std::exchange(tally[at], std::int8_t{0});
        if (net == 1) entered_.push_back(at);
        if (net == -1) left_.push_back(at);
        if (net < -1 || net > 1) raise_fault("ranked construction counted a point twice");
    }
    sort_ranks(entered_, sort_spare_);
    sort_ranks(left_, sort_spare_);
}

}  // namespace vicinor::kdtree::detail
