// Rows that need no CSV reading: no quote, no CR or LF, no byte-order mark
// in front. Their fields are exactly the pieces between separators, so the
// dict lookup can take them as views into the stored text instead of
// copying the row through the record reader. Most place tables hold only
// such rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vicinor {

class PlainRow {
public:
    // Rows with more fields go through the reader; no place table needs more.
    static constexpr std::size_t kMaxFields = 64;

    // Splits `row` when it is plain under `separator`; false otherwise
    // (the row then needs csv::parse_csv_line). An empty row is not plain:
    // the reader finds no record in it.
    bool split(std::string_view row, std::uint8_t separator) noexcept;

    // Valid after a successful split: at least 1.
    std::size_t size() const noexcept { return count_; }
    std::string_view field(std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1] + 1;
        return row_.substr(begin, ends_[i] - begin);
    }
    // Whether every byte of the row is ASCII.
    bool ascii() const noexcept { return ascii_; }

private:
    bool add_end(std::size_t at) noexcept {
        if (count_ == kMaxFields) return false;
        ends_[count_++] = static_cast<std::uint32_t>(at);
        return true;
    }

    std::string_view row_;
    std::uint32_t ends_[kMaxFields];  // where each field ends: its separator, or the row's end
    std::size_t count_ = 0;
    bool ascii_ = false;
};

}  // namespace vicinor
