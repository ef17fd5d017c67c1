// The single nearest-neighbour query. Const and allocation-free, so any
// number of threads may query one tree at once.
#pragma once

#include <limits>

#include "kdtree/answer_prefetch.hpp"
#include "kdtree/search_bounds.hpp"
#include "kdtree/tree.hpp"

namespace vicinor::kdtree {

inline constexpr double kNoDistance = std::numeric_limits<double>::max();

struct Nearest {
    double distance = kNoDistance;  // squared chord distance
    Item item = 0;
    // False when no stored point could answer (empty tree, or only points
    // with NaN coordinates): `item` is then meaningless.
    bool found = false;
    // Where the answer is stored: leaf number * B + slot. Meaningful only
    // when `found`.
    std::size_t position = 0;
};

Nearest nearest_one(const ImmutableKdTree& tree, const Point& query) noexcept;

// The same answer, bit for bit, usually after visiting far fewer leaves.
// `bounds` should come from compute_search_bounds(tree); bounds that do not
// fit the tree are ignored.
Nearest nearest_one(const ImmutableKdTree& tree, const SearchBounds& bounds,
                    const Point& query) noexcept;

// The same answer again, while the memory `prefetch` names for the best
// slot so far is fetched during the search; ignored when it does not fit.
Nearest nearest_one(const ImmutableKdTree& tree, const SearchBounds& bounds,
                    const AnswerPrefetch& prefetch, const Point& query) noexcept;

}  // namespace vicinor::kdtree
