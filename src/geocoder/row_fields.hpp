// A stored row's fields for the dict lookup, as views. Plain rows (see
// PlainRow) are split in place; any other row is read by the CSV reader
// into storage this thread reuses, so a lookup allocates nothing for it.
// Callers see fields only: how a row is read stays here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/error.hpp"
#include "csv/record.hpp"
#include "geocoder/plain_row.hpp"
#include "geocoder/record.hpp"

namespace vicinor {

class RowFields {
public:
    // Splits `row` (a stored row of `geocoder`) in place when it is plain:
    // true then, false when it needs read(). Fails when the geocoder's
    // separator is not ASCII.
    Result<bool> split_plain(const ReverseGeocoder& geocoder, std::string_view row);

    // Reads `row` with the CSV reader. The fields stay valid until this
    // thread reads another row so: a caller must not run code that could
    // look a row up (a host finalizer) while it still reads them.
    Status read(const ReverseGeocoder& geocoder, std::string_view row);

    std::size_t size() const noexcept { return parsed_ ? parsed_->size() : plain_.size(); }
    std::string_view field(std::size_t i) const noexcept {
        return parsed_ ? parsed_->field(i) : plain_.field(i);
    }
    // True only for a plain row whose every byte is ASCII.
    bool ascii() const noexcept { return parsed_ == nullptr && plain_.ascii(); }

private:
    PlainRow plain_;
    const csv::CsvRecord* parsed_ = nullptr;
};

}  // namespace vicinor
