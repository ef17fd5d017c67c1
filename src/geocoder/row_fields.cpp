#include "geocoder/row_fields.hpp"

#include <utility>

#include "geocoder/construction.hpp"

namespace vicinor {
namespace {

// The error of a separator rows cannot be read with; the record keeps no
// byte for it.
Error unreadable_separator(const ReverseGeocoder& geocoder) {
    return separator_byte(geocoder.value_sep).error();
}

// Out of line, so that the thread-local storage is reached only by rows
// that need it, not set up on every call.
[[gnu::noinline]] Status read_into_thread_storage(const ReverseGeocoder& geocoder,
                                                  std::string_view row,
                                                  const csv::CsvRecord*& parsed) {
    thread_local csv::CsvRecord record;
    Status status = read_row_fields(geocoder, row, record);
    if (status) parsed = &record;
    return status;
}

}  // namespace

Status row_fields(const ReverseGeocoder& geocoder, std::string_view row, RowFields& fields) {
    if (!geocoder.separator) return unreadable_separator(geocoder);
    fields.parsed_ = nullptr;
    // A short plain row goes through the reader too, which finds the same
    // fields: only rows with every column share one reading.
    if (fields.plain_.split(row, *geocoder.separator) &&
        fields.plain_.size() >= geocoder.columns.size()) {
        return {};
    }
    return read_into_thread_storage(geocoder, row, fields.parsed_);
}

Status read_row_fields(const ReverseGeocoder& geocoder, std::string_view row,
                       csv::CsvRecord& record) {
    if (!geocoder.separator) return unreadable_separator(geocoder);
    // Rows written by construction (drop_coordinates) are the only ones in
    // a text without a header, so row 0 starts that text; there a leading
    // U+FEFF is the field's own text. A row of the caller's text is read as
    // construction read it.
    const bool written_rows =
        !geocoder.indexed_data.empty() && geocoder.indexed_data.front().offset == 0;
    return csv::parse_csv_line(row, *geocoder.separator, record,
                               written_rows ? csv::ByteOrderMark::kKeep : csv::ByteOrderMark::kSkip);
}

}  // namespace vicinor
