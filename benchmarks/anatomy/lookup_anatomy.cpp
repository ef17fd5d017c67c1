// Where the time of one lookup goes, without the host around it: the same
// queries through successively more of a lookup (coordinate conversion,
// search, search with the row prefetch, the row read, the row copy), once
// over all queries and once over a small set repeated until it sits in
// cache. The difference between the two is time spent waiting for memory.
// A pointer chase over a buffer the size of what lookups read gives the
// cost of one dependent memory access on this machine.
//
//   lookup_anatomy <table.csv> [--rounds N]
//
// CPU time per query, median of the rounds; the stages run interleaved.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "geocoder/answer_prefetch.hpp"
#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"
#include "kdtree/query.hpp"

namespace {

using vicinor::ReverseGeocoder;

struct Query {
    double lat;
    double lon;
};

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The first two fields of each data line; lines that do not parse are left out.
std::vector<Query> table_places(std::string_view text) {
    std::vector<Query> places;
    std::size_t at = text.find('\n');
    while (at != std::string_view::npos && at + 1 < text.size()) {
        const std::size_t begin = at + 1;
        at = text.find('\n', begin);
        const std::string_view line = text.substr(begin, at == std::string_view::npos ? text.npos : at - begin);
        const std::size_t comma = line.find(',');
        Query place{};
        const char* end = line.data() + line.size();
        if (comma == std::string_view::npos) continue;
        if (std::from_chars(line.data(), line.data() + comma, place.lat).ec != std::errc{}) continue;
        if (std::from_chars(line.data() + comma + 1, end, place.lon).ec != std::errc{}) continue;
        places.push_back(place);
    }
    return places;
}

// Uniform on the sphere, or within 0.05 degrees of a place of the table.
std::vector<Query> make_queries(const std::vector<Query>& places, bool near_places,
                                std::size_t count) {
    std::mt19937_64 random(near_places ? 2 : 1);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_real_distribution<double> longitude(-180.0, 180.0);
    std::uniform_int_distribution<std::size_t> pick(0, places.size() - 1);
    std::vector<Query> queries;
    queries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (near_places) {
            const Query& place = places[pick(random)];
            queries.push_back({place.lat + 0.05 * unit(random), place.lon + 0.05 * unit(random)});
        } else {
            queries.push_back({std::asin(unit(random)) * 180.0 / M_PI, longitude(random)});
        }
    }
    return queries;
}

// The first `distinct` queries repeated up to the same count: after the
// first pass everything they touch is in cache.
std::vector<Query> warm_set(const std::vector<Query>& queries, std::size_t distinct) {
    std::vector<Query> repeated;
    repeated.reserve(queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) repeated.push_back(queries[i % distinct]);
    return repeated;
}

struct Stage {
    const char* name;
    // Runs one query; returns something to sum, so nothing is optimised away.
    std::function<std::uint64_t(const Query&)> run;
};

std::vector<Stage> stages(const ReverseGeocoder& geocoder) {
    namespace kd = vicinor::kdtree;
    return {
        {"convert to a point",
         [](const Query& q) {
             return static_cast<std::uint64_t>(vicinor::lat_lon_to_point(q.lat, q.lon)[0] > 0.0);
         }},
        {"+ search",
         [&](const Query& q) {
             return std::uint64_t{kd::nearest_one(geocoder.tree, geocoder.search_bounds,
                                                  vicinor::lat_lon_to_point(q.lat, q.lon))
                                      .item};
         }},
        {"+ row prefetch during the search",
         [&](const Query& q) {
             return std::uint64_t{kd::nearest_one(geocoder.tree, geocoder.search_bounds,
                                                  vicinor::AnswerPrefetch(geocoder).hook(),
                                                  vicinor::lat_lon_to_point(q.lat, q.lon))
                                      .item};
         }},
        {"+ row read (nearest_row_text)",
         [&](const Query& q) {
             const auto row = vicinor::nearest_row_text(geocoder, q.lat, q.lon);
             return row ? std::uint64_t{row.value().size()} : 0;
         }},
        {"+ row copy",
         [&](const Query& q) {
             // Into reused storage, as a result string would be filled.
             static std::string copy;
             const auto row = vicinor::nearest_row_text(geocoder, q.lat, q.lon);
             if (!row) return std::uint64_t{0};
             copy.assign(row.value());
             return std::uint64_t{copy.size()};
         }},
    };
}

double nanoseconds_per_query(const Stage& stage, const std::vector<Query>& queries,
                             std::uint64_t& sink) {
    const double start = cpu_seconds();
    for (const Query& q : queries) sink += stage.run(q);
    return (cpu_seconds() - start) * 1e9 / static_cast<double>(queries.size());
}

// Nanoseconds per load of a chain of dependent loads through a random
// cycle over `bytes` of memory, one load per 64-byte line.
double dependent_load_ns(std::size_t bytes, std::uint64_t& sink) {
    const std::size_t lines = std::max<std::size_t>(bytes / 64, 2);
    std::vector<std::uint32_t> order(lines);
    for (std::size_t i = 0; i < lines; ++i) order[i] = static_cast<std::uint32_t>(i);
    std::shuffle(order.begin() + 1, order.end(), std::mt19937_64(3));
    std::vector<std::uint64_t> memory(lines * 8);
    for (std::size_t i = 0; i < lines; ++i) memory[order[i] * 8] = order[(i + 1) % lines];
    constexpr std::size_t kLoads = 4'000'000;
    std::uint64_t at = 0;
    const double start = cpu_seconds();
    for (std::size_t i = 0; i < kLoads; ++i) at = memory[at * 8];
    const double elapsed = cpu_seconds() - start;
    sink += at;
    return elapsed * 1e9 / kLoads;
}

std::size_t lookup_bytes(const ReverseGeocoder& geocoder) {
    return geocoder.tree.leaves.size() * sizeof(vicinor::kdtree::LeafNode) + geocoder.csv.size() +
           geocoder.indexed_data.size() * sizeof(vicinor::StringSlice) +
           geocoder.row_hints.slot_offsets.size() * sizeof(std::uint32_t) +
           geocoder.search_bounds.boxes.size() * sizeof(vicinor::kdtree::SearchBox);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <table.csv> [--rounds N]\n", argv[0]);
        return 2;
    }
    int rounds = 5;
    if (argc >= 4 && std::strcmp(argv[2], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[3]));

    std::string text = read_file(argv[1]);
    const std::vector<Query> places = table_places(text);
    auto built = vicinor::build_geocoder(std::move(text), U',', false);
    if (!built) {
        std::fprintf(stderr, "cannot build: %s\n", built.error().render().c_str());
        return 1;
    }
    ReverseGeocoder geocoder = std::move(built).value();
    vicinor::prepare_lookups(geocoder);

    constexpr std::size_t kQueries = 100'000;
    constexpr std::size_t kWarmDistinct = 1'000;
    struct Workload {
        const char* name;
        std::vector<Query> queries;
    };
    const std::vector<Query> uniform = make_queries(places, false, kQueries);
    const std::vector<Query> near = make_queries(places, true, kQueries);
    const Workload workloads[] = {
        {"uniform", uniform},
        {"near a place", near},
        {"uniform, 1,000 repeated", warm_set(uniform, kWarmDistinct)},
        {"near a place, 1,000 repeated", warm_set(near, kWarmDistinct)},
    };

    const std::vector<Stage> all_stages = stages(geocoder);
    std::vector<std::vector<std::vector<double>>> times(
        std::size(workloads), std::vector<std::vector<double>>(all_stages.size()));
    std::uint64_t sink = 0;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t w = 0; w < std::size(workloads); ++w) {
            for (std::size_t s = 0; s < all_stages.size(); ++s) {
                times[w][s].push_back(nanoseconds_per_query(all_stages[s], workloads[w].queries, sink));
            }
        }
    }

    std::printf("| stage (cumulative) |");
    for (const Workload& workload : workloads) std::printf(" %s |", workload.name);
    std::printf("\n|---|");
    for (std::size_t w = 0; w < std::size(workloads); ++w) std::printf("---|");
    std::printf("\n");
    for (std::size_t s = 0; s < all_stages.size(); ++s) {
        std::printf("| %s |", all_stages[s].name);
        for (std::size_t w = 0; w < std::size(workloads); ++w) {
            std::printf(" %.0f ns |", median(times[w][s]));
        }
        std::printf("\n");
    }

    const std::size_t working_set = lookup_bytes(geocoder);
    std::printf("\nOne dependent load (pointer chase, ns): %.1f over 1 MiB, %.1f over %.1f MiB "
                "(what lookups read: leaves, text, slices, row hints, boxes)\n",
                dependent_load_ns(1 << 20, sink), dependent_load_ns(working_set, sink),
                static_cast<double>(working_set) / (1 << 20));
    std::fprintf(stderr, "(checksum %llu)\n", static_cast<unsigned long long>(sink));
    return 0;
}
