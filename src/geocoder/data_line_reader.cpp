#include "geocoder/data_line_reader.hpp"

namespace vicinor {
namespace {

Error no_record_error() { return Error("Internal error - failed to parse CSV line"); }

}  // namespace

Status DataLineReader::read_coordinates(std::string_view line, CoordinateFields& out) {
    if (use_shortcut_ && plain_.scan(line, separator_)) {
        if (plain_.field_count() == 0) return no_record_error();
        out.field_count = plain_.field_count();
        out.latitude = plain_.field0();
        out.longitude = plain_.field1();
        return {};
    }
    if (Status status = csv::parse_csv_line(line, separator_, record_); !status) return status;
    out.field_count = record_.size();
    out.latitude = record_.field(0);
    out.longitude = record_.size() > 1 ? record_.field(1) : std::string_view{};
    return {};
}

Status DataLineReader::read_tail(std::string_view line, std::vector<std::string_view>& tail) {
    tail.clear();
    if (use_shortcut_ && plain_.scan(line, separator_)) {
        if (plain_.field_count() == 0) return no_record_error();
        if (plain_.field_count() < 3) return {};
        std::string_view rest = plain_.rest();
        for (;;) {
            const std::size_t sep = rest.find(plain_.separator());
            tail.push_back(rest.substr(0, sep));
            if (sep == std::string_view::npos) return {};
            rest.remove_prefix(sep + 1);
        }
    }
    if (Status status = csv::parse_csv_line(line, separator_, record_); !status) return status;
    for (std::size_t i = 2; i < record_.size(); ++i) tail.push_back(record_.field(i));
    return {};
}

}  // namespace vicinor
