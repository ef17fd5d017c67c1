// The saved-file reader: every shape it accepts, and the exact message for
// every shape it rejects.
#include <gtest/gtest.h>

#include <cmath>

#include "decode_test_support.hpp"

namespace vicinor::persist {
namespace {

using testing::decode;
using testing::decode_error;
using testing::expect_reference;
using testing::kInf;
using testing::Pack;
using testing::reference_file;

Pack bytes(std::initializer_list<std::uint8_t> list) { return Pack().raw(list); }

TEST(DecodeAccepts, TheWritersArrayForm) {
    Result<ReverseGeocoder> g = decode(reference_file());
    ASSERT_TRUE(g.ok()) << g.error().render();
    expect_reference(g.value());
}

TEST(DecodeAccepts, IgnoresBytesAfterTheRecord) {
    Pack p = reference_file();
    p.raw({0xc1, 0xff, 0x00});
    Result<ReverseGeocoder> g = decode(p);
    ASSERT_TRUE(g.ok()) << g.error().render();
    expect_reference(g.value());
}

// Every record as a map, keyed by names in a shuffled order with unknown
// entries of every kind in between, or by positions.
TEST(DecodeAccepts, RecordsAsMapsByNameOrPosition) {
    Pack unknown_value;
    unknown_value.array(6).raw({0xd4, 0x01, 0xff}).raw({0xca, 0, 0, 0, 0}).bin("\xff\xfe");
    unknown_value.str("\xff").map(1).raw({0xe0}).nil().raw({0xc7, 0x02, 0x05, 0xaa, 0xbb});

    Pack slice = Pack().map(3).str("len").uint(5).str("note").append(unknown_value);
    slice.str("offset").uint(8);
    Pack items = Pack().raw({0xdc, 0x00, 0x20});
    for (std::size_t j = 0; j < 32; ++j) items.uint(testing::reference_item(j));
    Pack points = Pack().raw({0xdc, 0x00, 0x60});
    for (std::size_t d = 0; d < 3; ++d)
        for (std::size_t j = 0; j < 32; ++j) points.f64(testing::reference_point(d, j));
    Pack leaf = Pack().map(3).uint(2).uint(1).str("content_items").append(items);
    leaf.bin("content_points").append(points);
    Pack tree = Pack().map(4).uint(9).append(unknown_value).uint(2).uint(1);
    tree.uint(1).array(2).f64(kInf).f64(0.25).uint(0).array(1).append(leaf);

    Pack by_name = Pack().map(6).str("tree").append(tree).str("columns");
    by_name.array(2).str("lat").str("lon").str("CSV").append(unknown_value);
    by_name.str("indexed_data").array(1).append(slice);
    by_name.str("value_sep").str(",").str("csv").str(testing::kReferenceCsv);

    Result<ReverseGeocoder> named = decode(by_name);
    ASSERT_TRUE(named.ok()) << named.error().render();
    expect_reference(named.value());

    Pack by_position = Pack().map(5).uint(4).append(tree).uint(3).array(1).append(slice);
    by_position.raw({0xcf, 0, 0, 0, 0, 0, 0, 0, 0}).str(testing::kReferenceCsv);
    by_position.raw({0xcc, 0x02}).array(2).str("lat").str("lon").raw({0xcd, 0x00, 0x01}).str(",");
    Result<ReverseGeocoder> positional = decode(by_position);
    ASSERT_TRUE(positional.ok()) << positional.error().render();
    expect_reference(positional.value());
}

TEST(DecodeAccepts, BinFormsOfRecordsListsAndTexts) {
    std::string points_bytes(97, '\0');
    for (std::size_t i = 0; i < 97; ++i) points_bytes[i] = static_cast<char>(i);
    std::string item_bytes(33, '\x07');
    Result<ReverseGeocoder> g = decode(reference_file({
        {"csv", Pack().bin("caf\xc3\xa9")},
        {"columns", Pack().bin("")},
        {"slice", Pack().bin("\x08\x05\x63")},
        {"stems", Pack().bin(std::string("\x00\xff", 2))},
        {"points", Pack().bin(points_bytes)},
        {"items", Pack().bin(item_bytes)},
    }));
    ASSERT_TRUE(g.ok()) << g.error().render();
    EXPECT_EQ(g->csv, "caf\xc3\xa9");
    EXPECT_TRUE(g->columns.empty());
    EXPECT_EQ(g->indexed_data[0].offset, 8);
    EXPECT_EQ(g->indexed_data[0].len, 5u);
    EXPECT_EQ(g->tree.stems, (std::vector<double>{0.0, 255.0}));
    const kdtree::LeafNode& leaf = g->tree.leaves[0];
    EXPECT_EQ(leaf.content_points[0][0], 0.0);
    EXPECT_EQ(leaf.content_points[1][0], 32.0);
    EXPECT_EQ(leaf.content_points[2][31], 95.0);
    for (std::uint32_t item : leaf.content_items) EXPECT_EQ(item, 7u);

    Result<ReverseGeocoder> empty_lists = decode(reference_file({
        {"indexed_data", Pack().bin("")}, {"leaves", Pack().bin("")}}));
    ASSERT_TRUE(empty_lists.ok()) << empty_lists.error().render();
    EXPECT_TRUE(empty_lists->indexed_data.empty());
    EXPECT_TRUE(empty_lists->tree.leaves.empty());
}

TEST(DecodeAccepts, EveryIntegerWidthWithinTheFieldRange) {
    Pack items = Pack().array(32);
    items.raw({0xcf}).big_endian(4294967295u, 8).raw({0xd3}).big_endian(7, 8);
    items.raw({0xd1, 0x01, 0x00}).raw({0xd2, 0x00, 0x01, 0x00, 0x00});
    for (int j = 4; j < 32; ++j) items.raw({0xd0, 0x7f});
    Result<ReverseGeocoder> g = decode(reference_file({
        {"offset", bytes({0xd2, 0x80, 0x00, 0x00, 0x00})},
        {"len", bytes({0xce, 0xff, 0xff, 0xff, 0xff})},
        {"leaf_size", bytes({0xd0, 0x05})},
        {"tree_size", bytes({0xd3, 0, 0, 0, 0, 0, 0, 0, 3})},
        {"items", items},
    }));
    ASSERT_TRUE(g.ok()) << g.error().render();
    EXPECT_EQ(g->indexed_data[0].offset, -2147483648ll);
    EXPECT_EQ(g->indexed_data[0].len, 4294967295u);
    EXPECT_EQ(g->tree.leaves[0].size, 5u);
    EXPECT_EQ(g->tree.size, 3u);
    const auto& got = g->tree.leaves[0].content_items;
    EXPECT_EQ(got[0], 4294967295u);
    EXPECT_EQ(got[1], 7u);
    EXPECT_EQ(got[2], 256u);
    EXPECT_EQ(got[3], 65536u);
    EXPECT_EQ(got[31], 127u);

    Result<ReverseGeocoder> negative = decode(reference_file({{"offset", bytes({0xfd})}}));
    ASSERT_TRUE(negative.ok()) << negative.error().render();
    EXPECT_EQ(negative->indexed_data[0].offset, -3);
}

TEST(DecodeAccepts, Float32AndIntegerFloats) {
    const float negative_nan = -std::numeric_limits<float>::quiet_NaN();
    Pack stems = Pack().array(6).f32(1.5f).f32(negative_nan).raw({0xff});
    stems.raw({0xcf}).big_endian(~0ull, 8).raw({0xd3}).big_endian(1ull << 63, 8).uint(7);
    Pack points = Pack().array(96);
    for (int i = 0; i < 96; ++i) i % 2 ? points.f32(0.25f) : points.uint(i);
    Result<ReverseGeocoder> g = decode(reference_file({{"stems", stems}, {"points", points}}));
    ASSERT_TRUE(g.ok()) << g.error().render();
    const std::vector<double>& s = g->tree.stems;
    ASSERT_EQ(s.size(), 6u);
    EXPECT_EQ(s[0], 1.5);
    EXPECT_TRUE(std::isnan(s[1]));
    EXPECT_TRUE(std::signbit(s[1]));
    EXPECT_EQ(s[2], -1.0);
    EXPECT_EQ(s[3], 18446744073709551616.0);
    EXPECT_EQ(s[4], -9223372036854775808.0);
    EXPECT_EQ(s[5], 7.0);
    const kdtree::LeafNode& leaf = g->tree.leaves[0];
    EXPECT_EQ(leaf.content_points[0][0], 0.0);
    EXPECT_EQ(leaf.content_points[0][1], 0.25);
    EXPECT_EQ(leaf.content_points[2][30], 94.0);
}

TEST(DecodeAccepts, ValueSeparatorOfAnyWidth) {
    Result<ReverseGeocoder> e_acute = decode(reference_file({{"value_sep", Pack().str("\xc3\xa9")}}));
    ASSERT_TRUE(e_acute.ok());
    EXPECT_EQ(e_acute->value_sep, U'\u00e9');
    Result<ReverseGeocoder> emoji = decode(reference_file({{"value_sep", Pack().str("\xf0\x9f\x98\x80")}}));
    ASSERT_TRUE(emoji.ok());
    EXPECT_EQ(emoji->value_sep, U'\U0001F600');
}

struct Rejected {
    const char* what;
    Pack file;
    std::string message;
};

void expect_rejected(const std::vector<Rejected>& cases) {
    for (const Rejected& c : cases) EXPECT_EQ(decode_error(c.file), c.message) << c.what;
}

Pack geocoder_array_of(std::size_t elements) {
    Pack p = Pack().array(static_cast<std::uint32_t>(elements));
    Pack full = reference_file();
    // The reference without its leading fixarray marker holds the 5 fields.
    p.bytes.insert(p.bytes.end(), full.bytes.begin() + 1, full.bytes.end());
    return p;
}

TEST(DecodeRejects, RecordLengthsAndFields) {
    Pack four = Pack().array(4).str("x").str(",").array(0).array(0);
    Pack without_tree = Pack().map(4).str("csv").str("").str("value_sep").str(",");
    without_tree.str("columns").array(0).str("indexed_data").array(0);
    Pack csv_twice = Pack().map(5).str("csv").str("a").str("csv").nil();
    expect_rejected({
        {"4 fields", four, "invalid length 4, expected struct ReverseGeocoder with 5 elements"},
        {"6 fields", geocoder_array_of(6).nil(), "array had incorrect length, expected 5"},
        {"empty array", Pack().array(0), "invalid length 0, expected struct ReverseGeocoder with 5 elements"},
        {"missing tree", without_tree, "missing field `tree`"},
        {"duplicate csv", csv_twice, "duplicate field `csv`"},
        {"duplicate by position", Pack().map(2).uint(0).str("").raw({0xcc, 0x00}), "duplicate field `csv`"},
        {"slice of 1", reference_file({{"slice", Pack().array(1).uint(3)}}),
         "invalid length 1, expected struct StringSlice with 2 elements"},
        {"slice of 3", reference_file({{"slice", Pack().array(3).uint(3).uint(4).nil()}}),
         "array had incorrect length, expected 2"},
        {"tree of 2", reference_file({{"tree", Pack().array(2).array(0).array(0)}}),
         "invalid length 2, expected struct ImmutableKdTree with 3 elements"},
        {"empty leaf map", reference_file({{"leaf", Pack().map(0)}}), "missing field `content_points`"},
    });
}

TEST(DecodeRejects, WrongKindsOfRecords) {
    expect_rejected({
        {"str", Pack().str("x"), "invalid type: string \"x\", expected struct ReverseGeocoder"},
        {"float", Pack().f64(-0.0), "invalid type: floating point `-0.0`, expected struct ReverseGeocoder"},
        {"nil tree", reference_file({{"tree", Pack().nil()}}),
         "invalid type: unit value, expected struct ImmutableKdTree"},
        {"ext leaf", reference_file({{"leaf", bytes({0xd4, 0x01, 0x02})}}),
         "invalid type: newtype struct, expected struct LeafNode"},
        {"int slice", reference_file({{"slice", bytes({0xd0, 0xfb})}}),
         "invalid type: integer `-5`, expected struct StringSlice"},
        {"empty bin", Pack().bin(""), "invalid length 0, expected struct ReverseGeocoder with 5 elements"},
        {"bin geocoder", Pack().bin("\x07"), "invalid type: integer `7`, expected a string"},
        {"bin tree", reference_file({{"tree", Pack().bin("\x03")}}),
         "invalid type: integer `3`, expected a sequence"},
        {"bin leaf", reference_file({{"leaf", Pack().bin("\x01")}}),
         "invalid type: integer `1`, expected an array of arrays, dimensions of 32x3"},
        {"short bin slice", reference_file({{"slice", Pack().bin("\x01")}}),
         "invalid length 1, expected struct StringSlice with 2 elements"},
    });
}

TEST(DecodeRejects, MapKeysThatAreNotFieldIdentifiers) {
    expect_rejected({
        {"int8 zero", bytes({0x81, 0xd0, 0x00}), "invalid type: integer `0`, expected field identifier"},
        {"negative", bytes({0x81, 0xff}), "invalid type: integer `-1`, expected field identifier"},
        {"nil", bytes({0x81, 0xc0}), "invalid type: unit value, expected field identifier"},
        {"false", bytes({0x81, 0xc2}), "invalid type: boolean `false`, expected field identifier"},
        {"float", Pack().map(1).f64(2.0), "invalid type: floating point `2.0`, expected field identifier"},
        {"array", bytes({0x81, 0x90}), "invalid type: sequence, expected field identifier"},
        {"map", bytes({0x81, 0x80}), "invalid type: map, expected field identifier"},
        {"reserved", bytes({0x81, 0xc1}), "wrong msgpack marker Reserved"},
        {"reserved in skipped", bytes({0x81, 0xa1, 'x', 0x92, 0x01, 0xc1}), "wrong msgpack marker Reserved"},
    });
}

TEST(DecodeRejects, TextsAndTheSeparator) {
    expect_rejected({
        {"two letters", reference_file({{"value_sep", Pack().str("ab")}}),
         "invalid value: string \"ab\", expected a character"},
        {"empty", reference_file({{"value_sep", Pack().str("")}}),
         "invalid value: string \"\", expected a character"},
        {"escaped", reference_file({{"value_sep", Pack().str("\"\n")}}),
         "invalid value: string \"\\\"\\n\", expected a character"},
        {"integer", reference_file({{"value_sep", Pack().uint(44)}}),
         "invalid type: integer `44`, expected a character"},
        {"bin", reference_file({{"value_sep", Pack().bin(",")}}),
         "invalid type: byte array, expected a character"},
        {"csv integer", reference_file({{"csv", Pack().uint(5)}}), "invalid type: integer `5`, expected a string"},
        {"csv bin not utf8", reference_file({{"csv", Pack().bin("a\xff")}}),
         "invalid value: byte array, expected a string"},
        {"column nil", reference_file({{"columns", Pack().array(1).nil()}}),
         "invalid type: unit value, expected a string"},
        {"csv reserved", reference_file({{"csv", bytes({0xc1})}}), "wrong msgpack marker Reserved"},
    });
}

TEST(DecodeRejects, InvalidUtf8CarriesItsDetailAsCause) {
    Result<ReverseGeocoder> bad = decode(reference_file({{"csv", Pack().str("lat\xe2\x82")}}));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message(),
              "string found to be invalid utf8: incomplete utf-8 byte sequence from index 3");
    EXPECT_EQ(bad.error().causes(),
              std::vector<std::string>{"incomplete utf-8 byte sequence from index 3"});

    expect_rejected({
        {"column", reference_file({{"columns", Pack().array(1).str("\xc0\x80")}}),
         "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"separator", reference_file({{"value_sep", Pack().str("\xe2\x82(")}}),
         "string found to be invalid utf8: invalid utf-8 sequence of 2 bytes from index 0"},
    });
}

TEST(DecodeRejects, ListsOfTheWrongKind) {
    expect_rejected({
        {"columns map", reference_file({{"columns", Pack().map(0)}}), "invalid type: map, expected a sequence"},
        {"columns str", reference_file({{"columns", Pack().str("x")}}),
         "invalid type: string \"x\", expected a sequence"},
        {"stems true", reference_file({{"stems", bytes({0xc3})}}), "invalid type: boolean `true`, expected a sequence"},
        {"columns bin", reference_file({{"columns", Pack().bin("\x05")}}), "invalid type: integer `5`, expected a string"},
        {"slices bin", reference_file({{"indexed_data", Pack().bin("\x05")}}),
         "invalid type: integer `5`, expected struct StringSlice"},
        {"leaves bin", reference_file({{"leaves", Pack().bin("\xff")}}),
         "invalid type: integer `255`, expected struct LeafNode"},
        {"leaves reserved", reference_file({{"leaves", bytes({0xc1})}}), "wrong msgpack marker Reserved"},
    });
}

TEST(DecodeRejects, IntegersOutOfTheirFieldRange) {
    expect_rejected({
        {"len 2^32", reference_file({{"len", bytes({0xcf, 0, 0, 0, 1, 0, 0, 0, 0})}}),
         "invalid value: integer `4294967296`, expected usize"},
        {"offset 2^31", reference_file({{"offset", bytes({0xcf, 0, 0, 0, 0, 0x80, 0, 0, 0})}}),
         "invalid value: integer `2147483648`, expected isize"},
        {"offset below", reference_file({{"offset", bytes({0xd3, 0xff, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff})}}),
         "invalid value: integer `-2147483649`, expected isize"},
        {"negative len", reference_file({{"len", bytes({0xff})}}), "invalid value: integer `-1`, expected usize"},
        {"negative size", reference_file({{"tree_size", bytes({0xd0, 0x80})}}),
         "invalid value: integer `-128`, expected usize"},
        {"item 2^32", reference_file({{"items", Pack().array(32).uint(1ull << 32)}}),
         "invalid value: integer `4294967296`, expected u32"},
        {"u64 max", reference_file({{"leaf_size", bytes({0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})}}),
         "invalid value: integer `18446744073709551615`, expected usize"},
    });
}

TEST(DecodeRejects, NumbersOfTheWrongKind) {
    expect_rejected({
        {"len str", reference_file({{"len", bytes({0xa1, 0x35})}}), "wrong msgpack marker FixStr(1)"},
        {"len float", reference_file({{"len", Pack().f64(1.5)}}), "invalid type: floating point `1.5`, expected usize"},
        {"offset nil", reference_file({{"offset", Pack().nil()}}), "invalid type: unit value, expected isize"},
        {"offset str8 unread", reference_file({{"offset", bytes({0xd9})}}), "wrong msgpack marker Str8"},
        {"item float32", reference_file({{"items", Pack().array(32).f32(2.0f)}}),
         "invalid type: floating point `2.0`, expected u32"},
        {"item map", reference_file({{"items", Pack().array(32).raw({0xde})}}), "wrong msgpack marker Map16"},
        {"size reserved", reference_file({{"leaf_size", bytes({0xc1})}}), "wrong msgpack marker Reserved"},
        {"stem nil", reference_file({{"stems", Pack().array(1).nil()}}), "invalid type: unit value, expected f64"},
        {"stem false", reference_file({{"stems", Pack().array(1).raw({0xc2})}}),
         "invalid type: boolean `false`, expected f64"},
        {"stem array", reference_file({{"stems", Pack().array(1).array(2)}}), "wrong msgpack marker FixArray(2)"},
        {"stem ext", reference_file({{"stems", Pack().array(1).raw({0xd4})}}), "wrong msgpack marker FixExt1"},
        {"stem bin", reference_file({{"stems", Pack().array(1).raw({0xc4})}}), "wrong msgpack marker Bin8"},
        {"point reserved", reference_file({{"points", Pack().array(96).f64(1).raw({0xc1})}}),
         "wrong msgpack marker Reserved"},
    });
}

TEST(DecodeRejects, LeafArraysOfTheWrongLength) {
    auto floats = [](std::uint32_t n) {
        Pack p = Pack().array(n);
        for (std::uint32_t i = 0; i < n; ++i) p.f64(i);
        return p;
    };
    auto integers = [](std::uint32_t n) {
        Pack p = Pack().array(n);
        for (std::uint32_t i = 0; i < n; ++i) p.uint(i);
        return p;
    };
    const std::string short_points = "invalid length 3, expected an array of arrays, dimensions of 32x3";
    const std::string short_items = "invalid length 32, expected an array of length 32";
    expect_rejected({
        {"95 points", reference_file({{"points", floats(95)}}), short_points},
        {"0 points", reference_file({{"points", floats(0)}}), short_points},
        {"97 points", reference_file({{"points", floats(97)}}), "array had incorrect length, expected 96"},
        {"95 point bytes", reference_file({{"points", Pack().bin(std::string(95, 'a'))}}), short_points},
        {"points map", reference_file({{"points", Pack().map(0)}}),
         "invalid type: map, expected an array of arrays, dimensions of 32x3"},
        {"31 items", reference_file({{"items", integers(31)}}), short_items},
        {"33 items", reference_file({{"items", integers(33)}}), "array had incorrect length, expected 32"},
        {"31 item bytes", reference_file({{"items", Pack().bin(std::string(31, 'a'))}}), short_items},
        {"items str", reference_file({{"items", Pack().str("")}}),
         "invalid type: string \"\", expected an array of length 32"},
    });
}

TEST(DecodeRejects, EndOfInputNamesWhatWasBeingRead) {
    Pack cut_str = Pack().array(5).raw({0xa5, 'a', 'b'});
    Pack cut_float = reference_file({{"stems", Pack().array(1).raw({0xcb, 0x7f, 0xf0})}});
    cut_float.bytes.resize(cut_float.bytes.size() - 1);  // drop tree size
    Pack cut_length = Pack().array(5).str("").str(",").raw({0xdc, 0x00});
    expect_rejected({
        {"empty", Pack(), "IO error while reading marker: failed to fill whole buffer"},
        {"inside str", cut_str, "IO error while reading data: unexpected end of file"},
        {"inside bin", Pack().raw({0xc4, 0x03, 0x01}), "IO error while reading data: unexpected end of file"},
        {"inside float64", cut_float, "IO error while reading data: failed to fill whole buffer"},
        {"inside length", cut_length, "IO error while reading data: failed to fill whole buffer"},
        {"inside str8 length", Pack().array(5).raw({0xd9}), "IO error while reading data: failed to fill whole buffer"},
    });
    Result<ReverseGeocoder> empty = decode(Pack());
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().render(),
              "IO error while reading marker: failed to fill whole buffer\n\nCaused by:\n"
              "    failed to fill whole buffer");
}

}  // namespace
}  // namespace vicinor::persist
