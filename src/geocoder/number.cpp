#include "geocoder/number.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace vicinor {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char folded = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (folded != lower[i]) return false;
    }
    return true;
}

// For a well-formed unsigned decimal that does not fit a double: whether it
// is too large (rather than too small). Only the order of magnitude matters,
// and overflow needs about 1e308 while underflow needs below about 1e-324,
// so comparing with 1 decides it; the exponent saturates so that absurdly
// long exponents cannot wrap.
bool magnitude_at_least_one(std::string_view digits) noexcept {
    std::size_t i = 0;
    while (i < digits.size() && digits[i] == '0') ++i;
    std::int64_t integer_digits = 0;
    while (i < digits.size() && is_digit(digits[i])) {
        ++integer_digits;
        ++i;
    }
    std::int64_t magnitude = integer_digits - 1;
    if (i < digits.size() && digits[i] == '.') {
        ++i;
        if (integer_digits == 0) {
            std::int64_t zeros = 0;
            while (i < digits.size() && digits[i] == '0') {
                ++zeros;
                ++i;
            }
            magnitude = -(zeros + 1);
        }
        while (i < digits.size() && is_digit(digits[i])) ++i;
    }
    std::int64_t exponent = 0;
    if (i < digits.size() && (digits[i] == 'e' || digits[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < digits.size() && (digits[i] == '+' || digits[i] == '-')) {
            negative = digits[i] == '-';
            ++i;
        }
        constexpr std::int64_t kSaturated = std::int64_t{1} << 40;
        for (; i < digits.size() && is_digit(digits[i]); ++i) {
            if (exponent < kSaturated) exponent = exponent * 10 + (digits[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return magnitude + exponent >= 0;
}

}  // namespace

NumberStatus parse_coordinate(std::string_view text, double& value) noexcept {
    if (text.empty()) return NumberStatus::empty;
    bool negative = false;
    std::string_view body = text;
    if (body.front() == '+' || body.front() == '-') {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (body.empty()) return NumberStatus::invalid;

    double magnitude = 0.0;
    if (is_digit(body.front()) || body.front() == '.') {
        // The general format takes neither a sign here (handled above, so
        // "+-1" fails), hex digits, nor spaces; it must consume everything.
        const char* const end = body.data() + body.size();
        const auto [stop, ec] =
            std::from_chars(body.data(), end, magnitude, std::chars_format::general);
        if (stop != end) return NumberStatus::invalid;
        if (ec == std::errc::result_out_of_range) {
            magnitude = magnitude_at_least_one(body) ? std::numeric_limits<double>::infinity()
                                                     : 0.0;
        } else if (ec != std::errc{}) {
            return NumberStatus::invalid;
        }
    } else if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
        magnitude = std::numeric_limits<double>::infinity();
    } else if (equals_ignoring_case(body, "nan")) {
        // Checked by hand because the library would also take "nan(...)".
        magnitude = std::numeric_limits<double>::quiet_NaN();
    } else {
        return NumberStatus::invalid;
    }
    value = negative ? -magnitude : magnitude;
    return NumberStatus::ok;
}

Error coordinate_error(NumberStatus status) {
    return Error(status == NumberStatus::empty ? "cannot parse float from empty string"
                                               : "invalid float literal");
}

Result<double> parse_coordinate(std::string_view text) {
    double value = 0.0;
    const NumberStatus status = parse_coordinate(text, value);
    if (status != NumberStatus::ok) return coordinate_error(status);
    return value;
}

}  // namespace vicinor
