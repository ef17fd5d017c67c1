#include "csv/plain_record.hpp"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vicinor::csv {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

constexpr std::uint64_t kEveryByte = 0x0101010101010101u;
constexpr std::uint64_t kLowSevenBits = 0x7F7F7F7F7F7F7F7Fu;

// The top bit of each byte of `word` that equals `byte`, and no other bit:
// exact, unlike the cheaper zero-byte test, so the result can be counted.
std::uint64_t bytes_equal(std::uint64_t word, unsigned char byte) noexcept {
    const std::uint64_t x = word ^ (kEveryByte * byte);
    return ~(((x & kLowSevenBits) + kLowSevenBits) | x | kLowSevenBits);
}

// Inline, because without a popcount instruction std::popcount is a library
// call.
std::size_t count_bits16(unsigned x) noexcept {
    x = x - ((x >> 1) & 0x5555u);
    x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
    x = (x + (x >> 4)) & 0x0F0Fu;
    return (x + (x >> 8)) & 0x1Fu;
}

}  // namespace

bool PlainRecord::scan(std::string_view line, std::uint8_t separator) noexcept {
    const char sep = static_cast<char>(separator);
    if (sep == '"' || sep == '\r' || sep == '\n') return false;
    separator_ = sep;

    std::size_t begin = line.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
    while (begin < line.size() && (line[begin] == '\r' || line[begin] == '\n')) ++begin;
    if (begin == line.size()) {
        text_ = {};
        field_count_ = 0;
        return true;
    }

    // One pass: count separators, note the first two, stop at the record's
    // end. Bytes after a CR are not part of the record, quotes there included.
    const char* const start = line.data() + begin;
    const std::size_t length = line.size() - begin;
    std::size_t separators = 0;
    std::size_t first = length;
    std::size_t second = length;
    std::size_t end = length;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time, the last block overlapping the one before so
    // that no byte-wise tail remains; bytes already seen are masked off.
    if (length >= 16) {
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i cr = _mm_set1_epi8('\r');
        const __m128i lf = _mm_set1_epi8('\n');
        const __m128i sep_bytes = _mm_set1_epi8(sep);
        while (i < length) {
            const std::size_t at = i + 16 <= length ? i : length - 16;
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(start + at));
            const unsigned seen = (1u << (i - at)) - 1;
            const auto stops = static_cast<unsigned>(_mm_movemask_epi8(
                                   _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote),
                                                             _mm_cmpeq_epi8(block, cr)),
                                                _mm_cmpeq_epi8(block, lf)))) &
                               ~seen;
            auto found =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, sep_bytes))) & ~seen;
            if (stops != 0) found &= (stops & -stops) - 1;  // only those before the stop
            for (; found != 0 && separators < 2; found &= found - 1, ++separators) {
                (separators == 0 ? first : second) =
                    at + static_cast<std::size_t>(std::countr_zero(found));
            }
            separators += count_bits16(found);
            if (stops != 0) {
                const std::size_t stop = at + static_cast<std::size_t>(std::countr_zero(stops));
                if (start[stop] == '"') return false;
                end = stop;
                break;
            }
            i = at + 16;
        }
        i = length;  // the byte loop below has nothing left to do
    }
#endif
    // Otherwise eight bytes at a time while they hold nothing but content and
    // separators; the byte loop below takes over at the first word holding a
    // quote or line break, and for the tail.
    if constexpr (std::endian::native == std::endian::little) {
        const auto sep_byte = static_cast<unsigned char>(sep);
        for (; i + 8 <= length; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, start + i, sizeof word);
            if (bytes_equal(word, '"') | bytes_equal(word, '\r') | bytes_equal(word, '\n')) break;
            std::uint64_t found = bytes_equal(word, sep_byte);
            for (; found != 0 && separators < 2; found &= found - 1, ++separators) {
                const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(found)) / 8;
                (separators == 0 ? first : second) = at;
            }
            // Each flagged byte holds exactly its top bit: summing the bytes
            // by one multiplication counts them without a popcount instruction.
            separators += static_cast<std::size_t>(((found >> 7) * kEveryByte) >> 56);
        }
    }
    for (; i < length; ++i) {
        const char c = start[i];
        if (c == sep) {
            if (separators == 0) {
                first = i;
            } else if (separators == 1) {
                second = i;
            }
            ++separators;
        } else if (c == '"') {
            return false;
        } else if (c == '\r' || c == '\n') {
            end = i;
            break;
        }
    }
    text_ = std::string_view(start, end);
    field_count_ = separators + 1;
    first_end_ = first < end ? first : end;
    second_end_ = second < end ? second : end;
    return true;
}

std::string_view PlainRecord::field1() const noexcept {
    if (field_count_ < 2) return {};
    return text_.substr(first_end_ + 1, second_end_ - first_end_ - 1);
}

std::string_view PlainRecord::rest() const noexcept {
    if (field_count_ < 3) return {};
    return text_.substr(second_end_ + 1);
}

}  // namespace vicinor::csv
