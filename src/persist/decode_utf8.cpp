#include "persist/decode_utf8.hpp"

#include <string>

#include "common/text.hpp"

namespace vicinor::persist {
namespace {

std::string invalid_sequence(std::size_t length, std::size_t index) {
    return "invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " +
           std::to_string(index);
}

std::string incomplete_sequence(std::size_t index) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(index);
}

}  // namespace

std::optional<std::string> utf8_error_detail(const std::uint8_t* bytes, std::size_t size) {
    std::size_t i = 0;
    while (i < size) {
        if (bytes[i] < 0x80) {
            i = text::skip_ascii(bytes, i, size);
            continue;
        }
        const std::size_t start = i;
        const std::uint8_t lead = bytes[start];
        std::size_t width;
        // The second byte's range excludes overlong forms, surrogates and
        // code points above U+10FFFF; later bytes are plain continuations.
        std::uint8_t second_low = 0x80;
        std::uint8_t second_high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            if (lead == 0xE0) second_low = 0xA0;
            if (lead == 0xED) second_high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            if (lead == 0xF0) second_low = 0x90;
            if (lead == 0xF4) second_high = 0x8F;
        } else {
            return invalid_sequence(1, start);
        }
        for (std::size_t k = 1; k < width; ++k) {
            if (start + k >= size) return incomplete_sequence(start);
            const std::uint8_t b = bytes[start + k];
            const std::uint8_t low = k == 1 ? second_low : 0x80;
            const std::uint8_t high = k == 1 ? second_high : 0xBF;
            if (b < low || b > high) return invalid_sequence(k, start);
        }
        i = start + width;
    }
    return std::nullopt;
}

}  // namespace vicinor::persist
