// How a caller learns, while a search runs, where its answer will lie: the
// search names each leaf it is about to scan and each slot that becomes the
// best so far. The caller can then start fetching what it reads for the
// answer (its cache misses overlap the rest of the search instead of
// following it). What the caller reads is its own business; hooks change
// no answer.
#pragma once

#include <cstddef>

#include "kdtree/tree.hpp"

namespace vicinor::kdtree {

struct AnswerHook {
    const void* context = nullptr;
    // `leaf` is below the tree's leaf count.
    void (*entering_leaf)(const void* context, std::size_t leaf) noexcept = nullptr;
    // `slot` of `leaf` holds `item` and is the best so far.
    void (*new_best)(const void* context, std::size_t leaf, std::size_t slot,
                     Item item) noexcept = nullptr;

    bool usable() const noexcept { return entering_leaf != nullptr && new_best != nullptr; }
};

}  // namespace vicinor::kdtree
