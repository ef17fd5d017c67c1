// Where construction's time goes on one table: the whole constructor from
// the text, the tree alone from points already converted, and what the
// packed construction did on the way (attempts, splits moved, entries read
// by selections and repairs), or that it gave up and the fallback ran.
//
//   build_anatomy <table.csv> [--rounds N] [--method choose|permutation|ranks]
//
// The method applies to the packed construction timed alone (packed_ms), so
// that one run can set the ways of finding the splits side by side.
//
// CPU time, median of the rounds. Prints one JSON object.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "geocoder/construction.hpp"
#include "kdtree/build.hpp"
#include "kdtree/build_parts.hpp"

namespace {

using vicinor::kdtree::Point;
using vicinor::kdtree::PointColumns;

double cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The first two fields of every data line, as plainly as possible: the
// tables measured here quote nothing in them.
std::vector<Point> read_points(const std::string& text) {
    std::vector<Point> points;
    std::size_t at = text.find('\n') + 1;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const char* p = text.data() + at;
        const char* line_end = text.data() + (end == std::string::npos ? text.size() : end);
        double lat = 0, lon = 0;
        auto r = std::from_chars(p, line_end, lat);
        std::from_chars(r.ptr + 1, line_end, lon);
        points.push_back(vicinor::lat_lon_to_point(lat, lon));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return points;
}

// A digest of the tree's bytes as saved (stems, then leaves), to show
// that a change to construction kept every layout.
std::uint64_t layout_digest(const vicinor::kdtree::ImmutableKdTree& tree) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    auto mix = [&](const void* data, std::size_t bytes) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < bytes; ++i) hash = (hash ^ p[i]) * 0x100000001b3ULL;
    };
    mix(tree.stems.data(), tree.stems.size() * sizeof(double));
    for (const auto& leaf : tree.leaves) mix(&leaf, sizeof leaf);
    return hash;
}

}  // namespace

int main(int argc, char** argv) {
    using vicinor::kdtree::detail::PackedMethod;
    if (argc < 2) {
        std::fprintf(stderr, "usage: build_anatomy <table.csv> [--rounds N] [--method M]\n");
        return 2;
    }
    int rounds = 3;
    PackedMethod method = PackedMethod::kChoose;
    for (int arg = 2; arg + 1 < argc; arg += 2) {
        const std::string option = argv[arg], value = argv[arg + 1];
        if (option == "--rounds") rounds = std::stoi(value);
        if (option == "--method") {
            method = value == "ranks" ? PackedMethod::kRanks
                     : value == "permutation" ? PackedMethod::kPermutation
                                              : PackedMethod::kChoose;
        }
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    const std::vector<Point> points = read_points(text);

    std::vector<double> whole, tree, packed;
    std::uint64_t digest = 0;
    std::uint64_t packed_digest = 0;  // of the packed construction alone, 0 where it gave up
    vicinor::kdtree::detail::PackedBuildCounters counters;
    bool exact = false;
    for (int round = 0; round < rounds; ++round) {
        double start = cpu_ms();
        auto geocoder = vicinor::build_geocoder(text, U',', false);
        whole.push_back(cpu_ms() - start);
        if (!geocoder) {
            std::fprintf(stderr, "%s\n", geocoder.error().message().c_str());
            return 1;
        }
        start = cpu_ms();
        const vicinor::kdtree::ImmutableKdTree built = vicinor::kdtree::build_tree(points);
        tree.push_back(cpu_ms() - start);
        digest = layout_digest(built);
        PointColumns columns = PointColumns::from_points(points);
        counters = {};
        start = cpu_ms();
        const auto packed_tree = vicinor::kdtree::detail::build_packed_tree(
            columns, &counters, vicinor::kdtree::detail::SpatialNumbering::kMinPoints, method);
        packed.push_back(cpu_ms() - start);
        exact = packed_tree.has_value();
        packed_digest = exact ? layout_digest(*packed_tree) : 0;
    }
    std::printf(
        "{\"rows\": %zu, \"constructor_ms\": %.1f, \"tree_ms\": %.1f, \"packed_ms\": %.1f, "
        "\"exact\": %s, \"attempts\": %zu, \"split_moves\": %zu, \"entries_read\": %zu, "
        "\"entries_selected\": %zu, \"fresh_selections\": %zu, \"repairs\": %zu, "
        "\"fronts_gained\": %zu, \"fronts_lost\": %zu, \"divisions\": %zu, \"by_rank\": %s, \"layout\": \"%016llx\", \"packed_layout\": \"%016llx\"}\n",
        points.size(), median(whole), median(tree), median(packed), exact ? "true" : "false",
        counters.attempts, counters.split_moves, counters.entries_read,
        counters.entries_selected, counters.fresh_selections, counters.repairs,
        counters.fronts_gained, counters.fronts_lost, counters.divisions, counters.by_rank ? "true" : "false",
        static_cast<unsigned long long>(digest), static_cast<unsigned long long>(packed_digest));
}
