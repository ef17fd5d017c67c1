#include "persist/decode_describe.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace vicinor::persist {

std::string describe_integer(DecodedInteger value) {
    std::string digits =
        value.negative ? std::to_string(value.as_signed()) : std::to_string(value.bits);
    return "integer `" + digits + "`";
}

std::string describe_float(double value) {
    std::string text;
    if (std::isnan(value)) {
        text = "NaN";
    } else if (std::isinf(value)) {
        text = value < 0 ? "-inf" : "inf";
    } else {
        char buffer[64];
        auto scientific =
            std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
        std::string_view sci(buffer, scientific.ptr);
        int exponent = std::atoi(std::string(sci.substr(sci.find('e') + 1)).c_str());
        if (exponent >= -4 && exponent < 16) {
            auto fixed =
                std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
            text.assign(buffer, fixed.ptr);
            if (text.find('.') == std::string::npos) text += ".0";
        } else {
            text.assign(sci);
        }
    }
    return "floating point `" + text + "`";
}

namespace {

void append_code_escape(std::string& out, std::uint32_t code) {
    char hex[16];
    auto end = std::to_chars(hex, hex + sizeof hex, code, 16);
    out += "\\u{";
    out.append(hex, end.ptr);
    out += '}';
}

}  // namespace

std::string describe_string(std::string_view text) {
    std::string out = "string \"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(text[i]);
        switch (byte) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\0': out += "\\0"; continue;
            case '\t': out += "\\t"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            default: break;
        }
        if (byte < 0x20 || byte == 0x7f) {
            append_code_escape(out, byte);
        } else if (byte == 0xc2 && i + 1 < text.size() &&
                   static_cast<std::uint8_t>(text[i + 1]) < 0xa0) {
            // U+0080..U+009F, the C1 controls, are the two-byte forms C2 80..C2 9F.
            append_code_escape(out, static_cast<std::uint8_t>(text[i + 1]));
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    out += '"';
    return out;
}

}  // namespace vicinor::persist
