// Groups of value-equal points, found with one open-addressing pass: linear
// time, and the result depends only on the input order.
#include <algorithm>
#include <bit>
#include <limits>

#include "kdtree/build_parts.hpp"
#include "common/page_buffer.hpp"

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
    // Equal values must hash alike: fold -0.0 into +0.0. Independent
    // products, mixed once, keep the chain short.
    const std::uint64_t x = std::bit_cast<std::uint64_t>(point[0] + 0.0);
    const std::uint64_t y = std::bit_cast<std::uint64_t>(point[1] + 0.0);
    const std::uint64_t z = std::bit_cast<std::uint64_t>(point[2] + 0.0);
    return mix(x * 0x9e3779b97f4a7c15ULL + y * 0xc2b2ae3d27d4eb4fULL + z * 0x165667b19e3779f9ULL);
}

// A table slot: the group's first copy, a tag of the hash bits the slot
// number does not use, so that a probe past another group rarely reads that
// group's point, and the group's size so far, which is never 0 in a used
// slot (0 marks an empty one). One word per slot: a probe costs one cache
// line.
constexpr unsigned kFirstShift = 32;
constexpr unsigned kTagShift = 8;
constexpr std::uint64_t kTagMask = 0xFFFFFF;
constexpr std::uint64_t kCopiesMask = 0xFF;

// Calls `on_point(k, first, copies)` for every point k without NaN, with the
// first copy of its group and the group's size so far (saturating at 255).
// Stops early when `on_point` returns false.
template <class OnPoint>
void visit_groups(const PointColumns& points, OnPoint on_point) {
    const std::size_t n = points.size();
    // At most two thirds full: probes stay short.
    const std::size_t table_size = std::bit_ceil(std::max<std::size_t>(n + n / 2, 16));
    const std::size_t mask = table_size - 1;
    PageArray<std::uint64_t> slots(table_size);
    // Each point's hash is computed once, when its slot is asked for ahead.
    std::uint64_t hashes[kProbeAhead];
    for (std::size_t k = 0; k < std::min(n, kProbeAhead); ++k) {
        hashes[k] = hash_point(points.point(k));
    }
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t hash = hashes[k % kProbeAhead];
        // The slots are read in an order the hardware cannot foresee; asking
        // for a later point's slot early overlaps the waits.
        if (k + kProbeAhead < n) {
            const std::uint64_t ahead = hash_point(points.point(k + kProbeAhead));
            hashes[k % kProbeAhead] = ahead;
            __builtin_prefetch(slots.data() + (ahead & mask));
        }
        const Point point = points.point(k);
        if (has_nan(point)) continue;
        const std::uint64_t tag = (hash >> 40) & kTagMask;
        std::size_t slot = hash & mask;
        for (;;) {
            const std::uint64_t entry = slots[slot];
            if (entry == 0) {
                slots[slot] = (std::uint64_t{k} << kFirstShift) | (tag << kTagShift);
                break;
            }
            if (((entry >> kTagShift) & kTagMask) == tag &&
                points.point(entry >> kFirstShift) == point) {
                break;
            }
            slot = (slot + 1) & mask;
        }
        std::uint64_t& entry = slots[slot];
        if ((entry & kCopiesMask) != kCopiesMask) ++entry;
        if (!on_point(k, entry >> kFirstShift, entry & kCopiesMask)) return;
    }
}

// Whether some hash value is shared by more than `limit` points without
// NaN. Copies share their hash, so when none is, no group is that large
// either. The counters fit in cache, unlike the table of groups.
bool some_hash_shared_more_than(const PointColumns& points, std::size_t limit) {
    const std::size_t n = points.size();
    const std::size_t counter_count = std::bit_ceil(std::max<std::size_t>(2 * n, 16));
    const std::size_t mask = counter_count - 1;
    PageArray<std::uint8_t> counters(counter_count);
    for (std::size_t k = 0; k < n; ++k) {
        const Point point = points.point(k);
        if (has_nan(point)) continue;
        std::uint8_t& counter = counters[hash_point(point) & mask];
        if (counter == limit) return true;
        ++counter;
    }
    return false;
}

}  // namespace

bool has_more_copies_than(const PointColumns& points, std::size_t limit) {
    if (limit < std::numeric_limits<std::uint8_t>::max() &&
        !some_hash_shared_more_than(points, limit)) {
        return false;
    }
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
