#include "csv/row_cursor.hpp"

namespace vicinor::csv {

RowCut cut_csv_rows(std::string_view text, char separator, bool final, std::size_t max_rows,
                    std::size_t max_bytes, std::size_t row_limit) noexcept {
    CsvRowCursor cursor(text, separator, final);
    RowCut cut;
    FieldCounter counter;
    while (cut.rows < max_rows) {
        const CsvRowCursor::Step step = cursor.next(counter);
        if (step != CsvRowCursor::Step::kRow) {
            if (step == CsvRowCursor::Step::kIncomplete && text.size() - cursor.position() > row_limit) {
                cut.too_long = true;
                cut.too_long_line = cursor.lines();
                return cut;
            }
            // Blank lines before the end or before a partial row are used up.
            cut.bytes = cursor.position();
            cut.lines = cursor.lines();
            return cut;
        }
        if (cursor.position() - cursor.row_begin() > row_limit) {
            cut.too_long = true;
            cut.too_long_line = cursor.row_line();
            return cut;
        }
        if (cut.rows > 0 && cursor.position() > max_bytes) {
            return cut;
        }
        cut.bytes = cursor.position();
        cut.lines = cursor.lines();
        ++cut.rows;
    }
    return cut;
}

}  // namespace vicinor::csv
