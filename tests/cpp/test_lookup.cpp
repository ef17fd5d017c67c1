#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"
#include "geocoder/row_fields.hpp"

namespace vicinor {
namespace {

struct Place {
    double lat;
    double lon;
    std::string_view line;
};

// A geocoder assembled by hand, the way a loaded file would arrive: up to 32
// places fit one leaf, so no tree construction is involved.
ReverseGeocoder geocoder_of(std::string header, const std::vector<Place>& places,
                            char32_t value_sep = U',') {
    ReverseGeocoder g;
    set_value_sep(g, value_sep);
    g.csv = header + "\n";
    g.tree.stems = {kdtree::kUnsetStem};
    g.tree.leaves.resize(places.empty() ? 0 : 1);
    for (std::size_t k = 0; k < places.size(); ++k) {
        g.indexed_data.push_back({static_cast<std::int64_t>(g.csv.size()), places[k].line.size()});
        g.csv.append(places[k].line).append("\n");
        const kdtree::Point p = lat_lon_to_point(places[k].lat, places[k].lon);
        kdtree::LeafNode& leaf = g.tree.leaves[0];
        for (std::size_t d = 0; d < kdtree::K; ++d) leaf.content_points[d][k] = p[d];
        leaf.content_items[k] = static_cast<kdtree::Item>(k);
        ++leaf.size;
    }
    g.tree.size = places.size();
    return g;
}

std::string nearest(const ReverseGeocoder& g, double lat, double lon) {
    Result<std::string_view> row = nearest_row_text(g, lat, lon);
    if (!row) return "<error: " + row.error().message() + ">";
    return std::string(row.value());
}

std::vector<std::string> fields_of(const ReverseGeocoder& g, std::string_view row) {
    csv::CsvRecord record;
    Status status = read_row_fields(g, row, record);
    if (!status) return {"<error: " + status.error().message() + ">"};
    std::vector<std::string> fields;
    for (std::size_t i = 0; i < record.size(); ++i) fields.emplace_back(record.field(i));
    return fields;
}

const std::vector<Place> kCities{
    {48.85, 2.35, "48.85,2.35,\"Paris, FR\""},
    {51.5, -0.12, "51.5,-0.12, London "},
    {40.71, -74.0, "40.71,-74.0,007"},
    {-33.87, 151.2, "-33.87,151.2,Sydney"},
};

TEST(NearestRowText, ReturnsTheStoredLineOfTheNearestPlace) {
    const ReverseGeocoder g = geocoder_of("lat,lon,name", kCities);
    for (const Place& place : kCities) EXPECT_EQ(nearest(g, place.lat, place.lon), place.line);
    EXPECT_EQ(nearest(g, 49.0, 2.0), kCities[0].line);
    EXPECT_EQ(nearest(g, -40.0, 170.0), kCities[3].line);
}

TEST(NearestRowText, EqualPointsResolveToTheEarlierRow) {
    const ReverseGeocoder g =
        geocoder_of("lat,lon,name", {{10, 20, "10,20,first"}, {10, 20, "10,20,second"}});
    EXPECT_EQ(nearest(g, 10, 20), "10,20,first");
}

TEST(ReadRowFields, UnquotesAndKeepsValuesAsWritten) {
    const ReverseGeocoder g = geocoder_of("lat,lon,name", kCities);
    EXPECT_EQ(fields_of(g, nearest(g, 48.85, 2.35)),
              (std::vector<std::string>{"48.85", "2.35", "Paris, FR"}));
    EXPECT_EQ(fields_of(g, nearest(g, 51.5, -0.12)),
              (std::vector<std::string>{"51.5", "-0.12", " London "}));
    EXPECT_EQ(fields_of(g, nearest(g, 40.71, -74.0)),
              (std::vector<std::string>{"40.71", "-74.0", "007"}));
}

TEST(ReadRowFields, NonAsciiSeparatorFailsOnlyTheFieldRead) {
    const ReverseGeocoder g = geocoder_of("lat\xC3\xA9lon", {{1, 2, "1\xC3\xA9" "2"}}, U'\u00E9');
    EXPECT_EQ(nearest(g, 1, 2), "1\xC3\xA9" "2");
    EXPECT_EQ(fields_of(g, "1\xC3\xA9" "2"),
              (std::vector<std::string>{
                  "<error: Value separator must by an ASII character (got 233)>"}));
}

TEST(ReadRowFields, EmptyRowTextHoldsNoRecord) {
    const ReverseGeocoder g = geocoder_of("lat,lon", {});
    EXPECT_EQ(fields_of(g, ""),
              (std::vector<std::string>{"<error: Internal error - failed to parse CSV line>"}));
}

// A record that cannot answer says so; damaged slices and items never reach
// a lookup, because load refuses them.
TEST(NearestRowText, EmptyGeocodersGiveErrors) {
    EXPECT_EQ(nearest(geocoder_of("lat,lon", {}), 0, 0),
              "<error: the geocoder holds no places to search>");

    ReverseGeocoder no_leaves = geocoder_of("lat,lon", {{1, 2, "1,2"}});
    no_leaves.tree.leaves.clear();
    EXPECT_EQ(nearest(no_leaves, 1, 2), "<error: no stored place could answer the query>");

    ReverseGeocoder at_end = geocoder_of("lat,lon", {{1, 2, "1,2"}});
    at_end.indexed_data[0] = StringSlice{static_cast<std::int64_t>(at_end.csv.size()), 0};
    EXPECT_EQ(nearest(at_end, 1, 2), "");
}

TEST(NearestRowText, NonFiniteQueriesFindNothing) {
    const ReverseGeocoder g = geocoder_of("lat,lon,name", kCities);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::string refused = "<error: no stored place could answer the query>";
    EXPECT_EQ(nearest(g, nan, 0), refused);
    EXPECT_EQ(nearest(g, 0, nan), refused);
    EXPECT_EQ(nearest(g, inf, 0), refused);
    EXPECT_EQ(nearest(g, 0, -inf), refused);
}

}  // namespace
}  // namespace vicinor
