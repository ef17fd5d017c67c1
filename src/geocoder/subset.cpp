// The subset's text is the text a caller would have passed to get the same
// record: without dropped coordinates the original header line, then each
// chosen row followed by LF; with them, each chosen stored row followed by
// LF, which is what the rewrite pass writes for that row. The slices are
// those the line cutter finds in that text, and the tree is built by the
// one builder from the very points the rows were given at construction.
#include "geocoder/subset.hpp"

#include <limits>
#include <string>
#include <string_view>

#include "geocoder/construction.hpp"
#include "geocoder/data_line_reader.hpp"
#include "geocoder/lookup.hpp"
#include "geocoder/number.hpp"
#include "kdtree/build.hpp"
#include "kdtree/point_columns.hpp"

namespace vicinor {
namespace {

// How far ahead scattered reads (leaves, rows' text, points) are fetched.
constexpr std::size_t kLeavesAhead = 8;
constexpr std::size_t kRowsAhead = 16;

// The text before the first data row: the header line with its terminator.
std::string_view header_prefix(const ReverseGeocoder& geocoder) {
    const std::string_view text = geocoder.csv;
    const std::size_t lf = text.find('\n');
    return lf == std::string_view::npos ? text : text.substr(0, lf + 1);
}

// Whether the stored text is a rewrite without coordinates, which holds no
// header: construction otherwise keeps the caller's text, header first, so
// the first row starts after it.
bool coordinates_dropped(const ReverseGeocoder& geocoder) {
    if (geocoder.indexed_data.empty()) return geocoder.csv.empty();
    return geocoder.indexed_data.front().offset == 0;
}

bool positions_fit(const ReverseGeocoder& geocoder) {
    return geocoder.row_positions.size() == geocoder.indexed_data.size() &&
           !geocoder.indexed_data.empty();
}

void append_rows(const ReverseGeocoder& geocoder, std::span<const std::uint32_t> rows,
                 ReverseGeocoder& subset) {
    const std::string_view header = coordinates_dropped(geocoder) ? "" : header_prefix(geocoder);
    std::size_t text_size = header.size();
    for (const std::uint32_t row : rows) text_size += geocoder.indexed_data[row].len + 1;
    subset.csv.reserve(text_size);
    subset.csv.append(header);
    subset.indexed_data.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        // Chosen rows lie far apart in the text: each would be a cache miss.
        if (i + kRowsAhead < rows.size()) {
            __builtin_prefetch(geocoder.csv.data() +
                               geocoder.indexed_data[rows[i + kRowsAhead]].offset);
        }
        const std::string_view text = row_text_at(geocoder, rows[i]);
        // The line cutter drops a CR before an LF: a last line that ended
        // in a lone CR loses it, as it would in the table's own text.
        const std::size_t length =
            !text.empty() && text.back() == '\r' ? text.size() - 1 : text.size();
        subset.indexed_data.push_back(
            StringSlice{static_cast<std::int64_t>(subset.csv.size()), length});
        subset.csv.append(text);
        subset.csv.push_back('\n');
    }
}

Result<kdtree::PointColumns> gather_points(const ReverseGeocoder& geocoder,
                                           const std::vector<std::uint32_t>& positions,
                                           std::span<const std::uint32_t> rows) {
    kdtree::PointColumns points(rows.size());
    const auto& leaves = geocoder.tree.leaves;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i + kRowsAhead < rows.size()) {
            const std::uint32_t ahead = positions[rows[i + kRowsAhead]];
            if (ahead != kNoPosition) {
                const kdtree::LeafNode& leaf = leaves[ahead / kdtree::B];
                for (std::size_t d = 0; d < kdtree::K; ++d) {
                    __builtin_prefetch(&leaf.content_points[d][ahead % kdtree::B]);
                }
            }
        }
        const std::uint32_t position = positions[rows[i]];
        if (position == kNoPosition) {
            Result<kdtree::Point> point = unstored_point(geocoder, rows[i]);
            if (!point) return std::move(point).error();
            points.push_back(*point);
            continue;
        }
        const kdtree::LeafNode& leaf = leaves[position / kdtree::B];
        const std::size_t slot = position % kdtree::B;
        points.push_back({leaf.content_points[0][slot], leaf.content_points[1][slot],
                          leaf.content_points[2][slot]});
    }
    return points;
}

}  // namespace

// The point of a row the tree does not hold. A tree built for a table with
// many copies of one place keeps only the first copy of each point, and no
// point with a NaN coordinate: neither could ever answer there, but in a
// subset without the first copy the row's own point answers. It comes from
// the row's coordinates, converted as construction converted them; a
// rewrite without coordinates has none left.
Result<kdtree::Point> unstored_point(const ReverseGeocoder& geocoder, std::uint32_t row) {
    const std::string unplaceable = "row " + std::to_string(row) +
                                    " has no point in the index and no coordinates in its text, "
                                    "so it cannot be placed in a subset";
    if (coordinates_dropped(geocoder)) return Error(unplaceable);
    Result<std::uint8_t> separator = separator_byte(geocoder.value_sep);
    if (!separator) return std::move(separator).error();
    DataLineReader reader(*separator);
    CoordinateFields fields;
    if (Status read = reader.read_coordinates(row_text_at(geocoder, row), fields); !read) {
        return std::move(read).error();
    }
    double lat = 0.0;
    double lon = 0.0;
    if (fields.field_count < 2 || parse_coordinate(fields.latitude, lat) != NumberStatus::ok ||
        parse_coordinate(fields.longitude, lon) != NumberStatus::ok) {
        return Error(unplaceable);
    }
    return lat_lon_to_point(lat, lon);
}

std::vector<std::uint32_t> compute_row_positions(const ReverseGeocoder& geocoder) {
    const auto& leaves = geocoder.tree.leaves;
    if (leaves.size() > (std::size_t{kNoPosition} - 1) / kdtree::B) return {};
    std::vector<std::uint32_t> positions(geocoder.indexed_data.size(), kNoPosition);
    for (std::size_t leaf = 0; leaf < leaves.size(); ++leaf) {
        // Items and size are 3 cache lines of every 15: too sparse for the
        // hardware to fetch ahead on its own.
        if (leaf + kLeavesAhead < leaves.size()) {
            const kdtree::LeafNode& ahead = leaves[leaf + kLeavesAhead];
            __builtin_prefetch(&ahead.content_items[0]);
            __builtin_prefetch(&ahead.content_items[kdtree::B / 2]);
            __builtin_prefetch(&ahead.size);
        }
        const kdtree::LeafNode& node = leaves[leaf];
        const std::size_t size = node.size < kdtree::B ? node.size : kdtree::B;
        for (std::size_t slot = 0; slot < size; ++slot) {
            const kdtree::Item item = node.content_items[slot];
            // A damaged tree may hold an item twice: the first is kept.
            if (item < positions.size() && positions[item] == kNoPosition) {
                positions[item] = static_cast<std::uint32_t>(leaf * kdtree::B + slot);
            }
        }
    }
    return positions;
}

void prepare_subsets(ReverseGeocoder& geocoder) {
    if (!positions_fit(geocoder)) geocoder.row_positions = compute_row_positions(geocoder);
}

Result<ReverseGeocoder> subset_geocoder(const ReverseGeocoder& geocoder,
                                        std::span<const std::uint32_t> rows) {
    const std::size_t row_count = geocoder.indexed_data.size();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i] >= row_count || (i > 0 && rows[i] <= rows[i - 1])) {
            return Error("subset rows must be ascending row numbers below " +
                         std::to_string(row_count));
        }
    }
    std::vector<std::uint32_t> own_positions;
    const bool cached = positions_fit(geocoder);
    if (!cached && !rows.empty()) {
        own_positions = compute_row_positions(geocoder);
        if (own_positions.size() != row_count) {
            return Error("the index has too many leaves to take a subset of");
        }
    }
    Result<kdtree::PointColumns> points =
        gather_points(geocoder, cached ? geocoder.row_positions : own_positions, rows);
    if (!points) return std::move(points).error();

    ReverseGeocoder subset;
    append_rows(geocoder, rows, subset);
    subset.tree = kdtree::build_tree(std::move(points).value());
    subset.value_sep = geocoder.value_sep;
    subset.columns = geocoder.columns;
    return subset;
}

}  // namespace vicinor
