// Row hints only steer prefetches: they must name each slot's row where
// they can, and lookups must answer alike with, without and with damaged
// hints.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>

#include "geocoder/answer_prefetch.hpp"
#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"
#include "geocoder/row_hints.hpp"
#include "kdtree/query.hpp"

namespace vicinor {
namespace {

std::string random_table(int rows, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> lat(-80.0, 80.0), lon(-180.0, 180.0);
    std::string text = "lat,lon,name\n";
    for (int i = 0; i < rows; ++i) {
        text += std::to_string(lat(rng)) + "," + std::to_string(lon(rng)) + ",place " +
                std::to_string(i) + "\n";
    }
    return text;
}

ReverseGeocoder built(int rows, unsigned seed = 1) {
    Result<ReverseGeocoder> g = build_geocoder(random_table(rows, seed), U',', false);
    EXPECT_TRUE(g.ok());
    prepare_lookups(g.value());
    return std::move(g).value();
}

TEST(RowHints, EveryOccupiedSlotNamesItsRowsOffset) {
    const ReverseGeocoder g = built(1000);
    const auto& leaves = g.tree.leaves;
    ASSERT_EQ(g.row_hints.slot_offsets.size(), leaves.size() * kdtree::B);
    for (std::size_t leaf = 0; leaf < leaves.size(); ++leaf) {
        for (std::size_t slot = 0; slot < kdtree::B; ++slot) {
            const std::uint32_t hint = g.row_hints.slot_offsets[leaf * kdtree::B + slot];
            if (slot >= leaves[leaf].size) {
                EXPECT_EQ(hint, kNoRow);
                continue;
            }
            const kdtree::Item item = leaves[leaf].content_items[slot];
            EXPECT_EQ(hint, g.indexed_data[item].offset);
        }
    }
    EXPECT_TRUE(AnswerPrefetch(g).active());
}

// As a damaged file could leave them: items past the rows, offsets
// outside the text or beyond what a hint can hold, an oversized leaf.
TEST(RowHints, SlotsWithoutAUsableRowNameNone) {
    ReverseGeocoder g = built(100);
    g.tree.leaves[0].content_items[0] = static_cast<kdtree::Item>(g.indexed_data.size());
    g.indexed_data[g.tree.leaves[0].content_items[1]].offset = -5;
    g.indexed_data[g.tree.leaves[0].content_items[2]].offset = std::int64_t{1} << 40;
    g.tree.leaves[1].size = 1000;
    const RowHints hints = compute_row_hints(g);
    EXPECT_EQ(hints.slot_offsets[0], kNoRow);
    EXPECT_EQ(hints.slot_offsets[1], kNoRow);
    EXPECT_EQ(hints.slot_offsets[2], kNoRow);
    EXPECT_EQ(hints.slot_offsets.size(), g.tree.leaves.size() * kdtree::B);
}

TEST(RowHints, MissingHintsFitNoTree) {
    ReverseGeocoder g = built(100);
    g.row_hints = {};
    EXPECT_FALSE(AnswerPrefetch(g).active());
    g = built(100);
    g.row_hints.slot_offsets.pop_back();
    EXPECT_FALSE(AnswerPrefetch(g).active());
}

TEST(RowHints, LookupsAnswerAlikeWithMissingStaleOrGarbageHints) {
    const ReverseGeocoder g = built(3000);
    ReverseGeocoder without = g;
    without.row_hints = {};
    // Hints of another table of the same size: every offset is stale.
    ReverseGeocoder stale = g;
    stale.row_hints = built(3000, 2).row_hints;
    ReverseGeocoder garbage = g;
    std::mt19937 rng(4);
    for (std::uint32_t& hint : garbage.row_hints.slot_offsets) {
        hint = static_cast<std::uint32_t>(rng());
    }
    ASSERT_EQ(stale.row_hints.slot_offsets.size(), g.row_hints.slot_offsets.size());

    std::uniform_real_distribution<double> lat(-90.0, 90.0), lon(-180.0, 180.0);
    for (int i = 0; i < 2000; ++i) {
        const double qlat = lat(rng), qlon = lon(rng);
        Result<std::string_view> expected = nearest_row_text(without, qlat, qlon);
        ASSERT_TRUE(expected.ok());
        for (const ReverseGeocoder* other : {&g, &std::as_const(stale), &std::as_const(garbage)}) {
            Result<std::string_view> got = nearest_row_text(*other, qlat, qlon);
            ASSERT_TRUE(got.ok());
            EXPECT_EQ(*got, *expected) << qlat << ", " << qlon;
        }
    }
}

}  // namespace
}  // namespace vicinor
