// Reads the data lines of a table during construction: through the quote-free
// shortcut when it applies, otherwise through the general record reader. Both
// give the same fields; the shortcut only avoids copying them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "csv/plain_record.hpp"
#include "csv/record.hpp"

namespace vicinor {

// What the main pass needs of a row. The views stay valid until the next read.
struct CoordinateFields {
    std::size_t field_count = 0;
    std::string_view latitude;   // field 0
    std::string_view longitude;  // field 1, empty when the row has one field
};

class DataLineReader {
public:
    // `use_shortcut` exists so that tests can force the general reader and
    // compare the two.
    explicit DataLineReader(std::uint8_t separator, bool use_shortcut = true)
        : separator_(separator), use_shortcut_(use_shortcut) {}

    Status read_coordinates(std::string_view line, CoordinateFields& out);

    // The fields from position 2 on, for the rewrite without coordinates.
    Status read_tail(std::string_view line, std::vector<std::string_view>& tail);

private:
    std::uint8_t separator_;
    bool use_shortcut_;
    csv::PlainRecord plain_;
    csv::CsvRecord record_;
};

}  // namespace vicinor
