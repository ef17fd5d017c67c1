#include "kdtree/change_book.hpp"

namespace vicinor::kdtree::detail {

ChangeSlice ChangeBook::push(const SideChanges& side, ChangeSlice also) {
    ChangeSlice slice;
    slice.unknown = false;
    slice.positions_begin = arena_.size();
    arena_.insert(arena_.end(), side.positions.begin(), side.positions.end());
    // Reserved first: copying within the arena must not reallocate under
    // the source.
    arena_.reserve(arena_.size() + (also.positions_end - also.positions_begin));
    for (std::size_t i = also.positions_begin; i < also.positions_end; ++i) {
        arena_.push_back(arena_[i]);
    }
    slice.positions_end = arena_.size();
    return slice;
}

ChangeSlice ChangeBook::with_positions(ChangeSlice changes, std::size_t begin, std::size_t end) {
    if (changes.unknown || begin == end) return changes;
    gained_.positions.clear();
    for (std::size_t q = begin; q < end; ++q) {
        gained_.positions.push_back(static_cast<std::uint32_t>(q));
    }
    return push(gained_, changes);
}

void ChangeBook::hold(std::size_t node, ChangeSlice changes) {
    if (changes.none()) return;
    SideChanges& waiting = held_[node];
    waiting.positions.insert(waiting.positions.end(), arena_.begin() + changes.positions_begin,
                             arena_.begin() + changes.positions_end);
}

void ChangeBook::translate(std::size_t node, std::ptrdiff_t delta) {
    auto waiting = held_.find(node);
    if (waiting == held_.end()) return;
    for (std::uint32_t& position : waiting->second.positions) {
        position = static_cast<std::uint32_t>(static_cast<std::ptrdiff_t>(position) + delta);
    }
}

ChangeSlice ChangeBook::with_held(std::size_t node, ChangeSlice changes) {
    auto waiting = held_.find(node);
    if (waiting == held_.end()) return changes;
    ChangeSlice merged = changes;
    if (!changes.unknown) merged = push(waiting->second, changes);
    held_.erase(waiting);
    return merged;
}

}  // namespace vicinor::kdtree::detail
