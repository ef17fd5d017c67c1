#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/large_pages.hpp"

namespace vicinor {
namespace {

constexpr std::uintptr_t kPage = kLargePageBytes;

bool empty(const AddressRange& range) { return range.begin == range.end; }

TEST(WholeLargePages, OnlyPagesEntirelyInsideTheBuffer) {
    // Aligned both ends: exactly the buffer.
    AddressRange r = whole_large_pages(4 * kPage, 3 * kPage);
    EXPECT_EQ(r.begin, 4 * kPage);
    EXPECT_EQ(r.end, 7 * kPage);
    // A start one byte in loses the first page; an end one byte short, the last.
    r = whole_large_pages(4 * kPage + 1, 3 * kPage);
    EXPECT_EQ(r.begin, 5 * kPage);
    EXPECT_EQ(r.end, 7 * kPage);
    r = whole_large_pages(4 * kPage, 3 * kPage - 1);
    EXPECT_EQ(r.begin, 4 * kPage);
    EXPECT_EQ(r.end, 6 * kPage);
    // Spanning a boundary without holding a whole page, or smaller than one.
    EXPECT_TRUE(empty(whole_large_pages(kPage + kPage / 2, kPage)));
    EXPECT_TRUE(empty(whole_large_pages(4 * kPage, kPage - 1)));
    EXPECT_TRUE(empty(whole_large_pages(4 * kPage, 0)));
    EXPECT_FALSE(empty(whole_large_pages(4 * kPage, kPage)));
}

TEST(WholeLargePages, RangesAtTheTopOfTheAddressSpaceDoNotWrap) {
    EXPECT_TRUE(empty(whole_large_pages(UINTPTR_MAX - 10, 5)));
    EXPECT_TRUE(empty(whole_large_pages(UINTPTR_MAX - 10, 100)));
    EXPECT_TRUE(empty(whole_large_pages(UINTPTR_MAX - kPage, 2 * kPage)));
    const AddressRange top = whole_large_pages(UINTPTR_MAX - 3 * kPage + 1, 3 * kPage - 1);
    EXPECT_EQ(top.begin, UINTPTR_MAX - 3 * kPage + 1);  // 2^64 - 3 pages: aligned
    EXPECT_EQ(top.end - top.begin, 2 * kPage);
}

TEST(LargePageAdvice, LeavesTheBufferAndItsNeighboursIntact) {
    // Written under the advice, read after it ends: the same bytes, and the
    // memory around an unaligned buffer untouched.
    std::vector<unsigned char> memory(9 * kPage, 0xAB);
    unsigned char* buffer = memory.data() + 12345;
    const std::size_t bytes = 6 * kPage + 777;
    {
        const LargePageAdvice advice(buffer, bytes);
        for (std::size_t i = 0; i < bytes; ++i) buffer[i] = static_cast<unsigned char>(i * 31);
    }
    for (std::size_t i = 0; i < bytes; ++i) {
        ASSERT_EQ(buffer[i], static_cast<unsigned char>(i * 31)) << i;
    }
    for (unsigned char* p = memory.data(); p < buffer; ++p) ASSERT_EQ(*p, 0xAB);
    for (unsigned char* p = buffer + bytes; p < memory.data() + memory.size(); ++p) {
        ASSERT_EQ(*p, 0xAB);
    }
    // Buffers too small to hold a large page are left alone.
    unsigned char small[64] = {};
    { const LargePageAdvice advice(small, sizeof small); }
    const LargePageAdvice none(nullptr, 0);
}

}  // namespace
}  // namespace vicinor
