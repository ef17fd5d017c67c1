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

OrderKey choose_pivot(const std::uint32_t* order, const OrderKey* keys, std::size_t lo,
                      std::size_t hi) noexcept {
    const std::size_t len = hi - lo;
    const std::size_t mid = lo + len / 2;
    auto key_at = [&](std::size_t pos) { return keys[order[pos]]; };
    if (len < 128) return median_of_three(key_at(lo), key_at(mid), key_at(hi - 1));
    const std::size_t step = len / 8;
    return median_of_three(median_of_three(key_at(lo), key_at(lo + step), key_at(lo + 2 * step)),
                           median_of_three(key_at(mid - step), key_at(mid), key_at(mid + step)),
                           median_of_three(key_at(hi - 1 - 2 * step), key_at(hi - 1 - step),
                                           key_at(hi - 1)));
}

void insertion_sort(std::uint32_t* order, const OrderKey* keys, std::size_t lo,
                    std::size_t hi) noexcept {
    for (std::size_t i = lo + 1; i < hi; ++i) {
        const std::uint32_t moving = order[i];
        const OrderKey key = keys[moving];
        std::size_t j = i;
        for (; j > lo && keys[order[j - 1]] > key; --j) order[j] = order[j - 1];
        order[j] = moving;
    }
}

// True when the range already has the arrangement selection would produce:
// nothing above the key at nth before it, nothing below it after it, and its
// copies one run around nth. Construction often selects again in a chunk it
// partitioned before (after a split moved), and this check fails fast on a
// range that is not arranged.
bool already_selected(const std::uint32_t* order, const OrderKey* keys, std::size_t size,
                      std::size_t nth) noexcept {
    const OrderKey value = keys[order[nth]];
    bool past_run = false;
    for (std::size_t i = nth; i-- > 0;) {
        const OrderKey key = keys[order[i]];
        if (key > value) return false;
        if (key == value) {
            if (past_run) return false;  // a copy beyond the gap below the run
        } else {
            past_run = true;  // left the run of copies; none may follow
        }
    }
    past_run = false;
    for (std::size_t i = nth + 1; i < size; ++i) {
        const OrderKey key = keys[order[i]];
        if (key < value) return false;
        if (key == value) {
            if (past_run) return false;
        } else {
            past_run = true;
        }
    }
    return true;
}

}  // namespace

void select_nth(std::span<std::uint32_t> span, const OrderKey* keys, std::size_t nth) noexcept {
    std::uint32_t* order = span.data();
    if (already_selected(order, keys, span.size(), nth)) return;
    std::size_t lo = 0;
    std::size_t hi = span.size();
    // A pivot rule fixed in advance can be defeated by crafted input; past
    // this many passes the rest is sorted instead, which bounds the work.
    std::size_t passes_left = 2 * static_cast<std::size_t>(std::bit_width(span.size())) + 8;
    while (hi - lo > kSortThreshold) {
        if (passes_left-- == 0) {
            // Point numbers break ties so that the result stays independent
            // of the library's sort.
            std::sort(order + lo, order + hi, [keys](std::uint32_t a, std::uint32_t b) {
                return keys[a] < keys[b] || (keys[a] == keys[b] && a < b);
            });
            return;
        }
        const OrderKey pivot = choose_pivot(order, keys, lo, hi);
        // [lo, less) < pivot, [less, i) == pivot, [more, hi) > pivot.
        std::size_t less = lo;
        std::size_t i = lo;
        std::size_t more = hi;
        while (i < more) {
            const OrderKey key = keys[order[i]];
            if (key < pivot) {
                std::swap(order[less++], order[i++]);
            } else if (key > pivot) {
                std::swap(order[i], order[--more]);
            } else {
                ++i;
            }
        }
        if (nth < less) {
            hi = less;
        } else if (nth >= more) {
            lo = more;
        } else {
            return;  // nth is inside the run of the pivot's copies
        }
    }
    insertion_sort(order, keys, lo, hi);
}

}  // namespace vicinor::kdtree::detail
