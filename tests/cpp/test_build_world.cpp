// The bundled world-cities table (171,075 places, coordinates with 5
// decimals, many shared) must get the left-packed layout, and exactly the
// bytes it has always had: saved files of it are compared byte for byte.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "geocoder/construction.hpp"
#include "kdtree/build_parts.hpp"
#include "test_build_support.hpp"

namespace vicinor::kdtree::testing {
namespace {

std::filesystem::path world_table_path() {
    return std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "data" /
           "world-cities.csv.gz";
}

// Points of every data row, read with the system's gzip so that the tests
// need no compression library.
std::vector<Point> read_world_points() {
    const std::string command = "gzip -dc '" + world_table_path().string() + "'";
    FILE* pipe = popen(command.c_str(), "r");
    std::vector<Point> points;
    if (pipe == nullptr) return points;
    char line[4096];
    bool header = true;
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        if (header) {
            header = false;
            continue;
        }
        const char* lat_end = std::strchr(line, ',');
        const char* lon_end = lat_end ? std::strchr(lat_end + 1, ',') : nullptr;
        double lat = 0.0;
        double lon = 0.0;
        if (lon_end == nullptr || std::from_chars(line, lat_end, lat).ptr != lat_end ||
            std::from_chars(lat_end + 1, lon_end, lon).ptr != lon_end) {
            points.clear();
            break;
        }
        points.push_back(lat_lon_to_point(lat, lon));
    }
    pclose(pipe);
    return points;
}

// FNV-1a over every byte that reaches a saved file, values taken bit for bit
// so that the sum does not depend on the host's byte order.
class LayoutChecksum {
public:
    void add(std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            hash_ ^= (value >> (8 * i)) & 0xFF;
            hash_ *= 0x100000001b3ULL;
        }
    }
    void add(double value) { add(std::bit_cast<std::uint64_t>(value), 8); }
    std::uint64_t value() const { return hash_; }

private:
    std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

std::uint64_t layout_checksum(const ImmutableKdTree& tree) {
    LayoutChecksum sum;
    for (double stem : tree.stems) sum.add(stem);
    for (const LeafNode& leaf : tree.leaves) {
        sum.add(leaf.size, 4);
        for (std::size_t slot = 0; slot < B; ++slot) sum.add(leaf.content_items[slot], 4);
        for (std::size_t d = 0; d < K; ++d) {
            for (std::size_t slot = 0; slot < B; ++slot) sum.add(leaf.content_points[d][slot]);
        }
    }
    sum.add(tree.size, 8);
    return sum.value();
}

TEST(BuildWorld, WorldTableGetsTheExactPackedLayout) {
    const std::vector<Point> points = read_world_points();
    ASSERT_EQ(points.size(), 171075u) << "could not read " << world_table_path();

    const std::optional<ImmutableKdTree> packed = detail::build_packed_tree(points);
    ASSERT_TRUE(packed.has_value()) << "fell back instead of building the packed layout";
    EXPECT_EQ(packed->leaves.size(), 5351u);
    EXPECT_EQ(packed->stems.size(), 8192u);
    EXPECT_EQ(packed->size, 171075u);
    EXPECT_EQ(layout_checksum(*packed), 0x6480d1b9d557cdcfULL);

    // build_tree itself takes that path, and the result is sound.
    const ImmutableKdTree built = build_tree(points);
    EXPECT_EQ(layout_checksum(built), layout_checksum(*packed));
    expect_sound_tree(built, points);
}

// Every place on a whole-degree grid: the rows of a latitude share z, and
// the shifts run away long before the packed layout could finish. The
// construction must give up on it and still return a sound tree.
TEST(BuildWorld, DegreeGridFallsBackToASoundTree) {
    std::vector<Point> points;
    for (int lat = -90; lat < 90; ++lat) {
        for (int lon = -180; lon < 180; ++lon) points.push_back(lat_lon_to_point(lat, lon));
    }
    EXPECT_FALSE(detail::build_packed_tree(points).has_value());
    expect_sound_cells(build_tree(points), points);
}

}  // namespace
}  // namespace vicinor::kdtree::testing
