// One pass over the row finds the separators and refuses the bytes that
// would need the reader; on x86 sixteen bytes at a time.
#include "geocoder/plain_row.hpp"

#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vicinor {
namespace {

bool needs_reader(char c) noexcept { return c == '"' || c == '\r' || c == '\n'; }

}  // namespace

bool PlainRow::split(std::string_view row, std::uint8_t separator) noexcept {
    count_ = 0;
    row_ = row;
    const char sep = static_cast<char>(separator);
    if (row.empty() || row.size() > UINT32_MAX || needs_reader(sep)) return false;
    if (row.starts_with("\xEF\xBB\xBF")) return false;

    const char* const p = row.data();
    const std::size_t n = row.size();
    std::size_t i = 0;
    unsigned high_bits = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i seps = _mm_set1_epi8(sep);
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i line_break = _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf));
        const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, quote), line_break);
        if (_mm_movemask_epi8(special) != 0) return false;
        high_bits |= static_cast<unsigned>(_mm_movemask_epi8(v));
        for (auto at = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, seps))); at != 0;
             at &= at - 1) {
            if (!add_end(i + static_cast<std::size_t>(std::countr_zero(at)))) return false;
        }
    }
#endif
    for (; i < n; ++i) {
        const char c = p[i];
        if (needs_reader(c)) return false;
        high_bits |= static_cast<unsigned char>(c) & 0x80u;
        if (c == sep && !add_end(i)) return false;
    }
    if (!add_end(n)) return false;
    ascii_ = high_bits == 0;
    return true;
}

}  // namespace vicinor
