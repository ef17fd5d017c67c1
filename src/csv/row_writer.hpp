// Writes rows in the dialect the record reader reads back: LF-terminated,
// quoting a field only when it holds the separator, a quote, CR or LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace vicinor::csv {

// Appends one field as the writer writes it: enclosed in quotes, with its
// quotes doubled, only when it holds the separator, a quote, CR or LF.
void append_csv_field(std::string& out, std::string_view field, char separator);

class CsvRowWriter {
public:
    // `expected_bytes` sizes the output once, so that rewriting a table of
    // known size does not keep regrowing it.
    explicit CsvRowWriter(std::uint8_t separator, std::size_t expected_bytes = 0);

    // Appends one row. Every row must have as many fields as the first; a
    // row that breaks this fails and leaves the output as it was.
    Status append_row(std::span<const std::string_view> fields);

    // Hands over the output; the writer is spent afterwards.
    std::string take_output() && noexcept { return std::move(output_); }

private:
    std::string output_;
    char separator_;
    std::optional<std::size_t> first_row_fields_;
};

}  // namespace vicinor::csv
