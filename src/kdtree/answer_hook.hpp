// How a caller learns, while a search runs, where its answer will lie: the
// search names each slot that becomes the best so far, and the caller can
// start fetching what it reads for the answer (its cache misses overlap the
// rest of the search instead of following it). A caller that keeps an
// array with an entry per leaf can have each leaf's entry fetched with the
// leaf, so that the call finds it in cache. What the caller reads is its
// own business; hooks change no answer.
#pragma once

#include <cstddef>

#include "kdtree/tree.hpp"

namespace vicinor::kdtree {

struct AnswerHook {
    const void* context = nullptr;
    // `slot` of `leaf` holds `item` and is the best so far; `leaf` is below
    // the tree's leaf count.
    void (*new_best)(const void* context, std::size_t leaf, std::size_t slot,
                     Item item) noexcept = nullptr;
    // Entry `leaf` lies at per_leaf + leaf * per_leaf_stride and spans
    // per_leaf_bytes (at least 1); nullptr when there is none. A function
    // call per leaf would cost more than the fetch saves.
    const std::byte* per_leaf = nullptr;
    std::size_t per_leaf_stride = 0;
    std::size_t per_leaf_bytes = 1;
    std::size_t per_leaf_count = 0;  // entries: the tree's leaf count, or it is ignored

    bool usable() const noexcept { return new_best != nullptr; }
};

namespace detail {

// Both ends of the leaf's entry: two cache lines at most for the entries
// callers keep.
[[gnu::always_inline]] inline void fetch_leaf_entry(const AnswerHook& hook, std::size_t leaf) {
    const std::byte* first = hook.per_leaf + leaf * hook.per_leaf_stride;
    __builtin_prefetch(first);
    __builtin_prefetch(first + hook.per_leaf_bytes - 1);
}

}  // namespace detail

}  // namespace vicinor::kdtree
