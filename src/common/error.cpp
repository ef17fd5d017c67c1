#include "common/error.hpp"

namespace vicinor {
namespace {

// Writes `text` with every line after the first indented by `indent` spaces.
void append_indented(std::string& out, const std::string& text, std::size_t indent) {
    for (char c : text) {
        out.push_back(c);
        if (c == '\n') out.append(indent, ' ');
    }
}

}  // namespace

std::string Error::render() const {
    std::string out = message_;
    if (causes_.empty()) return out;
    out += "\n\nCaused by:";
    if (causes_.size() == 1) {
        out += "\n    ";
        append_indented(out, causes_.front(), 4);
        return out;
    }
    for (std::size_t i = 0; i < causes_.size(); ++i) {
        std::string number = std::to_string(i);
        out += '\n';
        if (number.size() < 5) out.append(5 - number.size(), ' ');
        out += number;
        out += ": ";
        append_indented(out, causes_[i], 7);
    }
    return out;
}

}  // namespace vicinor
