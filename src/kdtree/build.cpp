// Tree construction: the left-packed layout whenever it can be built within
// bounded work, otherwise a layout that always succeeds. Both keep every
// invariant the query and the saved file rely on, which is checked last.
#include "kdtree/build.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <string>

#include "common/fault.hpp"
#include "common/stop_check.hpp"
#include "kdtree/build_parts.hpp"

namespace vicinor::kdtree {
namespace {

// What the query and the saved-file format rely on, whichever way the tree
// was built.
void check_built_tree(const ImmutableKdTree& tree) {
    const std::size_t stem_count = tree.stems.size();
    if (!std::has_single_bit(stem_count)) raise_fault("k-d tree stems length is not a power of two");
    if (tree.leaves.size() > stem_count) raise_fault("k-d tree has more leaves than leaf positions");
    if (tree.stems[0] != kUnsetStem) raise_fault("k-d tree stem 0 is set");
    std::size_t stored = 0;
    for (const LeafNode& leaf : tree.leaves) {
        if (leaf.size > B) raise_fault("k-d tree leaf holds more than 32 points");
        stored += leaf.size;
    }
    if (stored != tree.size) raise_fault("k-d tree size differs from its leaves");
}

}  // namespace

ImmutableKdTree build_tree(PointColumns points) {
    // Items are 32-bit point numbers.
    if (points.size() > std::size_t{std::numeric_limits<Item>::max()} + 1) {
        raise_fault("too many points for 32-bit items: " + std::to_string(points.size()));
    }
    // More than one leaf's worth of identical points always overfills their
    // common leaf in the packed layout; skip the attempts that would show it.
    // Between the stages, a request to stop is heeded (stop_point).
    std::optional<ImmutableKdTree> tree;
    stop_point();
    const bool overfilled = detail::has_more_copies_than(points, B);
    stop_point();
    if (!overfilled) tree = detail::build_packed_tree(points);
    stop_point();
    if (!tree) tree = detail::build_robust_tree(points, detail::distinct_first_copies(points));
    stop_point();
    check_built_tree(*tree);
    return std::move(*tree);
}

ImmutableKdTree build_tree(std::span<const Point> points) {
    return build_tree(PointColumns::from_points(points));
}

}  // namespace vicinor::kdtree
