// Whether any coordinate of the points is NaN or -0.0: the two values whose
// copies compare in ways the split repair's bookkeeping must allow for.
#pragma once

#include "common/cpu_dispatch.hpp"
#include "kdtree/point_columns.hpp"

namespace vicinor::kdtree::detail {

struct SpecialValues {
    bool nan = false;
    bool negative_zero = false;
};

// Uses the widest form the CPU runs.
SpecialValues special_values(const PointColumns& points) noexcept;

// The same with the form for `level` (see cpu::KernelForms::at).
SpecialValues special_values_with(cpu::Level level, const PointColumns& points) noexcept;

}  // namespace vicinor::kdtree::detail
