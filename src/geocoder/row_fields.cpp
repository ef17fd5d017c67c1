#include "geocoder/row_fields.hpp"

#include <utility>

#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"

namespace vicinor {

Result<bool> RowFields::split_plain(const ReverseGeocoder& geocoder, std::string_view row) {
    Result<std::uint8_t> separator = separator_byte(geocoder.value_sep);
    if (!separator) return std::move(separator).error();
    parsed_ = nullptr;
    return plain_.split(row, separator.value());
}

Status RowFields::read(const ReverseGeocoder& geocoder, std::string_view row) {
    thread_local csv::CsvRecord record;
    parsed_ = nullptr;
    Status status = read_row_fields(geocoder, row, record);
    if (status) parsed_ = &record;
    return status;
}

}  // namespace vicinor
