// Binding call arguments to parameters, described by data: one parameter
// list per callable, one binder for all of them, with the host's familiar
// messages for surplus, duplicate, unknown and missing arguments.
#pragma once

#include "binding/python.hpp"

namespace vicinor::binding {

struct ParameterList {
    const char* full_name;      // "ReverseGeocoder.save()", used in messages
    const char* const* names;   // in order
    Py_ssize_t count;
    Py_ssize_t required;        // the first `required` names have no default
    // How many of the names may be given by position; the rest are
    // keyword-only. -1: all of them.
    Py_ssize_t positional = -1;

    Py_ssize_t positional_count() const noexcept { return positional < 0 ? count : positional; }
};

// Fills `bound[0..count)` with borrowed references; parameters left empty
// (those with defaults) are nullptr. On failure raises TypeError, returns false.
bool bind_vector(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargsf,
                 PyObject* kwnames, PyObject** bound);

// The one way a vectorcall method binds its arguments: a positional call
// with exactly the parameters (how lookups are called in loops) skips the
// binder.
inline bool bind_arguments(const ParameterList& parameters, PyObject* const* args,
                           Py_ssize_t nargsf, PyObject* kwnames, PyObject** bound) {
    if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == parameters.count &&
        parameters.positional_count() == parameters.count) {
        for (Py_ssize_t i = 0; i < parameters.count; ++i) bound[i] = args[i];
        return true;
    }
    return bind_vector(parameters, args, nargsf, kwnames, bound);
}

// The same rules for tuple/dict calls (the constructor).
bool bind_tuple(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                PyObject** bound);

}  // namespace vicinor::binding
