// Descents of consecutive points to their leaves, for placing them. One
// descent is a chain of dependent loads; many descents side by side keep the
// core busy while one waits, and on x86 a variant with 8-lane gathers takes
// eight of them per instruction. Every variant gives the same leaves.
#pragma once

#include <cstddef>
#include <span>

#include "common/cpu_dispatch.hpp"
#include "kdtree/point_columns.hpp"

namespace vicinor::kdtree::detail {

// Points descended per call.
inline constexpr std::size_t kDescentBlock = 64;

// The leaf numbers of points [first, first + kDescentBlock) of `points`, as
// descend_to_leaf gives them: coordinate >= stem goes right, anything else
// (a NaN included) left. `stems` has power-of-two length, at least 1.
void descend_block(std::span<const double> stems, const PointColumns& points, std::size_t first,
                   std::size_t (&leaves)[kDescentBlock]) noexcept;

// The same with the form for `level` (see cpu::KernelForms::at).
void descend_block_with(cpu::Level level, std::span<const double> stems,
                        const PointColumns& points, std::size_t first,
                        std::size_t (&leaves)[kDescentBlock]) noexcept;

}  // namespace vicinor::kdtree::detail
