#include "geocoder/number.hpp"

#include <cfloat>
#include <charconv>
#include <cstdint>
#include <iterator>
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

// Plain decimals (digits with an optional point, no exponent) whose digits
// form an integer m <= 2^53, with at most 22 fraction digits f: both m and
// 10^f are exact doubles, so the one IEEE division m / 10^f is the correctly
// rounded value of the decimal, exactly what from_chars would return. Tables
// hold almost only such numbers; anything else goes the general way.
// Needs double arithmetic evaluated in double precision (not x87 extended).
#if FLT_EVAL_METHOD == 0
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool parse_plain_decimal(std::string_view body, double& magnitude) noexcept {
    constexpr std::size_t kMaxDigits = 19;  // cannot overflow 64 bits
    constexpr std::uint64_t kMaxExactInteger = std::uint64_t{1} << 53;
    // Longer texts hold too many digits anyway; the bound lets the loops
    // below skip per-digit overflow checks (a 20-digit run may wrap, but is
    // refused by its count).
    if (body.size() > kMaxDigits + 1) return false;
    const char* const begin = body.data();
    const char* const end = begin + body.size();
    const char* p = begin;
    std::uint64_t digits = 0;
    for (; p != end && is_digit(*p); ++p) {
        digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    std::size_t fraction_digits = 0;
    const bool has_point = p != end;
    if (has_point) {
        if (*p != '.') return false;
        const char* const fraction = ++p;
        for (; p != end && is_digit(*p); ++p) {
            digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
        }
        if (p != end) return false;
        fraction_digits = static_cast<std::size_t>(p - fraction);
    }
    const std::size_t digit_count = body.size() - (has_point ? 1 : 0);
    if (digit_count == 0 || digit_count > kMaxDigits || digits > kMaxExactInteger ||
        fraction_digits >= std::size(kExactPowersOfTen)) {
        return false;
    }
    magnitude = static_cast<double>(digits) / kExactPowersOfTen[fraction_digits];
    return true;
}
#else
bool parse_plain_decimal(std::string_view, double&) noexcept { return false; }
#endif

// The value of an unsigned number or special word; the sign is handled by
// the caller so that "+-1" fails.
NumberStatus parse_magnitude(std::string_view body, double& magnitude) noexcept {
    if (parse_plain_decimal(body, magnitude)) return NumberStatus::ok;
    if (is_digit(body.front()) || body.front() == '.') {
        // The general format takes neither a sign here, hex digits, nor
        // spaces; it must consume everything.
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
        return NumberStatus::ok;
    }
    if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
        magnitude = std::numeric_limits<double>::infinity();
        return NumberStatus::ok;
    }
    if (equals_ignoring_case(body, "nan")) {
        // Checked by hand because the library would also take "nan(...)".
        magnitude = std::numeric_limits<double>::quiet_NaN();
        return NumberStatus::ok;
    }
    return NumberStatus::invalid;
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
    const NumberStatus status = parse_magnitude(body, magnitude);
    if (status == NumberStatus::ok) value = negative ? -magnitude : magnitude;
    return status;
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
