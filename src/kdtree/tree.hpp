// The immutable k-d tree: split values in one flat heap-ordered array and
// points in fixed 32-slot structure-of-arrays buckets. The layout (unused
// slots and stems included) is also the saved-file layout, so it is exact.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace vicinor::kdtree {

inline constexpr std::size_t K = 3;   // dimensions
inline constexpr std::size_t B = 32;  // slots per leaf

using Item = std::uint32_t;
using Point = std::array<double, K>;

inline constexpr double kUnsetStem = std::numeric_limits<double>::infinity();

// 64-byte alignment lets a leaf scan use aligned vector loads; each of the
// three coordinate arrays is exactly 256 bytes.
struct alignas(64) LeafNode {
    double content_points[K][B] = {};
    Item content_items[B] = {};
    std::uint32_t size = 0;
};

struct ImmutableKdTree {
    std::vector<LeafNode> leaves;
    std::vector<double> stems;  // length is a power of two; entry 0 unused
    std::size_t size = 0;       // number of stored points
};

}  // namespace vicinor::kdtree
