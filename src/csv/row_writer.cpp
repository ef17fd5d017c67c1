#include "csv/row_writer.hpp"

namespace vicinor::csv {

CsvRowWriter::CsvRowWriter(std::uint8_t separator, std::size_t expected_bytes)
    : separator_(static_cast<char>(separator)) {
    output_.reserve(expected_bytes);
}

void append_csv_field(std::string& out, std::string_view field, char separator) {
    bool needs_quotes = false;
    for (char c : field) {
        if (c == separator || c == '"' || c == '\r' || c == '\n') {
            needs_quotes = true;
            break;
        }
    }
    if (!needs_quotes) {
        out.append(field);
        return;
    }
    out.push_back('"');
    for (char c : field) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

Status CsvRowWriter::append_row(std::span<const std::string_view> fields) {
    const std::size_t row_start = output_.size();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) output_.push_back(separator_);
        append_csv_field(output_, fields[i], separator_);
    }
    if (!first_row_fields_) first_row_fields_ = fields.size();
    if (fields.size() != *first_row_fields_) {
        output_.resize(row_start);
        return Error("CSV error: found record with " + std::to_string(fields.size()) +
                     " fields, but the previous record has " +
                     std::to_string(*first_row_fields_) + " fields");
    }
    // A row with no bytes would vanish as a blank line; two quotes keep it a
    // row of one empty field.
    if (output_.size() == row_start) output_.append("\"\"");
    output_.push_back('\n');
    return {};
}

}  // namespace vicinor::csv
