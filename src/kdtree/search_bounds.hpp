// Bounding boxes of the points actually stored below each node: a derived,
// in-memory accelerator for the nearest-one query, computed from a finished
// tree and never saved. The split planes alone bound a cell loosely where
// data is sparse (over the oceans); the boxes let a query skip a subtree or
// a leaf whose points are all farther than the best found so far, without
// changing the answer.
#pragma once

#include <cstddef>
#include <vector>

#include "kdtree/tree.hpp"

namespace vicinor::kdtree {

// Floats rounded outward: the box still contains every point exactly, at
// half the memory of doubles. An empty box has lo = +inf and hi = -inf,
// which puts it at infinite distance from every query.
struct SearchBox {
    float lo[K];
    float hi[K];
};

struct SearchBounds {
    // Indexed like the search's node numbers: entry i < stem_count is stem
    // i, entry stem_count + j is leaf j. Entry 0 is unused.
    std::vector<SearchBox> boxes;
    std::size_t stem_count = 0;
    std::size_t leaf_count = 0;

    // Whether these bounds have the shape of `tree`. Bounds of another tree
    // of the same shape would give wrong answers: compute them from the
    // tree they go with.
    bool fits(const ImmutableKdTree& tree) const noexcept {
        return stem_count == tree.stems.size() && leaf_count == tree.leaves.size() &&
               boxes.size() == stem_count + leaf_count;
    }
};

// O(stems + leaves x 32). Slots past a leaf's size (clamped to 32) and
// points with a NaN coordinate are left out: neither can ever answer.
SearchBounds compute_search_bounds(const ImmutableKdTree& tree);

}  // namespace vicinor::kdtree
