// A block is read in full before anything is searched: the rows' fields go
// into one buffer, the good rows' coordinates into two columns, and one
// nearest_rows call answers them all in its cache-friendly order. Only then
// are the rows written, in input order.
#include "geocoder/block_geocoder.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <unordered_set>
#include <utility>

#include "common/text.hpp"
#include "csv/record.hpp"
#include "csv/row_cursor.hpp"
#include "csv/row_writer.hpp"
#include "geocoder/batch.hpp"
#include "geocoder/json_text.hpp"
#include "geocoder/lookup.hpp"
#include "geocoder/neighbour_batch.hpp"
#include "geocoder/number.hpp"
#include "geocoder/row_fields.hpp"

namespace vicinor {
namespace {

// Every field of a block's rows, each a view of the block where its
// content stands there in one piece (an unquoted field, or a quoted one
// without doubled quotes), else of a copy. Copies never move: the buffer is
// reserved to the block's size, which no content exceeds.
class FieldStore {
public:
    void start_block(std::size_t block_size) {
        fields_.clear();
        copies_.clear();
        copies_.reserve(block_size);
    }
    std::size_t size() const noexcept { return fields_.size(); }
    std::string_view field(std::size_t i) const noexcept { return fields_[i]; }

    // The record reader's sink.
    void append(std::string_view piece) {
        if (!copied_) {
            if (piece.data() == start_ + length_ || length_ == 0) {
                if (length_ == 0) start_ = piece.data();
                length_ += piece.size();
                return;
            }
            copy_start_ = copies_.size();
            copies_.append(start_, length_);
            copied_ = true;
        }
        copies_.append(piece);
    }
    void end_field() {
        if (copied_) {
            fields_.emplace_back(copies_.data() + copy_start_, copies_.size() - copy_start_);
        } else {
            fields_.emplace_back(length_ == 0 ? "" : start_, length_);
        }
        start_ = nullptr;
        length_ = 0;
        copied_ = false;
    }

private:
    std::vector<std::string_view> fields_;
    std::string copies_;
    const char* start_ = nullptr;
    std::size_t length_ = 0;
    bool copied_ = false;
    std::size_t copy_start_ = 0;
};

struct RowEntry {
    std::size_t first_field;
    std::size_t fields;
    std::string_view text;  // as it stands in the block
    bool bad;
};

// A row's fields are the stretches between separators when its text holds
// no quote and no line break: the reader would give the same, and the
// writer would write them back byte for byte. Most rows are so, and
// taking them as they stand saves reading and quoting them.
bool is_plain(std::string_view row) noexcept {
    return !row.empty() && static_cast<unsigned char>(row.front()) != 0xEF &&  // no mark to skip
           std::memchr(row.data(), '"', row.size()) == nullptr &&
           std::memchr(row.data(), '\r', row.size()) == nullptr &&
           std::memchr(row.data(), '\n', row.size()) == nullptr;
}

// The same for a row the cursor read: its record cannot hold a CR or LF
// outside quotes, so without a quote it holds none.
bool is_plain_input(std::string_view row) noexcept {
    return !row.empty() && static_cast<unsigned char>(row.front()) != 0xEF &&
           std::memchr(row.data(), '"', row.size()) == nullptr;
}

// Calls each(field) for the fields of a plain row.
template <class Each>
void for_each_plain_field(std::string_view row, char sep, Each&& each) {
    for (;;) {
        const std::size_t end = row.find(sep);
        each(row.substr(0, end));
        if (end == std::string_view::npos) return;
        row.remove_prefix(end + 1);
    }
}

// Per-thread storage reused from block to block, so that a run's blocks
// stop allocating (and faulting in fresh pages) after the first.
struct Scratch {
    FieldStore store;
    std::vector<RowEntry> rows;
    std::vector<double> lats;
    std::vector<double> lons;
    std::vector<std::int64_t> nearest;
    std::vector<double> km;
    std::vector<std::string_view> place_texts;
    csv::CsvRecord place;

    void clear() noexcept {
        rows.clear();
        lats.clear();
        lons.clear();
    }
};

// A value as an error message quotes it: cut short if long, never inside
// a character.
std::string quoted_value(std::string_view value) {
    constexpr std::size_t kShown = 40;
    std::string quoted(1, '\'');
    if (value.size() <= kShown) {
        quoted.append(value);
    } else {
        std::size_t cut = kShown;
        while (cut > 0 && text::is_continuation_byte(value[cut])) --cut;
        quoted.append(value.substr(0, cut));
        quoted.append("...");
    }
    quoted.push_back('\'');
    return quoted;
}

// Why a coordinate is unusable, or nothing.
std::optional<std::string> coordinate_problem(std::string_view field, const char* what,
                                              double limit, double& value) {
    const bool number = parse_coordinate(field, value) == NumberStatus::ok;
    if (number && value >= -limit && value <= limit) return std::nullopt;
    std::string problem(what);
    problem.push_back(' ');
    problem.append(quoted_value(field));
    if (!number) {
        problem.append(" is not a number");
    } else {
        const std::string bound = std::to_string(static_cast<int>(limit));
        problem.append(" is outside [-").append(bound).append(", ").append(bound).append("]");
    }
    return problem;
}

// Reads and checks every row of a block into `scratch`: the good rows'
// coordinates into lats and lons. False when a bad row ends the run (kFail).
bool read_block(const BlockOptions& options, std::string_view block, std::size_t first_line,
                Scratch& scratch, BlockOutput& out) {
    const bool check_utf8 = !text::is_valid_utf8(block);
    const bool skip = options.bad_rows == BadRowPolicy::kSkip;
    const std::size_t width = options.header.size();

    scratch.clear();
    FieldStore& store = scratch.store;
    store.start_block(block.size());
    std::vector<RowEntry>& rows = scratch.rows;
    std::vector<double>& lats = scratch.lats;
    std::vector<double>& lons = scratch.lons;
    csv::CsvRowCursor cursor(block, options.separator, true);
    while (cursor.next(store) == csv::CsvRowCursor::Step::kRow) {
        const std::size_t first = rows.empty() ? 0 : rows.back().first_field + rows.back().fields;
        RowEntry row{first, store.size() - first,
                     block.substr(cursor.row_begin(), cursor.row_end() - cursor.row_begin()), false};
        std::optional<std::string> problem;
        double lat = 0;
        double lon = 0;
        if (check_utf8 &&
            !text::is_valid_utf8(block.substr(cursor.row_begin(),
                                              cursor.position() - cursor.row_begin()))) {
            problem = "the row is not UTF-8 text";
        } else if (row.fields != width) {
            problem = std::to_string(row.fields) + " fields where the header has " +
                      std::to_string(width);
        } else {
            problem = coordinate_problem(store.field(first + options.lat_column), "latitude",
                                         kMaxBatchLatitude, lat);
            if (!problem) {
                problem = coordinate_problem(store.field(first + options.lon_column), "longitude",
                                             kMaxBatchLongitude, lon);
            }
        }
        if (problem) {
            BadRow bad{first_line + cursor.row_line(), std::move(*problem)};
            if (!skip) {
                out.bad = std::move(bad);
                return false;
            }
            if (!out.bad) out.bad = std::move(bad);
            row.bad = true;
            ++out.skipped;
        } else {
            lats.push_back(lat);
            lons.push_back(lon);
        }
        rows.push_back(row);
    }
    return true;
}

}  // namespace

// "%.3f" of a distance. Whole metres are rounded from km * 1000, whose
// rounding error is far below 1e-6 for any distance on Earth, so only a
// fraction that close to a half could round the other way than the exact
// value does: those (and anything out of range) go through to_chars, which
// rounds the exact value.
void append_km_text(std::string& out, double km) {
    const double metres = km * 1000.0;
    const double whole = std::floor(metres);
    const double fraction = metres - whole;
    if (!(metres >= 0 && metres < 1e15) || std::signbit(km) || std::fabs(fraction - 0.5) < 1e-6) {
        char digits[64];
        const auto written =
            std::to_chars(digits, digits + sizeof digits, km, std::chars_format::fixed, 3);
        out.append(digits, written.ptr);
        return;
    }
    auto rounded = static_cast<std::uint64_t>(whole) + (fraction > 0.5 ? 1 : 0);
    char digits[24];
    char* end = digits + sizeof digits;
    char* at = end;
    for (int place = 0; place < 3; ++place, rounded /= 10) *--at = static_cast<char>('0' + rounded % 10);
    *--at = '.';
    do {
        *--at = static_cast<char>('0' + rounded % 10);
        rounded /= 10;
    } while (rounded > 0);
    out.append(at, end);
}

BlockGeocoder::BlockGeocoder(const ReverseGeocoder& geocoder, BlockOptions options)
    : geocoder_(&geocoder),
      options_(std::move(options)),
      // A separator beyond ASCII is refused by the reader, so its rows never
      // take the shortcut.
      plain_places_(geocoder.value_sep < 128),
      place_separator_(static_cast<char>(geocoder.value_sep)) {
    std::unordered_set<std::string> taken(options_.header.begin(), options_.header.end());
    std::vector<std::string> wanted;
    if (options_.neighbours > 0) wanted.emplace_back("rank");
    wanted.insert(wanted.end(), geocoder.columns.begin(), geocoder.columns.end());
    wanted.emplace_back("distance_km");
    for (const BlockOptions::ExtraColumn& extra : options_.extra_columns) wanted.push_back(extra.name);
    for (std::string& name : wanted) {
        while (taken.contains(name)) name.insert(0, "place_");
        taken.insert(name);
        appended_.push_back(std::move(name));
    }
    if (options_.format != BlockFormat::kJsonLines) return;
    // Keys of the input's fields: a repeated name keeps its value under a
    // suffixed key instead of losing it.
    std::unordered_set<std::string> keys(appended_.begin(), appended_.end());
    std::vector<std::string> names;
    for (const std::string& field : options_.header) {
        std::string key = field;
        for (int suffix = 2; keys.contains(key); ++suffix) key = field + "_" + std::to_string(suffix);
        keys.insert(key);
        names.push_back(std::move(key));
    }
    names.insert(names.end(), appended_.begin(), appended_.end());
    for (const std::string& name : names) {
        std::string key;
        append_json_string(key, name);
        key.push_back(':');
        json_keys_.push_back(std::move(key));
    }
}

Result<BlockGeocoder> BlockGeocoder::make(const ReverseGeocoder& geocoder, BlockOptions options) {
    const std::size_t width = options.header.size();
    if (options.lat_column >= width || options.lon_column >= width) {
        return Error("a coordinate column is beyond the header's " + std::to_string(width) +
                     " columns");
    }
    if (options.lat_column == options.lon_column) {
        return Error("the latitude and the longitude are the same column");
    }
    return BlockGeocoder(geocoder, std::move(options));
}

std::string BlockGeocoder::header_line() const {
    if (options_.format != BlockFormat::kCsv) return {};
    std::string line;
    bool first = true;
    for (const auto* names : {&options_.header, &appended_}) {
        for (const std::string& name : *names) {
            if (!first) line.push_back(options_.separator);
            first = false;
            csv::append_csv_field(line, name, options_.separator);
        }
    }
    line.push_back('\n');
    return line;
}

void BlockGeocoder::coordinates(std::string_view block, std::size_t first_line,
                                std::vector<double>& lats, std::vector<double>& lons) const {
    thread_local Scratch scratch;
    BlockOutput out;
    read_block(options_, block, first_line, scratch, out);
    lats = scratch.lats;
    lons = scratch.lons;
}

Result<BlockOutput> BlockGeocoder::geocode(std::string_view block, std::size_t first_line,
                                           std::string& bytes,
                                           const SuppliedAnswers* supplied) const {
    thread_local Scratch scratch;
    BlockOutput out;
    if (!read_block(options_, block, first_line, scratch, out)) return out;
    const std::size_t width = options_.header.size();
    const FieldStore& store = scratch.store;
    const std::vector<RowEntry>& rows = scratch.rows;
    const std::vector<double>& lats = scratch.lats;
    const std::vector<double>& lons = scratch.lons;

    // Searching: this thread only, since blocks already run side by side.
    std::vector<std::int64_t>& nearest = scratch.nearest;
    std::vector<double>& km = scratch.km;
    // Answers per good row: entries row * per_row + rank.
    const std::size_t per_row = std::max<std::size_t>(options_.neighbours, 1);
    nearest.resize(lats.size() * per_row);
    km.resize(lats.size() * per_row);
    const std::size_t extras = options_.extra_columns.size();
    if (supplied != nullptr || extras > 0) {
        // Null pointers are allowed where there is nothing to point at.
        const bool none = lats.empty();
        if (supplied == nullptr || supplied->count != lats.size() ||
            (extras > 0 && supplied->extras == nullptr && !none) ||
            ((supplied->rows == nullptr) != (supplied->km == nullptr))) {
            return Error("the supplied answers do not match the block's rows");
        }
    }
    if (supplied != nullptr && supplied->rows != nullptr) {
        const auto table_rows = static_cast<std::int64_t>(geocoder_->indexed_data.size());
        for (std::size_t i = 0; i < nearest.size(); ++i) {
            if (supplied->rows[i] < -1 || supplied->rows[i] >= table_rows) {
                return Error("a supplied row is beyond the table");
            }
            km[i] = supplied->km[i];
            // As nearest_rows leaves out a place beyond max_km.
            nearest[i] = km[i] > options_.max_km ? -1 : supplied->rows[i];
        }
    } else if (!lats.empty()) {
        BatchQuery query;
        query.lats = DoubleColumn{lats.data(), 1};
        query.lons = DoubleColumn{lons.data(), 1};
        query.count = lats.size();
        query.max_km = options_.max_km;
        query.threads = 1;
        Status status =
            options_.neighbours > 0
                ? nearest_k_rows(*geocoder_, query, per_row, nearest.data(), km.data())
                : nearest_rows(*geocoder_, query, nearest.data(), km.data());
        if (!status) return std::move(status).error();
    }

    // The places' stored rows lie anywhere in the table: their addresses
    // are gathered ahead, and their texts fetched ahead of the writing,
    // so that many of those cache misses are under way at once.
    constexpr std::size_t kAhead = 16;
    std::vector<std::string_view>& place_texts = scratch.place_texts;
    place_texts.resize(nearest.size());
    for (std::size_t k = 0; k < nearest.size(); ++k) {
        if (k + kAhead < nearest.size() && nearest[k + kAhead] >= 0) {
            __builtin_prefetch(&geocoder_->indexed_data[static_cast<std::size_t>(nearest[k + kAhead])]);
        }
        place_texts[k] = nearest[k] >= 0
                             ? row_text_at(*geocoder_, static_cast<std::size_t>(nearest[k]))
                             : std::string_view();
    }

    // Writing, in input order.
    const bool json = options_.format == BlockFormat::kJsonLines;
    const char sep = options_.separator;
    const std::size_t places = geocoder_->columns.size();
    const bool ranked = options_.neighbours > 0;
    const std::size_t first_place_key = width + (ranked ? 1 : 0);
    csv::CsvRecord& place = scratch.place;
    bytes.reserve(bytes.size() + (block.size() + block.size() / 2 + rows.size() * 48) * per_row);
    std::size_t answer = 0;
    // Extra column i of the current good row.
    auto extra_value = [&](std::size_t i) -> const std::string& {
        return supplied->extras[answer * extras + i];
    };
    for (const RowEntry& row : rows) {
        for (std::size_t rank = 0; rank < per_row; ++rank) {
            const std::size_t entry = answer * per_row + rank;
            // Ranks past the table's last row have no distance: left out.
            if (rank > 0 && (row.bad || std::isinf(km[entry]))) break;
            const bool found = !row.bad && nearest[entry] >= 0;
            std::string_view place_text;
            bool plain_place = false;
            if (entry + kAhead / 2 < place_texts.size()) {
                const std::string_view ahead = place_texts[entry + kAhead / 2];
                __builtin_prefetch(ahead.data());
                __builtin_prefetch(ahead.data() + ahead.size());
            }
            if (found) {
                place_text = place_texts[entry];
                plain_place = plain_places_ && is_plain(place_text) &&
                              static_cast<std::size_t>(std::count(place_text.begin(), place_text.end(),
                                                                  place_separator_)) +
                                      1 ==
                                  places;
                if (!plain_place) {
                    if (Status status = read_row_fields(*geocoder_, place_text, place); !status) {
                        return std::move(status).error();
                    }
                }
            }
            auto place_field = [&](std::size_t i) {
                return i < place.size() ? place.field(i) : std::string_view();
            };
            if (json) {
                bytes.push_back('{');
                // Short bad rows have nulls for their missing fields.
                const std::size_t shown = std::max(row.fields, width);
                for (std::size_t i = 0; i < shown; ++i) {
                    if (i > 0) bytes.push_back(',');
                    if (i < width) {
                        bytes.append(json_keys_[i]);
                    } else {  // a long bad row's surplus, by position
                        std::string key("field_");
                        key.append(std::to_string(i + 1));
                        append_json_string(bytes, key);
                        bytes.push_back(':');
                    }
                    if (i < row.fields) {
                        append_json_string(bytes, store.field(row.first_field + i));
                    } else {
                        bytes.append("null");
                    }
                }
                if (ranked) {
                    bytes.push_back(',');
                    bytes.append(json_keys_[width]);
                    if (row.bad) {
                        bytes.append("null");
                    } else {
                        bytes.append(std::to_string(rank + 1));
                    }
                }
                if (plain_place) {
                    std::size_t i = 0;
                    for_each_plain_field(place_text, place_separator_, [&](std::string_view field) {
                        bytes.push_back(',');
                        bytes.append(json_keys_[first_place_key + i++]);
                        append_json_string(bytes, field);
                    });
                } else {
                    for (std::size_t i = 0; i < places; ++i) {
                        bytes.push_back(',');
                        bytes.append(json_keys_[first_place_key + i]);
                        if (found) {
                            append_json_string(bytes, place_field(i));
                        } else {
                            bytes.append("null");
                        }
                    }
                }
                bytes.push_back(',');
                bytes.append(json_keys_[first_place_key + places]);
                if (row.bad) {
                    bytes.append("null");
                } else {
                    append_km_text(bytes, km[entry]);
                }
                for (std::size_t i = 0; i < extras; ++i) {
                    bytes.push_back(',');
                    bytes.append(json_keys_[first_place_key + places + 1 + i]);
                    if (row.bad) {
                        bytes.append("null");
                    } else if (options_.extra_columns[i].flag) {
                        bytes.append(extra_value(i) == "true" ? "true" : "false");
                    } else {
                        append_json_string(bytes, extra_value(i));
                    }
                }
                bytes.append("}\n");
            } else {
                if (is_plain_input(row.text)) {
                    bytes.append(row.text);
                } else {
                    for (std::size_t i = 0; i < row.fields; ++i) {
                        if (i > 0) bytes.push_back(sep);
                        csv::append_csv_field(bytes, store.field(row.first_field + i), sep);
                    }
                }
                // A short bad row is padded, so its appended columns stay in place.
                for (std::size_t i = row.fields; i < width; ++i) bytes.push_back(sep);
                if (ranked) {
                    bytes.push_back(sep);
                    if (!row.bad) bytes.append(std::to_string(rank + 1));
                }
                if (plain_place && place_separator_ == sep) {
                    bytes.push_back(sep);
                    bytes.append(place_text);
                } else if (plain_place) {
                    for_each_plain_field(place_text, place_separator_, [&](std::string_view field) {
                        bytes.push_back(sep);
                        csv::append_csv_field(bytes, field, sep);
                    });
                } else {
                    for (std::size_t i = 0; i < places; ++i) {
                        bytes.push_back(sep);
                        if (found) csv::append_csv_field(bytes, place_field(i), sep);
                    }
                }
                bytes.push_back(sep);
                if (!row.bad) append_km_text(bytes, km[entry]);
                for (std::size_t i = 0; i < extras; ++i) {
                    bytes.push_back(sep);
                    if (!row.bad) csv::append_csv_field(bytes, extra_value(i), sep);
                }
                bytes.push_back('\n');
            }
        }
        if (!row.bad) ++answer;
        ++out.rows;
    }
    return out;
}

}  // namespace vicinor
