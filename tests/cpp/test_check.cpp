#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "persist/storage.hpp"

namespace vicinor::persist {
namespace {

// Three rows, one of them outside the index (as construction may leave
// rows out), and a multi-byte character inside the text.
ReverseGeocoder valid_geocoder() {
    ReverseGeocoder g;
    g.csv = "lat,lon,name\n1,2,a\n3,4,\xc3\xa9t\xc3\xa9\n5,6,c\n";
    g.columns = {"lat", "lon", "name"};
    g.indexed_data = {{13, 5}, {19, 9}, {29, 5}};
    kdtree::LeafNode leaf;
    leaf.content_items[0] = 0;
    leaf.content_items[1] = 2;
    leaf.content_items[2] = 99;  // unused slot: never read by a lookup
    leaf.size = 2;
    g.tree.leaves = {leaf, kdtree::LeafNode{}};
    g.tree.stems = {kdtree::kUnsetStem, 0.5};
    g.tree.size = 2;
    return g;
}

void expect_rejected(const ReverseGeocoder& g, const std::string& message) {
    Status status = check_loaded_geocoder(g);
    ASSERT_FALSE(status.ok()) << "accepted, expected: " << message;
    EXPECT_EQ(status.error().message(), message);
}

TEST(CheckLoadedGeocoder, AcceptsConsistentRecords) {
    EXPECT_TRUE(check_loaded_geocoder(valid_geocoder()).ok());

    // No rows, no leaves: what a header-only table saves.
    ReverseGeocoder empty;
    empty.tree.stems = {kdtree::kUnsetStem};
    EXPECT_TRUE(check_loaded_geocoder(empty).ok());

    // A slice may be empty at the very end of the text.
    ReverseGeocoder g = valid_geocoder();
    g.indexed_data[2] = {static_cast<std::int64_t>(g.csv.size()), 0};
    EXPECT_TRUE(check_loaded_geocoder(g).ok());

    // The header line is a line too; a final line may keep a lone CR, and
    // a line's CR LF is not part of it.
    g.indexed_data[0] = {0, 12};
    EXPECT_TRUE(check_loaded_geocoder(g).ok());
    g.csv = "lat,lon,name\r\n1,2,a\r\n3,4,b\r\n5,6,c\r";
    g.indexed_data = {{14, 5}, {21, 5}, {28, 6}};
    EXPECT_TRUE(check_loaded_geocoder(g).ok());
    // Lines inside a slice are not looked for (that would read the whole
    // text): it reads as the fields of its first line.
    g.indexed_data[0] = {14, 12};
    EXPECT_TRUE(check_loaded_geocoder(g).ok());
}

TEST(CheckLoadedGeocoder, RejectsSlicesThatDoNotStartAndEndWhereLinesDo) {
    const ReverseGeocoder valid = valid_geocoder();
    for (StringSlice slice : {StringSlice{19, 7}, StringSlice{20, 8},
                              StringSlice{13, 4}, StringSlice{14, 4}, StringSlice{13, 6}}) {
        ReverseGeocoder g = valid;
        g.indexed_data[1] = slice;
        expect_rejected(g, "invalid saved geocoder: row 1 (offset " + std::to_string(slice.offset) +
                               ", length " + std::to_string(slice.len) +
                               ") does not start and end where lines do");
    }
    ReverseGeocoder g = valid;
    g.csv = "lat,lon,name\r\n1,2,a\rX\n";
    g.indexed_data = {{14, 5}};
    g.tree.leaves[0].size = 1;
    g.tree.size = 1;
    expect_rejected(g, "invalid saved geocoder: row 0 (offset 14, length 5) does not start and end where lines do");
}

TEST(CheckLoadedGeocoder, RejectsSeparatorsConstructionRefuses) {
    for (char32_t separator : {U'\u00e9', U'\U0001F600', U'\n', U'\r'}) {
        ReverseGeocoder g = valid_geocoder();
        g.value_sep = separator;
        Status status = check_loaded_geocoder(g);
        ASSERT_FALSE(status.ok());
        EXPECT_TRUE(status.error().message().starts_with(
            "invalid saved geocoder: its value separator cannot read the table: Value separator must"));
    }
    ReverseGeocoder g = valid_geocoder();
    g.value_sep = U';';
    EXPECT_TRUE(check_loaded_geocoder(g).ok());
}

TEST(CheckLoadedGeocoder, RejectsSlicesOutsideTheText) {
    ReverseGeocoder g = valid_geocoder();
    g.indexed_data[1] = {-1, 2};
    expect_rejected(g, "invalid saved geocoder: row 1 (offset -1, length 2) lies outside the text of 35 bytes");
    g.indexed_data[1] = {36, 0};
    expect_rejected(g, "invalid saved geocoder: row 1 (offset 36, length 0) lies outside the text of 35 bytes");
    g.indexed_data[1] = {30, 6};
    expect_rejected(g, "invalid saved geocoder: row 1 (offset 30, length 6) lies outside the text of 35 bytes");
    // offset + len wraps around 2^64: must not look like it fits.
    g.indexed_data[1] = {30, UINT64_MAX - 10};
    EXPECT_FALSE(check_loaded_geocoder(g).ok());
}

TEST(CheckLoadedGeocoder, RejectsSlicesThatSplitACharacter) {
    ReverseGeocoder g = valid_geocoder();
    g.indexed_data[1] = {24, 4};  // starts on the second byte of the first e-acute
    expect_rejected(g, "invalid saved geocoder: row 1 (offset 24, length 4) splits a UTF-8 character");
    g.indexed_data[1] = {19, 5};  // ends inside it
    expect_rejected(g, "invalid saved geocoder: row 1 (offset 19, length 5) splits a UTF-8 character");
}

TEST(CheckLoadedGeocoder, RejectsLeavesLookupsCannotUse) {
    ReverseGeocoder g = valid_geocoder();
    g.tree.leaves[0].size = 33;
    expect_rejected(g, "invalid saved geocoder: leaf 0 claims 33 points, but a leaf holds at most 32");

    g = valid_geocoder();
    g.tree.leaves[0].content_items[1] = 3;
    expect_rejected(g, "invalid saved geocoder: leaf 0 slot 1 refers to row 3, but there are only 3 rows");

    g = valid_geocoder();
    g.indexed_data.clear();
    expect_rejected(g, "invalid saved geocoder: leaf 0 slot 0 refers to row 0, but there are only 0 rows");
}

TEST(CheckLoadedGeocoder, RejectsStemsThatDoNotMatchTheLeaves) {
    ReverseGeocoder g = valid_geocoder();
    g.tree.stems.push_back(1.0);
    expect_rejected(g, "invalid saved geocoder: the tree has 3 stems, which is not a power of two");

    g.tree.stems.clear();
    expect_rejected(g, "invalid saved geocoder: the tree has 0 stems, which is not a power of two");

    g = valid_geocoder();
    g.tree.leaves.push_back(kdtree::LeafNode{});
    expect_rejected(g, "invalid saved geocoder: the tree has 3 leaves but only 2 leaf positions");
}

TEST(CheckLoadedGeocoder, RejectsATreeSizeThatDisagreesWithItsLeaves) {
    ReverseGeocoder g = valid_geocoder();
    g.tree.size = 3;
    expect_rejected(g, "invalid saved geocoder: the tree claims 3 points, but its leaves hold 2");
    g.tree.size = 1;
    expect_rejected(g, "invalid saved geocoder: the tree claims 1 points, but its leaves hold 2");
}

}  // namespace
}  // namespace vicinor::persist
