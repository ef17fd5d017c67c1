// Geocoding a coordinate file block by block: the rows of a block are read
// with the dialect's reader, checked, answered by the search nearest_rows
// runs, and written back with their place and distance, as CSV or JSON
// lines. Blocks are independent, so callers may run several at once on
// threads of their own; nothing here touches the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "geocoder/record.hpp"

namespace vicinor {

enum class BlockFormat { kCsv, kJsonLines };

enum class BadRowPolicy {
    kFail,  // the first bad row ends the run
    kSkip,  // a bad row is written with empty place columns and counted
};

// What every block of one run is asked. Per-row options that later
// commands add (more neighbours, filters) belong here too.
struct BlockOptions {
    char separator = ',';
    // The input's header fields; every row must have as many.
    std::vector<std::string> header;
    std::size_t lat_column = 0;
    std::size_t lon_column = 1;
    // Farther places leave the place columns empty; the distance stays.
    double max_km = std::numeric_limits<double>::infinity();
    BlockFormat format = BlockFormat::kCsv;
    BadRowPolicy bad_rows = BadRowPolicy::kFail;
    // 0: the nearest place only. N: the N nearest (as nearest_k_rows gives
    // them), one output row each with a rank column from 1; ranks beyond
    // the table's rows are left out, so a row is written at least once.
    std::size_t neighbours = 0;
    // Columns after distance_km whose values the caller supplies per row
    // (SuppliedAnswers::extras); a flag's values are true or false, bare
    // in JSON lines.
    struct ExtraColumn {
        std::string name;
        bool flag = false;
    };
    std::vector<ExtraColumn> extra_columns;
};

// What a caller that answers the rows itself hands to geocode, for the good
// rows in order (those coordinates() gives): rows and km replace the
// search unless null (max_km still applies), and extras holds each row's
// extra_columns values, extra_columns.size() per row.
struct SuppliedAnswers {
    // With neighbours, each good row's ranks one after another (-1 and an
    // infinite distance past the last place), as nearest_k_rows gives them.
    const std::int64_t* rows = nullptr;
    const double* km = nullptr;
    const std::string* extras = nullptr;
    std::size_t count = 0;  // good rows covered
};

// Coordinates beyond these are bad rows: no table has a place there, and a
// longitude is allowed one extra turn either way for data that wraps.
inline constexpr double kMaxBatchLatitude = 90.0;
inline constexpr double kMaxBatchLongitude = 360.0;

struct BadRow {
    std::size_t line = 0;  // in the file, from 1
    std::string reason;    // names the value
};

struct BlockOutput {
    std::size_t rows = 0;     // rows written, the skipped ones included
    std::size_t skipped = 0;  // bad rows written without a place
    // kFail: the first bad row, and nothing is written. kSkip: the first
    // row skipped, for the closing summary.
    std::optional<BadRow> bad;
};

// Appends `km` as "%.3f" writes it.
void append_km_text(std::string& out, double km);

class BlockGeocoder {
public:
    // Fails when a coordinate column is beyond the header or both name the
    // same column.
    static Result<BlockGeocoder> make(const ReverseGeocoder& geocoder, BlockOptions options);

    // The output's first line (LF included): CSV only, empty for JSON lines.
    std::string header_line() const;

    // Appends to `out` the output of every row of `block` (whole rows only;
    // the block's end ends its last row), whose first line is line
    // `first_line` of the file; with kFail, nothing when a row is bad.
    // Searches on the calling thread only. `out` is the caller's, so that
    // it can reuse one buffer for block after block.
    // With `supplied` (required while extra_columns are asked for), its
    // answers are written; a count other than the block's good rows is an
    // error.
    Result<BlockOutput> geocode(std::string_view block, std::size_t first_line, std::string& out,
                                const SuppliedAnswers* supplied = nullptr) const;

    // The latitudes and longitudes of the block's good rows, read and
    // checked as geocode reads them, for a caller that answers them itself
    // (bad rows are left out here and reported by geocode).
    void coordinates(std::string_view block, std::size_t first_line, std::vector<double>& lats,
                     std::vector<double>& lons) const;

    // The names appended to the header: rank (with neighbours), the place
    // columns, distance_km and the extra columns, each prefixed with place_
    // while the input already has that name.
    const std::vector<std::string>& appended_names() const noexcept { return appended_; }

private:
    BlockGeocoder(const ReverseGeocoder& geocoder, BlockOptions options);

    const ReverseGeocoder* geocoder_;
    BlockOptions options_;
    std::vector<std::string> appended_;
    // JSON lines: each output key with its quotes and ": ", the input's
    // fields first (a repeated name gets a suffix _2, _3, ...), then the
    // appended ones.
    std::vector<std::string> json_keys_;
    bool plain_places_;
    char place_separator_;
};

}  // namespace vicinor
