// The record reader. Each call reads the first record of one line; a quoted
// field cannot span lines because the text was cut into lines beforehand.
#include <cstring>

#include "csv/record.hpp"

namespace vicinor::csv {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool is_line_break(char c) noexcept { return c == '\r' || c == '\n'; }

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

    // One iteration per field; `i` is where the field begins. The separator
    // is tested before CR/LF throughout, so an odd separator stays usable.
    for (;;) {
        if (i == n) {  // the text ended right after a separator
            out.end_field();
            return {};
        }
        const char first = line[i];
        if (first == '"') {
            ++i;
            bool continues_unquoted = false;
            for (;;) {
                const auto* quote =
                    static_cast<const char*>(std::memchr(line.data() + i, '"', n - i));
                if (!quote) {  // never closed: the content is what was read
                    out.append_content(line.substr(i));
                    out.end_field();
                    return {};
                }
                const auto q = static_cast<std::size_t>(quote - line.data());
                out.append_content(line.substr(i, q - i));
                i = q + 1;
                if (i == n) {
                    out.end_field();
                    return {};
                }
                const char after = line[i];
                if (after == '"') {
                    out.append_content('"');
                    ++i;
                } else if (after == sep) {
                    ++i;
                    out.end_field();
                    break;
                } else if (is_line_break(after)) {
                    out.end_field();
                    return {};
                } else {
                    continues_unquoted = true;
                    break;
                }
            }
            if (!continues_unquoted) continue;
        } else if (first == sep) {
            out.end_field();
            ++i;
            continue;
        } else if (is_line_break(first)) {
            out.end_field();
            return {};
        }

        // Unquoted content, also the tail of a quoted field after its
        // closing quote: a quote here is ordinary content.
        std::size_t end = i;
        while (end < n && line[end] != sep && !is_line_break(line[end])) ++end;
        out.append_content(line.substr(i, end - i));
        out.end_field();
        if (end == n || line[end] != sep) return {};
        i = end + 1;
    }
}

}  // namespace vicinor::csv
