// Reading the compact border file written by
// scripts/build_country_borders.py (its format is described there). The
// bytes are untrusted: every read is bounds-checked and no count is
// believed before the bytes it announces have been seen to exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "borders/country_borders.hpp"
#include "common/error.hpp"

namespace vicinor::borders {

inline constexpr std::int32_t UNITS_PER_DEGREE = 10'000'000;

Result<BorderPolygons> decode_border_file(std::span<const std::uint8_t> bytes);

// Decodes the file and builds its grid: what a lookup needs.
Result<CountryBorders> load_country_borders(std::span<const std::uint8_t> bytes);

}  // namespace vicinor::borders
