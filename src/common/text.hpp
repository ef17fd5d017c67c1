// The text helpers every area shares (UTF-8, ASCII, line feeds): the
// binding's str conversion, the dialect, the codec's strings and the load
// checks all rest on these. Stored tables are mostly ASCII, so the ASCII
// tests read a block at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vicinor::text {

inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// A byte that continues a character: a position holding one is not on a
// character boundary.
constexpr bool is_continuation_byte(char c) noexcept {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

inline bool is_ascii(std::string_view bytes) noexcept {
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    std::uint64_t high_bits = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        high_bits |= word;
    }
    for (; n > 0; ++p, --n) high_bits |= static_cast<unsigned char>(*p);
    return (high_bits & kHighBits) == 0;
}

// The first byte at or after `i` that is not ASCII, or `size`.
inline std::size_t skip_ascii(const std::uint8_t* bytes, std::size_t i, std::size_t size) noexcept {
#if defined(__SSE2__)
    while (size - i >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const auto high = static_cast<unsigned>(_mm_movemask_epi8(block));
        if (high != 0) return i + static_cast<std::size_t>(std::countr_zero(high));
        i += 16;
    }
#endif
    while (size - i >= 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        if (word & kHighBits) break;
        i += 8;
    }
    while (i < size && bytes[i] < 0x80) ++i;
    return i;
}

// How many characters valid UTF-8 text holds.
inline std::size_t count_characters(std::string_view text) noexcept {
    std::size_t characters = 0;
    for (char c : text) characters += !is_continuation_byte(c);
    return characters;
}

// Writes the UTF-8 form of `code` (at most 4 bytes) and returns its end.
// `code` is at most kMaxCode, so a caller whose code points all fit three
// bytes (UCS-2 text) loses the four-byte branch. Surrogates are written as
// if they were characters: callers that can meet them check for them.
template <std::uint32_t kMaxCode = 0x10FFFF>
inline unsigned char* put_code_point(std::uint32_t code, unsigned char* o) noexcept {
    if (code < 0x80) {
        *o++ = static_cast<unsigned char>(code);
    } else if (code < 0x800) {
        *o++ = static_cast<unsigned char>(0xC0 | (code >> 6));
        *o++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
    } else if (kMaxCode < 0x10000 || code < 0x10000) {
        *o++ = static_cast<unsigned char>(0xE0 | (code >> 12));
        *o++ = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
        *o++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
    } else {
        *o++ = static_cast<unsigned char>(0xF0 | (code >> 18));
        *o++ = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
        *o++ = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
        *o++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
    }
    return o;
}

// Whether `code` is a surrogate, which UTF-8 cannot carry.
constexpr bool is_surrogate(std::uint32_t code) noexcept {
    return (code & ~std::uint32_t{0x7FF}) == 0xD800;
}

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
// codes beyond U+10FFFF).
bool is_valid_utf8(std::string_view text) noexcept;

// The number of LF bytes in `text`.
std::size_t count_line_feeds(std::string_view text) noexcept;

}  // namespace vicinor::text
