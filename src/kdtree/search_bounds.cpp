// Leaf boxes from the occupied slots, then stem boxes as the union of their
// two children, bottom-up. The union follows the node numbering, not the
// split values, so it holds for any loaded tree, consistent or not.
#include "kdtree/search_bounds.hpp"

#include <cmath>
#include <limits>

namespace vicinor::kdtree {
namespace {

constexpr float kFloatInf = std::numeric_limits<float>::infinity();
constexpr float kFloatMax = std::numeric_limits<float>::max();

// Largest float not above v. Out-of-range values are clamped by hand, as
// converting them is undefined.
float float_at_or_below(double v) {
    if (v > static_cast<double>(kFloatMax)) return kFloatMax;
    if (v < -static_cast<double>(kFloatMax)) return -kFloatInf;
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) f = std::nextafter(f, -kFloatInf);
    return f;
}

float float_at_or_above(double v) {
    if (v > static_cast<double>(kFloatMax)) return kFloatInf;
    if (v < -static_cast<double>(kFloatMax)) return -kFloatMax;
    float f = static_cast<float>(v);
    if (static_cast<double>(f) < v) f = std::nextafter(f, kFloatInf);
    return f;
}

constexpr SearchBox kEmptyBox = {{kFloatInf, kFloatInf, kFloatInf},
                                 {-kFloatInf, -kFloatInf, -kFloatInf}};

SearchBox leaf_box(const LeafNode& leaf) {
    double lo[K], hi[K];
    for (std::size_t d = 0; d < K; ++d) {
        lo[d] = std::numeric_limits<double>::infinity();
        hi[d] = -std::numeric_limits<double>::infinity();
    }
    const std::size_t occupied = leaf.size < B ? leaf.size : B;
    for (std::size_t slot = 0; slot < occupied; ++slot) {
        const double p[K] = {leaf.content_points[0][slot], leaf.content_points[1][slot],
                             leaf.content_points[2][slot]};
        if (std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2])) continue;
        for (std::size_t d = 0; d < K; ++d) {
            if (p[d] < lo[d]) lo[d] = p[d];
            if (p[d] > hi[d]) hi[d] = p[d];
        }
    }
    SearchBox box;
    for (std::size_t d = 0; d < K; ++d) {
        box.lo[d] = float_at_or_below(lo[d]);
        box.hi[d] = float_at_or_above(hi[d]);
    }
    return box;
}

SearchBox union_of(const SearchBox& a, const SearchBox& b) {
    SearchBox box;
    for (std::size_t d = 0; d < K; ++d) {
        box.lo[d] = a.lo[d] < b.lo[d] ? a.lo[d] : b.lo[d];
        box.hi[d] = a.hi[d] > b.hi[d] ? a.hi[d] : b.hi[d];
    }
    return box;
}

}  // namespace

SearchBounds compute_search_bounds(const ImmutableKdTree& tree) {
    SearchBounds bounds;
    bounds.stem_count = tree.stems.size();
    bounds.leaf_count = tree.leaves.size();
    const std::size_t node_count = bounds.stem_count + bounds.leaf_count;
    bounds.boxes.assign(node_count, kEmptyBox);
    for (std::size_t leaf = 0; leaf < bounds.leaf_count; ++leaf) {
        bounds.boxes[bounds.stem_count + leaf] = leaf_box(tree.leaves[leaf]);
    }
    // Children have higher numbers than their parent; a child numbered past
    // the last leaf does not exist and holds nothing.
    for (std::size_t node = bounds.stem_count; node-- > 1;) {
        const std::size_t left = 2 * node;
        const SearchBox& a = left < node_count ? bounds.boxes[left] : kEmptyBox;
        const SearchBox& b = left + 1 < node_count ? bounds.boxes[left + 1] : kEmptyBox;
        bounds.boxes[node] = union_of(a, b);
    }
    return bounds;
}

}  // namespace vicinor::kdtree
