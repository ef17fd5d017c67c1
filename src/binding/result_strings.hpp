// Making result strings from stored UTF-8 text. Most place tables are
// ASCII, and an ASCII str can be filled by one memcpy instead of a decode.
#pragma once

#include "binding/python.hpp"

#include <cstring>
#include <string_view>

#include "common/text.hpp"

namespace vicinor::binding {

// A new str from bytes known to be ASCII; nullptr with the host's error set.
inline PyObject* new_ascii_str(std::string_view ascii) noexcept {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127);
    if (str != nullptr) std::memcpy(PyUnicode_DATA(str), ascii.data(), ascii.size());
    return str;
}

// A new str, or nullptr with the host's error set.
inline PyObject* new_str(std::string_view utf8) noexcept {
    if (text::is_ascii(utf8)) return new_ascii_str(utf8);
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
}

}  // namespace vicinor::binding
