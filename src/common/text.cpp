#include "common/text.hpp"

#include <algorithm>

namespace vicinor::text {

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    for (;;) {
        i = skip_ascii(bytes, i, size);
        if (i == size) return true;
        const std::uint8_t lead = bytes[i];
        std::size_t length;
        std::uint8_t low = 0x80;  // the second byte's range, narrowed to rule out
        std::uint8_t high = 0xBF; // overlong forms, surrogates and codes past U+10FFFF
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (size - i < length || bytes[i + 1] < low || bytes[i + 1] > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if (!is_continuation_byte(static_cast<char>(bytes[i + k]))) return false;
        }
        i += length;
    }
}

// Counted 16 bytes at a time with a byte-wide tally per lane, summed into
// the total before a lane could overflow; the compiler does not find this
// shape on its own (a word-wide tally, as std::count keeps, is four times
// slower).
std::size_t count_line_feeds(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t remaining = text.size();
    std::size_t total = 0;
#if defined(__SSE2__)
    constexpr std::size_t kVector = 16;
    constexpr std::size_t kVectorsPerTally = 255;  // a lane adds at most 1 per vector
    const __m128i line_feed = _mm_set1_epi8('\n');
    while (remaining >= kVector) {
        const std::size_t vectors = std::min(remaining / kVector, kVectorsPerTally);
        __m128i tally = _mm_setzero_si128();
        for (std::size_t v = 0; v < vectors; ++v) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
            tally = _mm_sub_epi8(tally, _mm_cmpeq_epi8(block, line_feed));  // -1 per match
            bytes += kVector;
        }
        remaining -= vectors * kVector;
        const __m128i sums = _mm_sad_epu8(tally, _mm_setzero_si128());
        total += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
    }
#endif
    for (std::size_t i = 0; i < remaining; ++i) total += bytes[i] == '\n';
    return total;
}

}  // namespace vicinor::text
