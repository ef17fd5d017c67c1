#include "csv/lines.hpp"

#include "common/text.hpp"

namespace vicinor::csv {

std::size_t count_csv_lines(std::string_view text) noexcept {
    return csv_lines_from_line_feeds(text, text::count_line_feeds(text));
}

std::size_t csv_lines_from_line_feeds(std::string_view text, std::size_t line_feeds) noexcept {
    if (text.empty()) return 0;
    return text.back() == '\n' ? line_feeds : line_feeds + 1;
}

}  // namespace vicinor::csv
