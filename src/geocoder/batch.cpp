// Batch lookups. Each query runs the very search a single lookup runs, so
// answers (ties included) cannot differ; the speed comes from the order in
// which queries are asked: sorted along a space-filling curve first, so that
// consecutive searches walk the same stems and leaves while they are still
// in cache.
#include "geocoder/batch.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/parallel_parts.hpp"
#include "geocoder/construction.hpp"
#include "kdtree/query.hpp"

namespace vicinor {
namespace {

// Queries are visited bucket by bucket of a 256 x 256 grid over latitude
// and longitude, the buckets in Morton order: about 80 by 150 km at the
// equator, so consecutive searches mostly read leaves already in cache.
// Only the order of the searches depends on it, never an answer.
constexpr unsigned kGridBits = 8;
constexpr std::size_t kBuckets = std::size_t{1} << (2 * kGridBits);
static_assert(kBuckets - 1 <= UINT16_MAX, "a bucket is kept in 16 bits");
// Positions in a sorted range are 32-bit: 4 bytes a query.
constexpr std::size_t kLongestRange = std::size_t{1} << 31;
// Queries converted, searched and written back together: 224 KB a thread.
constexpr std::size_t kBlock = 4096;
// How far ahead scattered coordinates and results are fetched.
constexpr std::size_t kGatherAhead = 16;

// Spreads the low 8 bits of v two apart (bit i to bit 2i).
constexpr std::uint32_t spread_bits(std::uint32_t v) noexcept {
    v &= 0xFF;
    v = (v | (v << 4)) & 0x0F0F;
    v = (v | (v << 2)) & 0x3333;
    v = (v | (v << 1)) & 0x5555;
    return v;
}

// From the degrees, without trigonometry. Coordinates outside the usual ranges share the edge buckets.
std::uint32_t bucket_of(double lat, double lon) noexcept {
    auto cell = [](double degrees, double low, double span) {
        const double at = (degrees - low) * ((1u << kGridBits) / span);
        if (!(at > 0.0)) return std::uint32_t{0};
        if (!(at < (1u << kGridBits))) return (std::uint32_t{1} << kGridBits) - 1;
        return static_cast<std::uint32_t>(at);
    };
    return spread_bits(cell(lat, -90.0, 180.0)) | (spread_bits(cell(lon, -180.0, 360.0)) << 1);
}

struct Failure {
    std::size_t index;
    Error error;
    std::optional<NonFiniteCoordinate> non_finite;
};

// Why a query found nothing. The coordinates were checked before the
// search, but the caller may have changed them since: one that is no
// longer finite is reported as such, with the value the search saw.
Failure failure_at(std::size_t index, double lat, double lon, Error error) {
    if (!std::isfinite(lat)) return Failure{index, std::move(error), NonFiniteCoordinate{index, false, lat}};
    if (!std::isfinite(lon)) return Failure{index, std::move(error), NonFiniteCoordinate{index, true, lon}};
    return Failure{index, std::move(error), std::nullopt};
}

// One thread's share: queries [begin, end).
class BatchPart {
public:
    BatchPart(const ReverseGeocoder& geocoder, const BatchQuery& query, std::int64_t* rows,
              double* km)
        : geocoder_(geocoder), query_(query), rows_(rows), km_(km) {}

    std::optional<Failure> run(std::size_t begin, std::size_t end) {
        std::optional<Failure> failed;
        for (std::size_t first = begin; first < end && !failed; first += kLongestRange) {
            const std::size_t count = std::min(kLongestRange, end - first);
            sort_by_bucket(first, count);
            failed = answer_in_order(first);
        }
        return failed;
    }

private:
    // A counting sort: order_ lists positions bucket by bucket, each bucket
    // in query order. The caller's arrays may change under us (another
    // thread, a shared mapping), so each bucket is computed once and both
    // passes use that: the counts always match the placements.
    void sort_by_bucket(std::size_t first, std::size_t count) {
        starts_.assign(kBuckets, 0);
        keys_.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t bucket = bucket_of(query_.lats[first + i], query_.lons[first + i]);
            keys_[i] = static_cast<std::uint16_t>(bucket);
            ++starts_[bucket];
        }
        std::uint32_t total = 0;
        for (std::uint32_t& start : starts_) total += std::exchange(start, total);
        order_.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            order_[starts_[keys_[i]]++] = static_cast<std::uint32_t>(i);
        }
    }

    // Block by block of the sorted order: gathering the coordinates and
    // scattering the results in loops of their own lets the memory system
    // serve many of those scattered accesses at once, instead of one per
    // search.
    std::optional<Failure> answer_in_order(std::size_t first) {
        std::optional<Failure> failed;
        const std::size_t count = order_.size();
        for (std::size_t block = 0; block < count; block += kBlock) {
            const std::size_t size = std::min(kBlock, count - block);
            const std::uint32_t* positions = order_.data() + block;
            // Loads only: a loop with trigonometry in it would keep too few
            // of these cache misses in flight.
            for (std::size_t k = 0; k < size; ++k) {
                if (k + kGatherAhead < size) {
                    __builtin_prefetch(query_.lats.at(first + positions[k + kGatherAhead]));
                    __builtin_prefetch(query_.lons.at(first + positions[k + kGatherAhead]));
                }
                const std::size_t at = first + positions[k];
                lats_block_[k] = query_.lats[at];
                lons_block_[k] = query_.lons[at];
            }
            for (std::size_t k = 0; k < size; ++k) {
                points_[k] = lat_lon_to_point(lats_block_[k], lons_block_[k]);
            }
            for (std::size_t k = 0; k < size; ++k) {
                Result<NearestRow> found = checked_row(search(points_[k]));
                if (!found) {
                    // Sorted order is not query order: keep the earliest failure.
                    const std::size_t at = first + positions[k];
                    if (!failed || at < failed->index) {
                        failed = failure_at(at, lats_block_[k], lons_block_[k],
                                            std::move(found).error());
                    }
                    found = NearestRow{};
                }
                const double distance = chord_to_km(found->squared_chord);
                km_block_[k] = distance;
                rows_block_[k] = distance > query_.max_km ? -1 : std::int64_t{found->row};
            }
            for (std::size_t k = 0; k < size; ++k) {
                if (k + kGatherAhead < size) {
                    __builtin_prefetch(&km_[first + positions[k + kGatherAhead]], 1);
                    __builtin_prefetch(&rows_[first + positions[k + kGatherAhead]], 1);
                }
                const std::size_t at = first + positions[k];
                km_[at] = km_block_[k];
                rows_[at] = rows_block_[k];
            }
        }
        return failed;
    }

    // No row prefetches: no row text is read.
    kdtree::Nearest search(const kdtree::Point& point) const {
        return kdtree::nearest_one(geocoder_.tree, geocoder_.search_bounds, point);
    }

    const ReverseGeocoder& geocoder_;
    const BatchQuery& query_;
    std::int64_t* const rows_;
    double* const km_;
    std::vector<std::uint32_t> starts_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint16_t> keys_;
    std::array<double, kBlock> lats_block_;
    std::array<double, kBlock> lons_block_;
    std::array<kdtree::Point, kBlock> points_;
    std::array<double, kBlock> km_block_;
    std::array<std::int64_t, kBlock> rows_block_;
};

}  // namespace

double chord_to_km(double squared_chord) noexcept {
    // Rounding can put two antipodal points a hair more than 2 apart; asin
    // of anything above 1 would be NaN.
    const double half_chord = std::min(std::sqrt(squared_chord) * 0.5, 1.0);
    return EARTH_RADIUS_KM * (2.0 * std::asin(half_chord));
}

std::size_t first_non_finite(const BatchQuery& query, bool& in_lons) noexcept {
    for (std::size_t i = 0; i < query.count; ++i) {
        if (!std::isfinite(query.lats[i])) {
            in_lons = false;
            return i;
        }
        if (!std::isfinite(query.lons[i])) {
            in_lons = true;
            return i;
        }
    }
    return query.count;
}

std::size_t first_unusable(const BatchQuery& query, bool& in_lons, double& value) noexcept {
    // Each value is read once: another thread may change the column, and the
    // message must name the value that failed.
    for (std::size_t i = 0; i < query.count; ++i) {
        if (const double lat = query.lats[i]; !usable_latitude(lat)) {
            in_lons = false;
            value = lat;
            return i;
        }
        if (const double lon = query.lons[i]; !usable_longitude(lon)) {
            in_lons = true;
            value = lon;
            return i;
        }
    }
    return query.count;
}

unsigned default_batch_threads(std::size_t count) noexcept {
    if (count < kParallelThreshold) return 1;
    return std::max(1u, std::thread::hardware_concurrency());
}

Status nearest_rows(const ReverseGeocoder& geocoder, const BatchQuery& query, std::int64_t* rows,
                    double* km, std::optional<NonFiniteCoordinate>* non_finite) {
    // Even with no queries: a table without places is a mistake to report.
    if (Status places = require_places(geocoder); !places) return places;
    if (query.count == 0) return {};
    const std::size_t parts = useful_parts(query.count, query.threads);
    std::vector<std::optional<Failure>> failures(parts);
    run_in_parts(query.count, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
        auto worker = std::make_unique<BatchPart>(geocoder, query, rows, km);
        failures[part] = worker->run(begin, end);
    });
    for (std::optional<Failure>& failure : failures) {
        if (!failure) continue;
        if (non_finite != nullptr) *non_finite = failure->non_finite;
        return std::move(failure->error);
    }
    return {};
}

}  // namespace vicinor
