#include "kdtree/split_repair.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

#include "kdtree/range_scan.hpp"

namespace vicinor::kdtree::detail {
namespace {

// Regions up to this size are read whole; larger ones through a bound
// estimated from evenly spaced samples, one per kSampleSpacing entries, so
// that the bound lets through a few hundred points more than needed.
constexpr std::size_t kWholeRegion = 512;
constexpr std::size_t kSampleSpacing = 32;
constexpr std::size_t kMaxSamples = 8192;
// A repair that moves more than this many points is no longer a few:
// selecting afresh is then about as cheap.
constexpr std::size_t kMaxMoved = 4096;
constexpr std::size_t kScanBlock = 256;
// Ranks up to this are found by insertion into a short list.
constexpr std::size_t kFewRanked = 8;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

}  // namespace

// A bound on the side's keys that about `count` members lie within,
// guessed from evenly spaced samples; each retry (`attempt`) lets four
// times more through. Lets everything through when the samples hold too
// few members.
OrderKey SplitRepair::sampled_bound(std::span<const std::uint32_t> order, const double* column,
                                    Region region, OrderKey pivot_key, bool smallest,
                                    std::size_t count, int attempt) {
    auto member = [&](OrderKey key) { return smallest ? key >= pivot_key : key < pivot_key; };
    const std::size_t size = region.end - region.begin;
    samples_.clear();
    const std::size_t sample_count = std::min(size / kSampleSpacing, kMaxSamples);
    const std::size_t stride = size / sample_count;
    for (std::size_t j = 0; j < sample_count; ++j) {
        const OrderKey key = order_key(column[order[region.begin + stride / 2 + j * stride]]);
        if (member(key)) samples_.push_back(key);
    }
    entries_read_ += sample_count;
    const double expected = double(count) * double(sample_count) / double(size);
    const std::size_t rank = (static_cast<std::size_t>(expected + 2.0 * std::sqrt(expected)) + 4)
                             << (2 * attempt);
    if (rank >= samples_.size()) return smallest ? ~OrderKey{0} : OrderKey{0};
    auto nth = samples_.begin() + static_cast<std::ptrdiff_t>(rank);
    if (smallest) {
        std::nth_element(samples_.begin(), nth, samples_.end());
    } else {
        std::nth_element(samples_.begin(), nth, samples_.end(), std::greater<>());
    }
    return *nth;
}

// Collects into picked_ the side's members within `bound` (from the pivot
// up to it for the smallest, from it up to below the pivot for the
// largest), in the region and at changed positions outside it. False when
// more than a few would be picked.
bool SplitRepair::collect_within(std::span<const std::uint32_t> order, const double* column,
                                 Region region, const ChunkChanges& changes, OrderKey pivot_key,
                                 bool smallest, OrderKey bound) {
    auto key_at = [&](std::size_t position) { return order_key(column[order[position]]); };
    // Members within the bound: keys in [low, low + span]. Without NaN
    // that is a range of doubles (-0.0 and +0.0 compare equal, as their
    // keys do), tested on the coordinate itself in the loop. The region is read without branches, in
    // blocks, into room made before each block.
    const OrderKey low = smallest ? pivot_key : bound;
    const OrderKey span = (smallest ? bound : pivot_key - 1) - low;
    auto within = [&](OrderKey key) { return key - low <= span; };
    const double lowest = low == 0 ? -kInfinity : key_value(low);
    // Below the pivot means at most the next double down (which for
    // +0.0 is negative: the key just below +0.0's names no double).
    double highest = kInfinity;
    if (!smallest) {
        highest = std::nextafter(key_value(pivot_key), -kInfinity);
    } else if (bound != ~OrderKey{0}) {
        highest = key_value(bound);
    }
    std::size_t found = 0;
    for (std::size_t block = region.begin; block < region.end; block += kScanBlock) {
        const std::size_t block_end = std::min(block + kScanBlock, region.end);
        if (found > kMaxMoved) return false;
        if (found_.size() < found + kScanBlock + kScanSlack) {
            found_.resize(found + kScanBlock + kScanSlack);
        }
        found += scan_in_range(order.data(), block, block_end, column, lowest, highest,
                               found_.data() + found);
    }
    picked_.clear();
    for (std::size_t j = 0; j < found; ++j) picked_.push_back({key_at(found_[j]), found_[j]});
    for (std::uint32_t position : changes.positions) {
        if (position >= region.begin && position < region.end) continue;  // read above
        const OrderKey key = key_at(position);
        if (within(key)) picked_.push_back({key, position});
    }
    entries_read_ += (region.end - region.begin) + changes.positions.size();
    return picked_.size() <= kMaxMoved;
}

// Collects into picked_ every member of the side (keys at or above the pivot
// for the smallest, below it for the largest) within a bound that lets
// through at least `count` of them: the `count` extremes and every copy of
// the last one's key are then among them. False when that fails.
bool SplitRepair::pick_extremes(std::span<const std::uint32_t> order, const double* column,
                                Region region, const ChunkChanges& changes, OrderKey pivot_key,
                                bool smallest, std::size_t count, KeptExtremes* reserve,
                                std::uint64_t lineage, Region chunk) {
    const bool keeps = reserve != nullptr && where_ != nullptr;
    if (keeps && reserve->lineage == lineage &&
        pick_from_reserve(order, column, changes, pivot_key, smallest, count, *reserve, chunk)) {
        return true;
    }
    const std::size_t size = region.end - region.begin;
    // Nothing but NaN lies below -infinity.
    if (!smallest && pivot_key <= order_key(-kInfinity)) return false;
    if (size > kWholeRegion && count > size / 8) return false;
    const bool whole = size <= kWholeRegion;

    // Bound tries: from about what the samples suggest to four times more.
    // A small region is taken whole, in one pass.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const OrderKey all = smallest ? ~OrderKey{0} : OrderKey{0};  // lets everything through
        const OrderKey bound =
            whole ? all
                  : sampled_bound(order, column, region, pivot_key, smallest, count, attempt);
        if (!collect_within(order, column, region, changes, pivot_key, smallest, bound)) {
            return false;
        }
        if (picked_.size() >= count) {
            // A small side is read whole again at little cost.
            if (keeps && !whole) {
                reserve->points.clear();
                for (const auto& p : picked_) reserve->points.push_back(order[p.second]);
                reserve->bound = bound;
                reserve->lineage = lineage;
            }
            return true;
        }
        if (whole) return false;  // every member was taken
    }
    return false;
}

// The side's members beyond the reserve's bound: the reserve's points still
// in the chunk and on the side, and those at changed positions (arrived
// since, or moved). Drops the points that have left.
bool SplitRepair::pick_from_reserve(std::span<const std::uint32_t> order, const double* column,
                                    const ChunkChanges& changes, OrderKey pivot_key,
                                    bool smallest, std::size_t count, KeptExtremes& reserve,
                                    Region chunk) {
    auto member = [&](OrderKey key) { return smallest ? key >= pivot_key : key < pivot_key; };
    auto within = [&](OrderKey key) {
        return smallest ? key <= reserve.bound : key >= reserve.bound;
    };
    picked_.clear();
    // A point can be kept twice (it arrived again) or be kept and stand at
    // a changed position; each counts once. A taken point is marked in its
    // position entry (positions stay below 2^31) until the end.
    constexpr std::uint32_t kTaken = std::uint32_t{1} << 31;
    std::size_t kept = 0;
    for (std::uint32_t point : reserve.points) {
        const std::uint32_t position = where_[point];
        if (position < chunk.begin || position >= chunk.end) continue;  // also when taken
        const OrderKey key = order_key(column[point]);
        if (!member(key) || !within(key)) continue;
        reserve.points[kept++] = point;
        picked_.push_back({key, position});
        where_[point] = position | kTaken;
    }
    entries_read_ += reserve.points.size() + changes.positions.size();
    reserve.points.resize(kept);
    for (std::uint32_t position : changes.positions) {
        const std::uint32_t point = order[position];
        if ((where_[point] & kTaken) != 0) continue;
        const OrderKey key = order_key(column[point]);
        if (member(key) && within(key)) picked_.push_back({key, position});
    }
    for (const auto& p : picked_) where_[order[p.second]] = p.second;
    return picked_.size() >= count;
}

// Points that arrived on a side with a key beyond its reserve's bound join
// the reserve, which then still holds every such point of the side.
void SplitRepair::keep_arrivals(std::span<const std::uint32_t> order, const double* column,
                                const SideChanges& side, bool smallest,
                                KeptExtremes& reserve) const {
    for (std::uint32_t position : side.positions) {
        const std::uint32_t point = order[position];
        const OrderKey key = order_key(column[point]);
        if (smallest ? key <= reserve.bound : key >= reserve.bound) reserve.points.push_back(point);
    }
}

namespace {

using Picked = std::pair<OrderKey, std::uint32_t>;

// The first picked point of the smallest (or largest) key: one pass whose
// updates are selects, not branches.
template <bool kSmallest>
Picked first_extreme(std::span<const Picked> picked) noexcept {
    Picked best = picked.front();
    for (const Picked& p : picked.subspan(1)) {
        const bool better = kSmallest ? p.first < best.first : p.first > best.first;
        best.first = better ? p.first : best.first;
        best.second = better ? p.second : best.second;
    }
    return best;
}

// The `count`-th smallest (or largest) picked point and, when `kSmallest`,
// how many picked keys lie below its key (those are all among the ranks
// before it).
template <bool kSmallest>
std::pair<Picked, std::size_t> nth_extreme(std::vector<Picked>& picked, std::size_t count) {
    auto before = [](OrderKey a, OrderKey b) { return kSmallest ? a < b : a > b; };
    if (count == 1) return {first_extreme<kSmallest>(picked), 0};
    if (count <= kFewRanked) {
        // Repairs mostly want one or two extremes of a hundred or so picked
        // points: a short sorted list of the best seen rarely changes after
        // the first few, which beats a general selection.
        std::array<Picked, kFewRanked> best;
        std::size_t filled = 0;
        for (const Picked& p : picked) {
            if (filled == count && !before(p.first, best[count - 1].first)) continue;
            std::size_t at = filled < count ? filled++ : count - 1;
            for (; at > 0 && before(p.first, best[at - 1].first); --at) best[at] = best[at - 1];
            best[at] = p;
        }
        const Picked nth = best[count - 1];
        std::size_t below = 0;
        for (std::size_t i = 0; i + 1 < count; ++i) {
            below += static_cast<std::size_t>(best[i].first < nth.first);
        }
        return {nth, below};
    }
    auto at = picked.begin() + static_cast<std::ptrdiff_t>(count - 1);
    std::nth_element(picked.begin(), at, picked.end(),
                     [&](const Picked& a, const Picked& b) { return before(a.first, b.first); });
    std::size_t below = 0;
    if constexpr (kSmallest) {
        for (const Picked& p : picked) below += static_cast<std::size_t>(p.first < at->first);
    }
    return {*at, below};
}

}  // namespace

// The `count`-th smallest (or largest) of the picked points, and how many
// picked keys lie below its key.
SplitRepair::PickedRank SplitRepair::rank_picked(std::span<const std::uint32_t> order,
                                                 std::size_t count, bool smallest) {
    if (smallest) {
        const auto [nth, below] = nth_extreme<true>(picked_, count);
        return {nth.first, order[nth.second], below};
    }
    const Picked nth = nth_extreme<false>(picked_, count).first;
    std::size_t below = 0;
    for (const Picked& p : picked_) below += static_cast<std::size_t>(p.first < nth.first);
    return {nth.first, order[nth.second], below};
}

// The key of rank `target` in the changed chunk, its point and how many
// keys lie below it. Empty when the extremes cannot be found cheaply or the
// walk past copies would stop at 1 with a copy left below (the caller's
// selection settles that case).
std::optional<SplitRepair::NewSplit> SplitRepair::find_split(
    std::span<const std::uint32_t> order, const double* column, const ArrangedChunk& before,
    Region chunk, std::size_t target, const ChunkChanges& changes, ChunkKeptExtremes* reserves) {
    const std::size_t old_split_at = before.lo + before.boundary;
    const OrderKey pivot = before.pivot_key;
    // Unchanged positions of the old lower side hold keys below the pivot,
    // the others keys at or above it; changed positions (among them any
    // the chunk gained) hold anything.
    std::size_t changed_lower = 0;
    std::size_t changed_below = 0;
    for (std::uint32_t position : changes.positions) {
        if (position >= before.lo && position < old_split_at) ++changed_lower;
        if (order_key(column[order[position]]) < pivot) ++changed_below;
    }
    const std::size_t below = before.boundary - changed_lower + changed_below;
    const std::size_t pivot_at = where_[before.pivot_item];
    const bool pivot_stayed = pivot_at >= chunk.begin && pivot_at < chunk.end;

    NewSplit found{pivot, before.pivot_item, below, target >= below};
    picked_.clear();
    if (target == below && pivot_stayed) {
        // The smallest key of the upper side is still the pivot's.
    } else if (found.upward) {
        const std::size_t count = target - below + 1;
        if (!pick_extremes(order, column, {old_split_at, chunk.end}, changes, pivot, true, count,
                           reserves ? &reserves->upper : nullptr, before.lineage, chunk)) {
            return std::nullopt;
        }
        const PickedRank rank = rank_picked(order, count, true);
        found = {rank.key, rank.item, below + rank.keys_below, true};
    } else {
        const std::size_t count = below - target;
        if (!pick_extremes(order, column, {before.lo, old_split_at}, changes, pivot, false, count,
                           reserves ? &reserves->lower : nullptr, before.lineage, chunk)) {
            return std::nullopt;
        }
        const PickedRank rank = rank_picked(order, count, false);
        found = {rank.key, rank.item, below - (picked_.size() - rank.keys_below), false};
    }
    if (found.split == 0) return std::nullopt;
    return found;
}

// Swaps the points on the wrong side of the new split and tells each side
// which of its positions changed. False, with nothing moved, when the
// sides would not balance or too much would move.
bool SplitRepair::move_misplaced(std::span<std::uint32_t> order, const double* column,
                                 std::size_t old_split_at, std::size_t split_at,
                                 const NewSplit& found, const ChunkChanges& changes,
                                 SideChanges& lower, SideChanges& upper) {
    // Every point on the wrong side is at a changed position, among the
    // extremes found, or between the old and the new split.
    const std::size_t band_begin = std::min(old_split_at, split_at);
    const std::size_t band_end = std::max(old_split_at, split_at);
    if (band_end - band_begin > kMaxMoved) return false;
    candidates_.assign(changes.positions.begin(), changes.positions.end());
    // Of the extremes, only those crossing the new split can be misplaced
    // outside the band.
    for (const auto& p : picked_) {
        if ((p.first < found.key) == found.upward) candidates_.push_back(p.second);
    }
    for (std::size_t q = band_begin; q < band_end; ++q) {
        candidates_.push_back(static_cast<std::uint32_t>(q));
    }
    std::sort(candidates_.begin(), candidates_.end());
    candidates_.erase(std::unique(candidates_.begin(), candidates_.end()), candidates_.end());
    to_lower_.clear();
    to_upper_.clear();
    for (std::uint32_t position : candidates_) {
        const bool belongs_lower = order_key(column[order[position]]) < found.key;
        const bool is_lower = position < split_at;
        if (belongs_lower && !is_lower) to_lower_.push_back(position);
        if (!belongs_lower && is_lower) to_upper_.push_back(position);
    }
    entries_read_ += 2 * candidates_.size();
    if (to_lower_.size() != to_upper_.size()) return false;

    lower.positions.clear();
    upper.positions.clear();
    for (std::size_t i = 0; i < to_lower_.size(); ++i) {
        std::swap(order[to_lower_[i]], order[to_upper_[i]]);
        where_[order[to_lower_[i]]] = to_lower_[i];
        where_[order[to_upper_[i]]] = to_upper_[i];
    }
    for (std::uint32_t position : changes.positions) {
        (position < split_at ? lower : upper).positions.push_back(position);
    }
    lower.positions.insert(lower.positions.end(), to_upper_.begin(), to_upper_.end());
    upper.positions.insert(upper.positions.end(), to_lower_.begin(), to_lower_.end());
    // Positions between the two splits change sides with their points.
    SideChanges& joining = split_at < old_split_at ? upper : lower;
    for (std::size_t q = band_begin; q < band_end; ++q) {
        joining.positions.push_back(static_cast<std::uint32_t>(q));
    }
    // A position can be named twice (changed and swapped, say); the next
    // node counts positions, so each must appear once.
    for (SideChanges* side : {&lower, &upper}) {
        std::sort(side->positions.begin(), side->positions.end());
        side->positions.erase(std::unique(side->positions.begin(), side->positions.end()),
                              side->positions.end());
    }
    return true;
}

// A side keeps its points when the split keeps its key, the chunk still
// holds every position the side held, none of those positions changed, and
// no changed position holds a point of that side. Its unchanged positions
// then hold all its old points, and nothing else in the chunk belongs to
// it. Reads the changed positions deduplicated in positions_.
void SplitRepair::note_unchanged_sides(const double* column, std::span<const std::uint32_t> order,
                                       const ArrangedChunk& before, std::size_t lo,
                                       std::size_t length, OrderKey key) {
    lower_unchanged_ = false;
    upper_unchanged_ = false;
    if (key != before.pivot_key) return;
    const std::size_t old_split_at = before.lo + before.boundary;
    const std::size_t old_end = before.lo + before.length;
    bool lower = lo <= before.lo && old_split_at <= lo + length;
    bool upper = lo <= old_split_at && old_end <= lo + length;
    for (std::uint32_t position : positions_) {
        if (!lower && !upper) return;
        const bool in_lower = position >= before.lo && position < old_split_at;
        const bool in_upper = position >= old_split_at && position < old_end;
        const bool belongs_lower = order_key(column[order[position]]) < key;
        lower = lower && !in_lower && !belongs_lower;
        upper = upper && !in_upper && belongs_lower;
    }
    lower_unchanged_ = lower;
    upper_unchanged_ = upper;
}

std::optional<std::size_t> SplitRepair::divide(std::span<std::uint32_t> order,
                                               const double* column, const ArrangedChunk& before,
                                               std::size_t lo, std::size_t length,
                                               std::size_t target, const ChunkChanges& given,
                                               ArrangedChunk& after, SideChanges& lower,
                                               SideChanges& upper, ChunkKeptExtremes* reserves) {
    entries_read_ = 0;
    lower_unchanged_ = false;
    upper_unchanged_ = false;
    if (where_ == nullptr) return std::nullopt;
    // Retries mostly revisit chunks that did not change and keep their
    // split: nothing to do then.
    if (given.positions.empty() && lo == before.lo && length == before.length &&
        target == before.boundary) {
        lower_unchanged_ = true;
        upper_unchanged_ = true;
        lower.positions.clear();
        upper.positions.clear();
        after = before;
        return before.boundary;
    }
    // Each changed position counts once; positions the chunk lost since
    // count not at all.
    positions_.clear();
    for (std::uint32_t position : given.positions) {
        if (position >= lo && position < lo + length) positions_.push_back(position);
    }
    std::sort(positions_.begin(), positions_.end());
    positions_.erase(std::unique(positions_.begin(), positions_.end()), positions_.end());
    const ChunkChanges changes{positions_};

    // What is left of the old division inside the chunk: a chunk that lost
    // positions at either end (its parent's split moved) keeps the sides'
    // order on the rest, and gained positions are among the changes.
    const std::size_t end = lo + length;
    const std::size_t old_split_at = std::clamp(before.lo + before.boundary, lo, end);
    const std::size_t old_lower_begin = std::clamp(before.lo, lo, old_split_at);
    ArrangedChunk remaining = before;
    remaining.lo = old_lower_begin;
    remaining.boundary = old_split_at - old_lower_begin;

    const std::optional<NewSplit> found =
        find_split(order, column, remaining, {lo, end}, target, changes, reserves);
    if (!found) return std::nullopt;
    // Before the swaps: the changed positions still hold what arrived.
    note_unchanged_sides(column, order, before, lo, length, found->key);
    if (!move_misplaced(order, column, old_split_at, lo + found->split, *found, changes, lower,
                        upper)) {
        lower_unchanged_ = false;
        upper_unchanged_ = false;
        return std::nullopt;
    }
    if (reserves != nullptr) {
        if (reserves->lower.lineage == before.lineage) {
            keep_arrivals(order, column, lower, false, reserves->lower);
        }
        if (reserves->upper.lineage == before.lineage) {
            keep_arrivals(order, column, upper, true, reserves->upper);
        }
    }
    after = ArrangedChunk{lo, length, found->split, found->key, found->item, true, before.lineage};
    return found->split;
}

}  // namespace vicinor::kdtree::detail
