// The branch-free pass a split repair makes over one side of a chunk: which
// positions of the permutation hold a point whose coordinate lies in a
// closed range. The reads go through the permutation, so they scatter; on
// x86 a variant with 8-lane gathers does eight positions per step. Every
// variant gives the same positions in the same order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu_dispatch.hpp"

namespace vicinor::kdtree::detail {

// A vector step may write this many entries past the last one found.
inline constexpr std::size_t kScanSlack = 8;

// Writes to `out`, in increasing order, every position p in [begin, end) with
// lowest <= column[order[p]] <= highest (NaN never qualifies) and returns how
// many. `out` needs room for end - begin + kScanSlack entries; positions and
// the entries of `order` must be below 2^31 (the vector variant indexes with
// signed 32-bit lanes), as they are where repairs run. Uses the widest
// variant the CPU runs.
std::size_t scan_in_range(const std::uint32_t* order, std::size_t begin, std::size_t end,
                          const double* column, double lowest, double highest,
                          std::uint32_t* out) noexcept;

// The same with the form for `level` (see cpu::KernelForms::at).
std::size_t scan_in_range_with(cpu::Level level, const std::uint32_t* order, std::size_t begin,
                               std::size_t end, const double* column, double lowest,
                               double highest, std::uint32_t* out) noexcept;

}  // namespace vicinor::kdtree::detail
