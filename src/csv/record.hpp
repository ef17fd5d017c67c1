// One CSV record: the ordered, unquoted field texts of one line. All fields
// share one byte buffer so that reading a record reuses storage instead of
// allocating per field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace vicinor::csv {

class CsvRecord {
public:
    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view field(std::size_t i) const noexcept {
        std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }

    // Keeps capacity, so a record reused across lines stops allocating.
    void clear() noexcept {
        bytes_.clear();
        ends_.clear();
    }
    void append_content(std::string_view bytes) { bytes_.append(bytes); }
    void append_content(char byte) { bytes_.push_back(byte); }
    void append(std::string_view bytes) { bytes_.append(bytes); }  // as a reader's sink
    void end_field() { ends_.push_back(bytes_.size()); }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;
};

// What a leading byte-order mark (EF BB BF) is: a mark to skip, as at the
// start of a table text, or field text, as in a row the writer made (it
// writes such a field as it is).
enum class ByteOrderMark { kSkip, kKeep };

// Reads the first record of `line` into `out` (cleared first). Fails with
// "Internal error - failed to parse CSV line" when the line holds no record.
Status parse_csv_line(std::string_view line, std::uint8_t separator, CsvRecord& out,
                      ByteOrderMark mark = ByteOrderMark::kSkip);

}  // namespace vicinor::csv
