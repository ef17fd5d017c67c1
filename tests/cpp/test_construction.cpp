#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "geocoder/construction.hpp"

namespace vicinor {
namespace {

std::string build_error(std::string csv, bool drop = false, char32_t sep = U',') {
    Result<ReverseGeocoder> g = build_geocoder(std::move(csv), sep, drop);
    return g ? "<built>" : g.error().message();
}

ReverseGeocoder build(std::string csv, bool drop = false, char32_t sep = U',') {
    Result<ReverseGeocoder> g = build_geocoder(std::move(csv), sep, drop);
    if (!g) {
        ADD_FAILURE() << g.error().message();
        return {};
    }
    return std::move(g).value();
}

std::vector<std::string> rows(const ReverseGeocoder& g) {
    std::vector<std::string> out;
    for (const StringSlice& s : g.indexed_data) {
        out.push_back(g.csv.substr(static_cast<std::size_t>(s.offset), s.len));
    }
    return out;
}

using Strings = std::vector<std::string>;

// Trees of up to 32 points keep them in one leaf, in row order.
kdtree::Point stored_point(const ReverseGeocoder& g, std::size_t k) {
    const kdtree::LeafNode& leaf = g.tree.leaves.at(0);
    EXPECT_EQ(leaf.content_items[k], k);
    return {leaf.content_points[0][k], leaf.content_points[1][k], leaf.content_points[2][k]};
}

TEST(BuildGeocoder, KeepsTheTextAndSlicesEachRow) {
    const std::string text = "lat,lon,name\n1,2,a\n-3.5,4e1,\"b, c\"\n";
    const ReverseGeocoder g = build(text);
    EXPECT_EQ(g.csv, text);
    EXPECT_EQ(g.value_sep, U',');
    EXPECT_EQ(g.columns, (Strings{"lat", "lon", "name"}));
    EXPECT_EQ(rows(g), (Strings{"1,2,a", "-3.5,4e1,\"b, c\""}));
    EXPECT_EQ(g.indexed_data[0].offset, 13);
    EXPECT_EQ(g.tree.size, 2u);
    EXPECT_EQ(stored_point(g, 0), lat_lon_to_point(1, 2));
    EXPECT_EQ(stored_point(g, 1), lat_lon_to_point(-3.5, 40));
}

TEST(BuildGeocoder, HeaderOnlyBuildsAnEmptyGeocoder) {
    for (const char* text : {"lat,lon,name", "lat,lon,name\n"}) {
        const ReverseGeocoder g = build(text);
        EXPECT_EQ(g.columns, (Strings{"lat", "lon", "name"}));
        EXPECT_TRUE(g.indexed_data.empty());
        EXPECT_EQ(g.tree.size, 0u);
        const ReverseGeocoder dropped = build(text, true);
        EXPECT_EQ(dropped.csv, "");
        EXPECT_EQ(dropped.columns, (Strings{"name"}));
        EXPECT_TRUE(dropped.indexed_data.empty());
    }
}

TEST(BuildGeocoder, OnlyABlankLastLineIsSkipped) {
    EXPECT_EQ(rows(build("lat,lon,name\n1,2,a\n\n")), (Strings{"1,2,a"}));
    EXPECT_EQ(rows(build("lat,lon,name\r\n1,2,a\r\n\r\n")), (Strings{"1,2,a"}));
    EXPECT_EQ(build_error("lat,lon,name\n1,2,a\n\n3,4,b\n"),
              "Internal error - failed to parse CSV line");
    EXPECT_EQ(build_error("lat,lon,name\n1,2,a\n\n\n"), "Internal error - failed to parse CSV line");
    EXPECT_EQ(build_error("lat,lon,name\n1,2,a\n\r"), "Internal error - failed to parse CSV line");
    EXPECT_EQ(build_error("lat,lon\n\xEF\xBB\xBF\n1,2"), "Internal error - failed to parse CSV line");
}

TEST(BuildGeocoder, LineFeedsCountedByTheCallerGiveTheSameGeocoder) {
    for (const char* text : {"lat,lon,name\n1,2,a\n\n", "lat,lon,name\r\n1,2,a\r\n3,4,b",
                             "lat,lon,name", "lat,lon,name\n1,2,a\n\n3,4,b\n"}) {
        const std::size_t feeds = std::count(text, text + std::strlen(text), '\n');
        for (bool drop : {false, true}) {
            Result<ReverseGeocoder> counted = build_geocoder(text, U',', drop, feeds);
            Result<ReverseGeocoder> plain = build_geocoder(text, U',', drop);
            ASSERT_EQ(counted.ok(), plain.ok()) << text;
            if (!plain.ok()) {
                EXPECT_EQ(counted.error().message(), plain.error().message());
                continue;
            }
            EXPECT_EQ(counted->csv, plain->csv);
            EXPECT_EQ(rows(counted.value()), rows(plain.value()));
            EXPECT_EQ(counted->tree.size, plain->tree.size);
        }
    }
    // A miscount would size the point arrays wrongly: an internal fault,
    // never rows lost or read past.
    for (std::size_t wrong : {0, 1, 2, 4, 100}) {
        EXPECT_THROW((void)build_geocoder("lat,lon\n1,2\n3,4\n", U',', false, wrong),
                     InternalFault)
            << wrong;
    }
}

TEST(BuildGeocoder, HeaderProblems) {
    EXPECT_EQ(build_error(""), "missing first line in CSV");
    EXPECT_EQ(build_error("\n1,2\n"), "Internal error - failed to parse CSV line");
    EXPECT_EQ(build_error("\r\n1,2\n"), "Internal error - failed to parse CSV line");
    EXPECT_EQ(build_error("", false, U'\u00E9'),
              "Value separator must by an ASII character (got 233)");
}

TEST(BuildGeocoder, ColumnMismatchNamesTheLine) {
    EXPECT_EQ(build_error("lat,lon,name\n1,2,a\n3,4,b\n5,6,c\n7,8\n9,10,d\n"),
              "column mismatch: header (line 0) has 3 values, line 4 has 2 values");
    EXPECT_EQ(build_error("lat,lon\n1,2,\n"),
              "column mismatch: header (line 0) has 2 values, line 1 has 3 values");
    // A quoted separator is not a field boundary; a lone CR ends the record.
    EXPECT_EQ(rows(build("lat,lon,name\n1,2,\"a,b\"\n")), (Strings{"1,2,\"a,b\""}));
    EXPECT_EQ(build_error("lat,lon,name\n1,2\r,x\n"),
              "column mismatch: header (line 0) has 3 values, line 1 has 2 values");
}

TEST(BuildGeocoder, CoordinateFieldsFollowTheNumberRule) {
    EXPECT_EQ(build_error("lat,lon\n1, 2\n"), "invalid float literal");
    EXPECT_EQ(build_error("lat,lon\n1,\n"), "cannot parse float from empty string");
    EXPECT_EQ(build_error("lat,lon\n,x\n"), "cannot parse float from empty string");
    EXPECT_EQ(build_error("lat,lon\nx,\n"), "invalid float literal");
    EXPECT_EQ(build_error("lat,lon\n1,2\n3,0x1\n"), "invalid float literal");

    const ReverseGeocoder g = build("lat,lon\nnan,1\n1,INF\n-Infinity,0\n\"1.5\",\"2\"\n+0,1e999\n");
    ASSERT_EQ(g.tree.size, 5u);
    EXPECT_TRUE(std::isnan(stored_point(g, 0)[0]) && std::isnan(stored_point(g, 0)[2]));
    EXPECT_TRUE(std::isnan(stored_point(g, 1)[0]));
    EXPECT_TRUE(std::isnan(stored_point(g, 2)[2]));
    EXPECT_EQ(stored_point(g, 3), lat_lon_to_point(1.5, 2));
    EXPECT_TRUE(std::isnan(stored_point(g, 4)[0]));
    EXPECT_EQ(rows(g)[3], "\"1.5\",\"2\"");
}

TEST(BuildGeocoder, LineEndsAndByteOrderMark) {
    const ReverseGeocoder crlf = build("lat,lon\r\n1,2\r\n3,4\r");
    EXPECT_EQ(rows(crlf), (Strings{"1,2", "3,4\r"}));

    const std::string bom_text = "\xEF\xBB\xBFlat,lon\n0,0\n";
    const ReverseGeocoder bom = build(bom_text);
    EXPECT_EQ(bom.csv, bom_text);
    EXPECT_EQ(bom.columns, (Strings{"lat", "lon"}));
    EXPECT_EQ(stored_point(bom, 0), (kdtree::Point{1.0, 0.0, 0.0}));
}

TEST(BuildGeocoder, OtherSeparators) {
    const ReverseGeocoder semicolon = build("lat;lon;name\n1.5;2;a,b\n", false, U';');
    EXPECT_EQ(semicolon.value_sep, U';');
    EXPECT_EQ(semicolon.columns, (Strings{"lat", "lon", "name"}));
    EXPECT_EQ(rows(semicolon), (Strings{"1.5;2;a,b"}));
    EXPECT_EQ(build("lat\tlon\n1\t2\n", false, U'\t').tree.size, 1u);
    EXPECT_EQ(build(std::string("lat\0lon\n1\0002\n", 12), false, U'\0').tree.size, 1u);
}

TEST(BuildGeocoder, LineBreakSeparatorsAreRefused) {
    EXPECT_EQ(build_error("lat\rlon\n1\r2\n", false, U'\r'),
              "Value separator must not be a line break (got 13)");
    EXPECT_EQ(build_error("lat,lon\n1,2\n", true, U'\n'),
              "Value separator must not be a line break (got 10)");
}

TEST(BuildGeocoder, SingleColumnRowsHaveNoLongitude) {
    EXPECT_EQ(build_error("lat\n5\n"),
              "line 1 has no longitude: a row needs at least 2 values, found 1");
    EXPECT_EQ(build_error("lat\nx\n"), "invalid float literal");
    EXPECT_EQ(build_error("lat\n"), "<built>");
}

TEST(BuildGeocoder, EqualCoordinatesKeepTheirOwnRows) {
    const ReverseGeocoder g = build("lat,lon,n\n1,2,a\n1,2,b\n1,2,c\n");
    EXPECT_EQ(rows(g), (Strings{"1,2,a", "1,2,b", "1,2,c"}));
    EXPECT_EQ(g.tree.size, 3u);
}

// Row slices are rebuilt from line lengths after the tree is built; they
// must land on the lines the checking pass read, in both modes, across long
// tables with mixed line ends.
TEST(BuildGeocoder, SlicesOfALongTableWithMixedLineEnds) {
    std::string text = "lat,lon,name\r\n";
    Strings expected_rows;
    Strings expected_dropped;
    for (int i = 0; i < 500; ++i) {
        const std::string name = std::string(static_cast<std::size_t>(i % 37), 'n') + "\xC3\xA9";
        const std::string row = std::to_string(i % 90) + "." + std::to_string(i) + ",-" +
                                std::to_string(i % 180) + "," + name;
        text += row + (i % 3 == 0 ? "\r\n" : "\n");
        expected_rows.push_back(row);
        expected_dropped.push_back(name);
    }
    text += "\n";  // the blank last line that is skipped
    EXPECT_EQ(rows(build(text)), expected_rows);
    const ReverseGeocoder dropped = build(text, true);
    EXPECT_EQ(rows(dropped), expected_dropped);
    EXPECT_EQ(dropped.csv.capacity(), dropped.csv.size());
}

TEST(BuildGeocoderDropping, StoresOnlyTheOtherFieldsRewritten) {
    const ReverseGeocoder g =
        build("lat,lon,city\n1,2,Paris\n3,4,\"x,y\"\n5,6,\"say \"\"hi\"\"\"\n7,8,a\rjunk\n", true);
    EXPECT_EQ(g.columns, (Strings{"city"}));
    EXPECT_EQ(g.csv, "Paris\n\"x,y\"\n\"say \"\"hi\"\"\"\na\n");
    EXPECT_EQ(rows(g), (Strings{"Paris", "\"x,y\"", "\"say \"\"hi\"\"\"", "a"}));
    EXPECT_EQ(stored_point(g, 1), lat_lon_to_point(3, 4));

    const ReverseGeocoder wide = build("a;b;c;d\r\n1;2;;x\r\n3;4;\"\r\";y", true, U';');
    EXPECT_EQ(wide.columns, (Strings{"c", "d"}));
    EXPECT_EQ(rows(wide), (Strings{";x", "\"\r\";y"}));
}

TEST(BuildGeocoderDropping, TwoColumnTablesStoreEmptyRows) {
    const ReverseGeocoder g = build("lat,lon\n1,2\n3,4\n", true);
    EXPECT_TRUE(g.columns.empty());
    EXPECT_EQ(g.csv, "\"\"\n\"\"\n");
    EXPECT_EQ(rows(g), (Strings{"\"\"", "\"\""}));
}

TEST(BuildGeocoderDropping, RewriteReportsFieldCountsFirst) {
    EXPECT_EQ(build_error("lat,lon,a\n1,2,x\n3,4,y,z\n", true),
              "CSV error: found record with 2 fields, but the previous record has 1 fields");
    EXPECT_EQ(build_error("lat,lon,a\n1,2,x\n3,4,y,z\n", false),
              "column mismatch: header (line 0) has 3 values, line 2 has 4 values");
    EXPECT_EQ(build_error("lat,lon,a\n1,2\n3,4\n", true),
              "column mismatch: header (line 0) has 3 values, line 1 has 2 values");
    EXPECT_EQ(build_error("lat,lon,a\n1,2,x\n\n3,4,y\n", true),
              "Internal error - failed to parse CSV line");
    EXPECT_EQ(build_error("lat,lon,a\n1,x,x\n", true), "invalid float literal");
}

TEST(BuildGeocoderDropping, AcceptsABlankLastLineLikeTheOtherMode) {
    const ReverseGeocoder g = build("lat,lon,c\n1,2,a\n3,4,b\n\n", true);
    EXPECT_EQ(g.csv, "a\nb\n");
    EXPECT_EQ(rows(g), (Strings{"a", "b"}));
    EXPECT_EQ(g.tree.size, 2u);
}

// Lines with and without quotes take different readers; mixing both in one
// table must give the same rows and points as quoting every field.
TEST(BuildGeocoder, QuotedAndPlainLinesAgree) {
    std::string plain = "lat,lon,name,extra\n";
    std::string quoted = "\"lat\",\"lon\",\"name\",\"extra\"\n";
    for (int k = 0; k < 100; ++k) {
        const std::string lat = std::to_string(k * 1.7 - 80);
        const std::string lon = std::to_string(k * 3.1 - 170);
        const std::string name = std::to_string(k) + "th";
        plain.append(lat).append(",").append(lon).append(",").append(name).append(",\n");
        quoted.append("\"").append(lat).append("\",\"").append(lon).append("\",\"");
        quoted.append(name).append("\",\"\"\n");
    }
    for (bool drop : {false, true}) {
        const ReverseGeocoder a = build(plain, drop);
        const ReverseGeocoder b = build(quoted, drop);
        ASSERT_EQ(a.tree.size, 100u);
        ASSERT_EQ(b.tree.size, 100u);
        EXPECT_EQ(a.columns, b.columns);
        EXPECT_EQ(a.tree.stems, b.tree.stems);
        ASSERT_EQ(a.tree.leaves.size(), b.tree.leaves.size());
        for (std::size_t i = 0; i < a.tree.leaves.size(); ++i) {
            EXPECT_EQ(0, std::memcmp(&a.tree.leaves[i], &b.tree.leaves[i], sizeof(kdtree::LeafNode)));
        }
        if (drop) {
            EXPECT_EQ(a.csv, b.csv);
        }
    }
}

}  // namespace
}  // namespace vicinor
