#include "geocoder/row_hints.hpp"

#include <cstddef>

#include "geocoder/record.hpp"

namespace vicinor {
namespace {

constexpr std::size_t kLeavesAhead = 8;

}  // namespace

RowHints compute_row_hints(const ReverseGeocoder& geocoder) {
    const auto& leaves = geocoder.tree.leaves;
    RowHints hints;
    hints.slot_offsets.assign(leaves.size() * kdtree::B, kNoRow);
    const auto& rows = geocoder.indexed_data;
    for (std::size_t leaf = 0; leaf < leaves.size(); ++leaf) {
        // Leaves lie a kilobyte apart and their rows are scattered: the
        // hardware foresees neither, so ask for a later leaf's items and
        // the next leaf's rows while this one's are copied.
        if (leaf + kLeavesAhead < leaves.size()) {
            const auto* items = leaves[leaf + kLeavesAhead].content_items;
            __builtin_prefetch(items);
            __builtin_prefetch(items + kdtree::B / 2);
        }
        if (leaf + 1 < leaves.size()) {
            const kdtree::LeafNode& next = leaves[leaf + 1];
            const std::size_t count = next.size < kdtree::B ? next.size : kdtree::B;
            for (std::size_t slot = 0; slot < count; ++slot) {
                const kdtree::Item item = next.content_items[slot];
                if (item < rows.size()) __builtin_prefetch(&rows[item]);
            }
        }
        const kdtree::LeafNode& node = leaves[leaf];
        const std::size_t used = node.size < kdtree::B ? node.size : kdtree::B;
        for (std::size_t slot = 0; slot < used; ++slot) {
            const kdtree::Item item = node.content_items[slot];
            if (item >= rows.size()) continue;
            const std::int64_t offset = rows[item].offset;
            if (offset < 0 || offset >= static_cast<std::int64_t>(kNoRow)) continue;
            hints.slot_offsets[leaf * kdtree::B + slot] = static_cast<std::uint32_t>(offset);
        }
    }
    return hints;
}

}  // namespace vicinor
