#include "kdtree/spatial_numbering.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "common/stop_check.hpp"

namespace vicinor::kdtree::detail {
namespace {

// 16 cells a side over [-1, 1]: few enough that the sort's write heads
// stay in the cache, and a chunk deep in the tree still reads within a
// cell or two.
constexpr int kBitsPerAxis = 4;
constexpr std::size_t kCells = std::size_t{1} << (3 * kBitsPerAxis);

std::uint32_t axis_cell(double v) noexcept {
    constexpr double kSide = double(1 << kBitsPerAxis);
    if (!(v > -1.0)) return 0;  // NaN too
    if (!(v < 1.0)) return (1u << kBitsPerAxis) - 1;
    return static_cast<std::uint32_t>((v + 1.0) * (kSide / 2.0));
}

// The axis' bits spread three apart, for interleaving.
constexpr auto kSpread = [] {
    std::array<std::uint32_t, 1u << kBitsPerAxis> spread{};
    for (std::uint32_t c = 0; c < spread.size(); ++c) {
        for (int bit = 0; bit < kBitsPerAxis; ++bit) spread[c] |= ((c >> bit) & 1u) << (3 * bit);
    }
    return spread;
}();

// The cell's place on the Morton curve: the axes' bits interleaved.
std::uint32_t curve_cell(const Point& p) noexcept {
    return kSpread[axis_cell(p[0])] | kSpread[axis_cell(p[1])] << 1 | kSpread[axis_cell(p[2])] << 2;
}

}  // namespace

SpatialNumbering::SpatialNumbering(PointColumns& points, std::size_t min_points) {
    const std::size_t n = points.size();
    if (n < min_points || n == 0) return;
    // A counting sort by cell; within a cell, original order.
    std::vector<std::size_t> start(kCells + 1, 0);
    PageArray<std::uint32_t> cell(n);
    for (std::size_t k = 0; k < n; ++k) {
        cell[k] = curve_cell(points.point(k));
        ++start[cell[k] + 1];
    }
    for (std::size_t c = 0; c < kCells; ++c) start[c + 1] += start[c];
    original_ = PageArray<std::uint32_t>(n);
    std::vector<std::size_t> next(kCells);
    auto restart = [&] { std::copy(start.begin(), start.end() - 1, next.begin()); };
    restart();
    stop_point();
    for (std::size_t k = 0; k < n; ++k) original_[next[cell[k]]++] = static_cast<std::uint32_t>(k);
    // Column by column through one spare column, scattering: the reads run
    // in order and the stores do not wait for each other.
    PageArray<double> spare(n);
    for (std::size_t d = 0; d < K; ++d) {
        stop_point();
        const std::span<double> column = points.column(d);
        restart();
        for (std::size_t k = 0; k < n; ++k) spare[next[cell[k]]++] = column[k];
        std::copy(spare.data(), spare.data() + n, column.begin());
    }
}

void SpatialNumbering::restore(PointColumns& points) {
    const std::size_t n = original_.size();
    if (n == 0) return;
    PageArray<double> spare(n);
    for (std::size_t d = 0; d < K; ++d) {
        stop_point();
        const std::span<double> column = points.column(d);
        for (std::size_t i = 0; i < n; ++i) spare[original_[i]] = column[i];
        std::copy(spare.data(), spare.data() + n, column.begin());
    }
    original_ = PageArray<std::uint32_t>();
}

}  // namespace vicinor::kdtree::detail
