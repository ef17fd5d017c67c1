// MessagePack value formatters for the saved-file writer. Each one writes a
// complete value (or container header) at `p` and returns the position after
// it, so callers format a run of values into a stack buffer and hand the
// buffer to the BufferedWriter in one write. Every form is the shortest one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vicinor::persist::msgpack {

// Longest encodings, for sizing stack buffers.
inline constexpr std::size_t kMaxIntBytes = 9;
inline constexpr std::size_t kF64Bytes = 9;
inline constexpr std::size_t kMaxHeaderBytes = 5;

inline std::uint64_t to_big_endian(std::uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) return v;
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap64(v);
#else
    std::uint64_t r = 0;
    for (int i = 0; i < 8; ++i, v >>= 8) r = (r << 8) | (v & 0xff);
    return r;
#endif
}

inline std::uint8_t* store_be16(std::uint8_t* p, std::uint16_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
    return p + 2;
}

inline std::uint8_t* store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
    return p + 4;
}

inline std::uint8_t* store_be64(std::uint8_t* p, std::uint64_t v) noexcept {
    v = to_big_endian(v);
    std::memcpy(p, &v, 8);
    return p + 8;
}

inline std::uint8_t* put_uint(std::uint8_t* p, std::uint64_t v) noexcept {
    if (v < 0x80) {
        *p = static_cast<std::uint8_t>(v);
        return p + 1;
    }
    if (v <= 0xff) {
        p[0] = 0xcc;
        p[1] = static_cast<std::uint8_t>(v);
        return p + 2;
    }
    if (v <= 0xffff) {
        *p = 0xcd;
        return store_be16(p + 1, static_cast<std::uint16_t>(v));
    }
    if (v <= 0xffffffff) {
        *p = 0xce;
        return store_be32(p + 1, static_cast<std::uint32_t>(v));
    }
    *p = 0xcf;
    return store_be64(p + 1, v);
}

// Non-negative values take exactly the unsigned forms.
inline std::uint8_t* put_int(std::uint8_t* p, std::int64_t v) noexcept {
    if (v >= 0) return put_uint(p, static_cast<std::uint64_t>(v));
    if (v >= -32) {
        *p = static_cast<std::uint8_t>(v);  // negative fixint: the low byte
        return p + 1;
    }
    if (v >= -128) {
        p[0] = 0xd0;
        p[1] = static_cast<std::uint8_t>(v);
        return p + 2;
    }
    if (v >= -32768) {
        *p = 0xd1;
        return store_be16(p + 1, static_cast<std::uint16_t>(v));
    }
    if (v >= INT64_C(-2147483648)) {
        *p = 0xd2;
        return store_be32(p + 1, static_cast<std::uint32_t>(v));
    }
    *p = 0xd3;
    return store_be64(p + 1, static_cast<std::uint64_t>(v));
}

// Always float64, even when a float32 would hold the value exactly: the
// reader must get back the identical bits.
inline std::uint8_t* put_f64(std::uint8_t* p, double v) noexcept {
    *p = 0xcb;
    return store_be64(p + 1, std::bit_cast<std::uint64_t>(v));
}

// Caller guarantees n < 2^32 (see check_encodable).
inline std::uint8_t* put_str_header(std::uint8_t* p, std::uint64_t n) noexcept {
    if (n < 32) {
        *p = static_cast<std::uint8_t>(0xa0 | n);
        return p + 1;
    }
    if (n <= 0xff) {
        p[0] = 0xd9;
        p[1] = static_cast<std::uint8_t>(n);
        return p + 2;
    }
    if (n <= 0xffff) {
        *p = 0xda;
        return store_be16(p + 1, static_cast<std::uint16_t>(n));
    }
    *p = 0xdb;
    return store_be32(p + 1, static_cast<std::uint32_t>(n));
}

// Caller guarantees n < 2^32 (see check_encodable).
inline std::uint8_t* put_array_header(std::uint8_t* p, std::uint64_t n) noexcept {
    if (n < 16) {
        *p = static_cast<std::uint8_t>(0x90 | n);
        return p + 1;
    }
    if (n <= 0xffff) {
        *p = 0xdc;
        return store_be16(p + 1, static_cast<std::uint16_t>(n));
    }
    *p = 0xdd;
    return store_be32(p + 1, static_cast<std::uint32_t>(n));
}

}  // namespace vicinor::persist::msgpack
