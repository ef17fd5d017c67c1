// JSON string literals for JSON-lines output: UTF-8 kept as it is, only
// the quote, the backslash and control characters escaped.
#pragma once

#include <string>
#include <string_view>

namespace vicinor {

void append_json_string(std::string& out, std::string_view text);

}  // namespace vicinor
