// A shortcut reader for the common line without any quote: such a record's
// fields are plain stretches between separators, so they can be located in
// the line itself instead of being copied into a CsvRecord. It reports the
// same fields, and the same absence of a record, as parse_csv_line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vicinor::csv {

class PlainRecord {
public:
    // False when the shortcut does not apply (the record holds a quote, or
    // the separator is a quote, CR or LF): read the line with parse_csv_line.
    bool scan(std::string_view line, std::uint8_t separator) noexcept;

    // 0 when the line holds no record; parse_csv_line then fails on it.
    std::size_t field_count() const noexcept { return field_count_; }

    // The first two fields; empty when the record has fewer.
    std::string_view field0() const noexcept { return text_.substr(0, first_end_); }
    std::string_view field1() const noexcept;

    // Everything from the third field on, separators included; meaningful
    // when field_count() > 2.
    std::string_view rest() const noexcept;

    char separator() const noexcept { return separator_; }

private:
    std::string_view text_;  // the record: no byte-order mark, no leading CR, nothing after its CR
    std::size_t field_count_ = 0;
    std::size_t first_end_ = 0;   // position of the first separator, or the end
    std::size_t second_end_ = 0;  // position of the second separator, or the end
    char separator_ = ',';
};

}  // namespace vicinor::csv
