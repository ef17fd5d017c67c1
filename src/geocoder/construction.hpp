// Building a geocoder from CSV text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "geocoder/record.hpp"
#include "kdtree/tree.hpp"

namespace vicinor {

// The double nearest to pi/180. Spelt as every description of the
// conversion spells it, the one constant outside the kName style.
inline constexpr double DEG_TO_RAD = 0.017453292519943295;

// The separator byte for `value_sep`, or the non-ASCII error.
Result<std::uint8_t> separator_byte(char32_t value_sep);

// The separator byte a table may be read with: separator_byte's, and not a
// line break. Construction and load refuse the same separators.
Result<std::uint8_t> table_separator(char32_t value_sep);
// Sets `value_sep` and the byte it is read as: where a record is made
// (construction, load).
void set_value_sep(ReverseGeocoder& geocoder, char32_t value_sep) noexcept;

// Degrees to a unit-sphere point; queries and stored rows use this one
// function so that they agree bit for bit.
kdtree::Point lat_lon_to_point(double lat, double lon) noexcept;

// Takes the caller's text by value so that it can become the stored text
// without a second copy. `line_feeds`, when given, is the number of LF
// bytes in `csv`, which a caller that wrote the text counted on the way;
// construction then need not read the whole text once more to count them.
// A StopCheck on the calling thread may stop it (common/stop_check.hpp).
Result<ReverseGeocoder> build_geocoder(std::string csv, char32_t value_sep, bool drop_coordinates,
                                       std::optional<std::size_t> line_feeds = std::nullopt);

}  // namespace vicinor
