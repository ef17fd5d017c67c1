// A stored row's fields, as views. Plain rows (see PlainRow) are split in
// place; any other row is read by the CSV reader into storage this thread
// reuses, so a lookup allocates nothing for it. Callers see fields only:
// how a row is read stays here.
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
    std::size_t size() const noexcept { return parsed_ ? parsed_->size() : plain_.size(); }
    std::string_view field(std::size_t i) const noexcept {
        return parsed_ ? parsed_->field(i) : plain_.field(i);
    }
    // True only for a plain row whose every byte is ASCII.
    bool ascii() const noexcept { return parsed_ == nullptr && plain_.ascii(); }

private:
    friend Status row_fields(const ReverseGeocoder&, std::string_view, RowFields&);
    PlainRow plain_;
    const csv::CsvRecord* parsed_ = nullptr;
};

// Reads `row` (a stored row of `geocoder`) into `fields`, as construction
// read it. A plain row with a field for every column is split in place;
// any other row is read by the CSV reader, and its fields then stay valid
// only until this thread reads another row so: a caller must not run code
// that could look a row up (a host finalizer) while it still reads them.
// Fails when the geocoder's separator is not ASCII.
Status row_fields(const ReverseGeocoder& geocoder, std::string_view row, RowFields& fields);

// The CSV reader's part of row_fields: reads `row` into `record`.
Status read_row_fields(const ReverseGeocoder& geocoder, std::string_view row,
                       csv::CsvRecord& record);

}  // namespace vicinor
