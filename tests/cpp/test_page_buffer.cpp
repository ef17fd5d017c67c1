// Storage that hands pages back early: released pages must never be read
// again as anything but zero, and the rest must keep its values.
#include <gtest/gtest.h>

#include <cstdint>

#include "common/page_buffer.hpp"

namespace vicinor {
namespace {

TEST(PageArray, ReleasedPagesReadAsZeroAndTheRestIsKept) {
    for (const std::size_t count : {std::size_t{10}, std::size_t{300000}}) {
        PageArray<std::uint32_t> values(count);
        for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<std::uint32_t>(i + 1);
        const std::size_t cut = count / 3 + 1;
        values.release(0, cut);
        // Only whole pages inside the range go back: whatever is not zero
        // still holds its value, and nothing from `cut` on was touched.
        for (std::size_t i = 0; i < cut; ++i) {
            ASSERT_TRUE(values[i] == 0 || values[i] == i + 1) << i;
        }
        for (std::size_t i = cut; i < count; ++i) ASSERT_EQ(values[i], i + 1) << i;
        values.release(cut, count - cut);  // up to the end, the tail page included
    }
    PageArray<double> empty(0);
    empty.release(0, 0);
    EXPECT_EQ(empty.size(), 0u);
}

}  // namespace
}  // namespace vicinor
