// Placement of the points into leaves once the stems are final. Every check
// runs before anything is moved, so a refused placement leaves the points as
// they were for the fallback construction. Then the points are reordered in
// place, grouped by leaf, and the leaves are filled front to back while the
// consumed points' pages go back: points and leaves, the two largest
// arrays of construction, are never both whole in memory.
#include <cstdint>
#include <vector>

#include "kdtree/build_parts.hpp"
#include "kdtree/page_buffer.hpp"

namespace vicinor::kdtree::detail {
namespace {

// Pages are handed back in steps of about this many points.
constexpr std::size_t kReleaseStep = std::size_t{1} << 13;

// Moves every value of the three columns to `destination[k]` by following
// the cycles of the permutation; `destination` ends as the identity.
void permute_columns(PointColumns& points, PageArray<std::uint32_t>& destination) {
    double* x = points.column(0).data();
    double* y = points.column(1).data();
    double* z = points.column(2).data();
    const std::size_t n = points.size();
    for (std::size_t i = 0; i < n; ++i) {
        while (destination[i] != i) {
            const std::uint32_t j = destination[i];
            std::swap(x[i], x[j]);
            std::swap(y[i], y[j]);
            std::swap(z[i], z[j]);
            std::swap(destination[i], destination[j]);
        }
    }
}

}  // namespace

std::optional<ImmutableKdTree> place_points(std::vector<double> stems, std::size_t leaf_count,
                                            PointColumns& points) {
    const std::size_t n = points.size();
    // First the leaf of every point, then (the same array) where the point
    // goes in the leaf-grouped order: leaves in order, ascending point
    // numbers within a leaf.
    PageArray<std::uint32_t> position(n);
    std::vector<std::uint32_t> leaf_start(leaf_count + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t leaf = descend_to_leaf(stems, points.point(k));
        if (leaf >= leaf_count) return std::nullopt;
        if (leaf_start[leaf + 1] == B) return std::nullopt;  // would overfill the leaf
        ++leaf_start[leaf + 1];
        position[k] = static_cast<std::uint32_t>(leaf);
    }
    for (std::size_t leaf = 0; leaf < leaf_count; ++leaf) leaf_start[leaf + 1] += leaf_start[leaf];

    PageArray<std::uint32_t> item_at(n);
    {
        std::vector<std::uint32_t> next(leaf_start.begin(), leaf_start.end() - 1);
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t to = next[position[k]]++;
            position[k] = to;
            item_at[to] = static_cast<Item>(k);
        }
    }
    permute_columns(points, position);
    position = PageArray<std::uint32_t>();

    ImmutableKdTree tree;
    tree.leaves.reserve(leaf_count);
    std::size_t released = 0;
    for (std::size_t leaf_number = 0; leaf_number < leaf_count; ++leaf_number) {
        LeafNode& leaf = tree.leaves.emplace_back();
        const std::size_t first = leaf_start[leaf_number];
        const std::size_t count = leaf_start[leaf_number + 1] - first;
        for (std::size_t d = 0; d < K; ++d) {
            const double* column = points.column(d).data() + first;
            for (std::size_t slot = 0; slot < count; ++slot) leaf.content_points[d][slot] = column[slot];
        }
        for (std::size_t slot = 0; slot < count; ++slot) leaf.content_items[slot] = item_at[first + slot];
        leaf.size = static_cast<std::uint32_t>(count);
        if (first + count - released >= kReleaseStep) {
            released = first + count;
            points.release_prefix(released);
            item_at.release(0, released);
        }
    }
    tree.stems = std::move(stems);
    tree.size = n;
    return tree;
}

}  // namespace vicinor::kdtree::detail
