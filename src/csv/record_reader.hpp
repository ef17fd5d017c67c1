// The dialect's one record-reading state machine. parse_csv_line runs it on
// a single line; the row cursor of coordinate files runs it over a block of
// rows, where it also has to say where a record stopped. The sink decides
// what becomes of the content: a CsvRecord keeps it, a counter only counts
// fields, so cutting a block into rows costs no copying.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace vicinor::csv {

constexpr bool is_line_break(char c) noexcept { return c == '\r' || c == '\n'; }

struct RecordEnd {
    std::size_t end = 0;      // the CR or LF that ended the record, or the text's size
    bool open_quote = false;  // the text ended inside a quoted field
    bool quoted = false;      // some field was quoted (only these can hold line breaks)
};

// Reads one record starting at `i` (< text.size(), not a CR or LF). The
// separator is tested before CR/LF throughout, so an odd separator stays
// usable; a quote opening a field is tested before the separator.
template <class Sink>
RecordEnd read_record(std::string_view text, std::size_t i, char sep, Sink& sink) {
    const std::size_t n = text.size();
    RecordEnd result;
    // One iteration per field; `i` is where the field begins.
    for (;;) {
        if (i == n) {  // the text ended right after a separator
            sink.end_field();
            result.end = n;
            return result;
        }
        const char first = text[i];
        if (first == '"') {
            result.quoted = true;
            ++i;
            bool continues_unquoted = false;
            for (;;) {
                const auto* quote =
                    static_cast<const char*>(std::memchr(text.data() + i, '"', n - i));
                if (!quote) {  // never closed: the content is what was read
                    sink.append(text.substr(i));
                    sink.end_field();
                    result.end = n;
                    result.open_quote = true;
                    return result;
                }
                const auto q = static_cast<std::size_t>(quote - text.data());
                sink.append(text.substr(i, q - i));
                i = q + 1;
                if (i == n) {
                    sink.end_field();
                    result.end = n;
                    return result;
                }
                const char after = text[i];
                if (after == '"') {
                    sink.append(std::string_view("\"", 1));
                    ++i;
                } else if (after == sep) {
                    ++i;
                    sink.end_field();
                    break;
                } else if (is_line_break(after)) {
                    sink.end_field();
                    result.end = i;
                    return result;
                } else {
                    continues_unquoted = true;
                    break;
                }
            }
            if (!continues_unquoted) continue;
        } else if (first == sep) {
            sink.end_field();
            ++i;
            continue;
        } else if (is_line_break(first)) {
            sink.end_field();
            result.end = i;
            return result;
        }

        // Unquoted content, also the tail of a quoted field after its
        // closing quote: a quote here is ordinary content.
        std::size_t end = i;
        while (end < n && text[end] != sep && !is_line_break(text[end])) ++end;
        sink.append(text.substr(i, end - i));
        sink.end_field();
        if (end == n || text[end] != sep) {
            result.end = end;
            return result;
        }
        i = end + 1;
    }
}

// A sink that keeps nothing but the field count.
struct FieldCounter {
    std::size_t fields = 0;
    void append(std::string_view) noexcept {}
    void end_field() noexcept { ++fields; }
};

}  // namespace vicinor::csv
