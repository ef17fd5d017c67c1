// The method table and constructor of ReverseGeocoder.
#pragma once

#include "binding/python.hpp"

namespace vicinor::binding {

extern PyMethodDef geocoder_methods[];

PyObject* Geocoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace vicinor::binding
