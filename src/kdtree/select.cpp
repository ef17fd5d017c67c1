#include "kdtree/select.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace vicinor::kdtree::detail {
namespace {

// Ranges this small are cheaper to sort than to partition.
constexpr std::size_t kSortThreshold = 16;

OrderKey median_of_three(OrderKey a, OrderKey b, OrderKey c) noexcept {
    if (a > b) std::swap(a, b);
    if (b > c) b = c;
    return a > b ? a : b;
}

OrderKey choose_pivot(const KeyedPoint* e, std::size_t dim, std::size_t lo,
                      std::size_t hi) noexcept {
    const std::size_t len = hi - lo;
    const std::size_t mid = lo + len / 2;
    auto key_at = [&](std::size_t pos) { return e[pos].key[dim]; };
    if (len < 128) return median_of_three(key_at(lo), key_at(mid), key_at(hi - 1));
    const std::size_t step = len / 8;
    return median_of_three(median_of_three(key_at(lo), key_at(lo + step), key_at(lo + 2 * step)),
                           median_of_three(key_at(mid - step), key_at(mid), key_at(mid + step)),
                           median_of_three(key_at(hi - 1 - 2 * step), key_at(hi - 1 - step),
                                           key_at(hi - 1)));
}

void insertion_sort(KeyedPoint* e, std::size_t dim, std::size_t lo, std::size_t hi) noexcept {
    for (std::size_t i = lo + 1; i < hi; ++i) {
        const KeyedPoint moving = e[i];
        const OrderKey key = moving.key[dim];
        std::size_t j = i;
        for (; j > lo && e[j - 1].key[dim] > key; --j) e[j] = e[j - 1];
        e[j] = moving;
    }
}

// Moves the entries with key < bound to the front of [lo, hi) and returns
// where they end. Branch-free: the comparisons are unpredictable, and a
// mispredicted branch costs more than the unconditional swap.
std::size_t partition_below(KeyedPoint* e, std::size_t dim, std::size_t lo, std::size_t hi,
                            OrderKey bound) noexcept {
    std::size_t end = lo;
    for (std::size_t i = lo; i < hi; ++i) {
        const KeyedPoint moving = e[i];
        e[i] = e[end];
        e[end] = moving;
        end += moving.key[dim] < bound ? 1 : 0;
    }
    return end;
}

// True when the range already has the arrangement selection would produce:
// nothing above the key at nth before it, nothing below it after it, and its
// copies one run around nth. Construction often selects again in a chunk it
// arranged before, and the check fails fast on a range that is not arranged.
bool already_selected(const KeyedPoint* e, std::size_t size, std::size_t dim,
                      std::size_t nth) noexcept {
    const OrderKey value = e[nth].key[dim];
    bool past_run = false;
    for (std::size_t i = nth; i-- > 0;) {
        const OrderKey key = e[i].key[dim];
        if (key > value || (key == value && past_run)) return false;
        past_run = key != value;
    }
    past_run = false;
    for (std::size_t i = nth + 1; i < size; ++i) {
        const OrderKey key = e[i].key[dim];
        if (key < value || (key == value && past_run)) return false;
        past_run = key != value;
    }
    return true;
}

}  // namespace

void select_nth(std::span<KeyedPoint> entries, std::size_t dim, std::size_t nth) noexcept {
    KeyedPoint* e = entries.data();
    if (already_selected(e, entries.size(), dim, nth)) return;
    std::size_t lo = 0;
    std::size_t hi = entries.size();
    // A pivot rule fixed in advance can be defeated by crafted input; past
    // this many passes the rest is sorted instead, which bounds the work.
    std::size_t passes_left = 2 * static_cast<std::size_t>(std::bit_width(entries.size())) + 8;
    while (hi - lo > kSortThreshold) {
        if (passes_left-- == 0) {
            // Point numbers break ties so that the result stays independent
            // of the library's sort.
            std::sort(e + lo, e + hi, [dim](const KeyedPoint& a, const KeyedPoint& b) {
                return a.key[dim] < b.key[dim] || (a.key[dim] == b.key[dim] && a.point < b.point);
            });
            return;
        }
        const OrderKey pivot = choose_pivot(e, dim, lo, hi);
        // Three ways in up to two passes: below the pivot, then (only when
        // nth is not below) its copies and what lies above.
        const std::size_t less = partition_below(e, dim, lo, hi, pivot);
        if (nth < less) {
            hi = less;
            continue;
        }
        const std::size_t more = partition_below(e, dim, less, hi, pivot + 1);
        if (nth < more) return;  // nth is inside the run of the pivot's copies
        lo = more;
    }
    insertion_sort(e, dim, lo, hi);
}

}  // namespace vicinor::kdtree::detail
