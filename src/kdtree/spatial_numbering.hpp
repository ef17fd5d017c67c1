// Construction reads coordinates through point numbers, chunk by chunk, and
// chunks are boxes of space. Numbered in input order, a large table's
// points in one box lie all over the columns, and nearly every read misses
// the cache. Numbering them along a space-filling curve for the duration of
// the construction puts a box's coordinates close together. Only the
// storage moves: ties between copies are still decided by the original
// numbers (see `original`), so the layout is the same.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/page_buffer.hpp"
#include "kdtree/point_columns.hpp"

namespace vicinor::kdtree::detail {

class SpatialNumbering {
public:
    // Tables smaller than this fit the caches anyway; renumbering would
    // only cost its passes.
    static constexpr std::size_t kMinPoints = std::size_t{1} << 19;

    SpatialNumbering() = default;

    // Reorders `points` in place along the curve when there are at least
    // `min_points`; otherwise numbers stay as they are.
    explicit SpatialNumbering(PointColumns& points, std::size_t min_points = kMinPoints);

    // Puts the points back in their original order.
    void restore(PointColumns& points);

    bool renumbered() const noexcept { return original_.size() != 0; }

    // The original number of the point now numbered `number`.
    std::uint32_t original(std::uint32_t number) const noexcept {
        return original_.size() == 0 ? number : original_[number];
    }

private:
    PageArray<std::uint32_t> original_;  // empty: not renumbered
};

}  // namespace vicinor::kdtree::detail
