// Points to build a tree from, stored as one column per dimension: all x,
// then all y, then all z. A split reads one dimension of many points, and a
// column keeps those reads dense. The storage comes from the operating
// system, so construction can hand consumed parts back while it places the
// points into leaves.
#pragma once

#include <cstddef>
#include <span>

#include "common/fault.hpp"
#include "common/page_buffer.hpp"
#include "kdtree/tree.hpp"

namespace vicinor::kdtree {

class PointColumns {
public:
    PointColumns() = default;
    // Room for `capacity` points; the count known before they are read.
    explicit PointColumns(std::size_t capacity) : values_(capacity * K), capacity_(capacity) {}

    static PointColumns from_points(std::span<const Point> points) {
        PointColumns columns(points.size());
        for (const Point& point : points) columns.push_back(point);
        return columns;
    }

    void push_back(const Point& point) {
        if (size_ == capacity_) raise_fault("more points than the room made for them");
        for (std::size_t d = 0; d < K; ++d) values_[d * capacity_ + size_] = point[d];
        ++size_;
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }

    std::span<const double> column(std::size_t dim) const noexcept {
        return {values_.data() + dim * capacity_, size_};
    }
    std::span<double> column(std::size_t dim) noexcept {
        return {values_.data() + dim * capacity_, size_};
    }

    Point point(std::size_t k) const noexcept {
        return {values_[k], values_[capacity_ + k], values_[2 * capacity_ + k]};
    }

    // Points [0, count) are no longer needed; their pages go back.
    void release_prefix(std::size_t count) noexcept {
        for (std::size_t d = 0; d < K; ++d) values_.release(d * capacity_, count);
    }

private:
    PageArray<double> values_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace vicinor::kdtree
