// Texts that describe a value found where another kind was expected, as in
// "invalid type: {found}, expected {expected}".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vicinor::persist {

// An integer read from any MessagePack integer form: `negative` only for
// values below zero, which then sit in `bits` as their 64-bit two's complement.
struct DecodedInteger {
    bool negative = false;
    std::uint64_t bits = 0;

    std::int64_t as_signed() const noexcept { return static_cast<std::int64_t>(bits); }
};

// "integer `-5`"
std::string describe_integer(DecodedInteger value);

// "floating point `1.5`". The number is the shortest decimal that reads back
// to the same double, laid out like Python's repr (plain digits for exponents
// from -4 to 15, "1e+300" style beyond) so it reads naturally to our users,
// with ".0" kept on integral values so that it never looks like an integer;
// "inf", "-inf" and "NaN" for the special values.
std::string describe_float(double value);

// "string \"...\"". Quotes and backslashes are escaped, and so are control
// characters (C0, DEL and C1): as \0, \t, \n, \r, or else \u{..} with the
// code point in lowercase hexadecimal without leading zeros. `text` is valid
// UTF-8 (it is checked before it is described).
std::string describe_string(std::string_view text);

}  // namespace vicinor::persist
