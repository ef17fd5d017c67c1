// The texts the saved-file reader builds into its errors: UTF-8 details,
// descriptions of unexpected values and marker names.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "persist/decode_describe.hpp"
#include "persist/decode_markers.hpp"
#include "persist/decode_utf8.hpp"

namespace vicinor::persist {
namespace {

std::string detail_of(std::string_view text) { return utf8_error_detail(text).value_or("valid"); }

TEST(Utf8Detail, AcceptsValidTextOfEveryWidth) {
    EXPECT_EQ(detail_of(""), "valid");
    EXPECT_EQ(detail_of("plain ascii that is longer than one word"), "valid");
    EXPECT_EQ(detail_of("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"), "valid");
}

TEST(Utf8Detail, CountsTheLongestValidPrefixOfABadSequence) {
    EXPECT_EQ(detail_of("\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(detail_of("ab\xff"), "invalid utf-8 sequence of 1 bytes from index 2");
    EXPECT_EQ(detail_of("\xc0\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(detail_of("\xc3("), "invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(detail_of("\xe0\x80\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(detail_of("\xed\xa0\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(detail_of("\xe2\x82("), "invalid utf-8 sequence of 2 bytes from index 0");
    EXPECT_EQ(detail_of("\xf4\x90\x80\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(detail_of("\xf0\x9f\x98("), "invalid utf-8 sequence of 3 bytes from index 0");
    // Found after the eight-byte ASCII steps.
    EXPECT_EQ(detail_of("0123456789abcdef\xc3\xa9xyz\xfe"),
              "invalid utf-8 sequence of 1 bytes from index 21");
}

// ASCII runs are skipped in blocks: a sequence anywhere relative to a
// block's edges is found at its own index.
TEST(Utf8Detail, FindsSequencesAtEveryOffsetFromABlockEdge) {
    for (std::size_t at = 0; at < 48; ++at) {
        const std::string ascii(at, 'a');
        EXPECT_EQ(detail_of(ascii + "\xff" + std::string(20, 'b')),
                  "invalid utf-8 sequence of 1 bytes from index " + std::to_string(at));
        EXPECT_EQ(detail_of(ascii + "\xc3\xa9" + std::string(20, 'b')), "valid") << at;
        EXPECT_EQ(detail_of(ascii + "\xe2\x82"),
                  "incomplete utf-8 byte sequence from index " + std::to_string(at));
    }
}

TEST(Utf8Detail, TextEndingInsideASequenceIsIncomplete) {
    EXPECT_EQ(detail_of("\xc3"), "incomplete utf-8 byte sequence from index 0");
    EXPECT_EQ(detail_of("abc\xe2\x82"), "incomplete utf-8 byte sequence from index 3");
    EXPECT_EQ(detail_of("\xf0\x9f\x98"), "incomplete utf-8 byte sequence from index 0");
}

TEST(DescribeFound, FloatsKeepADecimalPointAndRoundTrip) {
    EXPECT_EQ(describe_float(1.0), "floating point `1.0`");
    EXPECT_EQ(describe_float(-0.0), "floating point `-0.0`");
    EXPECT_EQ(describe_float(1.5), "floating point `1.5`");
    EXPECT_EQ(describe_float(0.1), "floating point `0.1`");
    EXPECT_EQ(describe_float(1e15), "floating point `1000000000000000.0`");
    EXPECT_EQ(describe_float(1e16), "floating point `1e+16`");
    EXPECT_EQ(describe_float(1e300), "floating point `1e+300`");
    EXPECT_EQ(describe_float(0.0001), "floating point `0.0001`");
    EXPECT_EQ(describe_float(1e-5), "floating point `1e-05`");
    EXPECT_EQ(describe_float(std::numeric_limits<double>::infinity()), "floating point `inf`");
    EXPECT_EQ(describe_float(-std::numeric_limits<double>::infinity()), "floating point `-inf`");
    EXPECT_EQ(describe_float(-std::numeric_limits<double>::quiet_NaN()), "floating point `NaN`");
}

TEST(DescribeFound, IntegersInDecimalWithTheirSign) {
    EXPECT_EQ(describe_integer({false, 18446744073709551615ull}),
              "integer `18446744073709551615`");
    EXPECT_EQ(describe_integer({true, static_cast<std::uint64_t>(-9223372036854775807ll - 1)}),
              "integer `-9223372036854775808`");
}

TEST(DescribeFound, StringsAreQuotedWithEscapes) {
    EXPECT_EQ(describe_string("ab"), "string \"ab\"");
    EXPECT_EQ(describe_string(""), "string \"\"");
    EXPECT_EQ(describe_string("a\"b\\c"), "string \"a\\\"b\\\\c\"");
    EXPECT_EQ(describe_string(std::string("\n\r\t\0", 4)), "string \"\\n\\r\\t\\0\"");
    EXPECT_EQ(describe_string("\x1b\x7f\xc2\x85"), "string \"\\u{1b}\\u{7f}\\u{85}\"");
    EXPECT_EQ(describe_string("caf\xc3\xa9 \xc2\xa0'"), "string \"caf\xc3\xa9 \xc2\xa0'\"");
}

TEST(MarkerNames, FixFormsCarryTheirValue) {
    using msgpack::marker_name;
    EXPECT_EQ(marker_name(0x05), "FixPos(5)");
    EXPECT_EQ(marker_name(0xff), "FixNeg(-1)");
    EXPECT_EQ(marker_name(0xe0), "FixNeg(-32)");
    EXPECT_EQ(marker_name(0x81), "FixMap(1)");
    EXPECT_EQ(marker_name(0x92), "FixArray(2)");
    EXPECT_EQ(marker_name(0xbf), "FixStr(31)");
    EXPECT_EQ(marker_name(0xc0), "Null");
    EXPECT_EQ(marker_name(0xc1), "Reserved");
    EXPECT_EQ(marker_name(0xd8), "FixExt16");
    EXPECT_EQ(marker_name(0xdf), "Map32");
}

}  // namespace
}  // namespace vicinor::persist
