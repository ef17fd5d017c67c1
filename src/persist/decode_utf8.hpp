// UTF-8 checking for decoded strings, with the detail text that names the
// first bad sequence the way loading reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vicinor::persist {

// Nothing when `bytes` is valid UTF-8; otherwise "invalid utf-8 sequence of
// {n} bytes from index {i}" (n is the length of the longest prefix of a valid
// sequence, at least 1) or "incomplete utf-8 byte sequence from index {i}"
// when the text ends inside a sequence that was valid so far.
std::optional<std::string> utf8_error_detail(const std::uint8_t* bytes, std::size_t size);

inline std::optional<std::string> utf8_error_detail(std::string_view text) {
    return utf8_error_detail(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace vicinor::persist
