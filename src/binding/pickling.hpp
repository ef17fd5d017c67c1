// A geocoder as bytes, and pickling built on them.
#pragma once

#include "binding/python.hpp"

namespace vicinor::binding {

PyObject* Geocoder_to_bytes(PyObject* self, PyObject* unused);
PyObject* Geocoder_from_bytes(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);
PyObject* Geocoder_reduce(PyObject* self, PyObject* unused);

inline constexpr const char kToBytesDoc[] =
    "to_bytes($self)\n--\n\n"
    "The geocoder as bytes: exactly the bytes save() writes to a file.";
inline constexpr const char kFromBytesDoc[] =
    "from_bytes(data)\n--\n\n"
    "A new geocoder from bytes that to_bytes() gave or save() wrote (any bytes-like\n"
    "object); rejected as load() rejects a file.";
inline constexpr const char kReduceDoc[] =
    "__reduce__($self)\n--\n\n"
    "Pickling support: the geocoder travels as its to_bytes() form, restored by\n"
    "vicinor_tools.pickling.geocoder_from_bytes, the one global its pickle names.";

}  // namespace vicinor::binding
