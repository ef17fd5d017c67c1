// Searches for more than the single nearest point: the k nearest, and every
// point within a distance. Both order their answers by squared distance,
// then by item, so that equal distances come back in one fixed order.
// Const and allocation-free once the caller's scratch has grown to size.
#pragma once

#include <cstddef>
#include <vector>

#include "common/cpu_dispatch.hpp"
#include "kdtree/item_copies.hpp"
#include "kdtree/search_bounds.hpp"
#include "kdtree/tree.hpp"

namespace vicinor::kdtree {

struct Neighbour {
    double distance;  // squared chord distance, as the nearest-one query sums it
    Item item;
};

inline bool nearer(const Neighbour& a, const Neighbour& b) noexcept {
    return a.distance < b.distance || (a.distance == b.distance && a.item < b.item);
}

// Reusable working memory of one thread's searches.
class NeighbourSearch {
public:
    // Writes to `out`, ascending by (distance, item), the at most `k`
    // stored points nearest to `query` among those at a squared distance of
    // at most `max_distance`; `k` = kAll keeps all of them. Points with a
    // NaN coordinate, and a non-finite query, find nothing. `bounds` that
    // do not fit the tree are ignored (every leaf is then read). Each
    // stored item found brings its `copies` along, at its distance.
    static constexpr std::size_t kAll = static_cast<std::size_t>(-1);
    void search(const ImmutableKdTree& tree, const SearchBounds& bounds, const ItemCopies& copies,
                const Point& query, std::size_t k, double max_distance,
                std::vector<Neighbour>& out);
    // The same with the form for `level` (see cpu::KernelForms::at).
    void search_with(cpu::Level level, const ImmutableKdTree& tree, const SearchBounds& bounds,
                     const ItemCopies& copies, const Point& query, std::size_t k,
                     double max_distance, std::vector<Neighbour>& out);

    struct Pending {
        std::size_t node;
        double bound;  // squared distance from the query to the node's box
    };

private:
    std::vector<Pending> stack_;
};

}  // namespace vicinor::kdtree
