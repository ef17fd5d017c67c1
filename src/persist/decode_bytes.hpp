// Big-endian loads from raw bytes for the reader's bulk paths.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "persist/decode_markers.hpp"

namespace vicinor::persist {

inline std::uint16_t load_be16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t load_be32(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    return v;
}

inline std::uint64_t load_be64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

inline double load_be_double(const std::uint8_t* p) noexcept {
    return std::bit_cast<double>(load_be64(p));
}

// The longest unsigned form handled by parse_fast_u32.
inline constexpr std::size_t kFastU32MaxBytes = 5;

// Decodes the unsigned forms the writer uses for 32-bit values (fixint, U8,
// U16, U32) from at least kFastU32MaxBytes readable bytes. Returns the bytes
// used, or 0 for any other form, which the caller then reads the slow way.
inline std::size_t parse_fast_u32(const std::uint8_t* p, std::uint32_t& out) noexcept {
    const std::uint8_t m = p[0];
    if (msgpack::is_pos_fixint(m)) {
        out = m;
        return 1;
    }
    switch (m) {
        case msgpack::kU8: out = p[1]; return 2;
        case msgpack::kU16: out = load_be16(p + 1); return 3;
        case msgpack::kU32: out = load_be32(p + 1); return 5;
        default: return 0;
    }
}

}  // namespace vicinor::persist
