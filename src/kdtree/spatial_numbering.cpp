#include "kdtree/spatial_numbering.hpp"

#include <algorithm>
#include <vector>

namespace vicinor::kdtree::detail {
namespace {

// 64 cells a side over [-1, 1]: a cell of a large table holds a few hundred
// points on the sphere, a few pages of each column.
constexpr int kBitsPerAxis = 6;
constexpr std::size_t kCells = std::size_t{1} << (3 * kBitsPerAxis);

std::uint32_t axis_cell(double v) noexcept {
    constexpr double kSide = double(1 << kBitsPerAxis);
    if (!(v > -1.0)) return 0;  // NaN too
    if (!(v < 1.0)) return (1u << kBitsPerAxis) - 1;
    return static_cast<std::uint32_t>((v + 1.0) * (kSide / 2.0));
}

// The cell's place on the Morton curve: the axes' bits interleaved.
std::uint32_t curve_cell(const Point& p) noexcept {
    std::uint32_t code = 0;
    for (std::size_t d = 0; d < K; ++d) {
        const std::uint32_t c = axis_cell(p[d]);
        for (int bit = 0; bit < kBitsPerAxis; ++bit) {
            code |= ((c >> bit) & 1u) << (3 * bit + static_cast<int>(d));
        }
    }
    return code;
}

}  // namespace

SpatialNumbering::SpatialNumbering(PointColumns& points, std::size_t min_points) {
    const std::size_t n = points.size();
    if (n < min_points || n == 0) return;
    // A counting sort by cell; within a cell, original order.
    std::vector<std::uint32_t> start(kCells + 1, 0);
    for (std::size_t k = 0; k < n; ++k) ++start[curve_cell(points.point(k)) + 1];
    for (std::size_t c = 0; c < kCells; ++c) start[c + 1] += start[c];
    original_ = PageArray<std::uint32_t>(n);
    for (std::size_t k = 0; k < n; ++k) {
        original_[start[curve_cell(points.point(k))]++] = static_cast<std::uint32_t>(k);
    }
    // Column by column through one spare column: the loads are independent
    // of each other, so the memory system overlaps their misses.
    std::vector<double> spare(n);
    for (std::size_t d = 0; d < K; ++d) {
        const std::span<double> column = points.column(d);
        for (std::size_t i = 0; i < n; ++i) spare[i] = column[original_[i]];
        std::copy(spare.begin(), spare.end(), column.begin());
    }
}

void SpatialNumbering::restore(PointColumns& points) {
    const std::size_t n = original_.size();
    if (n == 0) return;
    std::vector<double> spare(n);
    for (std::size_t d = 0; d < K; ++d) {
        const std::span<double> column = points.column(d);
        for (std::size_t i = 0; i < n; ++i) spare[original_[i]] = column[i];
        std::copy(spare.begin(), spare.end(), column.begin());
    }
    original_ = PageArray<std::uint32_t>();
}

}  // namespace vicinor::kdtree::detail
