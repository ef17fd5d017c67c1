// Building a geocoder from the caller's table text. Checks run in a fixed
// order (separator, header, rewrite pass, then each data line), and the first
// failure ends construction with nothing kept.
#include "geocoder/construction.hpp"

#include <iterator>
#include <limits>
#include <string_view>
#include <vector>

#include "common/fault.hpp"
#include "common/stop_check.hpp"
#include "csv/lines.hpp"
#include "csv/row_writer.hpp"
#include "geocoder/data_line_reader.hpp"
#include "geocoder/number.hpp"
#include "geocoder/compact_slices.hpp"
#include "kdtree/build.hpp"

namespace vicinor {
namespace {

using csv::CsvLineIterator;

constexpr const char* kMiscountedLines = "the text holds another number of lines than counted";

// Whether data line `index` of `count` is the blank last line that
// construction tolerates (a text ending in an empty line).
bool is_skipped_blank_line(std::size_t index, std::size_t count, const csv::CsvLine& line) {
    return index + 1 == count && line.length == 0;
}

std::string column_mismatch_message(std::size_t header_fields, std::size_t line_number,
                                    std::size_t line_fields) {
    return "column mismatch: header (line 0) has " + std::to_string(header_fields) +
           " values, line " + std::to_string(line_number) + " has " +
           std::to_string(line_fields) + " values";
}

// The data rows without their first two fields, one LF-terminated row each,
// in the order of the data lines.
Result<std::string> rewrite_without_coordinates(CsvLineIterator data_line,
                                                std::size_t data_line_count,
                                                std::uint8_t separator,
                                                std::size_t expected_bytes) {
    csv::CsvRowWriter writer(separator, expected_bytes);
    DataLineReader reader(separator);
    std::vector<std::string_view> tail;
    for (std::size_t i = 0; data_line != std::default_sentinel; ++data_line, ++i) {
        if (i % kStopEvery == 0) stop_point();
        // Skipped here as in the main pass, so both modes accept the same texts.
        if (is_skipped_blank_line(i, data_line_count, *data_line)) continue;
        if (Status status = reader.read_tail(data_line->text, tail); !status) {
            return std::move(status).error();
        }
        if (Status status = writer.append_row(tail); !status) return std::move(status).error();
    }
    return std::move(writer).take_output();
}

// The main pass: checks every data line, converts its coordinates and notes
// its stored line. In drop mode that is the row's line in the rewrite, which
// must exist.
Status read_points(std::string_view text, CsvLineIterator line, std::size_t data_line_count,
                   std::size_t header_fields, std::uint8_t separator, const std::string* rewritten,
                   kdtree::PointColumns& points, CompactSlices& compact_slices) {
    CsvLineIterator stored_line;
    if (rewritten != nullptr) stored_line = csv::split_csv_lines(*rewritten).begin();
    DataLineReader reader(separator);
    CoordinateFields fields;
    std::size_t i = 0;
    for (; line != std::default_sentinel; ++line, ++i) {
        if (i % kStopEvery == 0) stop_point();
        if (is_skipped_blank_line(i, data_line_count, *line)) continue;
        const std::size_t line_number = i + 1;
        if (rewritten != nullptr) {
            if (stored_line == std::default_sentinel) return Error("CSV got out of sync");
            compact_slices.add(*rewritten, *stored_line);
            ++stored_line;
        } else {
            compact_slices.add(text, *line);
        }
        if (Status status = reader.read_coordinates(line->text, fields); !status) return status;
        if (fields.field_count != header_fields) {
            return Error(column_mismatch_message(header_fields, line_number, fields.field_count));
        }
        double latitude = 0.0;
        if (NumberStatus s = parse_coordinate(fields.latitude, latitude); s != NumberStatus::ok) {
            return coordinate_error(s);
        }
        // A one-column table passes the field-count test with no longitude.
        if (fields.field_count < 2) {
            return Error("line " + std::to_string(line_number) +
                         " has no longitude: a row needs at least 2 values, found 1");
        }
        double longitude = 0.0;
        if (NumberStatus s = parse_coordinate(fields.longitude, longitude);
            s != NumberStatus::ok) {
            return coordinate_error(s);
        }
        points.push_back(lat_lon_to_point(latitude, longitude));
    }
    // A caller's miscounted line feeds would have sized the arrays wrongly
    // and may have misjudged the last line.
    if (i != data_line_count) raise_fault(kMiscountedLines);
    return {};
}

Result<ReverseGeocoder> build_steps(std::string csv, char32_t value_sep, bool drop_coordinates,
                                    std::optional<std::size_t> line_feeds) {
    Result<std::uint8_t> separator_result = table_separator(value_sep);
    if (!separator_result) return std::move(separator_result).error();
    const std::uint8_t separator = separator_result.value();

    CsvLineIterator line = csv::split_csv_lines(csv).begin();
    if (line == std::default_sentinel) return Error("missing first line in CSV");
    csv::CsvRecord header;
    if (Status status = csv::parse_csv_line(line->text, separator, header); !status) {
        return std::move(status).error();
    }
    const std::size_t header_fields = header.size();
    ++line;
    const std::size_t line_count =
        line_feeds ? csv::csv_lines_from_line_feeds(csv, *line_feeds) : csv::count_csv_lines(csv);
    // The header is a line: fewer can only come from a miscount.
    if (line_count == 0) raise_fault(kMiscountedLines);
    const std::size_t data_line_count = line_count - 1;

    std::string rewritten;
    if (drop_coordinates) {
        Result<std::string> result =
            rewrite_without_coordinates(line, data_line_count, separator, csv.size());
        if (!result) return std::move(result).error();
        rewritten = std::move(result).value();
    }

    // Row slices are not made yet: they would be alive while the tree is
    // built, when memory peaks.
    kdtree::PointColumns points(data_line_count);
    CompactSlices compact_slices(drop_coordinates ? rewritten.size() : csv.size(), data_line_count);
    const std::size_t first_stored_offset =
        drop_coordinates || line == std::default_sentinel ? 0 : line->offset;
    if (Status status = read_points(csv, line, data_line_count, header_fields, separator,
                                    drop_coordinates ? &rewritten : nullptr, points, compact_slices);
        !status) {
        return std::move(status).error();
    }

    // Items are 32-bit row numbers; more rows could not be told apart.
    if (static_cast<std::uint64_t>(points.size()) >
        std::uint64_t{std::numeric_limits<kdtree::Item>::max()} + 1) {
        return Error("too many rows: at most 4294967296 places can be indexed");
    }

    std::vector<std::string> columns;
    const std::size_t first_column = drop_coordinates ? 2 : 0;
    if (header_fields > first_column) columns.reserve(header_fields - first_column);
    for (std::size_t i = first_column; i < header_fields; ++i) {
        columns.emplace_back(header.field(i));
    }

    // Peak memory is reached while the tree is built: nothing that is not
    // needed then stays alive. The caller's text is done with in drop mode.
    std::string stored = drop_coordinates ? std::move(rewritten) : std::move(csv);
    std::string().swap(csv);  // assigning an empty string would keep the buffer

    ReverseGeocoder geocoder;
    geocoder.tree = kdtree::build_tree(std::move(points));  // frees the points
    geocoder.indexed_data = compact_slices.slices(first_stored_offset);
    compact_slices = CompactSlices(0, 0);
    // The rewrite was sized for the whole input; the record should not carry
    // that slack for its lifetime. A text with little slack stays where it
    // is: moving it would cost more than the slack's untouched pages.
    if (drop_coordinates || stored.capacity() - stored.size() > stored.size() / 8) {
        stored.shrink_to_fit();
    }
    geocoder.csv = std::move(stored);
    set_value_sep(geocoder, value_sep);
    geocoder.columns = std::move(columns);
    return geocoder;
}

}  // namespace

Result<ReverseGeocoder> build_geocoder(std::string csv, char32_t value_sep, bool drop_coordinates,
                                       std::optional<std::size_t> line_feeds) {
    try {
        return build_steps(std::move(csv), value_sep, drop_coordinates, line_feeds);
    } catch (const Stopped&) {
        // Unwinding has released everything built so far.
        return Error("construction stopped on request");
    }
}

}  // namespace vicinor
