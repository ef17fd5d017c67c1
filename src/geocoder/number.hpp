// The coordinate number rule: a plain decimal number (optional sign, digits
// with an optional point, optional exponent) or inf/infinity/nan in any
// letter case with an optional sign, the field's whole text and nothing else.
// Magnitudes beyond a double saturate to infinity or zero rather than fail.
#pragma once

#include <string_view>

#include "common/error.hpp"

namespace vicinor {

enum class NumberStatus { ok, empty, invalid };

// Allocation-free core, for the per-row loop.
NumberStatus parse_coordinate(std::string_view text, double& value) noexcept;

// The error a failed parse reports ("cannot parse float from empty string"
// or "invalid float literal"); naming neither line nor field.
Error coordinate_error(NumberStatus status);

Result<double> parse_coordinate(std::string_view text);

}  // namespace vicinor
