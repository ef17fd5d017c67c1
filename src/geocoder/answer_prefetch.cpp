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
    leaf_count_ = geocoder.tree.leaves.size();
}

kdtree::AnswerHook AnswerPrefetch::hook() const noexcept {
    if (!active()) return {};
    // A leaf's row offsets (two cache lines) arrive with the leaf, so the
    // answer's row can be fetched the moment the scan picks it.
    kdtree::AnswerHook hook;
    hook.context = this;
    hook.new_best = new_best;
    hook.per_leaf = reinterpret_cast<const std::byte*>(slot_offsets_);
    hook.per_leaf_stride = kdtree::B * sizeof(std::uint32_t);
    hook.per_leaf_bytes = kdtree::B * sizeof(std::uint32_t);
    hook.per_leaf_count = leaf_count_;
    return hook;
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
