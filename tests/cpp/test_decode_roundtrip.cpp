// Whatever the writer produces reads back to the same record, bit for bit,
// unused leaf slots and unset stems included.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"
#include "persist/codec.hpp"
#include "persist/storage.hpp"

namespace vicinor::persist {
namespace {

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

void expect_identical(const ReverseGeocoder& a, const ReverseGeocoder& b) {
    EXPECT_EQ(a.csv, b.csv);
    EXPECT_EQ(a.value_sep, b.value_sep);
    EXPECT_EQ(a.columns, b.columns);
    ASSERT_EQ(a.indexed_data.size(), b.indexed_data.size());
    for (std::size_t i = 0; i < a.indexed_data.size(); ++i) {
        EXPECT_EQ(a.indexed_data[i].offset, b.indexed_data[i].offset) << "row " << i;
        EXPECT_EQ(a.indexed_data[i].len, b.indexed_data[i].len) << "row " << i;
    }
    ASSERT_EQ(a.tree.leaves.size(), b.tree.leaves.size());
    for (std::size_t l = 0; l < a.tree.leaves.size(); ++l) {
        const kdtree::LeafNode& x = a.tree.leaves[l];
        const kdtree::LeafNode& y = b.tree.leaves[l];
        EXPECT_EQ(x.size, y.size) << "leaf " << l;
        EXPECT_EQ(0, std::memcmp(x.content_points, y.content_points, sizeof x.content_points)) << "leaf " << l;
        EXPECT_EQ(0, std::memcmp(x.content_items, y.content_items, sizeof x.content_items)) << "leaf " << l;
    }
    ASSERT_EQ(a.tree.stems.size(), b.tree.stems.size());
    for (std::size_t i = 0; i < a.tree.stems.size(); ++i)
        EXPECT_TRUE(same_bits(a.tree.stems[i], b.tree.stems[i])) << "stem " << i;
    EXPECT_EQ(a.tree.size, b.tree.size);
}

ReverseGeocoder round_trip(const ReverseGeocoder& original) {
    Result<std::vector<std::uint8_t>> bytes = encode_to_bytes(original);
    EXPECT_TRUE(bytes.ok()) << bytes.error().render();
    Result<ReverseGeocoder> decoded = decode_from_bytes(bytes.value());
    EXPECT_TRUE(decoded.ok()) << decoded.error().render();
    return std::move(decoded).value();
}

// Random places with repeated coordinates, so that some leaves stay partly
// filled and some stems stay unset.
std::string random_places_csv(std::size_t rows, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
    std::string csv = "lat,lon,name\n";
    for (std::size_t i = 0; i < rows; ++i) {
        const bool repeat = i % 7 == 3;
        csv += repeat ? "1.5,2.5" : std::to_string(lat(rng)) + "," + std::to_string(lon(rng));
        csv += ",\"place " + std::to_string(i) + (i % 11 == 0 ? ", caf\xc3\xa9\"\n" : "\"\n");
    }
    return csv;
}

TEST(DecodeRoundTrip, BuiltGeocodersOfManySizes) {
    for (std::size_t rows : {0, 1, 31, 33, 500, 5000}) {
        for (bool drop : {false, true}) {
            Result<ReverseGeocoder> built = build_geocoder(random_places_csv(rows, 7 + rows), U',', drop);
            ASSERT_TRUE(built.ok()) << built.error().render();
            ReverseGeocoder loaded = round_trip(built.value());
            SCOPED_TRACE(testing::Message() << rows << " rows, drop " << drop);
            expect_identical(built.value(), loaded);
            EXPECT_TRUE(check_loaded_geocoder(loaded).ok());
            // The loaded side searches with the lookup aids, the built one
            // without: the answers must not tell them apart.
            prepare_lookups(loaded);

            std::mt19937 rng(static_cast<unsigned>(rows));
            std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
            for (int q = 0; q < 50; ++q) {
                const double la = lat(rng), lo = lon(rng);
                Result<std::string_view> want = nearest_row_text(built.value(), la, lo);
                Result<std::string_view> got = nearest_row_text(loaded, la, lo);
                ASSERT_EQ(want.ok(), got.ok());
                if (want.ok()) {
                    EXPECT_EQ(want.value(), got.value());
                }
            }
        }
    }
}

// Values the writer must carry exactly although construction would not
// make them: NaN payloads, negative zero, negative offsets, a separator
// outside ASCII and every integer width.
TEST(DecodeRoundTrip, UnusualValuesSurviveExactly) {
    ReverseGeocoder g;
    g.csv = std::string(70000, 'x') + "\xf0\x9f\x98\x80";
    g.value_sep = U'\u00e9';
    g.columns = {"", std::string(300, 'c'), "\x7f"};
    g.indexed_data = {{-2147483648ll, 4294967295u}, {-1, 0}, {127, 128}, {65535, 65536}};
    kdtree::LeafNode leaf;
    leaf.content_points[0][0] = std::bit_cast<double>(0xfff8000000000123ull);
    leaf.content_points[1][0] = -0.0;
    leaf.content_points[2][0] = std::numeric_limits<double>::denorm_min();
    leaf.content_points[2][31] = -std::numeric_limits<double>::infinity();
    leaf.content_items[0] = 4294967295u;
    leaf.content_items[5] = 70000;
    leaf.size = 4294967295u;
    g.tree.leaves = {leaf, kdtree::LeafNode{}};
    g.tree.stems = {kdtree::kUnsetStem, 0.5, kdtree::kUnsetStem, -1e300};
    g.tree.size = 4294967295u;
    expect_identical(g, round_trip(g));
}

}  // namespace
}  // namespace vicinor::persist
