// What a caller reads right after a search, named per leaf slot, so that
// the search can prefetch it the moment a slot becomes the best. The
// caller's cache misses (the answer's row) then overlap the rest of the
// search instead of following it. Prefetches change no answer: a
// description that does not fit the tree only costs speed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kdtree/tree.hpp"

namespace vicinor::kdtree {

struct AnswerPrefetch {
    // Entry leaf * B + slot: a byte offset into `area` (the start of what
    // the caller reads for that slot's item); offsets past `area_size`
    // name nothing. Holds `leaf_count` * B entries.
    const std::uint32_t* slot_offsets = nullptr;
    std::size_t leaf_count = 0;
    const char* area = nullptr;
    std::size_t area_size = 0;
    // The record of item i lies at records + i * record_stride (the
    // caller's index entry for the item); items from `record_count` on
    // have none.
    const std::byte* records = nullptr;
    std::size_t record_stride = 0;
    std::size_t record_count = 0;

    bool fits(const ImmutableKdTree& tree) const noexcept {
        return slot_offsets != nullptr && leaf_count == tree.leaves.size();
    }

    // One that names `leaf_count` * B offsets into `area` and items'
    // records `record_stride` bytes apart.
    static AnswerPrefetch over(const std::uint32_t* slot_offsets, std::size_t leaf_count,
                               const char* area, std::size_t area_size, const void* records,
                               std::size_t record_stride, std::size_t record_count) noexcept {
        AnswerPrefetch prefetch;
        prefetch.slot_offsets = slot_offsets;
        prefetch.leaf_count = leaf_count;
        prefetch.area = area;
        prefetch.area_size = area_size;
        prefetch.records = static_cast<const std::byte*>(records);
        prefetch.record_stride = record_stride;
        prefetch.record_count = record_count;
        return prefetch;
    }
};

namespace detail {

// Both cache lines of a short text at `offset` (a row is rarely longer
// than one line, but often straddles two).
[[gnu::always_inline]] inline void prefetch_answer(const AnswerPrefetch& prefetch,
                                                   std::size_t leaf, std::size_t slot,
                                                   Item item) {
    const std::size_t offset = prefetch.slot_offsets[leaf * B + slot];
    if (offset < prefetch.area_size) {
        const std::size_t last = prefetch.area_size - 1;
        __builtin_prefetch(prefetch.area + offset);
        __builtin_prefetch(prefetch.area + (offset + 63 < last ? offset + 63 : last));
    }
    if (item < prefetch.record_count) {
        __builtin_prefetch(prefetch.records + item * prefetch.record_stride);
    }
}

// The leaf's offsets: two cache lines, fetched alongside the leaf itself.
[[gnu::always_inline]] inline void prefetch_slot_offsets(const AnswerPrefetch& prefetch,
                                                         std::size_t leaf) {
    const std::uint32_t* first = prefetch.slot_offsets + leaf * B;
    __builtin_prefetch(first);
    __builtin_prefetch(first + B - 1);
}

}  // namespace detail
}  // namespace vicinor::kdtree
