// Finding the first copy of every distinct point with one open-addressing
// pass: linear time, and the result depends only on the input order.
#include <algorithm>
#include <bit>
#include <limits>

#include "kdtree/build_parts.hpp"

namespace vicinor::kdtree::detail {
namespace {

constexpr std::uint32_t kEmptySlot = std::numeric_limits<std::uint32_t>::max();

bool has_nan(const Point& point) noexcept {
    return point[0] != point[0] || point[1] != point[1] || point[2] != point[2];
}

std::uint64_t mix(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

std::uint64_t hash_point(const Point& point) noexcept {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL;
    for (double coordinate : point) {
        // Equal values must hash alike: fold -0.0 into +0.0.
        h = mix(h ^ std::bit_cast<std::uint64_t>(coordinate + 0.0));
    }
    return h;
}

}  // namespace

DistinctPoints find_distinct_points(std::span<const Point> points) {
    DistinctPoints result;
    const std::size_t table_size = std::bit_ceil(std::max<std::size_t>(2 * points.size(), 16));
    const std::size_t mask = table_size - 1;
    std::vector<std::uint32_t> first(table_size, kEmptySlot);  // point number per slot
    std::vector<std::uint32_t> copies(table_size, 0);
    result.first_copies.reserve(points.size());
    for (std::size_t k = 0; k < points.size(); ++k) {
        const Point& point = points[k];
        if (has_nan(point)) continue;
        std::size_t slot = hash_point(point) & mask;
        while (first[slot] != kEmptySlot && points[first[slot]] != point) slot = (slot + 1) & mask;
        if (first[slot] == kEmptySlot) {
            first[slot] = static_cast<std::uint32_t>(k);
            result.first_copies.push_back(first[slot]);
        }
        result.largest_group = std::max<std::size_t>(result.largest_group, ++copies[slot]);
    }
    return result;
}

}  // namespace vicinor::kdtree::detail
