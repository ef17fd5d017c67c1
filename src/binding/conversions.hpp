// Converting bound arguments to the values the geocoder takes. Each
// conversion reports its own failure by the argument rule and returns false.
#pragma once

#include "binding/python.hpp"

#include <cmath>
#include <cstddef>
#include <string>

namespace vicinor::binding {

// The UTF-8 text of a str, copied, and how many LF characters it holds.
bool convert_text(PyObject* object, const char* name, std::string& out,
                  std::size_t& line_feeds);

// A str of exactly one character.
bool convert_character(PyObject* object, const char* name, char32_t& out);

// True/False, or a numpy boolean by its own truth value; never ints.
bool convert_flag(PyObject* object, const char* name, bool& out);

// A path-like object whose file-system form is a str.
bool convert_path(PyObject* object, const char* name, std::string& out);

// How a non-finite coordinate is named in messages: "nan", "inf", "-inf".
const char* non_finite_text(double value);

bool convert_coordinate_slow(PyObject* object, const char* name, const char* what,
                             double& out);

// Lookups are the hot path: an exact, finite float is taken without a call.
inline bool convert_coordinate(PyObject* object, const char* name, const char* what,
                               double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        if (std::isfinite(out)) return true;
    }
    return convert_coordinate_slow(object, name, what, out);
}

}  // namespace vicinor::binding
