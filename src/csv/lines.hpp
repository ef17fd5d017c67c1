// Cutting a text into lines: after every LF, with a CR directly before that
// LF dropped too. A lone CR stays in its line. The range walks the text in
// place, so iterating a huge table allocates nothing.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vicinor::csv {

struct CsvLine {
    std::size_t offset = 0;  // of the line's first byte in the text
    std::size_t length = 0;  // terminator excluded
    std::string_view text;
};

class CsvLineIterator {
public:
    using value_type = CsvLine;
    using difference_type = std::ptrdiff_t;

    CsvLineIterator() = default;
    explicit CsvLineIterator(std::string_view text) noexcept : text_(text) { load(); }

    const CsvLine& operator*() const noexcept { return line_; }
    const CsvLine* operator->() const noexcept { return &line_; }
    CsvLineIterator& operator++() noexcept {
        begin_ = next_;
        load();
        return *this;
    }
    CsvLineIterator operator++(int) noexcept {
        CsvLineIterator before = *this;
        ++*this;
        return before;
    }
    // Text after the last LF is a line only when it is not empty, so the
    // walk ends exactly when nothing is left.
    friend bool operator==(const CsvLineIterator& it, std::default_sentinel_t) noexcept {
        return it.begin_ >= it.text_.size();
    }

private:
    void load() noexcept {
        if (begin_ >= text_.size()) return;
        const char* start = text_.data() + begin_;
        const std::size_t rest = text_.size() - begin_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', rest));
        std::size_t length = lf ? static_cast<std::size_t>(lf - start) : rest;
        next_ = lf ? begin_ + length + 1 : text_.size();
        if (lf && length > 0 && start[length - 1] == '\r') --length;
        line_ = CsvLine{begin_, length, std::string_view(start, length)};
    }

    std::string_view text_;
    std::size_t begin_ = 0;
    std::size_t next_ = 0;
    CsvLine line_;
};

class CsvLines {
public:
    explicit CsvLines(std::string_view text) noexcept : text_(text) {}
    CsvLineIterator begin() const noexcept { return CsvLineIterator(text_); }
    std::default_sentinel_t end() const noexcept { return {}; }

private:
    std::string_view text_;
};

inline CsvLines split_csv_lines(std::string_view text) noexcept { return CsvLines(text); }

// Calls `visit(offset, length)` for each line that split_csv_lines yields, in
// order, until it returns false. For walks that need only where lines are:
// the line feeds of a block of bytes are found together, which costs far
// less than a memchr call per short line.
template <class Visit>
void for_each_line(std::string_view text, Visit&& visit) {
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::size_t begin = 0;
    // False when the walk is told to stop.
    auto line_ends_at = [&](std::size_t lf) {
        std::size_t length = lf - begin;
        if (length > 0 && data[lf - 1] == '\r') --length;
        const std::size_t offset = begin;
        begin = lf + 1;
        return visit(offset, length);
    };
    std::size_t block = 0;
#if defined(__SSE2__)
    const __m128i line_feed = _mm_set1_epi8('\n');
    for (; block + 16 <= size; block += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + block));
        auto feeds = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, line_feed)));
        for (; feeds != 0; feeds &= feeds - 1) {
            if (!line_ends_at(block + static_cast<std::size_t>(std::countr_zero(feeds)))) return;
        }
    }
#endif
    for (; block < size; ++block) {
        if (data[block] == '\n' && !line_ends_at(block)) return;
    }
    // Text after the last LF is a line only when it is not empty; its CR stays.
    if (begin < size) visit(begin, size - begin);
}

// How many lines split_csv_lines yields, without walking them one by one.
std::size_t count_csv_lines(std::string_view text) noexcept;

}  // namespace vicinor::csv
