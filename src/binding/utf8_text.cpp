#include "binding/utf8_text.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "binding/py_ref.hpp"
#include "common/large_pages.hpp"
#include "common/text.hpp"

namespace vicinor::binding {
namespace {

constexpr std::size_t kNoSize = static_cast<std::size_t>(-1);

// Bytes needed for `units`, or kNoSize when one is a lone surrogate (a str
// stores a pair as one code point, so any surrogate unit is unpaired). The
// inner loop has no branches and tallies as narrow as the units allow, so
// that it vectorises with many units per step; its blocks are short enough
// that a tally cannot overflow.
template <class Unit>
std::size_t utf8_size(const Unit* units, std::size_t count) noexcept {
    using Tally = std::conditional_t<sizeof(Unit) == 4, std::uint32_t, std::uint16_t>;
    constexpr std::size_t kTallyBlock = std::size_t{1} << 13;  // adds at most 3 per unit
    std::size_t size = count;
    Tally surrogate = 0;
    for (std::size_t start = 0; start < count; start += kTallyBlock) {
        const std::size_t end = count - start < kTallyBlock ? count : start + kTallyBlock;
        Tally extra = 0;
        for (std::size_t i = start; i < end; ++i) {
            const Tally code = units[i];
            extra += static_cast<Tally>(code >= 0x80);
            if constexpr (sizeof(Unit) > 1) {
                extra += static_cast<Tally>(code >= 0x800);
                constexpr auto kSurrogateMask = static_cast<Tally>(~Tally{0x7FF});
                surrogate |= static_cast<Tally>((code & kSurrogateMask) == 0xD800u);
            }
            if constexpr (sizeof(Unit) > 2) extra += static_cast<Tally>(code >= 0x10000);
        }
        size += extra;
    }
    return surrogate != 0 ? kNoSize : size;
}

// A str stores a pair as one code point: any surrogate is unpaired. Units
// of two bytes never need four.
template <class Unit>
unsigned char* write_code_point(std::uint32_t code, unsigned char* o,
                                std::uint32_t& surrogates) noexcept {
    surrogates |= static_cast<std::uint32_t>(text::is_surrogate(code));
    constexpr std::uint32_t kMaxCode = sizeof(Unit) == 1 ? 0xFF : sizeof(Unit) == 2 ? 0xFFFF
                                                                                     : 0x10FFFF;
    return text::put_code_point<kMaxCode>(code, o);
}

// Whether the kBlock units at `units` are all ASCII; if so they are written
// to `out` as bytes.
constexpr std::size_t kBlock = 8;

template <class Unit>
bool copy_ascii_block(const Unit* units, unsigned char* out) noexcept {
#if defined(__SSE2__)
    if constexpr (sizeof(Unit) == 2) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
        const __m128i high = _mm_and_si128(block, _mm_set1_epi16(static_cast<short>(0xFF80)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) {
            return false;
        }
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(block, block));
        return true;
    }
#endif
    std::uint32_t any = 0;
    for (std::size_t k = 0; k < kBlock; ++k) any |= units[k];
    if (any >= 0x80) return false;
    for (std::size_t k = 0; k < kBlock; ++k) out[k] = static_cast<unsigned char>(units[k]);
    return true;
}

// Writes the bytes utf8_size counts and returns their end; a lone surrogate
// sets `surrogates` (and is written as if it were a character). Tables are
// mostly ASCII even when they hold other characters, so blocks of ASCII
// units are copied without a branch per unit.
template <class Unit>
char* write_utf8(const Unit* units, std::size_t count, char* out,
                 std::uint32_t& surrogates) noexcept {
    auto* o = reinterpret_cast<unsigned char*>(out);
    std::size_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        if (copy_ascii_block(units + i, o)) {
            o += kBlock;
        } else {
            for (std::size_t k = 0; k < kBlock; ++k) {
                o = write_code_point<Unit>(units[i + k], o, surrogates);
            }
        }
    }
    for (; i < count; ++i) o = write_code_point<Unit>(units[i], o, surrogates);
    return reinterpret_cast<char*>(o);
}

constexpr std::size_t kStepUnits = std::size_t{1} << 14;

// The most UTF-8 bytes one unit of a storage width can become.
template <class Unit>
constexpr std::size_t kMaxBytesPerUnit = sizeof(Unit) == 1 ? 2 : sizeof(Unit) == 2 ? 3 : 4;

// The host's encoder words the error (position, reason) exactly as
// str.encode would; it cannot succeed on a text with a lone surrogate.
bool fail_like_the_host(PyObject* str, std::string& out, std::size_t& line_feeds) {
    PyRef bytes(PyUnicode_AsUTF8String(str));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()),
               static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    line_feeds = text::count_line_feeds(out);
    return true;
}

// Units written step by step into room for the step's longest encoding, so
// that each unit is read once and a lone surrogate is found on the way.
// Tables are mostly ASCII: an eighth more bytes than units (and one step's
// room) mostly suffices. Where it does not, the rest is sized first and then
// each step exactly, so the text moves at most once and the slack stays
// small.
template <class Unit>
bool encode_units(PyObject* str, const void* data, std::size_t count, std::string& out,
                  std::size_t& line_feeds) {
    const auto* units = static_cast<const Unit*>(data);
    constexpr std::size_t kMaxBytes = kMaxBytesPerUnit<Unit>;
    out.clear();
    out.reserve(count + count / 8 + (kMaxBytes - 1) * kStepUnits);
    // Every unit becomes at least one byte: the first `count` bytes will
    // all be written.
    std::optional<LargePageAdvice> advice(std::in_place, out.data(), count);
    auto fail = [&] {
        advice.reset();  // before the text is replaced
        return fail_like_the_host(str, out, line_feeds);
    };
    bool sized = false;  // the rest has been sized and the room reserved
    std::uint32_t surrogates = 0;
    for (std::size_t start = 0; start < count; start += kStepUnits) {
        const std::size_t step = std::min(kStepUnits, count - start);
        const std::size_t written = out.size();
        std::size_t room = kMaxBytes * step;
        if (sized || written + room > out.capacity()) {
            if (!sized) {
                const std::size_t rest = utf8_size(units + start, count - start);
                if (rest == kNoSize) return fail();
                advice.reset();  // the text moves
                out.reserve(written + rest);
                sized = true;
            }
            room = utf8_size(units + start, step);  // no surrogate: the rest had none
        }
        // Zero-filled while in cache, then overwritten.
        out.resize(written + room);
        char* const step_out = out.data() + written;
        const std::size_t size =
            static_cast<std::size_t>(write_utf8(units + start, step, step_out, surrogates) -
                                     step_out);
        if (surrogates != 0) return fail();
        out.resize(written + size);
        // Counted while the step's bytes are in cache, so that construction
        // need not read the whole text once more for its lines.
        line_feeds += text::count_line_feeds(std::string_view(step_out, size));
    }
    return true;
}

}  // namespace

bool encode_utf8(PyObject* str, std::string& out, std::size_t& line_feeds) {
    const auto count = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    const void* data = PyUnicode_DATA(str);
    line_feeds = 0;
    if (PyUnicode_IS_ASCII(str)) {
        // Counted step by step right after each copy, while in cache.
        const auto* bytes = static_cast<const char*>(data);
        out.clear();
        out.reserve(count);
        const LargePageAdvice advice(out.data(), count);
        for (std::size_t start = 0; start < count; start += kStepUnits) {
            const std::size_t step = std::min(kStepUnits, count - start);
            out.append(bytes + start, step);
            line_feeds += text::count_line_feeds(std::string_view(bytes + start, step));
        }
        return true;
    }
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            return encode_units<Py_UCS1>(str, data, count, out, line_feeds);
        case PyUnicode_2BYTE_KIND:
            return encode_units<Py_UCS2>(str, data, count, out, line_feeds);
        default:
            return encode_units<Py_UCS4>(str, data, count, out, line_feeds);
    }
}

}  // namespace vicinor::binding
