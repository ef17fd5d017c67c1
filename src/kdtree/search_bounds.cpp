// Leaf boxes from the occupied slots, then stem boxes as the union of their
// two children, bottom-up. The union follows the node numbering, not the
// split values, so it holds for any loaded tree, consistent or not.
#include "kdtree/search_bounds.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "common/page_buffer.hpp"
#include "kdtree/query.hpp"

namespace vicinor::kdtree {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kFloatInf = std::numeric_limits<float>::infinity();
constexpr float kFloatMax = std::numeric_limits<float>::max();

// Seeds are worth their memory only where there are many leaves: at most
// one cell per leaf, and no more than 1536 cells (37 KB), as finer grids
// measured no faster on the world table.
constexpr std::size_t kLeavesPerSeedCell = 1;
constexpr std::size_t kMaxSeedGrid = 16;

constexpr std::size_t kMaxStemsPerLeaf = 4;

// Exact boxes, kept while the bounds are computed.
struct ExactBox {
    double lo[K] = {kInf, kInf, kInf};
    double hi[K] = {-kInf, -kInf, -kInf};

    bool empty() const { return lo[0] > hi[0]; }
};

// Largest float not above v. Out-of-range values are clamped by hand, as
// converting them is undefined; infinities stay, so an empty box stays empty.
float float_at_or_below(double v) {
    if (v > static_cast<double>(kFloatMax)) return std::isinf(v) ? kFloatInf : kFloatMax;
    if (v < -static_cast<double>(kFloatMax)) return -kFloatInf;
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) f = std::nextafter(f, -kFloatInf);
    return f;
}

float float_at_or_above(double v) {
    if (v > static_cast<double>(kFloatMax)) return kFloatInf;
    if (v < -static_cast<double>(kFloatMax)) return std::isinf(v) ? -kFloatInf : -kFloatMax;
    float f = static_cast<float>(v);
    if (static_cast<double>(f) < v) f = std::nextafter(f, kFloatInf);
    return f;
}

Point slot_point(const LeafNode& leaf, std::size_t slot) {
    return {leaf.content_points[0][slot], leaf.content_points[1][slot],
            leaf.content_points[2][slot]};
}

std::size_t occupied_slots(const LeafNode& leaf) { return leaf.size < B ? leaf.size : B; }

bool has_nan(const Point& p) { return std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2]); }

ExactBox leaf_box(const LeafNode& leaf) {
    ExactBox box;
    for (std::size_t slot = 0; slot < occupied_slots(leaf); ++slot) {
        const Point p = slot_point(leaf, slot);
        if (has_nan(p)) continue;
        for (std::size_t d = 0; d < K; ++d) {
            if (p[d] < box.lo[d]) box.lo[d] = p[d];
            if (p[d] > box.hi[d]) box.hi[d] = p[d];
        }
    }
    return box;
}

ExactBox union_of(const ExactBox& a, const ExactBox& b) {
    ExactBox box;
    for (std::size_t d = 0; d < K; ++d) {
        box.lo[d] = a.lo[d] < b.lo[d] ? a.lo[d] : b.lo[d];
        box.hi[d] = a.hi[d] > b.hi[d] ? a.hi[d] : b.hi[d];
    }
    return box;
}

// Exact boxes of every node, numbered as in SearchBounds. Like the other
// temporaries here they live in pages returned when freed, so that they do
// not stay resident under what construction allocates next.
PageArray<ExactBox> exact_boxes(const ImmutableKdTree& tree) {
    const std::size_t stem_count = tree.stems.size();
    const std::size_t node_count = stem_count + tree.leaves.size();
    PageArray<ExactBox> boxes(node_count);
    if (node_count > 0) boxes[0] = ExactBox{};  // unused; every other node is set below
    for (std::size_t leaf = 0; leaf < tree.leaves.size(); ++leaf) {
        boxes[stem_count + leaf] = leaf_box(tree.leaves[leaf]);
    }
    // Children have higher numbers than their parent; a child numbered past
    // the last leaf does not exist and holds nothing.
    const ExactBox none;
    for (std::size_t node = stem_count; node-- > 1;) {
        const std::size_t left = 2 * node;
        boxes[node] = union_of(left < node_count ? boxes[left] : none,
                               left + 1 < node_count ? boxes[left + 1] : none);
    }
    return boxes;
}

// Whether every point (NaN ones aside, which never answer) lies in the
// closed cell the search assumes: at or below a split on the left, at or
// above it on the right. A point on the split plane is as far from a query
// on that axis as the plane, so either side keeps the search exact. A NaN
// split tells the search nothing, so anything may lie under it.
bool points_on_their_sides(const ImmutableKdTree& tree, const PageArray<ExactBox>& boxes) {
    const std::size_t stem_count = tree.stems.size();
    if (stem_count == 0) return false;  // the search would start past the stems
    for (std::size_t node = 1; node < stem_count; ++node) {
        const double split = tree.stems[node];
        if (std::isnan(split)) continue;
        const std::size_t d = static_cast<std::size_t>(std::bit_width(node) - 1) % K;
        const std::size_t left = 2 * node;
        if (left < boxes.size() && !boxes[left].empty() && !(boxes[left].hi[d] <= split)) {
            return false;
        }
        if (left + 1 < boxes.size() && !boxes[left + 1].empty() &&
            !(boxes[left + 1].lo[d] >= split)) {
            return false;
        }
    }
    return true;
}

// The centre of a cell's square, moved onto the unit sphere where queries
// lie: the stored point nearest to it is a closer start for the cell's
// queries, and the seed's own search ends sooner than from the cube's face.
Point cell_centre(std::size_t cell, std::size_t grid) {
    const std::size_t face = cell / (grid * grid);
    const double a = (static_cast<double>(cell / grid % grid) + 0.5) / static_cast<double>(grid) * 2.0 - 1.0;
    const double b = (static_cast<double>(cell % grid) + 0.5) / static_cast<double>(grid) * 2.0 - 1.0;
    const double major = face % 2 == 0 ? 1.0 : -1.0;
    const double norm = std::sqrt(1.0 + a * a + b * b);
    switch (face / 2) {
        case 0: return {major / norm, a / norm, b / norm};
        case 1: return {a / norm, major / norm, b / norm};
        default: return {a / norm, b / norm, major / norm};
    }
}

// The seed of each cell is the stored point nearest to the cell's centre,
// found by the search itself.
void place_seeds(const ImmutableKdTree& tree, SearchBounds& bounds) {
    // Each cell's search starts from the seed of the cell before it, a
    // neighbour on the same face mostly: any stored point the search
    // reaches is a valid start, and a near one makes the search cheap.
    const std::size_t grid = bounds.seed_grid;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    bounds.seeds.assign(6 * grid * grid, Point{nan, nan, nan});
    for (std::size_t cell = 0; cell < bounds.seeds.size(); ++cell) {
        const Point centre = cell_centre(cell, grid);
        if (cell > 0 && seed_cell(centre, grid) == cell) bounds.seeds[cell] = bounds.seeds[cell - 1];
        const Nearest nearest = nearest_one(tree, bounds, centre);
        Point seed{nan, nan, nan};
        if (nearest.found && nearest.position / B < tree.leaves.size()) {
            seed = slot_point(tree.leaves[nearest.position / B], nearest.position % B);
        }
        bounds.seeds[cell] = seed;
    }
}

}  // namespace

SearchBounds compute_search_bounds(const ImmutableKdTree& tree) {
    // A built tree has fewer stems than twice its leaves. A loaded one with
    // far more would make these bounds many times the size of its file:
    // it is searched without them.
    if (tree.stems.size() > kMaxStemsPerLeaf * tree.leaves.size() + 2) return SearchBounds{};
    const PageArray<ExactBox> exact = exact_boxes(tree);
    SearchBounds bounds;
    bounds.stem_count = tree.stems.size();
    bounds.leaf_count = tree.leaves.size();
    bounds.boxes.resize(exact.size());
    for (std::size_t node = 0; node < exact.size(); ++node) {
        for (std::size_t d = 0; d < K; ++d) {
            bounds.boxes[node].lo[d] = float_at_or_below(exact[node].lo[d]);
            bounds.boxes[node].hi[d] = float_at_or_above(exact[node].hi[d]);
        }
    }

    std::size_t grid = 0;
    while (grid < kMaxSeedGrid && 6 * (grid + 1) * (grid + 1) * kLeavesPerSeedCell <= tree.leaves.size()) {
        ++grid;
    }
    if (grid > 0 && points_on_their_sides(tree, exact)) {
        bounds.seed_grid = grid;  // the seeds' own search runs without seeds
        place_seeds(tree, bounds);
    }
    return bounds;
}

}  // namespace vicinor::kdtree
