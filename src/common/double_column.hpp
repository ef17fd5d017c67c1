// A column of doubles read in place from a caller's buffer, shared by the
// batch entry points of every layer.
#pragma once

#include <cstddef>

namespace vicinor {

// Element i is at data[i * stride].
struct DoubleColumn {
    const double* data = nullptr;
    std::ptrdiff_t stride = 1;  // in elements
    double operator[](std::size_t i) const noexcept { return *at(i); }
    const double* at(std::size_t i) const noexcept {
        return data + static_cast<std::ptrdiff_t>(i) * stride;
    }
};

}  // namespace vicinor
