// Where each leaf slot's row starts in the stored text: a derived,
// query-only copy of the slice offsets in leaf order, computed after the
// geocoder is built or loaded and never saved. A lookup prefetches the
// answer's row through it while the search is still running, instead of
// waiting first for the slice and then for the text.
#pragma once

#include <cstdint>
#include <vector>

#include "kdtree/tree.hpp"

namespace vicinor {

struct ReverseGeocoder;

struct RowHints {
    // Entry leaf * B + slot; kNoRow for an unused slot or an item without
    // a usable slice. 4 bytes a slot.
    std::vector<std::uint32_t> slot_offsets;
};

inline constexpr std::uint32_t kNoRow = UINT32_MAX;

// O(leaves x 32). The hints only steer prefetches; a lookup still reads
// and checks the slice itself, so stale or damaged hints cost speed only.
RowHints compute_row_hints(const ReverseGeocoder& geocoder);

}  // namespace vicinor
