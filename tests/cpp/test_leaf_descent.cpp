// Descents of a block of points: every instruction-set variant reaches the
// leaf the one-point descent reaches, on splits that points equal, NaN and
// both zeros included.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "kdtree/build_parts.hpp"
#include "kdtree/leaf_descent.hpp"

namespace vicinor::kdtree::testing {
namespace {

using detail::kDescentBlock;

TEST(LeafDescent, EveryVariantReachesTheLeafOfTheOnePointDescent) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // Few distinct values, so that coordinates often equal a split.
    const double values[] = {-inf, -1.0, -0.5, -0.0, 0.0, 0.25, 0.5, 1.0, inf, nan};
    std::mt19937 rng(11);
    auto value = [&] { return values[rng() % std::size(values)]; };
    for (cpu::Level variant : cpu::kAllLevels) {
        if (!cpu::supports(variant)) continue;
        SCOPED_TRACE(static_cast<int>(variant));
        for (std::size_t stem_count = 1; stem_count <= 1024; stem_count *= 2) {
            std::vector<double> stems(stem_count);
            for (double& stem : stems) stem = value();
            std::vector<Point> points(3 * kDescentBlock);
            for (Point& p : points) p = {value(), value(), value()};
            const PointColumns columns = PointColumns::from_points(points);
            for (std::size_t first = 0; first + kDescentBlock <= points.size(); first += 7) {
                std::size_t leaves[kDescentBlock];
                detail::descend_block_with(variant, stems, columns, first, leaves);
                for (std::size_t lane = 0; lane < kDescentBlock; ++lane) {
                    ASSERT_EQ(leaves[lane], detail::descend_to_leaf(stems, points[first + lane]))
                        << "stems " << stem_count << ", point " << first + lane;
                }
            }
        }
    }
}

}  // namespace
}  // namespace vicinor::kdtree::testing
