// Binding call arguments to parameters, described by data: one parameter
// list per callable, one binder for all of them, with the host's familiar
// messages for surplus, duplicate, unknown and missing arguments.
#pragma once

#include "binding/python.hpp"

namespace vicinor::binding {

struct ParameterList {
    const char* full_name;      // "ReverseGeocoder.save()", used in messages
    const char* const* names;   // in order; all positional-or-keyword
    Py_ssize_t count;
    Py_ssize_t required;        // the first `required` names have no default
};

// Fills `bound[0..count)` with borrowed references; parameters left empty
// (those with defaults) are nullptr. On failure raises TypeError, returns false.
bool bind_vector(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargsf,
                 PyObject* kwnames, PyObject** bound);

// The same rules for tuple/dict calls (the constructor).
bool bind_tuple(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                PyObject** bound);

}  // namespace vicinor::binding
