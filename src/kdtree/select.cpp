#include "kdtree/select.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

namespace vicinor::kdtree::detail {
namespace {

// Ranges this small are cheaper to sort than to partition.
constexpr std::size_t kSortThreshold = 16;

// Ranges this large are narrowed with sampled bounds first.
constexpr std::size_t kSampledThreshold = 4096;
constexpr std::size_t kSampleCount = 1024;

constexpr std::size_t kPrefetchDistance = 64;
constexpr std::size_t kSamplePrefetch = 16;

// "key < bound" for a fixed bound, as partition_below tests it.
template <class KeyFn>
struct KeyBelow {
    KeyFn key;
    OrderKey bound;
    bool operator()(std::uint32_t point) const noexcept { return key(point) < bound; }
};

// The key of a point number on the dimension being selected.
struct KeyOf {
    const Point* points;
    std::size_t dim;
    OrderKey operator()(std::uint32_t point) const noexcept { return order_key(points[point][dim]); }
    void prefetch(std::uint32_t point) const noexcept { __builtin_prefetch(&points[point][dim]); }
    KeyBelow<KeyOf> below(OrderKey bound) const noexcept { return {*this, bound}; }
};

// The same keys, computed in advance: one dimension's keys take a third of
// the points' space, so more of them stay in cache.
struct StoredKey {
    const OrderKey* keys;
    OrderKey operator()(std::uint32_t point) const noexcept { return keys[point]; }
    void prefetch(std::uint32_t point) const noexcept { __builtin_prefetch(keys + point); }
    KeyBelow<StoredKey> below(OrderKey bound) const noexcept { return {*this, bound}; }
};

// "key < bound" on one coordinate column as a single comparison of doubles,
// !(value >= threshold): NaN fails every >= and so counts as below, as its
// key (the lowest) does, and -0.0 >= 0.0 holds, as their keys are equal.
// The partition loop carries its position from one step to the next, and
// converting each value to its key would lengthen that chain.
struct ColumnBelow {
    const double* values;
    double threshold;
    bool operator()(std::uint32_t point) const noexcept { return !(values[point] >= threshold); }
};

// A double whose >= comparison splits the keys at `bound` as above. Bound 0
// has nothing below it, which no threshold expresses: the caller skips it.
inline double threshold_of(OrderKey bound) noexcept {
    constexpr OrderKey sign = OrderKey{1} << 63;
    constexpr double lowest = -std::numeric_limits<double>::infinity();
    // At or below the key of -infinity only NaN lies below, and NaN alone
    // fails >= -infinity.
    if (bound <= order_key(lowest)) return lowest;
    // Otherwise undo order_key. Above +infinity's key this gives a NaN,
    // which every value fails, as every value's key is below such a bound.
    return std::bit_cast<double>((bound & sign) != 0 ? bound & ~sign : ~bound);
}

// Keys of one coordinate column, computed as they are read (outside the
// partition loop): a few register operations next to a load that may miss
// the cache.
struct ColumnKey {
    const double* values;
    OrderKey operator()(std::uint32_t point) const noexcept { return order_key(values[point]); }
    void prefetch(std::uint32_t point) const noexcept { __builtin_prefetch(values + point); }
    ColumnBelow below(OrderKey bound) const noexcept { return {values, threshold_of(bound)}; }
};

OrderKey median_of_three(OrderKey a, OrderKey b, OrderKey c) noexcept {
    if (a > b) std::swap(a, b);
    if (b > c) b = c;
    return a > b ? a : b;
}

template <class KeyFn>
OrderKey choose_pivot(const std::uint32_t* order, KeyFn key, std::size_t lo,
                      std::size_t hi) noexcept {
    const std::size_t len = hi - lo;
    const std::size_t mid = lo + len / 2;
    auto at = [&](std::size_t pos) { return key(order[pos]); };
    if (len < 128) return median_of_three(at(lo), at(mid), at(hi - 1));
    const std::size_t step = len / 8;
    return median_of_three(median_of_three(at(lo), at(lo + step), at(lo + 2 * step)),
                           median_of_three(at(mid - step), at(mid), at(mid + step)),
                           median_of_three(at(hi - 1 - 2 * step), at(hi - 1 - step), at(hi - 1)));
}

// Moves the keys < bound to the front of [lo, hi) of a small array of keys
// and returns where they end; branch-free, as partition_below.
std::size_t partition_keys_below(OrderKey* keys, std::size_t lo, std::size_t hi,
                                 OrderKey bound) noexcept {
    std::size_t end = lo;
    for (std::size_t i = lo; i < hi; ++i) {
        const OrderKey moving = keys[i];
        keys[i] = keys[end];
        keys[end] = moving;
        end += moving < bound ? 1 : 0;
    }
    return end;
}

// Puts the keys of ranks low <= high of keys[0, count) at low and high,
// nothing greater before each and nothing smaller after it, as
// std::nth_element does for one rank (only the values at the bracket's
// ranks are read, never their arrangement). Both ranks share the passes
// until a pivot falls between them. The samples sit in cache, where the
// library's branchy partition mispredicts on about every other key; the
// branch-free one does not.
void select_sample_ranks(OrderKey* keys, std::size_t count, std::size_t low,
                         std::size_t high) noexcept {
    std::size_t lo = 0;
    std::size_t hi = count;
    // Samples of crafted input can defeat the pivot rule; the library's
    // selection bounds the rest.
    std::size_t passes_left = 2 * static_cast<std::size_t>(std::bit_width(count)) + 8;
    while (hi - lo > kSortThreshold) {
        if (passes_left-- == 0) {
            std::nth_element(keys + lo, keys + high, keys + hi);
            if (low < high) std::nth_element(keys + lo, keys + low, keys + high);
            return;
        }
        const OrderKey pivot = median_of_three(keys[lo], keys[lo + (hi - lo) / 2], keys[hi - 1]);
        const std::size_t less = partition_keys_below(keys, lo, hi, pivot);
        if (high < less) {
            hi = less;
            continue;
        }
        // pivot + 1 cannot wrap: the largest key (+infinity's) is far below
        // the top.
        const std::size_t more = partition_keys_below(keys, less, hi, pivot + 1);
        if (low >= more) {
            lo = more;
            continue;
        }
        // The pivot separates the ranks (or holds them): each side on its
        // own, and a rank inside the pivot's copies is already in place.
        if (low < less) select_sample_ranks(keys + lo, less - lo, low - lo, low - lo);
        if (high >= more) select_sample_ranks(keys + more, hi - more, high - more, high - more);
        return;
    }
    std::sort(keys + lo, keys + hi);
}

// Bounds [below, above] expected to hold the key of rank nth in [lo, hi),
// read from evenly spaced samples: the samples' quantiles track the range's,
// so a pair of partitions around them leaves a narrow range to finish. A
// plain median pivot would need several passes over the whole range, and
// construction often selects near one end (moving a split left by a few).
struct Bracket {
    OrderKey below;
    OrderKey above;
};

template <class KeyFn>
Bracket sampled_bracket(const std::uint32_t* order, KeyFn key, std::size_t lo, std::size_t hi,
                        std::size_t nth, std::array<OrderKey, kSampleCount>& samples) noexcept {
    const std::size_t len = hi - lo;
    const std::size_t count = std::min<std::size_t>(kSampleCount, len / 16);
    const std::size_t stride = len / count;
    const std::uint32_t* sampled = order + lo + stride / 2;
    for (std::size_t j = 0; j < count; ++j) {
        // Scattered reads: fetch a few samples ahead so that they overlap.
        if (j + kSamplePrefetch < count) key.prefetch(sampled[(j + kSamplePrefetch) * stride]);
        samples[j] = key(sampled[j * stride]);
    }
    // The rank of nth among the samples, give or take three standard
    // deviations of a sample quantile.
    const std::size_t rank = (nth - lo) * count / len;
    const std::size_t margin = 3 * static_cast<std::size_t>(std::sqrt(double(count))) / 2 + 2;
    const std::size_t low = rank > margin ? rank - margin : 0;
    const std::size_t high = std::min(rank + margin, count - 1);
    select_sample_ranks(samples.data(), count, low, high);
    // At the ends of the samples there is no bound (see narrow below).
    return {low == 0 ? OrderKey{0} : samples[low],
            high == count - 1 ? ~OrderKey{0} - 1 : samples[high]};
}

template <class KeyFn>
void insertion_sort_in_place(std::uint32_t* order, KeyFn key, std::size_t lo,
                             std::size_t hi) noexcept {
    for (std::size_t i = lo + 1; i < hi; ++i) {
        const std::uint32_t moving = order[i];
        const OrderKey moving_key = key(moving);
        std::size_t j = i;
        for (; j > lo && key(order[j - 1]) > moving_key; --j) order[j] = order[j - 1];
        order[j] = moving;
    }
}

// The same moves with the keys read once into a local array, instead of
// once per comparison through the point numbers; the selection hands it at
// most kSortThreshold positions.
template <class KeyFn>
void insertion_sort(std::uint32_t* order, KeyFn key, std::size_t lo, std::size_t hi) noexcept {
    const std::size_t count = hi - lo;
    if (count > kSortThreshold) {
        insertion_sort_in_place(order, key, lo, hi);
        return;
    }
    std::array<OrderKey, kSortThreshold> keys;
    for (std::size_t i = 0; i < count; ++i) keys[i] = key(order[lo + i]);
    for (std::size_t i = 1; i < count; ++i) {
        const std::uint32_t moving = order[lo + i];
        const OrderKey moving_key = keys[i];
        std::size_t j = i;
        for (; j > 0 && keys[j - 1] > moving_key; --j) {
            order[lo + j] = order[lo + j - 1];
            keys[j] = keys[j - 1];
        }
        order[lo + j] = moving;
        keys[j] = moving_key;
    }
}

// Moves the point numbers with key < bound to the front of [lo, hi) and
// returns where they end. Branch-free: the comparisons are unpredictable, and
// a mispredicted branch costs more than the unconditional swap.
template <class KeyFn>
std::size_t partition_below(std::uint32_t* order, KeyFn key, std::size_t lo, std::size_t hi,
                            OrderKey bound) noexcept {
    if (bound == 0) return lo;  // nothing is below the lowest key
    const auto below = key.below(bound);
    std::size_t end = lo;
    std::size_t i = lo;
    // The keys are read in an order the hardware cannot foresee; asking for
    // them a little ahead hides most of the wait.
    for (; i + kPrefetchDistance < hi; ++i) {
        key.prefetch(order[i + kPrefetchDistance]);
        const std::uint32_t moving = order[i];
        order[i] = order[end];
        order[end] = moving;
        end += below(moving) ? 1 : 0;
    }
    for (; i < hi; ++i) {
        const std::uint32_t moving = order[i];
        order[i] = order[end];
        order[end] = moving;
        end += below(moving) ? 1 : 0;
    }
    return end;
}

// True when the range already has the arrangement selection would produce:
// nothing above the key at nth before it, nothing below it after it, and its
// copies one run around nth. Construction often selects again in a chunk it
// arranged before, and the check fails fast on a range that is not arranged.
template <class KeyFn>
bool already_selected(const std::uint32_t* order, KeyFn key, std::size_t size,
                      std::size_t nth) noexcept {
    const OrderKey value = key(order[nth]);
    bool past_run = false;
    for (std::size_t i = nth; i-- > 0;) {
        const OrderKey k = key(order[i]);
        if (k > value || (k == value && past_run)) return false;
        past_run = k != value;
    }
    past_run = false;
    for (std::size_t i = nth + 1; i < size; ++i) {
        const OrderKey k = key(order[i]);
        if (k < value || (k == value && past_run)) return false;
        past_run = k != value;
    }
    return true;
}

// The selection proper; every move depends only on the keys.
template <class KeyFn>
void select_in(std::uint32_t* order, KeyFn key, std::size_t size, std::size_t nth) noexcept {
    if (already_selected(order, key, size, nth)) return;
    std::size_t lo = 0;
    std::size_t hi = size;
    // A pivot rule fixed in advance can be defeated by crafted input; past
    // this many passes the rest is sorted instead, which bounds the work.
    std::size_t passes_left = 2 * static_cast<std::size_t>(std::bit_width(size)) + 8;
    std::array<OrderKey, kSampleCount> samples;
    // Narrows [lo, hi) to the keys below `bound` or the rest, whichever
    // holds nth. Bounds 0 and ~0 (below and above every key) split nothing
    // off and are skipped.
    auto narrow = [&](OrderKey bound) {
        if (bound == 0 || bound == ~OrderKey{0}) return;
        const std::size_t split = partition_below(order, key, lo, hi, bound);
        (nth < split ? hi : lo) = split;
    };
    while (hi - lo >= kSampledThreshold && passes_left > 0) {
        --passes_left;
        const std::size_t before = hi - lo;
        const Bracket bracket = sampled_bracket(order, key, lo, hi, nth, samples);
        // The partition whose far side is larger goes first, so that the
        // second pass covers little more than the bracket.
        if (nth - lo < hi - nth) {
            narrow(bracket.above + 1);
            narrow(bracket.below);
        } else {
            narrow(bracket.below);
            narrow(bracket.above + 1);
        }
        // Few distinct values can leave nothing outside the bracket; the
        // three-way passes below handle those.
        if (hi - lo == before) break;
    }
    while (hi - lo > kSortThreshold) {
        if (passes_left-- == 0) {
            // Point numbers break ties so that the result stays independent
            // of the library's sort.
            std::sort(order + lo, order + hi, [key](std::uint32_t a, std::uint32_t b) {
                const OrderKey ka = key(a);
                const OrderKey kb = key(b);
                return ka < kb || (ka == kb && a < b);
            });
            return;
        }
        const OrderKey pivot = choose_pivot(order, key, lo, hi);
        // Three ways in up to two passes: below the pivot, then (only when
        // nth is not below) its copies apart from what lies above. The
        // largest key (+infinity's) is far below the top, so pivot + 1 is safe.
        const std::size_t less = partition_below(order, key, lo, hi, pivot);
        if (nth < less) {
            hi = less;
            continue;
        }
        const std::size_t more = partition_below(order, key, less, hi, pivot + 1);
        if (nth < more) return;  // nth is inside the run of the pivot's copies
        lo = more;
    }
    insertion_sort(order, key, lo, hi);
}

}  // namespace

void select_nth(std::span<std::uint32_t> order, std::span<const Point> points, std::size_t dim,
                std::size_t nth) noexcept {
    select_in(order.data(), KeyOf{points.data(), dim}, order.size(), nth);
}

void select_nth(std::span<std::uint32_t> order, std::span<const OrderKey> keys,
                std::size_t nth) noexcept {
    select_in(order.data(), StoredKey{keys.data()}, order.size(), nth);
}

void select_nth(std::span<std::uint32_t> order, std::span<const double> column,
                std::size_t nth) noexcept {
    select_in(order.data(), ColumnKey{column.data()}, order.size(), nth);
}

}  // namespace vicinor::kdtree::detail
