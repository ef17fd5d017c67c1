// Fetching the answer's row while the search still runs: the search names
// each new best slot (kdtree::AnswerHook), and this turns it into
// prefetches of the row's slice and text; each leaf's row hints come with
// the leaf. Only the geocoder knows that layout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "geocoder/record.hpp"
#include "kdtree/answer_hook.hpp"

namespace vicinor {

class AnswerPrefetch {
public:
    // Over `geocoder`'s row hints, which must outlive this. Prefetches
    // nothing when the hints are missing or do not fit the tree.
    explicit AnswerPrefetch(const ReverseGeocoder& geocoder) noexcept;

    bool active() const noexcept { return slot_offsets_ != nullptr; }

    // The hook to give the search; not usable() when inactive. Refers to
    // this object.
    kdtree::AnswerHook hook() const noexcept;

private:
    static void new_best(const void* self, std::size_t leaf, std::size_t slot,
                         kdtree::Item item) noexcept;

    const std::uint32_t* slot_offsets_ = nullptr;  // leaf * B + slot
    const char* text_ = nullptr;
    std::size_t text_size_ = 0;
    const StringSlice* rows_ = nullptr;
    std::size_t row_count_ = 0;
    std::size_t leaf_count_ = 0;
};

}  // namespace vicinor
