// Reading the first record of one line; a quoted field cannot span lines
// because the text was cut into lines beforehand.
#include <cstring>

#include "csv/record.hpp"
#include "csv/record_reader.hpp"

namespace vicinor::csv {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

Status parse_csv_line(std::string_view line, std::uint8_t separator, CsvRecord& out,
                      ByteOrderMark mark) {
    out.clear();
    const char sep = static_cast<char>(separator);
    const std::size_t n = line.size();
    std::size_t i =
        mark == ByteOrderMark::kSkip && line.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
    while (i < n && is_line_break(line[i])) ++i;
    if (i == n) return Error("Internal error - failed to parse CSV line");

    read_record(line, i, sep, out);
    return {};
}

}  // namespace vicinor::csv
