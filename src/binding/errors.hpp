// How failures cross into the host: error values become RuntimeError,
// argument problems TypeError/ValueError, internal faults PanicException.
// Every function here leaves exactly one host exception set.
#pragma once

#include "binding/python.hpp"

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace vicinor::binding {

// The internal-fault exception type, created on first need and kept for the
// life of the process. Borrowed; nullptr (with an exception set) only if the
// host cannot create it.
PyObject* panic_exception_type() noexcept;

// Raises `type` with one str argument through PyErr_SetObject, so the host
// records the exception being handled as the new one's context. Bytes that
// are not UTF-8 are replaced rather than lost.
void raise_message(PyObject* type, std::string_view message) noexcept;

void report_error_value(const Error& error);
void report_internal_fault(std::string_view message) noexcept;

// A result string or dict could not be made: the host's reason goes to
// stderr, the caller gets a PanicException.
void report_python_api_failure() noexcept;

// Applies the argument rule to the pending exception of a failed
// conversion: an exact TypeError is re-raised as "argument '<name>': <text>",
// anything else passes unchanged. Throws InternalFault when the pending
// exception is our own PanicException coming back from host code.
void report_argument_error(const char* name);

// Maps the exception being handled (call only inside a catch block) to a
// host exception. Never throws; a failure inside aborts the process, as
// nothing sane can be returned to the host any more.
void report_current_exception() noexcept;

// str(object) as UTF-8; "<unprintable ...>" when the host cannot make it.
std::string object_text(PyObject* object);

// The qualified name of a type, as messages show it ("int", "float64").
std::string type_qualname(PyTypeObject* type);

}  // namespace vicinor::binding
