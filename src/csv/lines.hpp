// Cutting a text into lines: after every LF, with a CR directly before that
// LF dropped too. A lone CR stays in its line. The range walks the text in
// place, so iterating a huge table allocates nothing.
#pragma once

#include <cstddef>
#include <cstring>
#include <iterator>
#include <string_view>

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

// How many lines split_csv_lines yields, without walking them one by one.
std::size_t count_csv_lines(std::string_view text) noexcept;

// The same from the number of LF bytes in `text`, known beforehand.
std::size_t csv_lines_from_line_feeds(std::string_view text, std::size_t line_feeds) noexcept;

}  // namespace vicinor::csv
