// A str's UTF-8 text, encoded straight from its code-unit storage into one
// std::string with little slack, so a large table never exists twice in
// memory as UTF-8 (a temporary bytes object plus the copy).
#pragma once

#include "binding/python.hpp"

#include <cstddef>
#include <string>

namespace vicinor::binding {

// False, with the host's own UnicodeEncodeError set, when `str` holds a lone
// surrogate. `str` must be a str (or subclass). `line_feeds` is set to the
// number of LF characters, counted on the way.
bool encode_utf8(PyObject* str, std::string& out, std::size_t& line_feeds);

}  // namespace vicinor::binding
