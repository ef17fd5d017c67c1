// The nearest-one query against brute force over many point distributions
// and tree sizes, on trees from the real construction and from the median
// layout (which has no splits left over from earlier attempts). Fixed seeds
// keep every failure reproducible.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "kdtree/build.hpp"
#include "test_query_support.hpp"

namespace vicinor::kdtree::testing {
namespace {

using PointMaker = std::function<std::vector<Point>(std::mt19937_64&, std::size_t)>;

struct Distribution {
    const char* name;
    PointMaker make;
};

std::vector<Point> sphere(std::mt19937_64& rng, std::size_t n) {
    std::vector<Point> points;
    for (std::size_t i = 0; i < n; ++i) points.push_back(random_unit_point(rng));
    return points;
}

// Places on a 10-degree grid share latitudes (equal z) and longitudes.
std::vector<Point> coarse_grid(std::mt19937_64& rng, std::size_t n) {
    std::uniform_int_distribution<int> lat(-9, 9);
    std::uniform_int_distribution<int> lon(-18, 17);
    std::vector<Point> points;
    for (std::size_t i = 0; i < n; ++i) points.push_back(unit_point_at(lat(rng) * 10.0, lon(rng) * 10.0));
    return points;
}

// Up to 32 copies of each of a few positions, interleaved in input order.
std::vector<Point> copies(std::mt19937_64& rng, std::size_t n) {
    std::vector<Point> places;
    for (std::size_t i = 0; i < (n + 31) / 32 + 1; ++i) places.push_back(random_unit_point(rng));
    std::vector<std::size_t> uses(places.size(), 0);
    std::uniform_int_distribution<std::size_t> pick(0, places.size() - 1);
    std::vector<Point> points;
    while (points.size() < n) {
        const std::size_t k = pick(rng);
        if (uses[k] == B) continue;
        ++uses[k];
        points.push_back(places[k]);
    }
    return points;
}

std::vector<Point> poles_and_antimeridian(std::mt19937_64& rng, std::size_t n) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Point> points;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = unit(rng);
        if (i % 3 == 0) {
            points.push_back(unit_point_at(89.0 + r, unit(rng) * 360.0 - 180.0));
        } else if (i % 3 == 1) {
            points.push_back(unit_point_at(-90.0 + r * 0.5, unit(rng) * 360.0 - 180.0));
        } else {
            const double lon = unit(rng) < 0.5 ? 180.0 - r : -180.0 + r;
            points.push_back(unit_point_at(unit(rng) * 180.0 - 90.0, i % 6 == 2 ? 180.0 : lon));
        }
    }
    return points;
}

// Small integer coordinates repeat in every dimension.
std::vector<Point> integer_cube(std::mt19937_64& rng, std::size_t n) {
    const int side = std::uniform_int_distribution<int>(2, 10)(rng);
    std::uniform_int_distribution<int> coordinate(0, side);
    std::vector<Point> points;
    for (std::size_t i = 0; i < n; ++i) {
        points.push_back({double(coordinate(rng)), double(coordinate(rng)), double(coordinate(rng))});
    }
    return points;
}

const Distribution kDistributions[] = {
    {"sphere", sphere},
    {"coarse_grid", coarse_grid},
    {"copies", copies},
    {"poles_and_antimeridian", poles_and_antimeridian},
    {"integer_cube", integer_cube},
};

// Queries: every stored point, stored points nudged a little, and points
// anywhere near the data's extent.
std::vector<Point> queries_for(std::span<const Point> points, std::mt19937_64& rng) {
    std::vector<Point> queries(points.begin(), points.end());
    std::normal_distribution<double> nudge(0.0, 0.01);
    std::uniform_real_distribution<double> anywhere(-1.2, 11.0);
    for (const Point& p : points) {
        queries.push_back({p[0] + nudge(rng), p[1] + nudge(rng), p[2] + nudge(rng)});
    }
    for (int i = 0; i < 200; ++i) {
        queries.push_back(random_unit_point(rng));
        queries.push_back({anywhere(rng), anywhere(rng), anywhere(rng)});
    }
    return queries;
}

struct Layout {
    const char* name;
    ImmutableKdTree (*lay_out)(std::span<const Point>);
};

const Layout kLayouts[] = {
    {"built", build_tree},
    {"median", MedianLayout::lay_out},
};

class NearestOneMatchesBruteForce
    : public ::testing::TestWithParam<std::tuple<Layout, Distribution>> {};

TEST_P(NearestOneMatchesBruteForce, OverManyTreeSizes) {
    const auto& [layout, distribution] = GetParam();
    std::mt19937_64 rng(20261207);
    for (std::size_t n : {0, 1, 2, 31, 32, 33, 64, 65, 100, 333, 1000, 2500}) {
        SCOPED_TRACE(::testing::Message() << distribution.name << ", " << n << " points");
        const std::vector<Point> points = distribution.make(rng, n);
        const ImmutableKdTree tree = layout.lay_out(points);
        const SearchBounds bounds = compute_search_bounds(tree);
        for (const Point& query : queries_for(points, rng)) {
            expect_matches_brute_force(tree, points, query, &bounds);
            if (::testing::Test::HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Trees, NearestOneMatchesBruteForce,
                         ::testing::Combine(::testing::ValuesIn(kLayouts),
                                            ::testing::ValuesIn(kDistributions)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::get<1>(info.param).name;
                         });

TEST(NearestOneMatchesBruteForceWithNaN, NaNPointsAreSkippedNotFatal) {
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(layout.name);
        std::mt19937_64 rng(7);
        std::vector<Point> points = sphere(rng, 400);
        for (std::size_t i = 0; i < points.size(); i += 7) points[i][i % 3] = kNaN;
        const ImmutableKdTree tree = layout.lay_out(points);
        const SearchBounds bounds = compute_search_bounds(tree);
        for (const Point& query : queries_for(points, rng)) {
            expect_matches_brute_force(tree, points, query, &bounds);
            if (::testing::Test::HasFailure()) return;
        }
    }
}

}  // namespace
}  // namespace vicinor::kdtree::testing
