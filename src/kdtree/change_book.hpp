// What changed in each chunk since its node last divided it, for the split
// repair: lists of positions kept in one arena, handed down the tree as
// slices, and held for a node whose parent returned before calling it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "kdtree/split_repair.hpp"

namespace vicinor::kdtree::detail {

// A stretch of the arena, or no knowledge at all (`unknown`): the node
// then selects afresh.
struct ChangeSlice {
    std::size_t positions_begin = 0;
    std::size_t positions_end = 0;
    bool unknown = true;

    bool none() const noexcept { return !unknown && positions_begin == positions_end; }
};

inline constexpr ChangeSlice kNoChanges{.unknown = false};

class ChangeBook {
public:
    // Copies `side`'s positions, and those of `also` (a slice already in the
    // arena), to the top of the arena.
    ChangeSlice push(const SideChanges& side, ChangeSlice also = kNoChanges);

    // `changes` plus the positions [begin, end).
    ChangeSlice with_positions(ChangeSlice changes, std::size_t begin, std::size_t end);

    ChunkChanges view(ChangeSlice slice) const noexcept {
        return ChunkChanges{std::span(arena_.data() + slice.positions_begin,
                                      slice.positions_end - slice.positions_begin)};
    }

    // Slices pushed after a mark die when the arena is cut back to it.
    std::size_t mark() const noexcept { return arena_.size(); }
    void cut_back(std::size_t mark) { arena_.resize(mark); }

    // Holds `changes` for `node`'s next call; `forget` drops what it held.
    void hold(std::size_t node, ChangeSlice changes);
    void forget(std::size_t node) { held_.erase(node); }
    void forget_all() { held_.clear(); }

    // The chunk `node` will see moved by `delta` positions as a whole:
    // what is held for it moves along.
    void translate(std::size_t node, std::ptrdiff_t delta);

    // `changes` plus what was held for `node`, which is then released.
    ChangeSlice with_held(std::size_t node, ChangeSlice changes);

private:
    std::vector<std::uint32_t> arena_;  // the slices' lists
    SideChanges gained_;
    // Changes a node has not heard of because its parent returned early.
    std::unordered_map<std::size_t, SideChanges> held_;
};

}  // namespace vicinor::kdtree::detail
