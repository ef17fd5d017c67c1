// Fuzzes the reading of coordinate files block by block: however the bytes
// arrive (the first bytes pick the separator, the read size and the rows
// per block), the blocks must join up to the rows of reading the whole
// file, and every block must geocode to one output row per input row that
// reads back to the expected field count.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "csv/record_reader.hpp"
#include "csv/row_cursor.hpp"
#include "geocoder/block_geocoder.hpp"
#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"

namespace csv = vicinor::csv;

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz_batch: %s\n", what);
    std::abort();
}

constexpr char kSeparators[] = {',', ';', '\t', '|', ' '};

const vicinor::ReverseGeocoder& places() {
    static const vicinor::ReverseGeocoder geocoder = [] {
        auto built = vicinor::build_geocoder("lat,lon,name\n0,0,\"a,\"\"b\"\n45,90,c\n-60,-120,d\n",
                                             U',', false);
        require(built.ok(), "the places build");
        vicinor::prepare_lookups(built.value());
        return std::move(built).value();
    }();
    return geocoder;
}

// Field counts of every row of a final block.
std::vector<std::size_t> row_widths(std::string_view text, char sep) {
    std::vector<std::size_t> widths;
    csv::FieldCounter counter;
    csv::CsvRowCursor cursor(text, sep, true);
    while (cursor.next(counter) == csv::CsvRowCursor::Step::kRow) {
        widths.push_back(counter.fields);
        counter.fields = 0;
    }
    return widths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const char sep = kSeparators[data[0] % sizeof kSeparators];
    const std::size_t read = 1 + data[1] % 64;
    const std::size_t max_rows = 1 + data[2] % 8;
    const std::string_view text(reinterpret_cast<const char*>(data) + 3, size - 3);
    const std::vector<std::size_t> whole = row_widths(text, sep);

    vicinor::BlockOptions options;
    options.separator = sep;
    options.header = {"a", "b", "c"};
    options.bad_rows = vicinor::BadRowPolicy::kSkip;
    options.format = data[1] & 0x80 ? vicinor::BlockFormat::kJsonLines : vicinor::BlockFormat::kCsv;
    auto geocoder = vicinor::BlockGeocoder::make(places(), options);
    require(geocoder.ok(), "the block geocoder is made");

    std::vector<std::size_t> widths;
    std::string pending;
    std::size_t at = 0;
    for (bool final = false; !final;) {
        final = at + read >= text.size();
        pending.append(text.substr(at, read));
        at += read;
        for (;;) {
            const csv::RowCut cut = csv::cut_csv_rows(pending, sep, final, max_rows, 16, 1 << 20);
            require(!cut.too_long && cut.bytes <= pending.size() && cut.rows <= max_rows,
                    "a cut stays within its text and limits");
            const std::string_view block = std::string_view(pending).substr(0, cut.bytes);
            const std::vector<std::size_t> block_widths = row_widths(block, sep);
            require(block_widths.size() == cut.rows, "a cut counts the rows it holds");
            widths.insert(widths.end(), block_widths.begin(), block_widths.end());

            std::string out;
            auto geocoded = geocoder->geocode(block, 1, out);
            require(geocoded.ok() && geocoded->rows == cut.rows, "every row is written");
            if (options.format == vicinor::BlockFormat::kCsv) {
                const std::vector<std::size_t> written = row_widths(out, sep);
                require(written.size() == cut.rows, "one output row per row");
                for (std::size_t i = 0; i < written.size(); ++i) {
                    require(written[i] == std::max<std::size_t>(block_widths[i], 3) + 4,
                            "output rows have the input's fields and the place's");
                }
            } else {
                std::size_t lines = 0;
                for (char c : out) lines += c == '\n';
                require(lines == cut.rows, "one JSON line per row");
            }
            pending.erase(0, cut.bytes);
            if (cut.rows == 0) break;
        }
    }
    require(pending.empty(), "the final block takes everything");
    require(widths == whole, "blocks give the rows of the whole file");
    return 0;
}
