// Batch lookups. Each query runs the very search a single lookup runs, so
// answers (ties included) cannot differ; the speed comes from the order in
// which queries are asked: each chunk is sorted along a space-filling curve
// first, so that consecutive searches walk the same stems and leaves while
// they are still in cache.
#include "geocoder/batch.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "geocoder/construction.hpp"
#include "kdtree/query.hpp"

namespace vicinor {
namespace {

// Queries sorted together. The position inside a chunk fits the low 16 bits
// of a sort key; per thread this holds 2 MB of points and keys, whatever the
// batch size.
constexpr std::size_t kChunk = std::size_t{1} << 16;
constexpr unsigned kCurveBits = 8;  // per axis: 2^24 cells, finer than the leaves

// Spreads the low 8 bits of v three apart (bit i to bit 3i).
constexpr std::uint32_t spread_bits(std::uint32_t v) noexcept {
    v &= 0xFF;
    v = (v | (v << 8)) & 0x0F00F;
    v = (v | (v << 4)) & 0x0C30C3;
    v = (v | (v << 2)) & 0x249249;
    return v;
}

// Morton code of the unit-sphere point's cell in the [-1, 1] cube. Only the
// order of queries depends on it, never an answer.
std::uint32_t curve_key(const kdtree::Point& p) noexcept {
    constexpr double kScale = (1u << kCurveBits) * 0.5;
    auto cell = [](double c) {
        const double at = (c + 1.0) * kScale;
        if (!(at > 0.0)) return std::uint32_t{0};
        if (!(at < (1u << kCurveBits))) return (std::uint32_t{1} << kCurveBits) - 1;
        return static_cast<std::uint32_t>(at);
    };
    return spread_bits(cell(p[0])) | (spread_bits(cell(p[1])) << 1) |
           (spread_bits(cell(p[2])) << 2);
}

// Stable LSD radix sort of (key << 16 | position) by the 24 key bits, in two
// passes of 12 bits; `scratch` is as long as `keys`.
void sort_by_curve(std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& scratch) {
    constexpr unsigned kDigitBits = 12;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
    std::array<std::uint32_t, kBuckets> counts;
    for (unsigned shift = 16; shift < 16 + 3 * kCurveBits; shift += kDigitBits) {
        counts.fill(0);
        for (std::uint64_t k : keys) ++counts[(k >> shift) & (kBuckets - 1)];
        std::uint32_t total = 0;
        for (std::uint32_t& c : counts) total += std::exchange(c, total);
        for (std::uint64_t k : keys) scratch[counts[(k >> shift) & (kBuckets - 1)]++] = k;
        keys.swap(scratch);
    }
}

// The checks of a single lookup, on a query already converted.
Result<NearestRow> nearest_row_for_point(const ReverseGeocoder& geocoder,
                                         const kdtree::Point& point) {
    if (geocoder.indexed_data.empty()) return Error("the geocoder holds no places to search");
    const kdtree::Nearest nearest = kdtree::nearest_one(
        geocoder.tree, geocoder.search_bounds, answer_prefetch(geocoder), point);
    if (!nearest.found) return Error("no stored place could answer the query");
    if (nearest.item >= geocoder.indexed_data.size()) {
        return Error("damaged geocoder: the index names row " + std::to_string(nearest.item) +
                     ", but only " + std::to_string(geocoder.indexed_data.size()) +
                     " rows are stored");
    }
    return NearestRow{nearest.item, nearest.distance};
}

struct Failure {
    std::size_t index;
    Error error;
};

// One thread's share: queries [begin, end).
class BatchPart {
public:
    BatchPart(const ReverseGeocoder& geocoder, const BatchQuery& query, std::int64_t* rows,
              double* km)
        : geocoder_(geocoder), query_(query), rows_(rows), km_(km) {}

    std::optional<Failure> run(std::size_t begin, std::size_t end) {
        const std::size_t longest = std::min(kChunk, end - begin);
        points_.resize(longest);
        keys_.resize(longest);
        scratch_.resize(longest);
        for (std::size_t first = begin; first < end; first += kChunk) {
            const std::size_t count = std::min(kChunk, end - first);
            if (std::optional<Failure> failed = run_chunk(first, count)) return failed;
        }
        return std::nullopt;
    }

private:
    std::optional<Failure> run_chunk(std::size_t first, std::size_t count) {
        keys_.resize(count);
        scratch_.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            points_[i] = lat_lon_to_point(query_.lats[first + i], query_.lons[first + i]);
            keys_[i] = (std::uint64_t{curve_key(points_[i])} << 16) | i;
        }
        sort_by_curve(keys_, scratch_);
        std::optional<Failure> failed;
        for (std::uint64_t key : keys_) {
            const std::size_t i = key & 0xFFFF;
            const std::size_t at = first + i;
            Result<NearestRow> found = nearest_row_for_point(geocoder_, points_[i]);
            if (!found) {
                // Sorted order is not query order: keep the earliest failure.
                if (!failed || at < failed->index) failed = Failure{at, std::move(found).error()};
                continue;
            }
            const double distance = chord_to_km(found->squared_chord);
            km_[at] = distance;
            rows_[at] = distance > query_.max_km ? -1 : std::int64_t{found->row};
        }
        return failed;
    }

    const ReverseGeocoder& geocoder_;
    const BatchQuery& query_;
    std::int64_t* const rows_;
    double* const km_;
    std::vector<kdtree::Point> points_;
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint64_t> scratch_;
};

}  // namespace

Result<NearestRow> nearest_row(const ReverseGeocoder& geocoder, double lat, double lon) {
    if (!std::isfinite(lat) || !std::isfinite(lon)) {
        return Error("latitude and longitude must be finite numbers");
    }
    return nearest_row_for_point(geocoder, lat_lon_to_point(lat, lon));
}

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

unsigned default_batch_threads(std::size_t count) noexcept {
    if (count < kParallelThreshold) return 1;
    return std::max(1u, std::thread::hardware_concurrency());
}

Status nearest_rows(const ReverseGeocoder& geocoder, const BatchQuery& query, std::int64_t* rows,
                    double* km) {
    // Even with no queries: a table without places is a mistake to report.
    if (geocoder.indexed_data.empty()) return Error("the geocoder holds no places to search");
    if (query.count == 0) return {};
    // Every part gets at least one whole chunk's worth, or threads would
    // cost more than they save.
    const std::size_t useful = (query.count + 4095) / 4096;
    const std::size_t parts =
        std::max<std::size_t>(1, std::min<std::size_t>(query.threads, useful));
    std::vector<std::optional<Failure>> failures(parts);
    std::vector<std::exception_ptr> faults(parts);
    auto work = [&](std::size_t part) {
        try {
            const std::size_t begin = query.count * part / parts;
            const std::size_t end = query.count * (part + 1) / parts;
            BatchPart worker(geocoder, query, rows, km);
            failures[part] = worker.run(begin, end);
        } catch (...) {
            faults[part] = std::current_exception();
        }
    };
    {
        std::vector<std::jthread> helpers;
        helpers.reserve(parts - 1);
        // A thread that cannot start leaves its part to be run here.
        std::size_t started = 1;
        try {
            for (; started < parts; ++started) helpers.emplace_back(work, started);
        } catch (const std::system_error&) {
        }
        work(0);
        for (std::size_t part = started; part < parts; ++part) work(part);
    }  // joins
    for (const std::exception_ptr& fault : faults) {
        if (fault) std::rethrow_exception(fault);
    }
    for (std::optional<Failure>& failure : failures) {
        if (failure) return std::move(failure->error);
    }
    return {};
}

}  // namespace vicinor
