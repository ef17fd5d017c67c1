#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "common/stop_check.hpp"
#include "geocoder/construction.hpp"

namespace vicinor {
namespace {

// Enough rows for the tree to be built in several steps of every stage.
std::string table(std::size_t rows) {
    std::string csv = "lat,lon,name\n";
    char line[64];
    for (std::size_t i = 0; i < rows; ++i) {
        const double lat = -89.0 + static_cast<double>((i * 7919) % 178000) / 1000.0;
        const double lon = -179.0 + static_cast<double>((i * 104729) % 358000) / 1000.0;
        std::snprintf(line, sizeof line, "%.3f,%.3f,p%zu\n", lat, lon, i);
        csv += line;
    }
    return csv;
}

struct Asked {
    std::size_t times = 0;
    std::size_t stop_at = 0;  // 0: never stop
};

bool count_and_maybe_stop(void* context) noexcept {
    auto* asked = static_cast<Asked*>(context);
    ++asked->times;
    return asked->times == asked->stop_at;
}

TEST(StopCheck, StopsConstructionAtAnyStepWithAnErrorValue) {
    const std::string csv = table(200'000);
    Asked counted;
    Result<ReverseGeocoder> whole = [&] {
        const StopCheck check(&count_and_maybe_stop, &counted, std::chrono::nanoseconds(0));
        return build_geocoder(csv, U',', false);
    }();
    ASSERT_TRUE(whole.ok());
    ASSERT_GT(counted.times, 10u);
    // Reading, each stage of the tree, placement: wherever it is asked.
    for (std::size_t stop_at : {std::size_t{1}, counted.times / 2, counted.times}) {
        Asked asked{0, stop_at};
        const StopCheck check(&count_and_maybe_stop, &asked, std::chrono::nanoseconds(0));
        Result<ReverseGeocoder> stopped = build_geocoder(csv, U',', false);
        ASSERT_FALSE(stopped.ok()) << "stop at " << stop_at;
        EXPECT_EQ(stopped.error().message(), "construction stopped on request");
        EXPECT_EQ(asked.times, stop_at);
    }
}

TEST(StopCheck, AskedOnlyWhileInstalledAndNotBeforeTheInterval) {
    Asked asked{0, 1};
    {
        const StopCheck check(&count_and_maybe_stop, &asked, std::chrono::hours(1));
        EXPECT_NO_THROW(stop_point());
        {
            const StopCheck inner(&count_and_maybe_stop, &asked, std::chrono::nanoseconds(0));
            EXPECT_THROW(stop_point(), Stopped);
        }
        EXPECT_NO_THROW(stop_point());  // the outer check again, not yet due
    }
    EXPECT_NO_THROW(stop_point());
    EXPECT_EQ(asked.times, 1u);
}

}  // namespace
}  // namespace vicinor
