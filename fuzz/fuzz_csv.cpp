// Fuzzes construction from arbitrary table text. The first byte picks the
// mode and the value separator; the rest is the table. A table that builds
// must give a record whose slices, tree and lookups agree with each other,
// and that survives a save/load round trip unchanged.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "common/fault.hpp"
#include "csv/record.hpp"
#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"
#include "geocoder/row_fields.hpp"
#include "geocoder/record.hpp"
#include "kdtree/tree.hpp"
#include "persist/codec.hpp"
#include "persist/storage.hpp"

namespace {

using vicinor::ReverseGeocoder;
using vicinor::kdtree::B;
using vicinor::kdtree::Point;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_csv: %s\n", what);
    std::abort();
}

void require(bool condition, const char* what) {
    if (!condition) fail(what);
}

// Separators that change how lines split into fields, the quote and CR
// among them; the last choice takes any code from the next byte, so codes
// above 127 reach the separator check.
constexpr char32_t kSeparators[] = {U',', U';', U'\t', U'|', U' ', U'"', U'\r'};
constexpr std::size_t kSeparatorChoices = sizeof(kSeparators) / sizeof(kSeparators[0]) + 1;

struct Query {
    double lat;
    double lon;
};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Query kQueries[] = {
    {0.0, 0.0},   {48.85, 2.35}, {-33.9, 151.2}, {90.0, 0.0}, {-90.0, 180.0},
    {1.0, 2.0},   {0.0, -180.0}, {1e308, -1e308}, {kNaN, 0.0}, {0.0, kInf},
};

struct StoredPoint {
    Point point;
    std::uint32_t item;
};

double squared_distance(const Point& a, const Point& b) {
    double d0 = a[0] - b[0];
    double d1 = a[1] - b[1];
    double d2 = a[2] - b[2];
    return (d0 * d0 + d1 * d1) + d2 * d2;
}

bool has_nan(const Point& p) { return std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2]); }

// The tree's own copies of the stored points, checked for the layout rules
// every built tree keeps: each item once, no over-full leaf.
std::vector<StoredPoint> check_tree(const ReverseGeocoder& geocoder) {
    const auto& tree = geocoder.tree;
    // Construction may leave out points that can never be an answer (later
    // copies of one place, NaN places), so the tree can hold fewer points.
    const std::size_t rows = geocoder.indexed_data.size();
    require(tree.size <= rows, "tree holds more points than rows");
    require(!tree.stems.empty() && (tree.stems.size() & (tree.stems.size() - 1)) == 0,
            "stem count is not a power of two");
    require(tree.stems[0] == vicinor::kdtree::kUnsetStem, "stem 0 is not +infinity");

    std::vector<StoredPoint> stored;
    std::vector<bool> seen(rows, false);
    for (const auto& leaf : tree.leaves) {
        require(leaf.size <= B, "leaf holds more than 32 points");
        for (std::uint32_t slot = 0; slot < leaf.size; ++slot) {
            std::uint32_t item = leaf.content_items[slot];
            require(item < rows, "item beyond the rows");
            require(!seen[item], "item stored twice");
            seen[item] = true;
            if (slot > 0) require(leaf.content_items[slot - 1] < item, "leaf items not increasing");
            Point p{leaf.content_points[0][slot], leaf.content_points[1][slot],
                    leaf.content_points[2][slot]};
            stored.push_back({p, item});
        }
    }
    require(stored.size() == tree.size, "leaf sizes do not add up to the tree size");
    return stored;
}

void check_slices(const ReverseGeocoder& geocoder) {
    for (const auto& slice : geocoder.indexed_data) {
        require(slice.offset >= 0, "negative slice offset");
        auto offset = static_cast<std::uint64_t>(slice.offset);
        require(offset <= geocoder.csv.size() && slice.len <= geocoder.csv.size() - offset,
                "slice outside the text");
    }
}

// A stored row must read back to one field per column. Rows written in drop
// mode cannot always keep that promise: a first field that starts with a
// byte-order mark loses it on reading, and a quote, CR or LF as separator is
// ambiguous to the reader. Those rows are only required to read without harm.
bool rewritten_row_reads_exactly(const ReverseGeocoder& geocoder, std::string_view row) {
    bool starts_with_bom = row.substr(0, 3) == "\xEF\xBB\xBF";
    char32_t sep = geocoder.value_sep;
    return !starts_with_bom && sep != U'"' && sep != U'\r' && sep != U'\n';
}

void check_row_fields(const ReverseGeocoder& geocoder, std::string_view row, bool dropped,
                      vicinor::csv::CsvRecord& record) {
    auto status = vicinor::read_row_fields(geocoder, row, record);
    if (dropped && !rewritten_row_reads_exactly(geocoder, row)) return;
    require(status.ok(), "a stored row does not read back");
    if (dropped && geocoder.columns.empty()) {
        require(record.size() == 1 && record.field(0).empty(), "row without columns is not \"\"");
    } else {
        require(record.size() == geocoder.columns.size(), "row field count differs from columns");
    }
}

// Finds which row a lookup answered with; its text must be exactly one
// stored slice of the geocoder's own text.
std::size_t row_of(const ReverseGeocoder& geocoder, std::string_view row) {
    const char* begin = geocoder.csv.data();
    require(row.data() >= begin && row.data() + row.size() <= begin + geocoder.csv.size(),
            "row text does not point into the stored text");
    auto offset = static_cast<std::int64_t>(row.data() - begin);
    for (std::size_t k = 0; k < geocoder.indexed_data.size(); ++k) {
        const auto& slice = geocoder.indexed_data[k];
        if (slice.offset == offset && slice.len == row.size()) return k;
    }
    fail("row text is not a stored row");
}

// Returns the row text of each query ("" for a failed lookup), so a loaded
// copy can be compared with the original.
std::vector<std::string> check_lookups(const ReverseGeocoder& geocoder,
                                       const std::vector<StoredPoint>& stored, bool dropped,
                                       bool valid_utf8) {
    bool any_nan_point = std::any_of(stored.begin(), stored.end(),
                                     [](const StoredPoint& s) { return has_nan(s.point); });
    vicinor::csv::CsvRecord record;
    std::vector<std::string> answers;
    for (const Query& query : kQueries) {
        bool finite_query = std::isfinite(query.lat) && std::isfinite(query.lon);
        Point q = vicinor::lat_lon_to_point(query.lat, query.lon);
        try {
            auto row = vicinor::nearest_row_text(geocoder, query.lat, query.lon);
            if (!row.ok()) {
                // Rows of text that is not UTF-8 may be refused by the lookup.
                bool answerable = finite_query && !any_nan_point && !stored.empty() && valid_utf8;
                if (answerable) {
                    std::fprintf(stderr, "lookup (%g, %g): %s\n", query.lat, query.lon,
                                 row.error().render().c_str());
                    fail("lookup failed although a stored point can answer");
                }
                answers.emplace_back();
                continue;
            }
            std::size_t k = row_of(geocoder, row.value());
            if (finite_query) {
                double best = kInf;
                for (const auto& s : stored) {
                    if (!has_nan(s.point)) best = std::min(best, squared_distance(s.point, q));
                }
                const StoredPoint* answer = nullptr;
                for (const auto& s : stored) {
                    if (s.item == k) answer = &s;
                }
                require(answer != nullptr && !has_nan(answer->point) &&
                            squared_distance(answer->point, q) == best,
                        "lookup did not return the nearest row");
            }
            if (valid_utf8) check_row_fields(geocoder, row.value(), dropped, record);
            answers.emplace_back(row.value());
        } catch (const vicinor::InternalFault&) {
            // A NaN in the search is a declared fault, not a crash.
            if (finite_query && !any_nan_point) throw;
            answers.emplace_back();
        }
    }
    return answers;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        std::size_t extra;
        char32_t code;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if (byte >= 0xC2 && byte <= 0xDF) {
            extra = 1;
            code = byte & 0x1F;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            extra = 2;
            code = byte & 0x0F;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            extra = 3;
            code = byte & 0x07;
        } else {
            return false;
        }
        if (text.size() - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

bool same_tree(const vicinor::kdtree::ImmutableKdTree& a, const vicinor::kdtree::ImmutableKdTree& b) {
    if (a.size != b.size || a.stems.size() != b.stems.size() || a.leaves.size() != b.leaves.size())
        return false;
    // Bitwise, so NaN coordinates and stems compare as stored.
    if (std::memcmp(a.stems.data(), b.stems.data(), a.stems.size() * sizeof(double)) != 0)
        return false;
    for (std::size_t i = 0; i < a.leaves.size(); ++i) {
        const auto& x = a.leaves[i];
        const auto& y = b.leaves[i];
        if (x.size != y.size ||
            std::memcmp(x.content_points, y.content_points, sizeof(x.content_points)) != 0 ||
            std::memcmp(x.content_items, y.content_items, sizeof(x.content_items)) != 0)
            return false;
    }
    return true;
}

void check_round_trip(const ReverseGeocoder& geocoder, const std::vector<std::string>& answers,
                      const std::vector<StoredPoint>& stored, bool dropped) {
    auto bytes = vicinor::persist::encode_to_bytes(geocoder);
    require(bytes.ok(), "encoding a built geocoder failed");
    auto loaded = vicinor::persist::decode_from_bytes(bytes.value());
    require(loaded.ok(), "decoding an encoded geocoder failed");
    ReverseGeocoder& copy = loaded.value();
    require(vicinor::persist::check_loaded_geocoder(copy).ok(), "a saved geocoder fails its checks");
    require(copy.csv == geocoder.csv && copy.value_sep == geocoder.value_sep &&
                copy.columns == geocoder.columns,
            "round trip changed the text, separator or columns");
    require(copy.indexed_data.size() == geocoder.indexed_data.size(), "round trip lost rows");
    for (std::size_t k = 0; k < copy.indexed_data.size(); ++k) {
        require(copy.indexed_data[k].offset == geocoder.indexed_data[k].offset &&
                    copy.indexed_data[k].len == geocoder.indexed_data[k].len,
                "round trip changed a slice");
    }
    require(same_tree(copy.tree, geocoder.tree), "round trip changed the tree");
    // The built geocoder answered without lookup aids, the copy with them.
    vicinor::prepare_lookups(copy);
    require(check_lookups(copy, stored, dropped, true) == answers,
            "loaded copy answers differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::uint8_t control = data[0];
    bool drop_coordinates = (control & 1) != 0;
    std::size_t choice = (control >> 1) % kSeparatorChoices;
    std::size_t used = 1;
    char32_t separator;
    if (choice < kSeparatorChoices - 1) {
        separator = kSeparators[choice];
    } else {
        if (size < 2) return 0;
        separator = data[1];
        used = 2;
    }
    std::string text(reinterpret_cast<const char*>(data + used), size - used);
    // Python hands over valid UTF-8 only, and the saved-file reader rightly
    // refuses anything else; other text must still build and answer safely.
    bool valid_utf8 = is_valid_utf8(text);

    ReverseGeocoder geocoder;
    try {
        auto built = vicinor::build_geocoder(std::move(text), separator, drop_coordinates);
        if (!built.ok()) {
            require(!built.error().message().empty(), "error without a message");
            return 0;
        }
        geocoder = std::move(built).value();
    } catch (const vicinor::InternalFault&) {
        // Points the tree cannot separate (many identical places) stop
        // construction with a fault by design; the binding reports it.
        return 0;
    }

    require(geocoder.value_sep == separator, "separator not kept");
    check_slices(geocoder);
    auto stored = check_tree(geocoder);
    auto answers = check_lookups(geocoder, stored, drop_coordinates, valid_utf8);
    if (valid_utf8) check_round_trip(geocoder, answers, stored, drop_coordinates);
    return 0;
}
