#include "geocoder/row_hints.hpp"

#include <cstddef>

#include "geocoder/record.hpp"

namespace vicinor {

RowHints compute_row_hints(const ReverseGeocoder& geocoder) {
    const auto& leaves = geocoder.tree.leaves;
    RowHints hints;
    hints.slot_offsets.assign(leaves.size() * kdtree::B, kNoRow);
    for (std::size_t leaf = 0; leaf < leaves.size(); ++leaf) {
        const kdtree::LeafNode& node = leaves[leaf];
        const std::size_t used = node.size < kdtree::B ? node.size : kdtree::B;
        for (std::size_t slot = 0; slot < used; ++slot) {
            const kdtree::Item item = node.content_items[slot];
            if (item >= geocoder.indexed_data.size()) continue;
            const std::int64_t offset = geocoder.indexed_data[item].offset;
            if (offset < 0 || offset >= static_cast<std::int64_t>(kNoRow)) continue;
            hints.slot_offsets[leaf * kdtree::B + slot] = static_cast<std::uint32_t>(offset);
        }
    }
    return hints;
}

kdtree::AnswerPrefetch answer_prefetch(const ReverseGeocoder& geocoder) noexcept {
    const std::vector<std::uint32_t>& offsets = geocoder.row_hints.slot_offsets;
    if (offsets.empty() || offsets.size() != geocoder.tree.leaves.size() * kdtree::B) {
        return kdtree::AnswerPrefetch{};
    }
    return kdtree::AnswerPrefetch::over(offsets.data(), geocoder.tree.leaves.size(),
                                        geocoder.csv.data(), geocoder.csv.size(),
                                        geocoder.indexed_data.data(), sizeof(StringSlice),
                                        geocoder.indexed_data.size());
}

}  // namespace vicinor
