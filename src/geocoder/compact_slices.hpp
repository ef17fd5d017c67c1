// Where each accepted row lies in the stored text (its slice), kept
// compactly while the tree is built (when construction's memory peaks) and
// turned into the record's slices afterwards. Rows are consecutive lines of the stored text, so a
// line's length and terminator width (0, 1 or 2 bytes) place the next one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/large_pages.hpp"
#include "common/page_buffer.hpp"
#include "csv/lines.hpp"
#include "geocoder/record.hpp"

namespace vicinor {

class CompactSlices {
public:
    // Texts shorter than `narrow_limit` bytes keep a 32-bit word per row (a
    // quarter of a slice), longer ones a 64-bit word.
    static constexpr std::size_t kNarrowLimit = std::size_t{1} << 30;

    CompactSlices(std::size_t text_size, std::size_t rows, std::size_t narrow_limit = kNarrowLimit)
        : wide_(text_size >= narrow_limit) {
        if (wide_) {
            wide_words_.reserve(rows);
        } else {
            narrow_words_.reserve(rows);
        }
    }

    // `line`, a line of `text` (no longer than the size given above), must
    // follow the line added before it.
    void add(std::string_view text, const csv::CsvLine& line) {
        const std::size_t end = line.offset + line.length;
        const std::uint64_t terminator = end == text.size() ? 0 : text[end] == '\r' ? 2 : 1;
        const std::uint64_t word = std::uint64_t{line.length} << 2 | terminator;
        if (wide_) {
            wide_words_.push_back(word);
        } else {
            narrow_words_.push_back(static_cast<std::uint32_t>(word));
        }
    }

    // The slices of the rows added, the first starting at `first_offset`.
    std::vector<StringSlice> slices(std::size_t first_offset) const {
        return wide_ ? slices_of(wide_words_, first_offset)
                     : slices_of(narrow_words_, first_offset);
    }

private:
    // The words live in pages of their own, so that once the slices are made
    // their memory goes back at once instead of staying in malloc's pool.
    template <class Word>
    class Words {
    public:
        void reserve(std::size_t count) {
            if (count > storage_.size()) move_to(count);
        }
        void push_back(Word word) {
            if (size_ == storage_.size()) move_to(std::max<std::size_t>(2 * size_, 64));
            storage_[size_++] = word;
        }
        std::size_t size() const noexcept { return size_; }
        const Word* begin() const noexcept { return storage_.data(); }
        const Word* end() const noexcept { return storage_.data() + size_; }

    private:
        void move_to(std::size_t capacity) {
            PageArray<Word> larger(capacity);
            std::copy(begin(), end(), larger.data());
            storage_ = std::move(larger);
        }
        PageArray<Word> storage_;
        std::size_t size_ = 0;
    };

    template <class Word>
    static std::vector<StringSlice> slices_of(const Words<Word>& words, std::uint64_t offset) {
        std::vector<StringSlice> out;
        out.reserve(words.size());
        const LargePageAdvice advice(out.data(), words.size() * sizeof(StringSlice));
        for (const std::uint64_t word : words) {
            const std::uint64_t length = word >> 2;
            out.push_back(StringSlice{static_cast<std::int64_t>(offset), length});
            offset += length + (word & 3);
        }
        return out;
    }

    bool wide_;
    Words<std::uint32_t> narrow_words_;
    Words<std::uint64_t> wide_words_;
};

}  // namespace vicinor
