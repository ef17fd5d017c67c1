// The rules of reference_build.cpp in the same words, on ranks. Points are
// ranked per dimension by (key, point number), the order the rules' full
// sort gives, so a run of equal values is a run of consecutive ranks and a
// chunk sorted on a dimension is a sorted list of ranks. A division is then
// a cut: the ranks below it go left.
//
// Each node keeps the list of its chunk as it last divided it, and the cut.
// When a node's chunk changes, or when it calls a child after its cut moved,
// it tells the child which points entered or left that child's side
// (`pending`, in the child's ranks); the child applies them when it is next
// called. A child not called keeps collecting, so what it applies is always
// the difference to its own list.
// A node called with the same points and capacity, whose last call moved no
// split at or below it, returns its last result: nothing below it could
// come out differently.
#include "kdtree/ranked_build.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>

#include "common/fault.hpp"
#include "common/stop_check.hpp"
#include "kdtree/order_key.hpp"

namespace vicinor::kdtree::detail {
namespace {

using Rank = std::uint32_t;
constexpr Rank kLeaves = std::uint32_t{1} << 31;         // a pending entry's flag: the point left
constexpr Rank kAllLeft = std::numeric_limits<Rank>::max();  // a cut above every rank

// The rules cannot finish; the construction gave up within its own bound.
struct Unfinished {};
struct OutOfWork {};

// Orders pending entries by rank, whichever way each went; a few are the
// common case.
void sort_by_rank(std::vector<Rank>& entries) {
    const auto rank = [](Rank entry) { return entry & ~kLeaves; };
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

// Point numbers sorted by (key, number) on one dimension, and each point's
// key in `keys`.
std::vector<Rank> sorted_by_key(std::span<const double> column, std::vector<OrderKey>& keys) {
    const std::size_t n = column.size();
    keys.resize(n);
    for (std::size_t k = 0; k < n; ++k) keys[k] = order_key(column[k]);
    const auto before = [&](Rank a, Rank b) { return keys[a] < keys[b] || (keys[a] == keys[b] && a < b); };
    std::vector<Rank> order(n);
    const auto [low, high] = std::minmax_element(column.begin(), column.end());
    const double span = n == 0 ? 0.0 : *high - *low;
    const double scale = n < 2 ? 0.0 : static_cast<double>(n - 1) / span;
    const double most = std::numeric_limits<double>::max();
    if (!(span > 0.0 && span <= most && scale <= most)) {
        // One value, or a span no bucket width can measure.
        std::iota(order.begin(), order.end(), Rank{0});
        std::sort(order.begin(), order.end(), before);
        return order;
    }
    // Buckets of equal width in value, about one point each; the rounding
    // of the bucket number never reverses the order of two values. Each
    // point goes in with its key, so that a bucket sorts without reading
    // elsewhere, and in ascending numbers, so that equal keys stay in order.
    std::vector<Rank> bucket(n);
    std::vector<Rank> start(n + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
        const double at = (column[k] - *low) * scale;
        bucket[k] = static_cast<Rank>(std::min(at, static_cast<double>(n - 1)));
        ++start[bucket[k] + 1];
    }
    for (std::size_t b = 0; b < n; ++b) start[b + 1] += start[b];
    struct Keyed {
        OrderKey key;
        Rank point;
    };
    std::vector<Keyed> keyed(n);
    {
        std::vector<Rank> next(start.begin(), start.end() - 1);
        for (Rank k = 0; k < n; ++k) keyed[next[bucket[k]]++] = {keys[k], k};
    }
    const auto by_key_then_point = [](const Keyed& a, const Keyed& b) {
        return a.key < b.key || (a.key == b.key && a.point < b.point);
    };
    for (std::size_t b = 0; b < n; ++b) {
        Keyed* first = keyed.data() + start[b];
        Keyed* last = keyed.data() + start[b + 1];
        if (last - first <= 1) continue;
        if (last - first > 32) {
            std::sort(first, last, by_key_then_point);
            continue;
        }
        for (Keyed* at = first + 1; at < last; ++at) {  // stable: equal keys keep their order
            const Keyed entry = *at;
            Keyed* to = at;
            for (; to > first && to[-1].key > entry.key; --to) *to = to[-1];
            *to = entry;
        }
    }
    for (std::size_t i = 0; i < n; ++i) order[i] = keyed[i].point;
    return order;
}

// std::lower_bound for a value expected near `first`: the search widens
// from there, so a near answer costs a few reads.
std::vector<Rank>::iterator gallop_up(std::vector<Rank>::iterator first,
                                      std::vector<Rank>::iterator last, Rank value) {
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (n == 0 || first[0] >= value) return first;
    std::size_t bound = 1;
    while (bound < n && first[static_cast<std::ptrdiff_t>(bound)] < value) bound *= 2;
    return std::lower_bound(first + static_cast<std::ptrdiff_t>(bound / 2 + 1),
                            first + static_cast<std::ptrdiff_t>(std::min(bound + 1, n)), value);
}

// The same for a value expected near `last`.
template <class Iterator>
Iterator gallop_down(Iterator first, Iterator last, Rank value) {
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (n == 0 || last[-1] < value) return last;
    std::size_t bound = 1;
    while (bound < n && last[-1 - static_cast<std::ptrdiff_t>(bound)] >= value) bound *= 2;
    const std::size_t low = bound < n ? n - bound : 0;
    return std::lower_bound(first + static_cast<std::ptrdiff_t>(low),
                            first + static_cast<std::ptrdiff_t>(n - 1 - bound / 2), value);
}

// Sorts ranks (below 2^31): by radix where there are many.
void sort_ranks(std::span<Rank> ranks) {
    if (ranks.size() < 1024) {
        std::sort(ranks.begin(), ranks.end());
        return;
    }
    std::vector<Rank> spare(ranks.size());
    Rank highest = 0;
    for (Rank rank : ranks) highest = std::max(highest, rank);
    std::span<Rank> from = ranks, to = spare;
    for (int shift = 0; shift < 32 && (highest >> shift) != 0; shift += 11) {
        std::size_t count[2049] = {};
        for (Rank rank : from) ++count[((rank >> shift) & 2047) + 1];
        for (std::size_t v = 1; v <= 2048; ++v) count[v] += count[v - 1];
        for (Rank rank : from) to[count[(rank >> shift) & 2047]++] = rank;
        std::swap(from, to);
    }
    if (from.data() != ranks.data()) std::copy(from.begin(), from.end(), ranks.begin());
}

class RankedBuild {
public:
    RankedBuild(const PointColumns& points, PackedBuildCounters& counters)
        : points_(points), counters_(counters) {
        std::vector<Rank> rank_of[K];   // per dimension, the rank of each point
        std::vector<Rank> point_at[K];  // per dimension, the point of each rank
        for (std::size_t d = 0; d < K; ++d) rank(d, rank_of[d], point_at[d]);
        const std::size_t n = points_.size();
        for (std::size_t from = 0; from < K; ++from) {
            for (std::size_t to = 0; to < K; ++to) {
                if (from == to) continue;
                std::vector<Rank>& table = rank_on_[from][to];
                table.resize(n);
                for (Rank r = 0; r < n; ++r) table[r] = rank_of[to][point_at[from][r]];
            }
        }
    }

    RankedSplits run() {
        const std::size_t n = points_.size();
        std::size_t leaves = leaves_for(n);
        const std::size_t leaf_limit = std::max<std::size_t>(2 * leaves, 4);
        resize_stems(stems_for(leaves));
        const std::size_t stem_limit = 2 * stems_.size();
        // Work is counted in entries handed on, sorted or moved; past the
        // bound the permutation decides, so it tightens nothing.
        work_left_ = packed_work_bound(n, stems_.size());
        RankedSplits out;
        try {
            for (std::size_t attempt = 1;; ++attempt) {
                counters_.attempts = attempt;
                stop_point();
                const std::size_t shift = split(1, 0, n, leaves * B);
                if (shift == 0) break;
                if (attempt == kMaxPackedAttempts) throw Unfinished{};
                leaves += leaves_for(shift);
                if (leaves > leaf_limit) throw Unfinished{};
                if (leaves > stems_.size()) {
                    if (stems_.size() >= stem_limit) throw Unfinished{};
                    double_stems(shift);
                }
            }
            if (leaves > stems_.size()) throw Unfinished{};
            for (double stem : stems_) {
                if (stem != stem) throw Unfinished{};
            }
            out.outcome = RankedOutcome::kBuilt;
            out.splits = PackedSplits{std::move(stems_), leaves};
        } catch (const Unfinished&) {
            out.outcome = RankedOutcome::kUnbuildable;
        } catch (const OutOfWork&) {
            out.outcome = RankedOutcome::kOutOfWork;
        }
        counters_.split_moves = split_moves_;
        return out;
    }

private:
    static constexpr std::size_t kFewChanges = 24;  // pending entries sorted in place

    // Sorts dimension d: each rank's point and value, and its run of equal
    // values.
    void rank(std::size_t d, std::vector<Rank>& rank_of, std::vector<Rank>& point_at) {
        const std::size_t n = points_.size();
        std::vector<OrderKey> keys;
        point_at = sorted_by_key(points_.column(d), keys);
        rank_of.resize(n);
        run_start_[d].resize(n);
        value_at_[d].resize(n);
        OrderKey previous = kNanKey;
        Rank start = 0;
        for (Rank r = 0; r < n; ++r) {
            const Rank point = point_at[r];
            rank_of[point] = r;
            value_at_[d][r] = points_.column(d)[point];
            const OrderKey key = keys[point];
            if (key == kNanKey || key != previous) start = r;
            run_start_[d][r] = start;
            previous = key;
        }
        stop_point();
    }

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

    void resize_stems(std::size_t stem_count) {
        stems_.assign(stem_count, kUnsetStem);
        moves_.assign(stem_count, 0);
        nodes_.clear();
        nodes_.resize(stem_count);
        // The root holds every point: ranks 0 to n - 1 on each dimension.
        if (points_.size() <= B) return;
        NodeState& root = nodes_[1];
        root.known = root.has_others = true;
        root.chunk.resize(points_.size());
        std::iota(root.chunk.begin(), root.chunk.end(), Rank{0});
        root.own_others.resize(2 * points_.size());
        std::iota(root.own_others.begin(), root.own_others.begin() + static_cast<std::ptrdiff_t>(points_.size()), Rank{0});
        std::iota(root.own_others.begin() + static_cast<std::ptrdiff_t>(points_.size()), root.own_others.end(), Rank{0});
        root.others[0] = root.own_others.data();
        root.others[1] = root.own_others.data() + points_.size();
    }

    void double_stems(std::size_t shift) {
        std::vector<std::size_t> moves = moves_after_doubling(moves_, shift);
        resize_stems(2 * stems_.size());
        moves_ = std::move(moves);
    }

    void spend(std::size_t entries) {
        if (entries > work_left_) throw OutOfWork{};
        work_left_ -= entries;
    }

    std::size_t target(std::size_t m, std::size_t node, std::size_t right_capacity) const {
        return split_target(m, node, moves_[node], right_capacity);
    }

    // The selection at p with the walk left past copies of its value, but
    // not below 1. A NaN equals nothing.
    std::size_t select(const std::vector<Rank>& chunk, std::size_t dim, std::size_t p) const {
        if (p <= 1) return p;
        const Rank run_start = run_start_[dim][chunk[p]];
        if (run_start == chunk[p]) return p;
        const auto first = gallop_down(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(p), run_start);
        return std::max<std::size_t>(static_cast<std::size_t>(first - chunk.begin()), 1);
    }

    Rank rank_on(std::size_t from, std::size_t to, Rank rank) const {
        return from == to ? rank : rank_on_[from][to][rank];
    }

    double value(std::size_t dim, Rank rank) const { return value_at_[dim][rank]; }

    // 0 when the chunk of m points fits below `node`, else its shift.
    std::size_t split(std::size_t node, std::size_t dim, std::size_t m, std::size_t capacity) {
        if (m <= B) return 0;
        if (m > capacity) return m - capacity;
        if (node >= stems_.size()) throw Unfinished{};
        bool changed = true;
        if (!nodes_[node].known) {
            know(node, dim);
        } else {
            changed = apply_pending(node, dim);
        }
        NodeState& state = nodes_[node];
        if (state.chunk.size() != m) raise_fault("ranked construction lost track of a chunk");
        if (!changed && state.clean && state.capacity == capacity) return state.result;
        ++counters_.divisions;
        const std::size_t moves_before = split_moves_;
        const std::size_t result = divide(node, dim, m, capacity);
        NodeState& after = nodes_[node];
        after.capacity = capacity;
        after.result = result;
        after.clean = split_moves_ == moves_before;
        return result;
    }

    std::size_t divide(std::size_t node, std::size_t dim, std::size_t m, std::size_t capacity) {
        const int height = std::countr_zero(stems_.size()) - std::bit_width(node);
        const std::size_t left_capacity = std::min(capacity, B << height);
        const std::size_t right_capacity = capacity - left_capacity;
        const std::vector<Rank>& chunk = nodes_[node].chunk;
        std::size_t p = target(m, node, right_capacity);
        if (p > m) throw Unfinished{};
        if (p < m) {
            p = select(chunk, dim, p);
            move_cut(node, p);
            stems_[node] = value(dim, chunk[p]);
        } else {
            move_cut(node, m);
        }
        if (p <= B && m - p <= B) return 0;
        if (m - p > right_capacity) return (m - p) - right_capacity;
        const std::size_t child_dim = (dim + 1) % K;
        for (;;) {
            if (nodes_[node].has_others) hand_down(node, dim);
            sync_child(node, 0, dim);
            const std::size_t left_shift = split(2 * node, child_dim, p, left_capacity);
            if (left_shift == 0) {
                sync_child(node, 1, dim);
                return split(2 * node + 1, child_dim, m - p, right_capacity);
            }
            if (left_shift > p) throw Unfinished{};
            p = select(chunk, dim, p - left_shift);
            moves_[node] += left_shift;
            ++split_moves_;
            move_cut(node, p);
            if (m - p > right_capacity) return (m - p) - right_capacity;
            stems_[node] = value(dim, chunk[p]);
        }
    }

    // A node first called after its parent's chunk changed takes its chunk
    // from its parent's side and sorts it, on all three dimensions where its
    // own children may need them.
    void know(std::size_t node, std::size_t dim) {
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
        for (auto at = from; at != to; ++at) state.chunk.push_back(rank_on(parent_dim, dim, *at));
        sort_ranks(state.chunk);
        if (!state.has_others) return;
        state.own_others.resize(2 * count);
        for (std::size_t list = 0; list < 2; ++list) {
            const std::size_t d = (dim + 1 + list) % K;
            Rank* into = state.own_others.data() + list * count;
            for (auto at = from; at != to; ++at) *into++ = rank_on(parent_dim, d, *at);
            state.others[list] = state.own_others.data() + list * count;
            sort_ranks(std::span(state.others[list], count));
        }
    }

    // Gives both children their chunks, sorted on all three dimensions,
    // from this node's lists: each list splits by side in order. The
    // children's other lists take the place of this node's, which are used
    // up.
    void hand_down(std::size_t node, std::size_t dim) {
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
            children[rank_on(next, dim, *at) < state.cut ? 0 : 1]->chunk.push_back(*at);
        }
        // The dimension after it, split in place.
        const std::size_t after = (dim + 2) % K;
        Rank* list = state.others[1];
        spare_.resize(m - left);
        std::size_t low = 0, high = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const Rank rank = list[i];
            if (rank_on(after, dim, rank) < state.cut) {
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

    // A chunk that changed no longer matches its other lists; its children
    // sort their own when first called.
    void drop_others(NodeState& state) { state.has_others = false; }

    // Tells the child on `side` (0 left, 1 right) of `node`, if it keeps a
    // chunk, that the point of rank `rank` on `dim` entered or left it.
    void tell(std::size_t node, std::size_t side, std::size_t dim, Rank rank, bool leaves) {
        const std::size_t child = 2 * node + side;
        if (child >= nodes_.size() || !nodes_[child].known) return;
        const std::size_t child_dim = (dim + 1) % K;
        const Rank child_rank = rank_on(dim, child_dim, rank);
       
        nodes_[child].pending.push_back(child_rank | (leaves ? kLeaves : 0));
    }

    void move_cut(std::size_t node, std::size_t at) {
        NodeState& state = nodes_[node];
        state.cut_at = at;
        state.cut = at < state.chunk.size() ? state.chunk[at] : kAllLeft;
    }

    // Brings the child on `side` up to the node's cut: the points between
    // the cut it last saw and the present one enter or leave it. Done only
    // when the child is called, so a cut that moves back and forth between
    // calls costs nothing.
    void sync_child(std::size_t node, std::size_t side, std::size_t dim) {
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

    // What the entries of `pending` (ranks on `dim`) come to: the points
    // that entered (`entered_`) and left (`left_`), each ascending. Entries
    // of one point alternate entering and leaving; what counts is their sum.
    void net_changes(std::vector<Rank>& pending, std::size_t dim) {
        entered_.clear();
        left_.clear();
        const auto rank = [](Rank entry) { return entry & ~kLeaves; };
        if (pending.size() <= kFewChanges) {
            sort_by_rank(pending);
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
        if (tally.empty()) tally.assign(points_.size(), 0);
        for (Rank entry : pending) tally[rank(entry)] += (entry & kLeaves) != 0 ? -1 : 1;
        for (Rank entry : pending) {
            const Rank at = rank(entry);
            const int net = std::exchange(tally[at], std::int8_t{0});
            if (net == 1) entered_.push_back(at);
            if (net == -1) left_.push_back(at);
            if (net < -1 || net > 1) raise_fault("ranked construction counted a point twice");
        }
        sort_ranks(entered_);
        sort_ranks(left_);
    }

    // Removes `left_` from the sorted `chunk` and puts `entered_` in, moving
    // each stretch between changes once.
    void splice(std::vector<Rank>& chunk) {
        if (!left_.empty()) {
            auto write = std::lower_bound(chunk.begin(), chunk.end(), left_.front());
            auto read = write;
            for (Rank gone : left_) {
                const auto at = gallop_up(read, chunk.end(), gone);
                if (at == chunk.end() || *at != gone) raise_fault("ranked construction lost a point");
                write = std::move(read, at, write);
                read = at + 1;
            }
            write = std::move(read, chunk.end(), write);
            chunk.erase(write, chunk.end());
        }
        if (!entered_.empty()) {
            const std::size_t old_size = chunk.size();
            chunk.resize(old_size + entered_.size());
            auto end = chunk.begin() + static_cast<std::ptrdiff_t>(old_size);  // of what is still to move
            auto write_end = chunk.end();
            for (auto in = entered_.rbegin(); in != entered_.rend(); ++in) {
                const auto at = gallop_down(chunk.begin(), end, *in);  // never in the chunk
                write_end = std::move_backward(at, end, write_end);
                *--write_end = *in;
                end = at;
            }
        }
    }

    // Applies what entered and left the node's chunk since its last call,
    // passing it on to the side of the cut each point is on; whether the
    // chunk changed at all.
    bool apply_pending(std::size_t node, std::size_t dim) {
        NodeState& state = nodes_[node];
        std::vector<Rank>& pending = state.pending;
        if (pending.empty()) return false;
        spend(pending.size());
        net_changes(pending, dim);
        pending.clear();
        if (entered_.empty() && left_.empty()) return false;
        drop_others(state);
        ++counters_.repairs;
        // Moving the chunk's entries costs too, counted at memory speed.
        spend(entered_.size() + left_.size() + state.chunk.size() / 32);
        splice(state.chunk);
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

    const PointColumns& points_;
    PackedBuildCounters& counters_;
    std::vector<double> value_at_[K];  // per dimension, the coordinate of each rank's point
    // The rank on dimension `to` of the point of rank r on `from`, in one read.
    std::vector<Rank> rank_on_[K][K];
    std::vector<Rank> run_start_[K];  // per dimension, the first rank of each rank's run of equal values
    std::vector<double> stems_;
    std::vector<std::size_t> moves_;
    std::vector<NodeState> nodes_;
    std::vector<Rank> entered_, left_, spare_;
    std::vector<std::int8_t> tally_[K];  // per dimension and rank, a point's net entries; 0 between uses
    std::size_t split_moves_ = 0;
    std::size_t work_left_ = 0;
};

}  // namespace

bool values_repeat_often(const PointColumns& points) {
    // Pairs of equal values among s evenly spread points estimate how many
    // distinct values there are (about s^2 / 2 per pair). The last
    // dimension is a latitude's, which rounding repeats most. Retries grow
    // as that estimate falls towards the number of points; ranks start
    // paying a little before it gets there, so they are taken below 6/5 of
    // it, just short of where the two ways cost the same and a wrong guess
    // costs little either way.
    const std::size_t n = points.size();
    const std::size_t step = std::max<std::size_t>(n / kRepeatSample, 1);
    std::vector<OrderKey> sample;
    sample.reserve(n / step + 1);
    const std::span<const double> column = points.column(K - 1);
    for (std::size_t k = 0; k < n; k += step) sample.push_back(order_key(column[k]));
    std::sort(sample.begin(), sample.end());
    std::size_t pairs = 0, run = 1;
    for (std::size_t i = 1; i <= sample.size(); ++i) {
        if (i < sample.size() && sample[i] == sample[i - 1] && sample[i] != kNanKey) {
            ++run;
            continue;
        }
        pairs += run * (run - 1) / 2;
        run = 1;
    }
    // s^2 / (2 pairs) < 6 n / 5
    return pairs != 0 && 5 * sample.size() * sample.size() < 12 * pairs * n;
}

RankedSplits find_splits_by_rank(const PointColumns& points, PackedBuildCounters& counters) {
    return RankedBuild(points, counters).run();
}

}  // namespace vicinor::kdtree::detail
