// Fuzzes loading from arbitrary bytes. Decoding must never read out of
// bounds or crash, and must give the same outcome whatever the read buffer
// size. A record that decodes and passes the load check must answer lookups
// and survive a save/load round trip bit for bit.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "csv/record.hpp"
#include "geocoder/lookup.hpp"
#include "geocoder/row_fields.hpp"
#include "geocoder/record.hpp"
#include "persist/byte_stream.hpp"
#include "persist/codec.hpp"
#include "persist/storage.hpp"

namespace {

using vicinor::ReverseGeocoder;
using vicinor::Result;

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz_load: %s\n", what);
    std::abort();
}

bool identical(const ReverseGeocoder& a, const ReverseGeocoder& b) {
    if (a.csv != b.csv || a.value_sep != b.value_sep || a.columns != b.columns) return false;
    if (a.indexed_data.size() != b.indexed_data.size()) return false;
    for (std::size_t i = 0; i < a.indexed_data.size(); ++i) {
        if (a.indexed_data[i].offset != b.indexed_data[i].offset) return false;
        if (a.indexed_data[i].len != b.indexed_data[i].len) return false;
    }
    if (a.tree.size != b.tree.size || a.tree.leaves.size() != b.tree.leaves.size()) return false;
    if (a.tree.stems.size() != b.tree.stems.size()) return false;
    if (!a.tree.stems.empty() &&
        std::memcmp(a.tree.stems.data(), b.tree.stems.data(), a.tree.stems.size() * sizeof(double)) != 0) {
        return false;
    }
    for (std::size_t l = 0; l < a.tree.leaves.size(); ++l) {
        const auto& x = a.tree.leaves[l];
        const auto& y = b.tree.leaves[l];
        if (x.size != y.size) return false;
        if (std::memcmp(x.content_points, y.content_points, sizeof x.content_points) != 0) return false;
        if (std::memcmp(x.content_items, y.content_items, sizeof x.content_items) != 0) return false;
    }
    return true;
}

void exercise_lookups(const ReverseGeocoder& g) {
    static constexpr double kQueries[][2] = {{0, 0}, {48.85, 2.35}, {-90, 180}, {90, -180}, {1e300, -1e-300}};
    vicinor::csv::CsvRecord record;
    for (const auto& q : kQueries) {
        Result<std::string_view> row = vicinor::nearest_row_text(g, q[0], q[1]);
        if (!row.ok()) continue;
        const std::string_view text = row.value();
        require(text.data() >= g.csv.data() && text.data() + text.size() <= g.csv.data() + g.csv.size(),
                "row text outside the stored text");
        (void)vicinor::read_row_fields(g, text, record);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    Result<ReverseGeocoder> decoded = vicinor::persist::decode_from_bytes(bytes);

    // A buffer smaller than one number sends every bulk run through refills.
    vicinor::persist::MemorySource source(bytes);
    vicinor::persist::BufferedReader tiny(source, 5);
    Result<ReverseGeocoder> again = vicinor::persist::decode_saved_geocoder(tiny);
    require(decoded.ok() == again.ok(), "outcome depends on the read buffer size");
    if (!decoded.ok()) {
        require(decoded.error().message() == again.error().message(), "error depends on the read buffer size");
        return 0;
    }
    require(identical(decoded.value(), again.value()), "record depends on the read buffer size");

    ReverseGeocoder& g = decoded.value();
    if (!vicinor::persist::check_loaded_geocoder(g).ok()) return 0;
    exercise_lookups(g);
    // The aids are computed from whatever tree passed the checks.
    vicinor::prepare_lookups(g);
    exercise_lookups(g);

    Result<std::vector<std::uint8_t>> saved = vicinor::persist::encode_to_bytes(g);
    require(saved.ok(), "a loaded record could not be saved");
    Result<ReverseGeocoder> reloaded = vicinor::persist::decode_from_bytes(saved.value());
    require(reloaded.ok() && identical(g, reloaded.value()), "save/load round trip changed the record");
    return 0;
}
