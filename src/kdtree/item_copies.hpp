// Items the tree does not store because an equal point stands for them:
// when a table holds more copies of one place than a leaf can take, the
// tree keeps the first copy only. That loses no nearest answer (the first
// copy wins every tie), but the k nearest and the rows within a distance
// must list every copy, so a search adds these wherever their stand-in
// is found.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "kdtree/tree.hpp"

namespace vicinor::kdtree {

struct ItemCopies {
    // The copies of stored item owners[i] are items[starts[i] .. starts[i + 1]),
    // ascending; owners ascend too.
    std::vector<Item> owners;
    std::vector<std::uint32_t> starts;
    std::vector<Item> items;
    // Bit per item: whether it owns copies, so a search tests cheaply.
    std::vector<std::uint64_t> owner_bits;

    bool empty() const noexcept { return owners.empty(); }

    std::span<const Item> of(Item item) const noexcept {
        const std::size_t word = item / 64;
        if (word >= owner_bits.size() || !(owner_bits[word] >> (item % 64) & 1)) return {};
        const auto at = std::lower_bound(owners.begin(), owners.end(), item);
        const auto i = static_cast<std::size_t>(at - owners.begin());
        return {items.data() + starts[i], items.data() + starts[i + 1]};
    }

    // From (owner, copy) pairs in any order.
    static ItemCopies from_pairs(std::vector<std::pair<Item, Item>> pairs, std::size_t item_count) {
        std::sort(pairs.begin(), pairs.end());
        ItemCopies copies;
        copies.owner_bits.assign((item_count + 63) / 64, 0);
        for (const auto& [owner, copy] : pairs) {
            if (copies.owners.empty() || copies.owners.back() != owner) {
                copies.owners.push_back(owner);
                copies.starts.push_back(static_cast<std::uint32_t>(copies.items.size()));
                copies.owner_bits[owner / 64] |= std::uint64_t{1} << (owner % 64);
            }
            copies.items.push_back(copy);
        }
        copies.starts.push_back(static_cast<std::uint32_t>(copies.items.size()));
        return copies;
    }
};

}  // namespace vicinor::kdtree
