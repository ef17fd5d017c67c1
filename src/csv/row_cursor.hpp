// Rows of a coordinate file, read block by block. Unlike a table, where a
// text is first cut into lines at LF, here CR, LF and CR LF all end rows
// (mixed in one file too) and a quoted field may hold line breaks: rows are
// records read straight from the block. Blank lines hold no row.
#pragma once

#include <cstddef>
#include <string_view>

#include "csv/record_reader.hpp"

namespace vicinor::csv {

class CsvRowCursor {
public:
    enum class Step {
        kRow,         // a row was read into the sink
        kIncomplete,  // what is left may continue in the next block
        kEnd,         // nothing is left
    };

    // `final`: the block is the end of the file, so whatever is left is rows.
    CsvRowCursor(std::string_view text, char separator, bool final) noexcept
        : text_(text), separator_(separator), final_(final) {}

    template <class Sink>
    Step next(Sink& sink) {
        const std::size_t n = text_.size();
        while (position_ < n && is_line_break(text_[position_])) {
            // A CR at the very end may be the first half of a CR LF.
            if (!final_ && text_[position_] == '\r' && position_ + 1 == n) return Step::kIncomplete;
            position_ += terminator_length(position_);
            ++lines_;
        }
        if (position_ == n) return Step::kEnd;
        const RecordEnd end = read_record(text_, position_, separator_, sink);
        if (!final_ && (end.open_quote || end.end == n ||
                        (text_[end.end] == '\r' && end.end + 1 == n))) {
            return Step::kIncomplete;
        }
        row_begin_ = position_;
        row_end_ = end.end;
        row_line_ = lines_;
        if (end.quoted) lines_ += count_line_breaks(text_.substr(position_, end.end - position_));
        position_ = end.end;
        if (position_ < n) {
            position_ += terminator_length(position_);
            ++lines_;
        }
        return Step::kRow;
    }

    // After the last row read (and its terminator), or after blank lines.
    std::size_t position() const noexcept { return position_; }
    // Line breaks passed so far: the lines of the block before position().
    std::size_t lines() const noexcept { return lines_; }
    // Where the row just read begins, and its line counted from 0 in the block.
    std::size_t row_begin() const noexcept { return row_begin_; }
    // Where its record ends: at its terminator, or the block's end.
    std::size_t row_end() const noexcept { return row_end_; }
    std::size_t row_line() const noexcept { return row_line_; }

    // CR LF, CR or LF each count as one line break.
    static std::size_t count_line_breaks(std::string_view text) noexcept {
        std::size_t breaks = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') {
                if (i == 0 || text[i - 1] != '\r') ++breaks;
            } else if (text[i] == '\r') {
                ++breaks;
            }
        }
        return breaks;
    }

private:
    std::size_t terminator_length(std::size_t at) const noexcept {
        return text_[at] == '\r' && at + 1 < text_.size() && text_[at + 1] == '\n' ? 2 : 1;
    }

    std::string_view text_;
    char separator_;
    bool final_;
    std::size_t position_ = 0;
    std::size_t lines_ = 0;
    std::size_t row_begin_ = 0;
    std::size_t row_end_ = 0;
    std::size_t row_line_ = 0;
};

// A run of whole rows at the start of a block, for handing blocks to
// threads: at most `max_rows` rows and, past the first row, `max_bytes`
// bytes. `too_long` is set when a row (complete or not) reaches beyond
// `row_limit` bytes; `too_long_line` is then its line in the block from 0.
struct RowCut {
    std::size_t bytes = 0;
    std::size_t lines = 0;
    std::size_t rows = 0;
    bool too_long = false;
    std::size_t too_long_line = 0;
};
RowCut cut_csv_rows(std::string_view text, char separator, bool final, std::size_t max_rows,
                    std::size_t max_bytes, std::size_t row_limit) noexcept;

}  // namespace vicinor::csv
