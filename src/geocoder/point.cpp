// The two conversions that construction and lookups must share exactly.
#include <cmath>
#include <string>

#include "common/compatibility_texts.hpp"
#include "geocoder/construction.hpp"

namespace vicinor {

Result<std::uint8_t> separator_byte(char32_t value_sep) {
    const auto code = static_cast<std::uint32_t>(value_sep);
    if (code > 127) {
        return Error(compat::kNonAsciiSeparatorPrefix + std::to_string(code) + ")");
    }
    return static_cast<std::uint8_t>(code);
}

Result<std::uint8_t> table_separator(char32_t value_sep) {
    Result<std::uint8_t> separator = separator_byte(value_sep);
    if (!separator) return separator;
    // Lines are cut at LF and records end at CR, so such a separator would
    // silently lose fields.
    if (*separator == '\r' || *separator == '\n') {
        return Error("Value separator must not be a line break (got " +
                     std::to_string(*separator) + ")");
    }
    return separator;
}

void set_value_sep(ReverseGeocoder& geocoder, char32_t value_sep) noexcept {
    geocoder.value_sep = value_sep;
    const auto code = static_cast<std::uint32_t>(value_sep);
    geocoder.separator = code > 127 ? std::nullopt
                                    : std::optional<std::uint8_t>(static_cast<std::uint8_t>(code));
}

// One multiplication per angle and no normalising afterwards: a query at a
// stored row's coordinates must reproduce its point bit for bit.
kdtree::Point lat_lon_to_point(double lat, double lon) noexcept {
    const double lat_r = lat * DEG_TO_RAD;
    const double lon_r = lon * DEG_TO_RAD;
    const double cos_lat = std::cos(lat_r);
    return kdtree::Point{cos_lat * std::cos(lon_r), cos_lat * std::sin(lon_r), std::sin(lat_r)};
}

}  // namespace vicinor
