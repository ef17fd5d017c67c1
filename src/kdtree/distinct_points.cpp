// Groups of value-equal points, found with one open-addressing pass: linear
// time, and the result depends only on the input order.
#include <algorithm>
#include <bit>
#include <limits>

#include "kdtree/build_parts.hpp"
#include "kdtree/page_buffer.hpp"

namespace vicinor::kdtree::detail {
namespace {

bool has_nan(const Point& point) noexcept {
    return point[0] != point[0] || point[1] != point[1] || point[2] != point[2];
}

std::uint64_t mix(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

// How many points ahead the table slot is fetched.
constexpr std::size_t kProbeAhead = 16;

std::uint64_t hash_point(const Point& point) noexcept {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL;
    for (double coordinate : point) {
        // Equal values must hash alike: fold -0.0 into +0.0.
        h = mix(h ^ std::bit_cast<std::uint64_t>(coordinate + 0.0));
    }
    return h;
}

// Calls `on_point(k, first, copies)` for every point k without NaN, with the
// first copy of its group and the group's size so far (saturating at 255).
// Stops early when `on_point` returns false.
template <class OnPoint>
void visit_groups(const PointColumns& points, OnPoint on_point) {
    const std::size_t n = points.size();
    const std::size_t table_size = std::bit_ceil(std::max<std::size_t>(2 * n, 16));
    const std::size_t mask = table_size - 1;
    PageArray<std::uint32_t> first_plus_one(table_size);  // 0: empty slot
    PageArray<std::uint8_t> copies(table_size);
    for (std::size_t k = 0; k < n; ++k) {
        // The slots are read in an order the hardware cannot foresee; asking
        // for a later point's slot early overlaps the waits.
        if (k + kProbeAhead < n) {
            const std::size_t ahead = hash_point(points.point(k + kProbeAhead)) & mask;
            __builtin_prefetch(first_plus_one.data() + ahead);
            __builtin_prefetch(copies.data() + ahead);
        }
        const Point point = points.point(k);
        if (has_nan(point)) continue;
        std::size_t slot = hash_point(point) & mask;
        while (first_plus_one[slot] != 0 && points.point(first_plus_one[slot] - 1) != point) {
            slot = (slot + 1) & mask;
        }
        if (first_plus_one[slot] == 0) first_plus_one[slot] = static_cast<std::uint32_t>(k + 1);
        if (copies[slot] != std::numeric_limits<std::uint8_t>::max()) ++copies[slot];
        if (!on_point(k, first_plus_one[slot] - 1, copies[slot])) return;
    }
}

}  // namespace

bool has_more_copies_than(const PointColumns& points, std::size_t limit) {
    bool found = false;
    visit_groups(points, [&](std::size_t, std::size_t, std::size_t copies) {
        found = copies > limit;
        return !found;
    });
    return found;
}

std::vector<std::uint32_t> distinct_first_copies(const PointColumns& points) {
    std::vector<std::uint32_t> first_copies;
    visit_groups(points, [&](std::size_t k, std::size_t first, std::size_t) {
        if (first == k) first_copies.push_back(static_cast<std::uint32_t>(k));
        return true;
    });
    return first_copies;
}

}  // namespace vicinor::kdtree::detail
