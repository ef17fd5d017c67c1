// Tables whose places share coordinates exactly (a meridian, the equator,
// points a hair apart) must not make the tree or the saved file grow
// faster than the rows: stems at most twice the smallest power of two that
// holds the leaves, and every query still exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <string>
#include <vector>

#include "geocoder/construction.hpp"
#include "kdtree/query.hpp"
#include "persist/codec.hpp"
#include "test_build_support.hpp"

namespace vicinor {
namespace {

using kdtree::B;

struct Family {
    const char* name;
    double (*lat)(std::size_t k);
    double (*lon)(std::size_t k);
};

// x and y shared (1.0 and 0.0 exactly), only z tells the places apart.
double hair_lat(std::size_t k) { return double(k) * 5e-11; }
double zero(std::size_t) { return 0.0; }
// z shared (1.0 near the pole), x and y tiny.
double near_pole_lat(std::size_t k) { return 90.0 - double(k % 97 + 1) * 1e-9; }
double near_pole_lon(std::size_t k) { return -180.0 + double(k) * 1e-3; }
double meridian_lat(std::size_t k) { return -89.0 + double(k) * 1e-4; }
double equator_lon(std::size_t k) { return double(k) * 3e-4; }

const Family kFamilies[] = {
    {"sharing two coordinates", hair_lat, zero},
    {"tiny differences near a pole", near_pole_lat, near_pole_lon},
    {"on a meridian", meridian_lat, zero},
    {"on the equator", zero, equator_lon},
};

std::string table(const Family& family, std::size_t rows, bool with_copies) {
    std::string csv = "lat,lon,name\n";
    char line[96];
    for (std::size_t k = 0; k < rows; ++k) {
        std::snprintf(line, sizeof line, "%.17g,%.17g,p%zu\n", family.lat(k + 1), family.lon(k + 1), k);
        csv += line;
    }
    // 33 copies of one place: more than a leaf holds.
    for (int c = 0; with_copies && c < 33; ++c) csv += "10.5,20.25,copy\n";
    return csv;
}

std::size_t stem_bound(std::size_t rows) {
    const std::size_t leaves = (rows + B - 1) / B;
    return 2 * std::max<std::size_t>(std::bit_ceil(leaves), 1);
}

// Saved bytes per row stay constant across a 64-fold range of rows.
TEST(BuildDegenerate, TreeAndSavedSizeGrowLinearly) {
    for (const Family& family : kFamilies) {
        for (const bool with_copies : {false, true}) {
            double first_bytes_per_row = 0;
            for (std::size_t rows = 1024; rows <= 65536; rows *= 4) {
                SCOPED_TRACE(::testing::Message() << family.name << (with_copies ? " +33" : "")
                                                  << " rows=" << rows);
                const std::string csv = table(family, rows, with_copies);
                Result<ReverseGeocoder> built = build_geocoder(csv, U',', false);
                ASSERT_TRUE(built) << built.error().message();
                const kdtree::ImmutableKdTree& tree = built->tree;
                const std::size_t n = rows + (with_copies ? 33 : 0);
                EXPECT_LE(tree.stems.size(), stem_bound(n));
                EXPECT_LE(tree.leaves.size(), 2 * ((n + B - 1) / B));

                Result<std::vector<std::uint8_t>> bytes = persist::encode_to_bytes(*built);
                ASSERT_TRUE(bytes);
                const double per_row = double(bytes->size()) / double(n);
                if (first_bytes_per_row == 0) first_bytes_per_row = per_row;
                EXPECT_LE(per_row, 1.5 * first_bytes_per_row);
                EXPECT_LE(per_row, 2.0 * double(csv.size()) / double(n) + 100.0);
                // Larger tables only grow a blown-up layout further.
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
}

// Every family, copies included, answers like a scan of all places.
TEST(BuildDegenerate, QueriesStayExact) {
    std::mt19937 rng(5);
    for (const Family& family : kFamilies) {
        for (const bool with_copies : {false, true}) {
            SCOPED_TRACE(::testing::Message() << family.name << (with_copies ? " +33" : ""));
            std::vector<kdtree::Point> points;
            for (std::size_t k = 1; k <= 3000; ++k) {
                points.push_back(lat_lon_to_point(family.lat(k), family.lon(k)));
            }
            if (with_copies) points.insert(points.begin() + 700, 33, lat_lon_to_point(10.5, 20.25));
            const kdtree::ImmutableKdTree tree = kdtree::build_tree(points);
            kdtree::testing::expect_sound_cells(tree, points);
            EXPECT_LE(tree.stems.size(), stem_bound(points.size()));
            const kdtree::SearchBounds bounds = kdtree::compute_search_bounds(tree);
            EXPECT_NE(bounds.seed_grid, 0u);  // seeds kept: the search is exact
            for (int q = 0; q < 300; ++q) {
                // Stored places, their neighbours one ulp off, and places nearby.
                kdtree::Point query = points[rng() % points.size()];
                if (q % 3 == 1) query[q % 2] = std::nextafter(query[q % 2], 2.0);
                if (q % 3 == 2) {
                    const std::size_t k = 1 + rng() % 3000;
                    query = lat_lon_to_point(family.lat(k) + 1e-7 * double(q), family.lon(k));
                }
                double best = std::numeric_limits<double>::max();
                for (const kdtree::Point& p : points) {
                    const double d = ((p[0] - query[0]) * (p[0] - query[0]) +
                                      (p[1] - query[1]) * (p[1] - query[1])) +
                                     (p[2] - query[2]) * (p[2] - query[2]);
                    best = std::min(best, d);
                }
                const kdtree::Nearest found = kdtree::nearest_one(tree, query);
                ASSERT_TRUE(found.found);
                EXPECT_EQ(found.distance, best) << "query " << q;
                const kdtree::Nearest bounded = kdtree::nearest_one(tree, bounds, query);
                EXPECT_EQ(bounded.distance, found.distance) << "query " << q;
                EXPECT_EQ(bounded.item, found.item) << "query " << q;
            }
        }
    }
}

// The leaves' places as sorted coordinate triples, one list per leaf.
std::vector<std::vector<kdtree::Point>> leaf_places(const kdtree::ImmutableKdTree& tree) {
    std::vector<std::vector<kdtree::Point>> places;
    for (const kdtree::LeafNode& leaf : tree.leaves) {
        std::vector<kdtree::Point>& in_leaf = places.emplace_back();
        for (std::size_t j = 0; j < leaf.size; ++j) {
            in_leaf.push_back({leaf.content_points[0][j], leaf.content_points[1][j],
                               leaf.content_points[2][j]});
        }
        std::sort(in_leaf.begin(), in_leaf.end());
    }
    return places;
}

// The layout follows from the places alone, not from the order of the
// rows: a selection that depended on how it arranged ties would differ.
TEST(BuildDegenerate, LayoutIgnoresRowOrder) {
    std::mt19937 rng(11);
    for (const Family& family : kFamilies) {
        SCOPED_TRACE(family.name);
        std::vector<kdtree::Point> points;
        for (std::size_t k = 1; k <= 5000; ++k) {
            points.push_back(lat_lon_to_point(family.lat(k), family.lon(k)));
        }
        points.insert(points.begin() + 900, 40, lat_lon_to_point(10.5, 20.25));
        const kdtree::ImmutableKdTree tree = kdtree::build_tree(points);
        std::shuffle(points.begin(), points.end(), rng);
        const kdtree::ImmutableKdTree shuffled = kdtree::build_tree(points);
        ASSERT_EQ(tree.stems.size(), shuffled.stems.size());
        for (std::size_t i = 0; i < tree.stems.size(); ++i) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(tree.stems[i]),
                      std::bit_cast<std::uint64_t>(shuffled.stems[i]))
                << "stem " << i;
        }
        EXPECT_EQ(leaf_places(tree), leaf_places(shuffled));
    }
}

}  // namespace
}  // namespace vicinor
