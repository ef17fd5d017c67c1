// Sorted lists of ranks, as the construction on ranks keeps every chunk:
// searches that start from where the answer is expected, a sort for many
// ranks, and the merge of a few changes into a long list.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kdtree/rank_tables.hpp"

namespace vicinor::kdtree::detail {

using RankIterator = std::vector<Rank>::iterator;

// std::lower_bound for a value expected near `first`: the search widens
// from there, so a near answer costs a few reads.
inline RankIterator gallop_up(RankIterator first, RankIterator last, Rank value) {
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

// Sorts ranks (below 2^31): by radix where there are many, through
// `spare`, which keeps its memory for the next sort.
inline void sort_ranks(std::span<Rank> ranks, std::vector<Rank>& spare) {
    if (ranks.size() < 1024) {
        std::sort(ranks.begin(), ranks.end());
        return;
    }
    if (spare.size() < ranks.size()) spare.resize(ranks.size());
    Rank highest = 0;
    for (Rank rank : ranks) highest = std::max(highest, rank);
    std::span<Rank> from = ranks, to(spare.data(), ranks.size());
    for (int shift = 0; shift < 32 && (highest >> shift) != 0; shift += 11) {
        std::uint32_t count[2049] = {};
        for (Rank rank : from) ++count[((rank >> shift) & 2047) + 1];
        for (std::size_t v = 1; v <= 2048; ++v) count[v] += count[v - 1];
        for (Rank rank : from) to[count[(rank >> shift) & 2047]++] = rank;
        std::swap(from, to);
    }
    if (from.data() != ranks.data()) std::copy(from.begin(), from.end(), ranks.begin());
}

// Removes `gone` (each in `list`) from the sorted `list` and puts `come`
// (none in it) in, both ascending, moving each stretch between changes
// once. False when some rank of `gone` is missing.
inline bool splice_ranks(std::vector<Rank>& list, const std::vector<Rank>& come, const std::vector<Rank>& gone) {
    if (gone.size() == 1 && come.size() == 1) {
        // One point out and one in, the common change: only the entries
        // between the two move, by one place.
        const auto out = std::lower_bound(list.begin(), list.end(), gone[0]);
        if (out == list.end() || *out != gone[0]) return false;
        if (come[0] > gone[0]) {
            const auto in = std::lower_bound(out + 1, list.end(), come[0]);
            std::move(out + 1, in, out);
            in[-1] = come[0];
        } else {
            const auto in = std::lower_bound(list.begin(), out, come[0]);
            std::move_backward(in, out, out + 1);
            *in = come[0];
        }
        return true;
    }
    if (!gone.empty()) {
        auto write = std::lower_bound(list.begin(), list.end(), gone.front());
        auto read = write;
        for (Rank rank : gone) {
            const auto at = gallop_up(read, list.end(), rank);
            if (at == list.end() || *at != rank) return false;
            write = std::move(read, at, write);
            read = at + 1;
        }
        write = std::move(read, list.end(), write);
        list.erase(write, list.end());
    }
    if (!come.empty()) {
        const std::size_t old_size = list.size();
        list.resize(old_size + come.size());
        auto end = list.begin() + static_cast<std::ptrdiff_t>(old_size);  // of what is still to move
        auto write_end = list.end();
        for (auto in = come.rbegin(); in != come.rend(); ++in) {
            const auto at = gallop_down(list.begin(), end, *in);
            write_end = std::move_backward(at, end, write_end);
            *--write_end = *in;
            end = at;
        }
    }
    return true;
}

}  // namespace vicinor::kdtree::detail
