// The shared text helpers, at the block boundaries of their fast paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>

#include "common/text.hpp"

namespace vicinor::text {
namespace {

TEST(CountLineFeeds, AgreesWithAPlainCountAtEveryBlockBoundary) {
    std::mt19937 rng(5);
    // Lengths around one vector and around the stretch a byte tally covers
    // (255 vectors), dense and sparse in line feeds, including all of them.
    for (std::size_t length : {0, 1, 15, 16, 17, 4079, 4080, 4081, 8161, 20000}) {
        for (int density : {0, 3, 50, 100}) {
            std::string text(length, 'x');
            for (char& c : text) {
                if (static_cast<int>(rng() % 100) < density) c = '\n';
            }
            if (length > 0) text[length - 1] = density > 0 ? '\n' : '\x8a';  // high bit set
            const auto expected = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
            EXPECT_EQ(count_line_feeds(text), expected) << length << " " << density;
            // Unaligned starts.
            if (length > 3) {
                const std::string_view tail = std::string_view(text).substr(3);
                EXPECT_EQ(count_line_feeds(tail),
                          static_cast<std::size_t>(std::count(tail.begin(), tail.end(), '\n')));
            }
        }
    }
}

TEST(AsciiHelpers, FindTheFirstHighByteWhereverItLies) {
    for (std::size_t length : {0, 1, 7, 8, 9, 15, 16, 17, 40}) {
        for (std::size_t high = 0; high <= length; ++high) {
            std::string text(length, 'a');
            if (high < length) text[high] = '\xC3';
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
            EXPECT_EQ(skip_ascii(bytes, 0, length), high) << length;
            EXPECT_EQ(is_ascii(text), high == length) << length;
        }
    }
}

TEST(PutCodePoint, WritesTheShortestFormAtEveryLengthBoundary) {
    const std::pair<std::uint32_t, std::string_view> cases[] = {
        {0x00, std::string_view("\0", 1)}, {0x7F, "\x7F"},          {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},             {0x800, "\xE0\xA0\x80"}, {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},   {0x10FFFF, "\xF4\x8F\xBF\xBF"}};
    for (const auto& [code, expected] : cases) {
        unsigned char out[4];
        const unsigned char* end = put_code_point(code, out);
        const std::string_view written(reinterpret_cast<const char*>(out),
                                       static_cast<std::size_t>(end - out));
        EXPECT_EQ(written, expected) << code;
        EXPECT_EQ(count_characters(written), 1u) << code;
    }
}

}  // namespace
}  // namespace vicinor::text
