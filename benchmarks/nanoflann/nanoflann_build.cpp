// The C++ baseline for construction: parse the coordinates of a CSV table
// held in memory with std::from_chars, keep each row's place in the text,
// turn the coordinates into unit-sphere points and build a nanoflann k-d
// tree with leaves of 32. This is the work vicinor's constructor does, done
// as plainly as C++ allows; timing happens here so process start-up and
// file reading stay out of the figure.
//
// Usage: nanoflann_build CSV_PATH [--repeat N] [--warmup N] [--clock wall|cpu]
//                        [--queries PATH]
// Prints one JSON object: {"rows": R, "build_ns": [t1, t2, ...]}. The cpu
// clock is this process's CPU time, as the Python harness measures with it.
// With --queries (a file of native doubles, latitude then longitude of each
// point), the last tree also answers every point with a loop of single
// queries, degree conversion included: "query_ns": [...] per repeat and
// "rows_sum", the sum of the answers, for a check against vicinor.

#include <nanoflann.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr double DEG_TO_RAD = 0.017453292519943295;
constexpr std::size_t LEAF_SIZE = 32;

struct RowSlice {
    std::int64_t offset;
    std::uint64_t len;
};

// nanoflann reads points through this adaptor; a flat array keeps it as
// cheap as the layout vicinor builds from.
struct PointCloud {
    std::vector<double> xyz;

    std::size_t kdtree_get_point_count() const { return xyz.size() / 3; }
    double kdtree_get_pt(std::size_t index, std::size_t dim) const { return xyz[index * 3 + dim]; }
    template <class BoundingBox>
    bool kdtree_get_bbox(BoundingBox&) const {
        return false;
    }
};

using KdTree = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, PointCloud>,
                                                   PointCloud, 3, std::uint32_t>;

struct Index {
    PointCloud cloud;
    std::vector<RowSlice> rows;
    std::optional<KdTree> tree;
};

std::optional<double> parse_number(std::string_view field) {
    double value = 0.0;
    const char* end = field.data() + field.size();
    auto [stop, error] = std::from_chars(field.data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

// Fills `index` from `text`; returns the 1-based line number of the first
// line it cannot read, or 0 on success.
std::size_t build_index(std::string_view text, Index& index) {
    std::size_t line_count = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    index.cloud.xyz.clear();
    index.rows.clear();
    index.cloud.xyz.reserve(line_count * 3);
    index.rows.reserve(line_count);

    std::size_t pos = text.find('\n');
    pos = pos == std::string_view::npos ? text.size() : pos + 1;  // skip the header
    std::size_t line_number = 1;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        ++line_number;
        std::size_t first = line.find(',');
        std::size_t second = first == std::string_view::npos ? first : line.find(',', first + 1);
        if (second == std::string_view::npos) {
            second = line.size();
        }
        if (first == std::string_view::npos) {
            return line_number;
        }
        auto lat = parse_number(line.substr(0, first));
        auto lon = parse_number(line.substr(first + 1, second - first - 1));
        if (!lat || !lon) {
            return line_number;
        }
        double lat_r = *lat * DEG_TO_RAD;
        double lon_r = *lon * DEG_TO_RAD;
        double cos_lat = std::cos(lat_r);
        index.cloud.xyz.push_back(cos_lat * std::cos(lon_r));
        index.cloud.xyz.push_back(cos_lat * std::sin(lon_r));
        index.cloud.xyz.push_back(std::sin(lat_r));
        index.rows.push_back({static_cast<std::int64_t>(pos), line.size()});
        pos = end + 1;
    }
    index.tree.reset();
    index.tree.emplace(3, index.cloud, nanoflann::KDTreeSingleIndexAdaptorParams(LEAF_SIZE));
    return 0;
}

// A tree that answers wrongly would make its timing meaningless.
bool finds_own_points(const Index& index) {
    std::size_t count = index.rows.size();
    for (std::size_t i = 0; i < count; i += std::max<std::size_t>(1, count / 64)) {
        const double* query = &index.cloud.xyz[i * 3];
        std::uint32_t found = 0;
        double distance = -1.0;
        nanoflann::KNNResultSet<double, std::uint32_t> result(1);
        result.init(&found, &distance);
        index.tree->findNeighbors(result, query, nanoflann::SearchParams());
        if (distance != 0.0) {
            return false;
        }
    }
    return true;
}

std::vector<double> read_doubles(const char* path) {
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<double> values(bytes.size() / sizeof(double));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(double));
    return values;
}

// One single query per point, as a C++ program would ask them one by one.
std::uint64_t answer_all(const Index& index, const std::vector<double>& lat_lon) {
    std::uint64_t rows_sum = 0;
    for (std::size_t i = 0; i + 1 < lat_lon.size(); i += 2) {
        const double lat_r = lat_lon[i] * DEG_TO_RAD;
        const double lon_r = lat_lon[i + 1] * DEG_TO_RAD;
        const double cos_lat = std::cos(lat_r);
        const double query[3] = {cos_lat * std::cos(lon_r), cos_lat * std::sin(lon_r),
                                 std::sin(lat_r)};
        std::uint32_t found = 0;
        double distance = -1.0;
        nanoflann::KNNResultSet<double, std::uint32_t> result(1);
        result.init(&found, &distance);
        index.tree->findNeighbors(result, query, nanoflann::SearchParams());
        rows_sum += found;
    }
    return rows_sum;
}

long long now_ns(bool cpu_clock) {
    if (!cpu_clock) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

int usage() {
    std::fputs("usage: nanoflann_build CSV_PATH [--repeat N] [--warmup N] [--clock wall|cpu]\n",
               stderr);
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    int repeat = 1;
    int warmup = 1;
    bool cpu_clock = false;
    const char* queries_path = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (i + 1 < argc && std::strcmp(argv[i], "--repeat") == 0) {
            repeat = std::atoi(argv[++i]);
        } else if (i + 1 < argc && std::strcmp(argv[i], "--warmup") == 0) {
            warmup = std::atoi(argv[++i]);
        } else if (i + 1 < argc && std::strcmp(argv[i], "--queries") == 0) {
            queries_path = argv[++i];
        } else if (i + 1 < argc && std::strcmp(argv[i], "--clock") == 0) {
            ++i;
            if (std::strcmp(argv[i], "cpu") == 0) {
                cpu_clock = true;
            } else if (std::strcmp(argv[i], "wall") != 0) {
                return usage();
            }
        } else {
            return usage();
        }
    }
    if (repeat < 1 || warmup < 0) {
        return usage();
    }

    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

    Index index;
    std::vector<long long> timings;
    for (int run = 0; run < warmup + repeat; ++run) {
        long long start = now_ns(cpu_clock);
        std::size_t bad_line = build_index(text, index);
        long long stop = now_ns(cpu_clock);
        if (bad_line != 0) {
            std::fprintf(stderr, "line %zu: no coordinates\n", bad_line);
            return 2;
        }
        if (run >= warmup) {
            timings.push_back(stop - start);
        }
    }
    if (!index.rows.empty() && !finds_own_points(index)) {
        std::fputs("the tree does not find its own points\n", stderr);
        return 3;
    }

    std::printf("{\"rows\": %zu, \"build_ns\": [", index.rows.size());
    for (std::size_t i = 0; i < timings.size(); ++i) {
        std::printf(i == 0 ? "%lld" : ", %lld", timings[i]);
    }
    std::printf("]");
    if (queries_path != nullptr) {
        const std::vector<double> lat_lon = read_doubles(queries_path);
        std::uint64_t rows_sum = 0;
        std::printf(", \"query_ns\": [");
        for (int run = 0; run < warmup + repeat; ++run) {
            long long start = now_ns(cpu_clock);
            rows_sum = answer_all(index, lat_lon);
            long long stop = now_ns(cpu_clock);
            if (run >= warmup) {
                std::printf(run == warmup ? "%lld" : ", %lld", stop - start);
            }
        }
        std::printf("], \"rows_sum\": %llu", static_cast<unsigned long long>(rows_sum));
    }
    std::printf("}\n");
    return 0;
}
