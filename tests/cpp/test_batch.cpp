#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "geocoder/batch.hpp"
#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"

namespace vicinor {
namespace {

// Clustered places, each stored twice, so that many queries meet ties.
ReverseGeocoder crowded_geocoder() {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> lat(-70, 70), lon(-180, 180);
    std::string csv = "lat,lon,row\n";
    for (int i = 0; i < 3000; ++i) {
        const std::string place = std::to_string(std::round(lat(rng) * 10) / 10) + "," +
                                  std::to_string(std::round(lon(rng) * 10) / 10);
        csv += place + "," + std::to_string(2 * i) + "\n" + place + "," +
               std::to_string(2 * i + 1) + "\n";
    }
    Result<ReverseGeocoder> built = build_geocoder(std::move(csv), U',', false);
    EXPECT_TRUE(built.ok());
    prepare_lookups(built.value());
    return std::move(built).value();
}

class BatchTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(BatchTest, AnswersAreThoseOfSingleLookupsAcrossChunksAndThreads) {
    const ReverseGeocoder geocoder = crowded_geocoder();
    std::mt19937_64 rng(GetParam());
    std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
    // More than one sorting chunk per thread, and a strided column.
    const std::size_t count = 150'000;
    std::vector<double> lats(count), lons(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        lats[i] = i % 3 == 0 ? std::round(lat(rng) * 10) / 10 : lat(rng);
        lons[2 * i] = i % 3 == 0 ? std::round(lon(rng) * 10) / 10 : lon(rng);
    }
    BatchQuery query{{lats.data(), 1}, {lons.data(), 2}, count, 2000.0, GetParam()};
    std::vector<std::int64_t> rows(count);
    std::vector<double> km(count);
    ASSERT_TRUE(nearest_rows(geocoder, query, rows.data(), km.data()).ok());
    for (std::size_t i = 0; i < count; i += 13) {
        Result<NearestRow> single = nearest_row(geocoder, lats[i], lons[2 * i]);
        ASSERT_TRUE(single.ok());
        EXPECT_EQ(km[i], chord_to_km(single->squared_chord)) << i;
        EXPECT_EQ(rows[i], km[i] > 2000.0 ? -1 : std::int64_t{single->row}) << i;
        // Tie rule: the search names the earlier copy of a place.
        if (rows[i] >= 0) {
            EXPECT_EQ(rows[i] % 2, 0) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, BatchTest, ::testing::Values(1u, 2u, 5u));

TEST(BatchFailures, AGeocoderWithoutPlacesFailsEvenForNoQueries) {
    Result<ReverseGeocoder> empty = build_geocoder("lat,lon\n", U',', false, 1);
    ASSERT_TRUE(empty.ok());
    BatchQuery query;
    Status searched = nearest_rows(empty.value(), query, nullptr, nullptr);
    ASSERT_FALSE(searched.ok());
    EXPECT_EQ(searched.error().message(), "the geocoder holds no places to search");
}

TEST(BatchFailures, FirstNonFiniteNamesTheEarliestBadCoordinate) {
    const double inf = INFINITY;
    std::vector<double> lats = {1, 2, 3, NAN}, lons = {1, 2, -inf, 4};
    BatchQuery query{{lats.data(), 1}, {lons.data(), 1}, 4, inf, 1};
    bool in_lons = false;
    EXPECT_EQ(first_non_finite(query, in_lons), 2u);
    EXPECT_TRUE(in_lons);
}

TEST(BatchDistances, AntipodesAreHalfTheCircumferenceNotNaN) {
    // Squared chords a hair above 4 arise from rounding.
    EXPECT_DOUBLE_EQ(chord_to_km(4.0000000000000009), M_PI * EARTH_RADIUS_KM);
    EXPECT_EQ(chord_to_km(0.0), 0.0);
}

}  // namespace
}  // namespace vicinor
