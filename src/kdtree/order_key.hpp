// Coordinates as unsigned keys whose integer order is the order construction
// splits by: NaN first (placement sends a NaN coordinate left, so it belongs
// on the low side of every split), then the doubles in ascending order with
// -0.0 and +0.0 as one key, since the descent comparison cannot tell them
// apart either.
#pragma once

#include <bit>
#include <cstdint>

namespace vicinor::kdtree::detail {

using OrderKey = std::uint64_t;

inline constexpr OrderKey kNanKey = 0;

inline OrderKey order_key(double value) noexcept {
    if (value != value) return kNanKey;
    const auto bits = std::bit_cast<std::uint64_t>(value + 0.0);  // -0.0 + 0.0 is +0.0
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    // Negative doubles order backwards as integers; flipping every bit fixes
    // that. Setting the sign bit puts positives above them. Neither form can
    // be 0, which stays free for NaN.
    return (bits & sign) != 0 ? ~bits : bits | sign;
}

// The double a key was made from; not for NaN's key (0), nor for keys no
// double makes (above +infinity's).
inline double key_value(OrderKey key) noexcept {
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    return std::bit_cast<double>((key & sign) != 0 ? key & ~sign : ~key);
}

}  // namespace vicinor::kdtree::detail
