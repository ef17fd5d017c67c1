#include "geocoder/answer_prefetch.hpp"

#include <vector>

namespace vicinor {

AnswerPrefetch::AnswerPrefetch(const ReverseGeocoder& geocoder) noexcept {
    const std::vector<std::uint32_t>& offsets = geocoder.row_hints.slot_offsets;
    if (offsets.empty() || offsets.size() != geocoder.tree.leaves.size() * kdtree::B) return;
    slot_offsets_ = offsets.data();
    text_ = geocoder.csv.data();
    text_size_ = geocoder.csv.size();
    rows_ = geocoder.indexed_data.data();
    row_count_ = geocoder.indexed_data.size();
}

kdtree::AnswerHook AnswerPrefetch::hook() const noexcept {
    if (!active()) return {};
    return kdtree::AnswerHook{this, entering_leaf, new_best};
}

// The leaf's row offsets: two cache lines, fetched alongside the leaf.
void AnswerPrefetch::entering_leaf(const void* self, std::size_t leaf) noexcept {
    const std::uint32_t* first =
        static_cast<const AnswerPrefetch*>(self)->slot_offsets_ + leaf * kdtree::B;
    __builtin_prefetch(first);
    __builtin_prefetch(first + kdtree::B - 1);
}

// Both cache lines of the row's text (a row is rarely longer than one line,
// but often straddles two) and its slice. Hints are derived data: one past
// the text (kNoRow included) or an item past the rows fetches nothing.
void AnswerPrefetch::new_best(const void* self, std::size_t leaf, std::size_t slot,
                              kdtree::Item item) noexcept {
    const auto& prefetch = *static_cast<const AnswerPrefetch*>(self);
    const std::size_t offset = prefetch.slot_offsets_[leaf * kdtree::B + slot];
    if (offset < prefetch.text_size_) {
        const std::size_t last = prefetch.text_size_ - 1;
        __builtin_prefetch(prefetch.text_ + offset);
        __builtin_prefetch(prefetch.text_ + (offset + 63 < last ? offset + 63 : last));
    }
    if (item < prefetch.row_count_) __builtin_prefetch(prefetch.rows_ + item);
}

}  // namespace vicinor
