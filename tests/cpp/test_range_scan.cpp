// The scan behind split repairs: every instruction-set variant finds exactly
// the positions a plain comparison finds, and writes no further than it may.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "kdtree/range_scan.hpp"

namespace vicinor::kdtree::testing {
namespace {

using detail::kScanSlack;

constexpr std::uint32_t kCanary = 0xDEADBEEF;

std::vector<std::uint32_t> expected_positions(const std::vector<std::uint32_t>& order,
                                              std::size_t begin, std::size_t end,
                                              const std::vector<double>& column, double lowest,
                                              double highest) {
    std::vector<std::uint32_t> positions;
    for (std::size_t i = begin; i < end; ++i) {
        const double value = column[order[i]];
        if (value >= lowest && value <= highest) positions.push_back(static_cast<std::uint32_t>(i));
    }
    return positions;
}

TEST(RangeScan, EveryVariantFindsThePlainComparisonsPositions) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::mt19937 rng(5);
    // Few distinct values, so that bounds often equal a value; NaN, both
    // infinities and both zeros among them.
    const double values[] = {-inf, -1.5, -0.0, 0.0, 0.25, 0.5, 1.0, inf, std::nan("")};
    std::vector<double> column(3000);
    for (double& v : column) v = values[rng() % std::size(values)];
    std::vector<std::uint32_t> order(column.size());
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), rng);

    for (cpu::Level variant : cpu::kAllLevels) {
        if (!cpu::supports(variant)) continue;
        SCOPED_TRACE(static_cast<int>(variant));
        for (int round = 0; round < 400; ++round) {
            // Lengths around the vector width, and long ones.
            const std::size_t length = round < 200 ? rng() % 40 : rng() % 2500;
            const std::size_t begin = rng() % (order.size() - length + 1);
            double lowest = values[rng() % std::size(values)];
            double highest = values[rng() % std::size(values)];
            if (round % 3 == 0 && lowest > highest) std::swap(lowest, highest);
            std::vector<std::uint32_t> out(length + kScanSlack + 4, kCanary);
            const std::size_t taken = detail::scan_in_range_with(
                variant, order.data(), begin, begin + length, column.data(), lowest, highest,
                out.data());
            const std::vector<std::uint32_t> expected =
                expected_positions(order, begin, begin + length, column, lowest, highest);
            ASSERT_EQ(taken, expected.size()) << "round " << round;
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()))
                << "round " << round;
            for (std::size_t i = length + kScanSlack; i < out.size(); ++i) {
                EXPECT_EQ(out[i], kCanary) << "wrote past the room, round " << round;
            }
        }
    }
}

TEST(RangeScan, TheDefaultIsOneOfTheVariants) {
    std::vector<double> column = {3.0, 1.0, 2.0, 5.0, 4.0, 0.0, 6.0, 7.0, 8.0, 9.0, -1.0};
    std::vector<std::uint32_t> order = {10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    std::vector<std::uint32_t> out(order.size() + kScanSlack);
    const std::size_t taken =
        detail::scan_in_range(order.data(), 1, order.size(), column.data(), 2.0, 6.0, out.data());
    // Positions 4 (6.0), 6 (4.0), 7 (5.0), 8 (2.0), 10 (3.0).
    EXPECT_EQ(std::vector<std::uint32_t>(out.begin(), out.begin() + taken),
              (std::vector<std::uint32_t>{4, 6, 7, 8, 10}));
}

}  // namespace
}  // namespace vicinor::kdtree::testing
