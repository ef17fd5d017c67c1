// The method table and constructor of ReverseGeocoder.
#pragma once

#include "binding/python.hpp"

#include <string_view>

namespace vicinor::binding {

extern PyMethodDef geocoder_methods[];

PyObject* Geocoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

struct GeocoderObject;

// A stored row's text as the dict lookup shapes it; nullptr with an
// exception set.
PyObject* row_dict(GeocoderObject* geocoder, std::string_view row);

}  // namespace vicinor::binding
